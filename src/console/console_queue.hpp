#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// A run of queued text, filled from the front.
struct ConsoleBlock {
    // Large enough that the system maps each block on its own, so that a
    // block that is freed goes back to it at once.
    static constexpr size_t CAPACITY = 256 * 1024;

    std::unique_ptr<char[]> bytes;
    size_t size = 0;
};

// The texts on their way to the console, in the order they came, each
// whole, and never more than a bound of bytes at once. While the console
// does not take output the queue fills up to the bound; texts beyond it are
// dropped and counted, and once the console takes output again one line
// says how many. Not locked: the console holds its own lock around it.
//
// Texts are copied into blocks, which the writer takes whole and hands back
// once written: memory grows only with what waits, in steps of a block,
// and is given back as it is written, but for one block kept for reuse.
class ConsoleQueue {
  public:
    // The memory of a new block, CAPACITY bytes from new[], or nullptr when
    // there is none.
    using Allocate = char* (*)();
    static char* allocate_block();

    explicit ConsoleQueue(size_t bound, Allocate allocate = allocate_block)
        : bound_(bound), allocate_(allocate) {}

    // Queues the text, or drops it when it does not fit under the bound, or
    // while earlier drops have not been reported yet: the report keeps its
    // place between the texts before and after them.
    void add(const char* text, size_t length);
    // Moves every queued block into `batch` (emptied first) for writing.
    // Their bytes count against the bound until written() says they have
    // gone.
    void take(std::vector<ConsoleBlock>& batch);
    // `count` bytes of what was taken have gone to the console. Once that
    // leaves room for it, the report of the texts dropped so far is queued;
    // failing memory, it is queued before the next text that finds some.
    void written(size_t count);
    // Takes back blocks that have been written, to reuse one of them.
    void recycle(std::vector<ConsoleBlock>& written_blocks);

    bool has_queued() const { return !queued_.empty(); }
    // Bytes queued or taken, and not written yet.
    size_t unwritten() const { return unwritten_; }

  private:
    // Appends to the blocks, adding blocks as needed; false when memory
    // for one is lacking (nothing of the text is kept then).
    bool append(const char* text, size_t length);
    bool add_block();
    // Queues the line that says how many texts were dropped; false when
    // there is no room or no memory for it yet.
    bool report_drops();

    size_t bound_;
    Allocate allocate_;
    std::vector<ConsoleBlock> queued_;
    ConsoleBlock spare_;
    size_t unwritten_ = 0;
    uint64_t dropped_ = 0; // texts dropped and not reported yet
    // The console has taken output again since the drops, and their report
    // has not found room or memory yet.
    bool report_due_ = false;
};
