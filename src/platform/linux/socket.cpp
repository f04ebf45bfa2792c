#include "platform/socket.hpp"

#include "platform/linux/wake_ups.hpp"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

sockaddr* raw(sockaddr_in& address) {
    return reinterpret_cast<sockaddr*>(&address);
}

} // namespace

Status start_socket_library() {
    // Nothing to start here; what does need care is that writing to a
    // connection the peer has closed raises SIGPIPE, which would end us.
    // Every send says MSG_NOSIGNAL, but the kernel's file-to-socket copy
    // cannot.
    std::signal(SIGPIPE, SIG_IGN);
    return Status::ok;
}

Socket open_tcp_socket() {
    return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

void close_socket(Socket socket) {
    if (socket != NO_SOCKET) {
        close(socket);
    }
}

Status bind_listening_socket(Socket socket, uint16_t port) {
    // Lets a restarted server bind while the connections it closed before
    // are in TIME_WAIT; a port another socket listens on is still refused.
    int on = 1;
    (void)setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    return bind(socket, raw(address), sizeof address) == 0 ? Status::ok : Status::failed;
}

Status listen_for_bursts(Socket socket) {
    return listen(socket, SOMAXCONN) == 0 ? Status::ok : Status::failed;
}

void accept_without_waiting(Socket listening) {
    // Linux does not pass the flag on to the accepted connections.
    (void)fcntl(listening, F_SETFL, fcntl(listening, F_GETFL) | O_NONBLOCK);
}

uint16_t bound_port(Socket socket) {
    SocketEndpoint own;
    return socket_endpoint(socket, true, own) ? ntohs(own.port) : 0;
}

void accept_once_data_arrives(Socket listening, int seconds) {
    (void)setsockopt(listening, IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds);
}

namespace {

// Passed from a thread that has taken a connection to an idle one when more
// may wait: one for all the session threads, made with the first waiter.
int baton = -1;
// Threads inside accept_next that have not taken a connection yet.
std::atomic<int> idle_threads{0};

// Accepts one connection, if one still waits.
AcceptResult accept_connection(Socket listening, AcceptedConnection& accepted) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    Socket connection = accept4(listening, raw(peer), &length, SOCK_CLOEXEC);
    if (connection < 0) {
        bool passing =
            errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED;
        return passing ? AcceptResult::failed : AcceptResult::exhausted;
    }
    accepted.socket = connection;
    accepted.peer_address = peer.sin_addr.s_addr;
    return AcceptResult::accepted;
}

// What a wait found: the ports that may have a connection waiting, and
// whether the baton was passed.
struct Readiness {
    bool ports[2] = {false, false};
    bool baton = false;
};

// Until either socket may have a connection waiting.
WaitResult wait_for_ports(int handle, const Socket (&sockets)[2], Readiness& ready) {
    epoll_event events[3];
    int count = epoll_wait(handle, events, 3, -1);
    if (count < 0) {
        return errno == EINTR ? WaitResult::interrupted : WaitResult::failed;
    }
    ready = {};
    for (int i = 0; i < count; ++i) {
        if (events[i].data.fd == baton) {
            uint64_t passed;
            (void)!read(baton, &passed, sizeof passed);
            ready.baton = true;
        } else {
            ready.ports[events[i].data.fd == sockets[0] ? 0 : 1] = true;
        }
    }
    return WaitResult::ready;
}

// Accepts a connection from either socket, if one waits. A port that was
// reported ready goes before one that was not, and of two reported ports
// the one whose turn it is.
AcceptResult take_waiting(const Socket (&sockets)[2], const Readiness& ready, bool first_goes_first,
                          AcceptedConnection& accepted) {
    int first = first_goes_first ? 0 : 1;
    if (!ready.ports[first] && ready.ports[1 - first]) {
        first = 1 - first;
    }
    for (int port : {first, 1 - first}) {
        AcceptResult result = accept_connection(sockets[port], accepted);
        accepted.from_first = port == 0;
        if (result != AcceptResult::failed) {
            return result;
        }
    }
    return AcceptResult::failed;
}

// Takes a connection from either socket, waiting while neither has one;
// `look`: first without a wait. `by_choice` tells whether the connection
// was taken where another may have woken this thread: both ports were
// reported, or the baton, or there was no wait.
AcceptResult take_next(int handle, const Socket (&sockets)[2], bool first_goes_first, bool look,
                       AcceptedConnection& accepted, bool& by_choice) {
    Readiness ready;
    for (bool waited = false;; look = true) {
        if (look) {
            AcceptResult taken = take_waiting(sockets, ready, first_goes_first, accepted);
            if (taken != AcceptResult::failed) {
                by_choice = !waited || ready.baton || (ready.ports[0] && ready.ports[1]);
                return taken;
            }
        }
        WaitResult result;
        do {
            result = wait_for_ports(handle, sockets, ready);
        } while (result == WaitResult::interrupted);
        if (result == WaitResult::failed) {
            return AcceptResult::failed;
        }
        waited = true;
    }
}

// Asked once, on first use.
bool kernel_may_fold_wake_ups() {
    utsname kernel{};
    int major = 0;
    return uname(&kernel) != 0 || std::sscanf(kernel.release, "%d", &major) != 1 || major < 6;
}

std::atomic<bool> folding_assumed{false};

// After this thread has taken a connection: when either socket still has
// one waiting, an idle thread is woken. With none idle, the next thread to
// be idle finds it, since it counts itself before it reads the count and
// looks (see accept_next): of the two, one always sees the other.
void pass_on_if_more_wait(const Socket (&sockets)[2]) {
    if (idle_threads.load() == 0) {
        return;
    }
    pollfd ports[2] = {{sockets[0], POLLIN, 0}, {sockets[1], POLLIN, 0}};
    if (poll(ports, 2, 0) > 0) {
        uint64_t one = 1;
        (void)!write(baton, &one, sizeof one);
    }
}

} // namespace

