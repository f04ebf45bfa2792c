#include "net/line_io.hpp"

#include <algorithm>
#include <cstring>

#include "console/console.hpp"

namespace {

// Stores one received byte under the line rules; true once the LF is seen.
bool take_byte(char byte, std::span<char> line, size_t& stored, bool& overflow) {
    if (byte != '\r' && byte != '\n' && !overflow) {
        line[stored++] = byte;
        overflow = stored + 1 >= line.size();
    }
    return byte == '\n';
}

} // namespace

long LineReader::receive() {
    long received = receive_some(socket_, buffer_);
    received_ = received > 0 ? static_cast<size_t>(received) : 0;
    handed_out_ = 0;
    return received;
}

ReceiveLineResult LineReader::next(std::span<char> line) {
    size_t stored = 0;
    bool overflow = false;
    for (;;) {
        if (handed_out_ == received_) {
            long received = receive();
            if (received <= 0) {
                line[stored] = '\0';
                return received == 0 ? ReceiveLineResult::closed : ReceiveLineResult::failed;
            }
        }
        while (handed_out_ < received_) {
            if (take_byte(buffer_[handed_out_++], line, stored, overflow)) {
                line[stored] = '\0';
                return overflow ? ReceiveLineResult::failed : ReceiveLineResult::ok;
            }
        }
    }
}

long LineReader::take(std::span<char> out) {
    if (buffered() == 0) {
        // Straight into the caller's buffer: nothing is left of ours.
        return receive_some(socket_, out);
    }
    size_t count = std::min(out.size(), buffered());
    std::memcpy(out.data(), buffer_ + handed_out_, count);
    handed_out_ += count;
    return static_cast<long>(count);
}

void send_text(Socket socket, const char* text) {
    size_t length = std::strlen(text);
    (void)send_some(socket, text, length);
    console_write(text, length);
}

bool TextBatch::add(const char* text) {
    return add(text, std::strlen(text));
}

bool TextBatch::add(const char* text, size_t length) {
    if (peer_gone_ && echo_ == Echo::delivered) {
        return false;
    }
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
    if (echo_ == Echo::all || !peer_gone_) {
        console_write(text, length);
    }
}

bool TextBatch::flush(bool more_follows) {
    return send_batch(0, more_follows);
}

std::span<char> TextBatch::room() {
    return std::span(buffer_).subspan(used_);
}

bool TextBatch::flush_with_room(size_t extra, bool more_follows) {
    return send_batch(std::min(extra, sizeof buffer_ - used_), more_follows);
}

bool TextBatch::send_batch(size_t extra, bool more_follows) {
    size_t total = used_ + extra;
    if (total == 0) {
        return !peer_gone_;
    }
    size_t delivered = 0;
    if (!peer_gone_) {
        delivered = static_cast<size_t>(
            send_bytes(socket_, buffer_, static_cast<long>(total), more_follows));
        peer_gone_ = delivered != total;
    }
    size_t echoed = used_;
    if (peer_gone_ && echo_ == Echo::delivered) {
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
