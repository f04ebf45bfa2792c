#include "console/console_queue.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

void add(ConsoleQueue& queue, const std::string& text) {
    queue.add(text.data(), text.size());
}

std::string take(ConsoleQueue& queue) {
    std::vector<ConsoleBlock> batch;
    queue.take(batch);
    std::string taken;
    for (const ConsoleBlock& block : batch) {
        taken.append(block.bytes.get(), block.size);
    }
    queue.recycle(batch);
    return taken;
}

TEST(ConsoleQueue, TextsStayWholeAndInOrderUpToTheBound) {
    ConsoleQueue queue(10);
    add(queue, "abcd");
    add(queue, "efgh");
    add(queue, "ijk"); // would pass the bound: dropped whole
    EXPECT_EQ(queue.unwritten(), 8u);
    EXPECT_EQ(take(queue), "abcdefgh");
    // Taken is not written: the bytes still count.
    add(queue, "ijk");
    EXPECT_FALSE(queue.has_queued());
}

TEST(ConsoleQueue, DropsAreReportedOnceInTheirPlaceWhenTheConsoleTakesOutputAgain) {
    const std::string report = "3 texts dropped while the console was blocked\n";
    ConsoleQueue queue(64);
    add(queue, std::string(64, 'x'));
    EXPECT_EQ(take(queue), std::string(64, 'x'));
    add(queue, "a");
    add(queue, "b");
    queue.written(16);
    // Until the report is out, later texts would go before it: dropped too,
    // also while there is no room for the report yet.
    add(queue, "c");
    queue.written(48);
    add(queue, "d");
    EXPECT_EQ(take(queue), report + "d");
    queue.written(report.size());
    EXPECT_EQ(queue.unwritten(), 1u);
    queue.written(1);
    add(queue, "e");
    EXPECT_EQ(take(queue), "e");
    // Room for a short text after a long one was dropped is not the console
    // taking output again: the short one is dropped and counted too.
    ConsoleQueue roomy(100);
    add(roomy, "0123456789");
    add(roomy, std::string(95, 'y'));
    add(roomy, "z");
    EXPECT_EQ(take(roomy), "0123456789");
}

bool short_of_memory = false;
char* allocate_unless_short() {
    return short_of_memory ? nullptr : ConsoleQueue::allocate_block();
}

TEST(ConsoleQueue, AReportThatFindsNoMemoryIsQueuedBeforeTheNextText) {
    ConsoleQueue queue(64, allocate_unless_short);
    add(queue, std::string(64, 'x'));
    // Kept, not recycled: the queue has no block to spare.
    std::vector<ConsoleBlock> written_out;
    queue.take(written_out);
    add(queue, "a");
    short_of_memory = true;
    queue.written(64);
    short_of_memory = false;
    add(queue, "b");
    EXPECT_EQ(take(queue), "1 texts dropped while the console was blocked\nb");
}

TEST(ConsoleQueue, ATextLongerThanABlockSpansBlocksWhole) {
    ConsoleQueue queue(4 * ConsoleBlock::CAPACITY);
    const std::string head = "head ";
    const std::string spanning(ConsoleBlock::CAPACITY + 100, 's');
    add(queue, head);
    add(queue, spanning);
    add(queue, "tail");
    EXPECT_EQ(take(queue), head + spanning + "tail");
    // A recycled block is reused, empty.
    add(queue, "again");
    EXPECT_EQ(take(queue), "again");
}

} // namespace
