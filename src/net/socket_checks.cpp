#include "net/socket_checks.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

bool endpoint_of(int socket, bool local, sockaddr_in& address) {
    socklen_t length = sizeof address;
    sockaddr* raw = reinterpret_cast<sockaddr*>(&address);
    int result = local ? getsockname(socket, raw, &length) : getpeername(socket, raw, &length);
    return result == 0 && address.sin_family == AF_INET;
}

} // namespace

bool connected_to_itself(int socket) {
    sockaddr_in local{};
    sockaddr_in remote{};
    return endpoint_of(socket, true, local) && endpoint_of(socket, false, remote) &&
           local.sin_addr.s_addr == remote.sin_addr.s_addr && local.sin_port == remote.sin_port;
}

bool is_loopback_address(uint32_t address) {
    return (ntohl(address) >> 24) == 127;
}

uint32_t local_address_of(int socket) {
    sockaddr_in local{};
    return endpoint_of(socket, true, local) ? local.sin_addr.s_addr : 0;
}
