#include "platform/socket.hpp"

#include <winsock2.h>
#include <ws2tcpip.h>

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

ConnectionWaiter::~ConnectionWaiter() = default;

bool ConnectionWaiter::prepare(Socket first, Socket second) {
    first_ = first;
    second_ = second;
    return true;
}

WaitResult ConnectionWaiter::wait(bool& first_ready, bool& second_ready) {
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(native(first_), &ready);
    FD_SET(native(second_), &ready);
    // No time-out: an idle server sleeps here instead of polling.
    if (select(0, &ready, nullptr, nullptr, nullptr) == SOCKET_ERROR) {
        return WaitResult::failed;
    }
    first_ready = FD_ISSET(native(first_), &ready) != 0;
    second_ready = FD_ISSET(native(second_), &ready) != 0;
    return first_ready || second_ready ? WaitResult::ready : WaitResult::timed_out;
}

AcceptResult accept_connection(Socket listening, Socket& connection, uint32_t& peer_address) {
    sockaddr_in peer{};
    int length = sizeof peer;
    SOCKET accepted = accept(native(listening), raw(peer), &length);
    if (accepted == INVALID_SOCKET) {
        connection = NO_SOCKET;
        int error = WSAGetLastError();
        bool passing = error == WSAEINTR || error == WSAECONNRESET || error == WSAECONNABORTED ||
                       error == WSAEWOULDBLOCK;
        return passing ? AcceptResult::failed : AcceptResult::exhausted;
    }
    // Here an accepted socket inherits the listening socket's mode; the
    // sessions need it to block.
    u_long off = 0;
    (void)ioctlsocket(accepted, FIONBIO, &off);
    connection = static_cast<Socket>(accepted);
    peer_address = peer.sin_addr.s_addr;
    return AcceptResult::accepted;
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

WaitResult wait_readable(Socket socket, int timeout_ms) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(native(socket), &readable);
    timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    int result = select(0, &readable, nullptr, nullptr, &timeout);
    if (result == SOCKET_ERROR) {
        return WaitResult::failed;
    }
    return result == 0 ? WaitResult::timed_out : WaitResult::ready;
}

void send_without_delay(Socket socket) {
    BOOL on = TRUE;
    (void)setsockopt(native(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                     sizeof on);
}
