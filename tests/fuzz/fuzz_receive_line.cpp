// The line reader over a real socket agrees with a plain model of the line
// rules, and keeps every byte past the last LF it handed out for take().
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "net/line_io.hpp"

namespace {

struct Expected {
    ReceiveLineResult result;
    std::string text;
    size_t consumed;
};

Expected model(const std::string& bytes, size_t from, int cap) {
    std::string text;
    bool overflow = false;
    for (size_t i = from; i < bytes.size(); ++i) {
        char c = bytes[i];
        if (c != '\r' && c != '\n' && !overflow) {
            text += c;
            overflow = static_cast<int>(text.size()) >= cap;
        }
        if (c == '\n') {
            return {overflow ? ReceiveLineResult::failed : ReceiveLineResult::ok, text,
                    i + 1 - from};
        }
    }
    return {ReceiveLineResult::closed, text, bytes.size() - from};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 8192) {
        return 0;
    }
    int cap = 1 + data[0] % 64;
    std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
        return 0;
    }
    if (write(ends[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        std::abort();
    }
    close(ends[1]);
    // One reader hands out lines until the stream closes or a line fails;
    // what it then gives by take() must be exactly the bytes after them.
    size_t position = 0;
    char buffer[80];
    LineReader reader(ends[0]);
    for (;;) {
        Expected expected = model(bytes, position, cap);
        ReceiveLineResult result = reader.next({buffer, static_cast<size_t>(cap) + 1});
        if (result != expected.result ||
            std::memcmp(buffer, expected.text.data(), expected.text.size()) != 0 ||
            buffer[expected.text.size()] != '\0') {
            std::abort();
        }
        position += expected.consumed;
        if (result != ReceiveLineResult::ok) {
            break;
        }
    }
    std::string rest;
    char chunk[4096];
    long n;
    while ((n = reader.take(chunk)) > 0) {
        rest.append(chunk, static_cast<size_t>(n));
    }
    if (rest != bytes.substr(position)) {
        std::abort();
    }
    close(ends[0]);
    return 0;
}
