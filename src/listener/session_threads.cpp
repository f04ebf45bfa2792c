#include "listener/session_threads.hpp"

#include <array>
#include <condition_variable>
#include <mutex>
#include <new>

#include "listener/listener.hpp"
#include "platform/host.hpp"

namespace {

struct Connection {
    SessionFunction session = nullptr;
    Socket socket = NO_SOCKET;
};

// Connections promised to idle threads and not yet taken by one. Each was
// handed over only while a thread was counted idle for it, so there are
// never more of them than threads.
class Waiting {
  public:
    bool empty() const { return count_ == 0; }
    void push(Connection connection) {
        slots_[(first_ + count_) % MAX_SESSIONS] = connection;
        ++count_;
    }
    Connection pop() {
        Connection connection = slots_[first_];
        first_ = (first_ + 1) % MAX_SESSIONS;
        --count_;
        return connection;
    }

  private:
    std::array<Connection, MAX_SESSIONS> slots_;
    int first_ = 0;
    int count_ = 0;
};

// `waiting` and idle_threads only under pool_lock. Every thread waiting for
// a connection is either counted in idle_threads or has one waiting for it
// in `waiting`. Sessions lower active_sessions under pool_lock too, so that
// a listener that found no place free and waits for place_freed cannot miss
// the end of a session.
std::mutex pool_lock;
std::condition_variable connection_arrived;
std::condition_variable place_freed;
Waiting waiting;
int idle_threads = 0;

// A signal with nobody waiting costs no system call, so the listener is
// woken only when it waits for a place.
void give_place_back() {
    active_sessions.fetch_sub(1);
    place_freed.notify_one();
}

Connection wait_for_next_connection() {
    std::unique_lock<std::mutex> lock(pool_lock);
    // Counted idle before the place is given back: a listener that finds
    // the place free also finds this thread ready, and starts no other.
    ++idle_threads;
    give_place_back();
    connection_arrived.wait(lock, [] { return !waiting.empty(); });
    return waiting.pop();
}

// While connections wait for a place, the thread keeps its place and takes
// the next one itself: no hand-over, and no sleep between sessions.
Connection next_connection() {
    Connection next;
    if (accept_waiting_connection(next.session, next.socket)) {
        return next;
    }
    return wait_for_next_connection();
}

// The connection is closed when the session function returns, before the
// place is given back, so a client that saw the close can count on it.
[[noreturn]] void serve_sessions(Connection first) {
    for (Connection next = first;; next = next_connection()) {
        next.session(next.socket);
    }
}

void run_session_thread(void* argument) {
    Connection first = *static_cast<Connection*>(argument);
    delete static_cast<Connection*>(argument);
    serve_sessions(first);
}

bool start_thread(Connection first) {
    Connection* handed = new (std::nothrow) Connection(first);
    if (handed == nullptr) {
        return false;
    }
    if (start_detached_thread(run_session_thread, handed) != 0) {
        delete handed;
        return false;
    }
    return true;
}

// True when an idle thread was promised the connection.
bool give_to_idle_thread(Connection connection) {
    {
        std::lock_guard<std::mutex> lock(pool_lock);
        if (idle_threads == 0) {
            return false;
        }
        --idle_threads;
        waiting.push(connection);
    }
    connection_arrived.notify_one();
    return true;
}

} // namespace

void reserve_session_place() {
    // Only the listener raises the count, so a place seen free stays free.
    if (active_sessions.load() >= MAX_SESSIONS) {
        std::unique_lock<std::mutex> lock(pool_lock);
        place_freed.wait(lock, [] { return active_sessions.load() < MAX_SESSIONS; });
    }
    active_sessions.fetch_add(1);
}

int hand_over_session(SessionFunction session, Socket socket) {
    Connection connection{session, socket};
    // With no thread idle, every started thread serves a session that holds
    // a place, and this connection holds one more: a new thread keeps the
    // count of threads within MAX_SESSIONS.
    if (give_to_idle_thread(connection) || start_thread(connection)) {
        return HANDED_OVER;
    }
    return NO_THREAD_STARTED;
}
