#include "test_client.hpp"

#include "server_process.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace {

bool ready(int fd, short events, int timeout_ms) {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, timeout_ms) > 0;
}

sockaddr_in address_of(const char* ip, int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, ip, &address.sin_addr);
    return address;
}

// Reads into `received` up to the peer's close (true), a LF when
// `one_line`, max_bytes, or the time-out.
bool receive(int fd, std::string& received, int timeout_ms, bool one_line,
             size_t max_bytes = SIZE_MAX) {
    using namespace std::chrono;
    auto deadline = steady_clock::now() + milliseconds(timeout_ms);
    char buffer[65536];
    auto left = [&] {
        return static_cast<int>(std::max(0L, (deadline - steady_clock::now()) / 1ms));
    };
    while (received.size() < max_bytes && ready(fd, POLLIN, left())) {
        size_t wanted = one_line ? 1 : std::min(sizeof buffer, max_bytes - received.size());
        ssize_t got = ::recv(fd, buffer, wanted, 0);
        if (got <= 0)
            return true;
        received.append(buffer, static_cast<size_t>(got));
        if (one_line && buffer[0] == '\n')
            break;
    }
    return false;
}

std::string receive(int fd, int timeout_ms, bool one_line) {
    std::string received;
    receive(fd, received, timeout_ms, one_line);
    return received;
}

void set_receive_buffer(int fd, int bytes) {
    if (bytes > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

} // namespace

int listen_on(const char* ip, int port, int receive_buffer) {
    sockaddr_in address = address_of(ip, port);
    ClientSocket owner(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    set_receive_buffer(owner.get(), receive_buffer);
    bool ok = ::bind(owner.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              ::listen(owner.get(), 16) == 0;
    return ok ? owner.release() : -1;
}

int local_port_of(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

bool send_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        data.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

std::string read_until_close(int fd, int timeout_ms) {
    return receive(fd, timeout_ms, false);
}

bool receive_until_close(int fd, std::string& into, int timeout_ms, size_t max_bytes) {
    return receive(fd, into, timeout_ms, false, max_bytes);
}

std::string read_line(int fd, int timeout_ms) {
    return receive(fd, timeout_ms, true);
}

bool peer_closed_without_bytes(int fd, int timeout_ms) {
    char c;
    return ready(fd, POLLIN, timeout_ms) && ::recv(fd, &c, 1, MSG_PEEK) <= 0;
}

void ClientSocket::reset() {
    linger abort_on_close{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    close();
}

ClientSocket ClientSocket::connect(int port, const char* from_ip, int receive_buffer) {
    return connect_to("127.0.0.1", port, from_ip, receive_buffer);
}

ClientSocket ClientSocket::connect_to(const char* to_ip, int port, const char* from_ip,
                                      int receive_buffer) {
    sockaddr_in local = address_of(from_ip, 0);
    sockaddr_in remote = address_of(to_ip, port);
    ClientSocket client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    set_receive_buffer(client.get(), receive_buffer);
    // Linux bounds connect() and each send by this time-out, so that neither
    // a SYN dropped by a full backlog nor a peer that stops reading can hang
    // a test.
    timeval limit{3, 0};
    ::setsockopt(client.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (::bind(client.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(client.get(), reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0)
        return ClientSocket();
    return client;
}

int free_tcp_port(int other) {
    // The kernel may hand out the port it handed out last, once closed.
    int port = other;
    for (int attempt = 0; attempt < 100 && port == other; ++attempt) {
        ClientSocket probe(listen_on("127.0.0.1", 0));
        sockaddr_in address{};
        socklen_t length = sizeof address;
        ::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    return port;
}
