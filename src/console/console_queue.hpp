#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The texts on their way to the console, in the order they came, each
// whole, and never more than a bound of bytes at once. While the console
// does not take output the queue fills up to the bound; texts beyond it are
// dropped and counted, and once the console takes output again one line
// says how many. Not locked: the console holds its own lock around it.
class ConsoleQueue {
  public:
    explicit ConsoleQueue(size_t bound) : bound_(bound) {}

    // Queues the text, or drops it when it does not fit under the bound, or
    // while earlier drops have not been reported yet: the report keeps its
    // place between the texts before and after them.
    void add(const char* text, size_t length);
    // Moves everything queued into `batch` (emptied first) for writing. The
    // bytes count against the bound until written() says they have gone.
    void take(std::vector<char>& batch);
    // `count` bytes of what was taken have gone to the console. Once that
    // leaves room for it, the report of the texts dropped so far is queued.
    void written(size_t count);

    bool has_queued() const { return !queued_.empty(); }
    // Bytes queued or taken, and not written yet.
    size_t unwritten() const { return unwritten_; }

  private:
    size_t bound_;
    std::vector<char> queued_;
    size_t unwritten_ = 0;
    uint64_t dropped_ = 0; // texts dropped and not reported yet
};
