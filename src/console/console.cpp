#include "console/console.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "console/console_queue.hpp"
#include "platform/host.hpp"

namespace {

// A text that finds the writer idle wakes it; the writer then waits this
// long for the texts of the next moments, so that a busy server's log goes
// out in a few large writes instead of one per response.
constexpr auto GATHER_TIME = std::chrono::milliseconds(2);

std::mutex console_lock;
std::condition_variable texts_queued;
ConsoleQueue queue(CONSOLE_QUEUE_BOUND); // under console_lock
bool writer_idle = false;                // under console_lock
// The queue's unwritten bytes, for a stop request, which may come at any
// moment and cannot take the lock.
std::atomic<size_t> unwritten{0};
// Set once, before any session thread exists.
bool writer_started = false;
// The writer is inside a write, which a console that takes nothing blocks.
std::atomic<bool> writer_writing{false};
// Past this backlog, a writer that is not held up by the console has only
// fallen behind for want of a processor.
constexpr size_t BEHIND = 512 * 1024;

// Writes all of it, unless the console is gone (a pipe whose reader has
// ended): then what is left is lost, as it would be anyway.
void write_whole(const char* text, size_t length) {
    while (length > 0) {
        long written = write_to_console(text, length);
        if (written <= 0) {
            return;
        }
        text += written;
        length -= static_cast<size_t>(written);
    }
}

void written(size_t count) {
    std::lock_guard<std::mutex> lock(console_lock);
    queue.written(count);
    unwritten.store(queue.unwritten());
}

// Block by block, so that room in the queue shows up while a large batch is
// still on its way; the blocks are then given back.
void write_batch(std::vector<ConsoleBlock>& batch) {
    for (const ConsoleBlock& block : batch) {
        writer_writing.store(true);
        write_whole(block.bytes.get(), block.size);
        writer_writing.store(false);
        written(block.size);
    }
    std::lock_guard<std::mutex> lock(console_lock);
    queue.recycle(batch);
}

void take_texts(std::vector<ConsoleBlock>& batch) {
    std::unique_lock<std::mutex> lock(console_lock);
    if (!queue.has_queued()) {
        writer_idle = true;
        texts_queued.wait(lock, [] { return queue.has_queued(); });
        lock.unlock();
        std::this_thread::sleep_for(GATHER_TIME);
        lock.lock();
    }
    queue.take(batch);
}

void run_writer(void*) {
    std::vector<ConsoleBlock> batch;
    for (;;) {
        take_texts(batch);
        write_batch(batch);
        if (unwritten.load() == 0 && stop_requested()) {
            end_stopped_process();
        }
    }
}

} // namespace

bool start_console_writer() {
    // Before the writer exists: a stop that came before its first turn would
    // otherwise end the process by default, and lose what the sessions had
    // queued by then.
    let_console_finish_on_stop(&unwritten);
    if (start_detached_thread(run_writer, nullptr) != Status::ok) {
        return false;
    }
    writer_started = true;
    return true;
}

void console_write(const char* text, size_t length) {
    if (!writer_started) {
        write_whole(text, length);
        return;
    }
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(console_lock);
        queue.add(text, length);
        unwritten.store(queue.unwritten());
        wake = writer_idle && queue.has_queued();
        writer_idle = writer_idle && !wake;
    }
    // Only an idle writer needs a signal, which costs a system call.
    if (wake) {
        texts_queued.notify_one();
    } else if (unwritten.load() > BEHIND && !writer_writing.load()) {
        // With every processor busy serving, the writer may wait many
        // milliseconds for a turn while megabytes of log pile up. The
        // session lets it go first; it waits for nothing, least of all for
        // a console that does not take output.
        std::this_thread::yield();
    }
}

void console_print(const char* text) {
    console_write(text, std::strlen(text));
}

void console_printf(const char* format, ...) {
    char buffer[4352]; // room for the longest base directory
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (length < 0) {
        return;
    }
    if (length >= static_cast<int>(sizeof buffer)) {
        length = sizeof buffer - 1;
    }
    console_write(buffer, static_cast<size_t>(length));
}