bool wake_ups_may_fold() {
    static const bool may_fold = kernel_may_fold_wake_ups();
    return may_fold || folding_assumed.load();
}

void assume_wake_ups_may_fold() {
    folding_assumed.store(true);
}

ConnectionWaiter::~ConnectionWaiter() {
    if (handle_ >= 0) {
        close(handle_);
    }
}

Status ConnectionWaiter::prepare(Socket first, Socket second) {
    sockets_[0] = first;
    sockets_[1] = second;
    if (baton < 0) {
        baton = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    }
    // Each thread has an epoll instance of its own; EPOLLEXCLUSIVE lets a
    // connection wake one waiting thread, not all of them. A connection
    // that arrives while no thread waits is found by the next that does.
    handle_ = epoll_create1(EPOLL_CLOEXEC);
    bool added = baton >= 0 && handle_ >= 0;
    for (int fd : {first, second, baton}) {
        epoll_event event{EPOLLIN | EPOLLEXCLUSIVE, {.fd = fd}};
        added = added && epoll_ctl(handle_, EPOLL_CTL_ADD, fd, &event) == 0;
    }
    if (!added) {
        close(handle_);
        handle_ = -1;
        return Status::failed;
    }
    return Status::ok;
}

// No connection waits while a thread is idle, whatever the order of
// arrivals and wake-ups. Each arrival wakes one waiting thread, or, while
// none waits, is found by the next thread that waits. But the kernel tells
// a woken thread only what still waits when it runs: when the connection
// that woke it has been taken meanwhile, it sleeps on without a word. That
// happens when a thread that saw both ports takes the other port's
// connection, by the fairness rule, and leaves its own. And a kernel
// before 6.0 may fold the wake-ups of two arrivals into one thread. So a
// thread that may have taken a connection another was woken for (it saw
// both ports, or the baton), or that runs on such a kernel, looks once
// more: while either port still has a connection, it passes the baton to an
// idle thread, which does the same. And a woken thread tries both ports
// before it sleeps again.
//
// A thread that ends a session while no other is idle looks for the next
// connection before it waits: then every arrival has found all threads
// busy and waits in the queue, and it is taken with no wait and no wake-up.
// With another thread idle, an arrival has woken that one, so this one
// waits instead of taking it from under it, which would only wake that
// thread for nothing. The first thread to become idle always looks: it is
// the one that finds a connection another thread saw waiting while none
// was idle.
AcceptResult ConnectionWaiter::accept_next(bool first_goes_first, AcceptedConnection& accepted) {
    if (handle_ < 0) {
        return AcceptResult::failed;
    }
    bool others_idle = idle_threads.fetch_add(1) > 0;
    bool by_choice = false;
    AcceptResult result =
        take_next(handle_, sockets_, first_goes_first, !others_idle, accepted, by_choice);
    idle_threads.fetch_sub(1);
    if (result == AcceptResult::accepted && (by_choice || wake_ups_may_fold())) {
        pass_on_if_more_wait(sockets_);
    }
    return result;
}

