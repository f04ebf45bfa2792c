#include "net/line_io.hpp"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

#include "net/console.hpp"

namespace {

// Stores one received byte under the line rules; true once the LF is seen.
bool take_byte(char byte, char* buffer, int cap, int& stored, bool& overflow) {
    if (byte != '\r' && byte != '\n' && !overflow) {
        buffer[stored++] = byte;
        overflow = stored >= cap;
    }
    return byte == '\n';
}

// Receives, retrying when a signal interrupts the call.
ssize_t receive(int socket, char* data, size_t length, int flags) {
    ssize_t received;
    do {
        received = recv(socket, data, length, flags);
    } while (received < 0 && errno == EINTR);
    return received;
}

} // namespace

void LineReader::release() {
    // These bytes have been seen, so they are in the socket: the receive
    // returns at once with exactly them.
    char discard[sizeof seen_];
    size_t left = handed_out_;
    while (left > 0) {
        ssize_t received = receive(socket_, discard, left, 0);
        if (received <= 0) {
            break;
        }
        left -= static_cast<size_t>(received);
    }
    seen_length_ = 0;
    handed_out_ = 0;
}

ReceiveLineResult LineReader::next(char* buffer, int cap) {
    int stored = 0;
    bool overflow = false;
    for (;;) {
        if (handed_out_ == seen_length_) {
            release();
            ssize_t peeked = receive(socket_, seen_, sizeof seen_, MSG_PEEK);
            if (peeked <= 0) {
                buffer[stored] = '\0';
                return peeked == 0 ? LINE_CLOSED : LINE_FAILED;
            }
            seen_length_ = static_cast<size_t>(peeked);
        }
        while (handed_out_ < seen_length_) {
            if (take_byte(seen_[handed_out_++], buffer, cap, stored, overflow)) {
                buffer[stored] = '\0';
                return overflow ? LINE_FAILED : LINE_OK;
            }
        }
    }
}

ReceiveLineResult receive_line(int socket, char* buffer, int cap) {
    LineReader reader(socket);
    return reader.next(buffer, cap);
}

void send_text(int socket, const char* text) {
    size_t length = std::strlen(text);
    // MSG_NOSIGNAL: a peer that has gone must never end the process.
    (void)send(socket, text, length, MSG_NOSIGNAL);
    console_write(text, length);
}

int send_bytes(int socket, const char* data, long length, int flags) {
    while (length > 0) {
        ssize_t sent = send(socket, data, static_cast<size_t>(length), MSG_NOSIGNAL | flags);
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

void TextBatch::add(const char* text) {
    size_t length = std::strlen(text);
    if (length > sizeof buffer_ - used_) {
        flush();
    }
    if (length > sizeof buffer_) {
        send_text(socket_, text);
        return;
    }
    std::memcpy(buffer_ + used_, text, length);
    used_ += length;
}

void TextBatch::flush(bool more_follows) {
    if (used_ == 0) {
        return;
    }
    // Once the peer is gone the rest is not sent, but still logged.
    if (!peer_gone_) {
        peer_gone_ = send_bytes(socket_, buffer_, static_cast<long>(used_),
                                more_follows ? MSG_MORE : 0) != 0;
    }
    console_write(buffer_, used_);
    used_ = 0;
}
