#include "platform/socket.hpp"

#include <winsock2.h>
#include <ws2tcpip.h>

// After winsock2.h, whose types it uses.
#include <mstcpip.h>
#include <mutex>

namespace {

sockaddr* raw(sockaddr_in& address) {
    return reinterpret_cast<sockaddr*>(&address);
}

SOCKET native(Socket socket) {
    return static_cast<SOCKET>(socket);
}

int as_length(size_t length) {
    // One call never takes more than an int can count; the callers loop.
    constexpr size_t most = 1 << 30;
    return static_cast<int>(length < most ? length : most);
}

} // namespace

Status start_socket_library() {
    WSADATA data;
    if (WSAStartup(0x0002, &data) == 0 || WSAStartup(0x0101, &data) == 0) {
        return Status::ok;
    }
    return Status::failed;
}

Socket open_tcp_socket() {
    SOCKET created = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return created == INVALID_SOCKET ? NO_SOCKET : static_cast<Socket>(created);
}

void close_socket(Socket socket) {
    if (socket != NO_SOCKET) {
        closesocket(native(socket));
    }
}

Status bind_listening_socket(Socket socket, uint16_t port) {
    // Here the port is ours alone: SO_REUSEADDR would let another program
    // bind it too, and a restart binds at once without it.
    BOOL on = TRUE;
    (void)setsockopt(native(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                     reinterpret_cast<const char*>(&on), sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    return bind(native(socket), raw(address), sizeof address) == 0 ? Status::ok : Status::failed;
}

Status listen_for_bursts(Socket socket) {
    return listen(native(socket), SOMAXCONN) == 0 ? Status::ok : Status::failed;
}

void accept_without_waiting(Socket listening) {
    u_long on = 1;
    (void)ioctlsocket(native(listening), FIONBIO, &on);
}

uint16_t bound_port(Socket socket) {
    SocketEndpoint own;
    return socket_endpoint(socket, true, own) ? ntohs(own.port) : 0;
}

void accept_once_data_arrives(Socket, int) {
    // No such option here: a connection is handed over when it is made.
}

namespace {

// Only one thread at a time waits and accepts: select() would wake every
// waiting thread for the same connection.
std::mutex waiting_turn;

// Accepts one connection, if one still waits.
AcceptResult accept_connection(Socket listening, AcceptedConnection& accepted) {
    sockaddr_in peer{};
    int length = sizeof peer;
    SOCKET connection = accept(native(listening), raw(peer), &length);
    if (connection == INVALID_SOCKET) {
        int error = WSAGetLastError();
        bool passing = error == WSAEINTR || error == WSAECONNRESET || error == WSAECONNABORTED ||
                       error == WSAEWOULDBLOCK;
        return passing ? AcceptResult::failed : AcceptResult::exhausted;
    }
    // Here an accepted socket inherits the listening socket's mode; the
    // sessions need it to block.
    u_long off = 0;
    (void)ioctlsocket(connection, FIONBIO, &off);
    accepted.socket = static_cast<Socket>(connection);
    accepted.peer_address = peer.sin_addr.s_addr;
    end_when_peer_vanishes(accepted.socket);
    return AcceptResult::accepted;
}

// Until either socket has a connection waiting.
WaitResult wait_for_ports(const Socket (&sockets)[2], bool (&ready)[2]) {
    fd_set waiting;
    FD_ZERO(&waiting);
    FD_SET(native(sockets[0]), &waiting);
    FD_SET(native(sockets[1]), &waiting);
    // No time-out: an idle server sleeps here instead of polling.
    if (select(0, &waiting, nullptr, nullptr, nullptr) == SOCKET_ERROR) {
        return WSAGetLastError() == WSAEINTR ? WaitResult::interrupted : WaitResult::failed;
    }
    ready[0] = FD_ISSET(native(sockets[0]), &waiting) != 0;
    ready[1] = FD_ISSET(native(sockets[1]), &waiting) != 0;
    return WaitResult::ready;
}

} // namespace

ConnectionWaiter::~ConnectionWaiter() = default;

Status ConnectionWaiter::prepare(Socket first, Socket second) {
    sockets_[0] = first;
    sockets_[1] = second;
    return Status::ok;
}

// No connection waits while a thread is idle. The turn covers the wait and
// the accept, and select() tells what waits now, not what has arrived: the
// thread that has the turn either takes a connection, and hands the turn
// to the next idle thread, which looks again, or finds both ports empty.
AcceptResult ConnectionWaiter::accept_next(bool first_goes_first, AcceptedConnection& accepted) {
    std::lock_guard<std::mutex> turn(waiting_turn);
    for (;;) {
        bool ready[2];
        WaitResult waited = wait_for_ports(sockets_, ready);
        if (waited == WaitResult::failed) {
            return AcceptResult::failed;
        }
        if (waited == WaitResult::interrupted) {
            continue;
        }
        // Of two ports with connections waiting, the one whose turn it is.
        int first = first_goes_first ? 0 : 1;
        if (!ready[first]) {
            first = 1 - first;
        }
        for (int port : {first, 1 - first}) {
            AcceptResult result = accept_connection(sockets_[port], accepted);
            accepted.from_first = port == 0;
            if (result != AcceptResult::failed) {
                return result;
            }
        }
    }
}

void end_when_peer_vanishes(Socket socket) {
    // The number of probes is Windows' own, 10.
    BOOL on = TRUE;
    (void)setsockopt(native(socket), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on),
                     sizeof on);
    tcp_keepalive settings{1, PEER_IDLE_SECONDS * 1000, PEER_PROBE_INTERVAL_SECONDS * 1000};
    DWORD returned = 0;
    (void)WSAIoctl(native(socket), SIO_KEEPALIVE_VALS, &settings, sizeof settings, nullptr, 0,
                   &returned, nullptr, nullptr);
}

bool is_address_of_this_machine(uint32_t address) {
    // Only an address of our own can be bound to.
    SOCKET probe = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (probe == INVALID_SOCKET) {
        return true;
    }
    sockaddr_in own{};
    own.sin_family = AF_INET;
    own.sin_addr.s_addr = address;
    bool bound = bind(probe, raw(own), sizeof own) == 0;
    bool foreign = !bound && WSAGetLastError() == WSAEADDRNOTAVAIL;
    closesocket(probe);
    return !foreign;
}

Status connect_to(Socket socket, uint32_t address, uint16_t port) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = address;
    target.sin_port = port;
    if (connect(native(socket), raw(target), sizeof target) == 0) {
        return Status::ok;
    }
    // The connection was made and the peer reset it before the call
    // returned (Wine reports that; a refusal is WSAECONNREFUSED). Like a
    // blocking connect elsewhere, count it as made: the transfer then fails
    // at its first send, instead of being reported as never connected.
    return WSAGetLastError() == WSAECONNRESET ? Status::ok : Status::failed;
}

