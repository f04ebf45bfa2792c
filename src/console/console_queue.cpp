#include "console/console_queue.hpp"

#include <cstdio>
#include <new>
#include <utility>

void ConsoleQueue::add(const char* text, size_t length) {
    if (dropped_ > 0 || unwritten_ + length > bound_) {
        ++dropped_;
        return;
    }
    try {
        queued_.insert(queued_.end(), text, text + length);
    } catch (const std::bad_alloc&) {
        ++dropped_; // no memory now is a console that cannot keep up
        return;
    }
    unwritten_ += length;
}

void ConsoleQueue::take(std::vector<char>& batch) {
    batch.clear();
    std::swap(queued_, batch);
}

void ConsoleQueue::written(size_t count) {
    unwritten_ -= count;
    if (dropped_ == 0) {
        return;
    }
    char report[64];
    int length = std::snprintf(report, sizeof report,
                               "%llu texts dropped while the console was blocked\n",
                               static_cast<unsigned long long>(dropped_));
    // Reported once there is room for the report too; until then, later
    // texts are dropped and counted with the others.
    if (unwritten_ + static_cast<size_t>(length) > bound_) {
        return;
    }
    try {
        queued_.insert(queued_.end(), report, report + length);
        unwritten_ += static_cast<size_t>(length);
        dropped_ = 0;
    } catch (const std::bad_alloc&) {
        // Reported at the next chance.
    }
}
