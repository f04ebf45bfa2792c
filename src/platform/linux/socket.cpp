#include "platform/socket.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
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

ConnectionWaiter::~ConnectionWaiter() {
    if (handle_ >= 0) {
        close(handle_);
    }
}

bool ConnectionWaiter::prepare(Socket first, Socket second) {
    first_ = first;
    second_ = second;
    // Each thread has an epoll instance of its own; EPOLLEXCLUSIVE lets a
    // connection wake one waiting thread, not all of them. A connection
    // that arrives while no thread waits is found by the next that does.
    handle_ = epoll_create1(EPOLL_CLOEXEC);
    epoll_event first_event{EPOLLIN | EPOLLEXCLUSIVE, {.fd = first_}};
    epoll_event second_event{EPOLLIN | EPOLLEXCLUSIVE, {.fd = second_}};
    if (handle_ < 0 || epoll_ctl(handle_, EPOLL_CTL_ADD, first_, &first_event) != 0 ||
        epoll_ctl(handle_, EPOLL_CTL_ADD, second_, &second_event) != 0) {
        close(handle_);
        handle_ = -1;
        return false;
    }
    return true;
}

WaitResult ConnectionWaiter::wait(bool& first_ready, bool& second_ready) {
    if (handle_ < 0 && !prepare(first_, second_)) {
        return WaitResult::failed;
    }
    epoll_event events[2];
    int count = epoll_wait(handle_, events, 2, -1);
    if (count <= 0) {
        return count < 0 && errno != EINTR ? WaitResult::failed : WaitResult::timed_out;
    }
    first_ready = second_ready = false;
    for (int i = 0; i < count; ++i) {
        (events[i].data.fd == first_ ? first_ready : second_ready) = true;
    }
    return WaitResult::ready;
}

AcceptResult accept_connection(Socket listening, Socket& connection, uint32_t& peer_address) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    connection = accept4(listening, raw(peer), &length, SOCK_CLOEXEC);
    if (connection < 0) {
        connection = NO_SOCKET;
        bool passing =
            errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED;
        return passing ? AcceptResult::failed : AcceptResult::exhausted;
    }
    peer_address = peer.sin_addr.s_addr;
    return AcceptResult::accepted;
}

Status connect_to(Socket socket, uint32_t address, uint16_t port) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = address;
    target.sin_port = port;
    int result;
    do {
        result = connect(socket, raw(target), sizeof target);
    } while (result != 0 && errno == EINTR);
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
    ssize_t sent;
    do {
        sent = send(socket, data, length, flags);
    } while (sent < 0 && errno == EINTR);
    return static_cast<long>(sent);
}

long receive_some(Socket socket, std::span<char> buffer) {
    ssize_t received;
    do {
        received = recv(socket, buffer.data(), buffer.size(), 0);
    } while (received < 0 && errno == EINTR);
    return static_cast<long>(received);
}

Status bytes_waiting(Socket socket, int& count) {
    return ioctl(socket, FIONREAD, &count) == 0 ? Status::ok : Status::failed;
}

void stop_sending(Socket socket) {
    (void)shutdown(socket, SHUT_WR);
}

WaitResult wait_readable(Socket socket, int timeout_ms) {
    pollfd readable{socket, POLLIN, 0};
    int result;
    do {
        result = poll(&readable, 1, timeout_ms);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        return WaitResult::failed;
    }
    return result == 0 ? WaitResult::timed_out : WaitResult::ready;
}

void send_without_delay(Socket socket) {
    int on = 1;
    (void)setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}
