#include "net/socket_tuning.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

void send_without_delay(int socket) {
    int on = 1;
    (void)setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}
