#include "console/console_queue.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

char* ConsoleQueue::allocate_block() {
    return new (std::nothrow) char[ConsoleBlock::CAPACITY];
}

bool ConsoleQueue::add_block() {
    ConsoleBlock block = std::move(spare_);
    if (block.bytes == nullptr) {
        block.bytes.reset(allocate_());
    }
    if (block.bytes == nullptr) {
        return false;
    }
    block.size = 0;
    try {
        queued_.push_back(std::move(block));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool ConsoleQueue::append(const char* text, size_t length) {
    // Room for the whole text first, so that a failure keeps no part of it.
    // No memory now is a console that cannot keep up.
    size_t room = queued_.empty() ? 0 : ConsoleBlock::CAPACITY - queued_.back().size;
    size_t blocks_before = queued_.size();
    for (; room < length; room += ConsoleBlock::CAPACITY) {
        if (!add_block()) {
            queued_.resize(blocks_before);
            return false;
        }
    }
    size_t index = blocks_before == 0 ? 0 : blocks_before - 1;
    while (length > 0) {
        ConsoleBlock& block = queued_[index++];
        size_t piece = std::min(length, ConsoleBlock::CAPACITY - block.size);
        std::memcpy(block.bytes.get() + block.size, text, piece);
        block.size += piece;
        text += piece;
        length -= piece;
    }
    return true;
}

bool ConsoleQueue::report_drops() {
    char report[64];
    int length =
        std::snprintf(report, sizeof report, "%llu texts dropped while the console was blocked\n",
                      static_cast<unsigned long long>(dropped_));
    if (unwritten_ + static_cast<size_t>(length) > bound_ ||
        !append(report, static_cast<size_t>(length))) {
        return false;
    }
    unwritten_ += static_cast<size_t>(length);
    dropped_ = 0;
    return true;
}

void ConsoleQueue::add(const char* text, size_t length) {
    // Until the drops are reported, a text would go before the report:
    // dropped and counted too. Once the console has taken output again, the
    // report goes first as soon as it can.
    if ((dropped_ > 0 && !(report_due_ && report_drops())) || unwritten_ + length > bound_ ||
        !append(text, length)) {
        ++dropped_;
        return;
    }
    unwritten_ += length;
}

void ConsoleQueue::take(std::vector<ConsoleBlock>& batch) {
    // The batch is empty: what it held was recycled. Swapped, not copied,
    // so that taking never needs memory.
    batch.clear();
    queued_.swap(batch);
}

void ConsoleQueue::written(size_t count) {
    unwritten_ -= count;
    // Reported once there is room for the report too, and memory; until
    // then, later texts are dropped and counted with the others.
    report_due_ = dropped_ > 0 && !report_drops();
}

void ConsoleQueue::recycle(std::vector<ConsoleBlock>& written_blocks) {
    if (spare_.bytes == nullptr && !written_blocks.empty()) {
        spare_ = std::move(written_blocks.back());
    }
    written_blocks.clear();
}
