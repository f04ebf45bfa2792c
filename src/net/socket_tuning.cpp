#include "net/socket_tuning.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

void send_without_delay(int socket) {
    int on = 1;
    (void)setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void limit_unsent_bytes(int socket) {
#ifdef TCP_NOTSENT_LOWAT
    int limit = static_cast<int>(UNSENT_BYTES_LIMIT);
    (void)setsockopt(socket, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &limit, sizeof limit);
#else
    (void)socket;
#endif
}
