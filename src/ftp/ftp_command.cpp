#include "ftp/ftp_command.hpp"

#include <cstring>

#include "net/network_order.hpp"
#include "text/ascii.hpp"

namespace {

bool word_is(const char* line, const char* word) {
    return starts_with_ignoring_ascii_case(line, word, static_cast<int>(std::strlen(word)));
}

} // namespace

FtpCommand classify_ftp_command(const char* line) {
    if (equals_ignoring_ascii_case(line, "quit")) {
        return FtpCommand::quit;
    }
    if (word_is(line, "user ")) {
        return FtpCommand::user;
    }
    if (word_is(line, "pass ")) {
        return FtpCommand::pass;
    }
    if (word_is(line, "port ")) {
        return FtpCommand::port;
    }
    if (word_is(line, "type")) {
        return FtpCommand::type;
    }
    if (word_is(line, "pwd") || word_is(line, "xpwd")) {
        return FtpCommand::pwd;
    }
    if (word_is(line, "cwd") || word_is(line, "xcwd")) {
        return FtpCommand::cwd;
    }
    if (word_is(line, "list")) {
        return FtpCommand::list;
    }
    if (word_is(line, "retr")) {
        return FtpCommand::retr;
    }
    return FtpCommand::unknown;
}

char* command_argument(char* line, int from) {
    // A shorter line's argument is the empty text at its own end.
    size_t length = std::strlen(line);
    return length >= static_cast<size_t>(from) ? line + from : line + length;
}

int read_port_numbers(const char* argument, PortNumbers& numbers) {
    // Reads like the pattern "%d ,%d ,%d ,%d ,%d ,%d" of formatted input:
    // white space may come before each number and each comma, and reading
    // stops at the first text that does not fit.
    const char* p = argument;
    for (int i = 0; i < PORT_NUMBER_COUNT; ++i) {
        if (i > 0) {
            while (is_c_space(*p)) {
                ++p;
            }
            if (*p != ',') {
                return i;
            }
            ++p;
        }
        const char* end = nullptr;
        int32_t value = parse_wrapping_int(p, &end);
        if (end == p) {
            return i;
        }
        numbers[i] = value;
        p = end;
    }
    return PORT_NUMBER_COUNT;
}

DataEndpoint endpoint_from_numbers(const PortNumbers& numbers) {
    // The low 8 bits of each: four address bytes, then the port's high and
    // low byte.
    auto byte = [&](int i) { return static_cast<uint8_t>(numbers[i] & 0xFF); };
    DataEndpoint endpoint;
    endpoint.address = address_from_bytes(byte(0), byte(1), byte(2), byte(3));
    endpoint.port = port_to_network_order(static_cast<uint16_t>(byte(4) << 8 | byte(5)));
    return endpoint;
}
