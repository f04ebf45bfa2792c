#include "net/line_io.hpp"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

#include "net/console.hpp"

ReceiveLineResult receive_line(int socket, char* buffer, int cap) {
    int stored = 0;
    bool overflow = false;
    for (;;) {
        char byte;
        // One byte at a time: whatever follows the LF (a request body, the
        // next command) must stay in the socket for the next reader.
        ssize_t received = recv(socket, &byte, 1, 0);
        if (received < 0 && errno == EINTR) {
            continue;
        }
        if (received < 0) {
            buffer[stored] = '\0';
            return LINE_FAILED;
        }
        if (received == 0) {
            buffer[stored] = '\0';
            return LINE_CLOSED;
        }
        if (byte != '\r' && byte != '\n' && !overflow) {
            buffer[stored++] = byte;
            overflow = stored >= cap;
        }
        if (byte == '\n') {
            buffer[stored] = '\0';
            return overflow ? LINE_FAILED : LINE_OK;
        }
    }
}

void send_text(int socket, const char* text) {
    size_t length = std::strlen(text);
    // MSG_NOSIGNAL: a peer that has gone must never end the process.
    (void)send(socket, text, length, MSG_NOSIGNAL);
    console_write(text, length);
}

int send_bytes(int socket, const char* data, long length) {
    while (length > 0) {
        ssize_t sent = send(socket, data, static_cast<size_t>(length), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return 1;
        }
        data += sent;
        length -= sent;
    }
    return 0;
}