bool socket_endpoint(Socket socket, bool local, SocketEndpoint& endpoint) {
    sockaddr_in address{};
    int length = sizeof address;
    int result = local ? getsockname(native(socket), raw(address), &length)
                       : getpeername(native(socket), raw(address), &length);
    if (result != 0 || address.sin_family != AF_INET) {
        return false;
    }
    endpoint.address = address.sin_addr.s_addr;
    endpoint.port = address.sin_port;
    return true;
}

long send_some(Socket socket, const char* data, size_t length, bool) {
    int sent = send(native(socket), data, as_length(length), 0);
    return sent == SOCKET_ERROR ? -1 : static_cast<long>(sent);
}

long receive_some(Socket socket, std::span<char> buffer) {
    int received = recv(native(socket), buffer.data(), as_length(buffer.size()), 0);
    return received == SOCKET_ERROR ? -1 : static_cast<long>(received);
}

long receive_unless_quiet(Socket socket, std::span<char> buffer, int quiet_ms) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(native(socket), &readable);
    timeval quiet{quiet_ms / 1000, (quiet_ms % 1000) * 1000};
    if (select(0, &readable, nullptr, nullptr, &quiet) != 1) {
        return -1;
    }
    return receive_some(socket, buffer);
}

void time_out_quiet_receives(Socket, int) {
    // Not passed on here: a receive that times out leaves a Windows socket
    // in a state that nothing may rely on, and a session's own receives
    // must wait on.
}

Status bytes_waiting(Socket socket, int& count) {
    u_long waiting = 0;
    if (ioctlsocket(native(socket), FIONREAD, &waiting) != 0) {
        return Status::failed;
    }
    count = static_cast<int>(waiting);
    return Status::ok;
}

void stop_sending(Socket socket) {
    (void)shutdown(native(socket), SD_SEND);
}

void send_without_delay(Socket socket) {
    BOOL on = TRUE;
    (void)setsockopt(native(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                     sizeof on);
}

// Each session waits for its own close here: Windows has no epoll, and a
// thread that waited on many connections at once would need select's
// limit of 64 sockets and a wake-up of its own.
Status start_closing_in_background(int, int) {
    return Status::failed;
}

bool close_in_background(Socket) {
    return false;
}
