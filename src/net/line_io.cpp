#include "net/line_io.hpp"

#include <cstring>

#include "console/console.hpp"

namespace {

// Stores one received byte under the line rules; true once the LF is seen.
bool take_byte(char byte, char* buffer, int cap, int& stored, bool& overflow) {
    if (byte != '\r' && byte != '\n' && !overflow) {
        buffer[stored++] = byte;
        overflow = stored >= cap;
    }
    return byte == '\n';
}

} // namespace

void LineReader::release() {
    // These bytes have been seen, so they are in the socket: the receive
    // returns at once with exactly them.
    char discard[sizeof seen_];
    size_t left = handed_out_;
    while (left > 0) {
        long received = receive_some(socket_, discard, left);
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
            long peeked = receive_some(socket_, seen_, sizeof seen_, true);
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

ReceiveLineResult receive_line(Socket socket, char* buffer, int cap) {
    LineReader reader(socket);
    return reader.next(buffer, cap);
}

void send_text(Socket socket, const char* text) {
    size_t length = std::strlen(text);
    (void)send_some(socket, text, length);
    console_write(text, length);
}

bool TextBatch::add(const char* text) {
    if (peer_gone_ && echo_ == ECHO_DELIVERED) {
        return false;
    }
    size_t length = std::strlen(text);
    if (length > sizeof buffer_ - used_ || texts_ == MAX_TEXTS) {
        flush();
    }
    if (length > sizeof buffer_) {
        send_alone(text, length);
        return !peer_gone_;
    }
    std::memcpy(buffer_ + used_, text, length);
    used_ += length;
    ends_[texts_++] = static_cast<uint16_t>(used_);
    return !peer_gone_;
}

void TextBatch::send_alone(const char* text, size_t length) {
    long delivered = 0;
    if (!peer_gone_) {
        delivered = send_bytes(socket_, text, static_cast<long>(length));
        peer_gone_ = delivered != static_cast<long>(length);
    }
    if (echo_ == ECHO_ALL || !peer_gone_) {
        console_write(text, length);
    }
}

bool TextBatch::flush(bool more_follows) {
    if (used_ == 0) {
        return !peer_gone_;
    }
    size_t delivered = 0;
    if (!peer_gone_) {
        delivered = static_cast<size_t>(
            send_bytes(socket_, buffer_, static_cast<long>(used_), more_follows));
        peer_gone_ = delivered != used_;
    }
    size_t echoed = used_;
    if (peer_gone_ && echo_ == ECHO_DELIVERED) {
        // Only the texts that went out whole.
        echoed = 0;
        for (int i = 0; i < texts_ && ends_[i] <= delivered; ++i) {
            echoed = ends_[i];
        }
    }
    console_write(buffer_, echoed);
    used_ = 0;
    texts_ = 0;
    return !peer_gone_;
}