void end_when_peer_vanishes(Socket socket) {
    // Linux passes these on from a listening socket to what it accepts.
    int on = 1;
    int idle = PEER_IDLE_SECONDS;
    int interval = PEER_PROBE_INTERVAL_SECONDS;
    int count = PEER_PROBES;
    (void)setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    (void)setsockopt(socket, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    (void)setsockopt(socket, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    (void)setsockopt(socket, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

bool is_address_of_this_machine(uint32_t address) {
    // Only an address of our own can be bound to.
    int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return true;
    }
    sockaddr_in own{};
    own.sin_family = AF_INET;
    own.sin_addr.s_addr = address;
    bool bound = bind(probe, raw(own), sizeof own) == 0;
    bool foreign = !bound && errno == EADDRNOTAVAIL;
    close(probe);
    return !foreign;
}

Status connect_to(Socket socket, uint32_t address, uint16_t port) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = address;
    target.sin_port = port;
    // No retry on EINTR: every handler restarts what it interrupts, and no
    // time-out on these sockets would keep the kernel from restarting it.
    int result = connect(socket, raw(target), sizeof target);
    // A reset that arrives before this thread returns from the call turns
    // the connection that was made into an error (a refusal would be
    // ECONNREFUSED). Counted as made, as on Windows: the transfer then fails
    // at its first send, and the reply says so.
    return result == 0 || errno == ECONNRESET ? Status::ok : Status::failed;
}

bool socket_endpoint(Socket socket, bool local, SocketEndpoint& endpoint) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    int result = local ? getsockname(socket, raw(address), &length)
                       : getpeername(socket, raw(address), &length);
    if (result != 0 || address.sin_family != AF_INET) {
        return false;
    }
    endpoint.address = address.sin_addr.s_addr;
    endpoint.port = address.sin_port;
    return true;
}

long send_some(Socket socket, const char* data, size_t length, bool more_follows) {
    // MSG_NOSIGNAL: a peer that has gone must never end the process.
    int flags = MSG_NOSIGNAL | (more_follows ? MSG_MORE : 0);
    // Restarted after a signal, like connect: no socket has a send time-out.
    return static_cast<long>(send(socket, data, length, flags));
}

namespace {

// The receive time-out that connections take over from the listening
// socket that time_out_quiet_receives prepared, in milliseconds, or 0.
int passed_on_quiet_ms = 0;

timeval as_time(int ms) {
    return {ms / 1000, (ms % 1000) * 1000};
}

} // namespace

long receive_some(Socket socket, std::span<char> buffer) {
    // A receive time-out taken over from the listening socket only bounds
    // receive_unless_quiet: here it is waited out.
    ssize_t received;
    do {
        received = recv(socket, buffer.data(), buffer.size(), 0);
    } while (received < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK));
    return static_cast<long>(received);
}

long receive_unless_quiet(Socket socket, std::span<char> buffer, int quiet_ms) {
    if (quiet_ms != passed_on_quiet_ms) {
        timeval quiet = as_time(quiet_ms);
        (void)setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof quiet);
    }
    ssize_t received;
    do {
        received = recv(socket, buffer.data(), buffer.size(), 0);
    } while (received < 0 && errno == EINTR);
    return static_cast<long>(received);
}

void time_out_quiet_receives(Socket listening, int quiet_ms) {
    // Linux passes a listening socket's receive time-out on to the
    // connections it accepts: waiting for a quiet moment then takes no call
    // of its own.
    timeval quiet = as_time(quiet_ms);
    if (setsockopt(listening, SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof quiet) == 0) {
        passed_on_quiet_ms = quiet_ms;
    }
}

Status bytes_waiting(Socket socket, int& count) {
    return ioctl(socket, FIONREAD, &count) == 0 ? Status::ok : Status::failed;
}

void stop_sending(Socket socket) {
    (void)shutdown(socket, SHUT_WR);
}

void send_without_delay(Socket socket) {
    int on = 1;
    (void)setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}
