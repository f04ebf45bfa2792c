#include "net/socket_tuning.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

void set_tcp_option(int socket, int option, int value) {
    (void)setsockopt(socket, IPPROTO_TCP, option, &value, sizeof value);
}

} // namespace

void send_without_delay(int socket) {
    set_tcp_option(socket, TCP_NODELAY, 1);
}

CorkedSocket::CorkedSocket(int socket) : socket_(socket) {
    set_tcp_option(socket_, TCP_CORK, 1);
}

CorkedSocket::~CorkedSocket() {
    set_tcp_option(socket_, TCP_CORK, 0);
}
