#include "platform/socket.hpp"

#include "platform/host.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

// A session whose response is complete still has to wait for its client's
// close before its own, and a session thread that waited for it would sleep
// once more for every request, and keep its place meanwhile. One thread
// waits for all of them instead, with one epoll instance, and closes each
// connection once its client has closed it, has been quiet for the quiet
// time, or has had the whole time. Under load it lets the closes of about a
// millisecond gather before it waits again, so that one wake-up ends many.
// The connections it holds are bounded: beyond them a session waits for its
// close itself, as it would without this thread.

namespace {

constexpr int MOST_HELD = 256;
constexpr int EVENTS_AT_ONCE = 64;
// A client that keeps sending is read this much at a time before the others
// get their turn.
constexpr int READS_AT_ONCE = 16;
constexpr auto GATHER_TIME = std::chrono::milliseconds(1);

using Clock = std::chrono::steady_clock;

enum class PlaceState { free, taken, live };

// A place for one connection. A session thread takes a free place, fills
// it and makes it live once the connection's events can come; from then on
// only the closing thread uses it, until it frees it again.
struct Held {
    Socket socket = NO_SOCKET;
    Clock::time_point quiet_until;
    Clock::time_point ends_at;
    std::atomic<PlaceState> state{PlaceState::free};
};

struct Closer {
    int handle = -1;
    std::chrono::milliseconds quiet{0};
    std::chrono::milliseconds total{0};
    Held held[MOST_HELD];
    // Set while the closing thread waits with no connection held: the next
    // one handed over then wakes it, so that its time can be kept.
    std::atomic<bool> idle{false};
    int wake_up = -1;
    // Where the next search for a free place begins, so that the sessions
    // rarely try the same place at once.
    std::atomic<unsigned> next_place{0};
};

Closer closer;

bool take_place(int& place) {
    unsigned first = closer.next_place.fetch_add(1, std::memory_order_relaxed);
    for (unsigned tried = 0; tried < MOST_HELD; ++tried) {
        place = static_cast<int>((first + tried) % MOST_HELD);
        PlaceState expected = PlaceState::free;
        if (closer.held[place].state.compare_exchange_strong(expected, PlaceState::taken,
                                                             std::memory_order_acquire)) {
            return true;
        }
    }
    return false;
}

bool is_live(int place) {
    return closer.held[place].state.load(std::memory_order_acquire) == PlaceState::live;
}

// Closing the descriptor also takes it out of the epoll instance.
void finish(int place) {
    Held& held = closer.held[place];
    close(held.socket);
    held.socket = NO_SOCKET;
    held.state.store(PlaceState::free, std::memory_order_release);
}

// Reads what has come, discarding it; the connection is finished once its
// client has closed it or it has failed.
void discard_arrived(int place, Clock::time_point now) {
    static char discarded[32 * 1024];
    Held& held = closer.held[place];
    for (int read = 0; read < READS_AT_ONCE; ++read) {
        ssize_t got = recv(held.socket, discarded, sizeof discarded, MSG_DONTWAIT);
        if (got > 0) {
            held.quiet_until = std::min(now + closer.quiet, held.ends_at);
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return;
        }
        finish(place);
        return;
    }
}

// Finishes every connection whose time is up; gives the wait until the
// next one's, -1 with none held.
int finish_timed_out(Clock::time_point now) {
    Clock::time_point next = Clock::time_point::max();
    for (int place = 0; place < MOST_HELD; ++place) {
        Held& held = closer.held[place];
        if (!is_live(place)) {
            continue;
        }
        if (held.quiet_until <= now) {
            finish(place);
        } else {
            next = std::min(next, held.quiet_until);
        }
    }
    if (next == Clock::time_point::max()) {
        return -1;
    }
    // Rounded up, so that the wait never ends just before the time.
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(next - now).count());
}

// The wait until the next time is up. With nothing held, the thread says
// it is idle before it looks once more, and a connection is live before
// the thread that hands it over reads that: one of the two sees the other.
int time_to_wait(Clock::time_point now) {
    int wait_ms = finish_timed_out(now);
    if (wait_ms < 0) {
        closer.idle.store(true);
        wait_ms = finish_timed_out(now);
        if (wait_ms >= 0) {
            closer.idle.store(false);
        }
    }
    return wait_ms;
}

void take_event(const epoll_event& event, Clock::time_point now) {
    int place = static_cast<int>(event.data.u32);
    if (place == MOST_HELD) {
        uint64_t woken;
        (void)!read(closer.wake_up, &woken, sizeof woken);
        return;
    }
    // A connection that is not live yet is reported again.
    if (is_live(place)) {
        discard_arrived(place, now);
    }
}

[[noreturn]] void close_in_turn(void*) {
    epoll_event events[EVENTS_AT_ONCE];
    int wait_ms = time_to_wait(Clock::now());
    for (;;) {
        int count = epoll_wait(closer.handle, events, EVENTS_AT_ONCE, wait_ms);
        Clock::time_point now = Clock::now();
        for (int i = 0; i < count; ++i) {
            take_event(events[i], now);
        }
        wait_ms = time_to_wait(now);
        if (count > 0) {
            std::this_thread::sleep_for(GATHER_TIME);
        }
    }
}

} // namespace

Status start_closing_in_background(int quiet_ms, int total_ms) {
    closer.quiet = std::chrono::milliseconds(quiet_ms);
    closer.total = std::chrono::milliseconds(total_ms);
    closer.handle = epoll_create1(EPOLL_CLOEXEC);
    closer.wake_up = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event wake_up{EPOLLIN, {.u32 = MOST_HELD}};
    if (closer.handle < 0 || closer.wake_up < 0 ||
        epoll_ctl(closer.handle, EPOLL_CTL_ADD, closer.wake_up, &wake_up) != 0 ||
        start_detached_thread(close_in_turn, nullptr) != Status::ok) {
        close(closer.handle);
        close(closer.wake_up);
        closer.handle = -1;
        closer.wake_up = -1;
        return Status::failed;
    }
    return Status::ok;
}

bool close_in_background(Socket socket) {
    int place = 0;
    if (closer.handle < 0 || closer.wake_up < 0 || !take_place(place)) {
        return false;
    }
    Held& held = closer.held[place];
    Clock::time_point now = Clock::now();
    held.socket = socket;
    held.ends_at = now + closer.total;
    held.quiet_until = std::min(now + closer.quiet, held.ends_at);
    epoll_event event{EPOLLIN | EPOLLRDHUP, {.u32 = static_cast<uint32_t>(place)}};
    if (epoll_ctl(closer.handle, EPOLL_CTL_ADD, socket, &event) != 0) {
        held.socket = NO_SOCKET;
        held.state.store(PlaceState::free, std::memory_order_release);
        return false;
    }
    held.state.store(PlaceState::live);
    if (closer.idle.exchange(false)) {
        uint64_t one = 1;
        (void)!write(closer.wake_up, &one, sizeof one);
    }
    return true;
}
