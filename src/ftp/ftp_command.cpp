#include "ftp/ftp_command.hpp"

#include <arpa/inet.h>
#include <cstring>

#include "net/text_number.hpp"

namespace {

bool word_is(const char* line, const char* word) {
    return starts_with_ignoring_ascii_case(line, word, static_cast<int>(std::strlen(word)));
}

} // namespace

FtpCommand classify_ftp_command(const char* line) {
    if (equals_ignoring_ascii_case(line, "quit")) {
        return FTP_QUIT;
    }
    if (word_is(line, "user ")) {
        return FTP_USER;
    }
    if (word_is(line, "pass ")) {
        return FTP_PASS;
    }
    if (word_is(line, "port ")) {
        return FTP_PORT;
    }
    if (word_is(line, "type")) {
        return FTP_TYPE;
    }
    if (word_is(line, "pwd") || word_is(line, "xpwd")) {
        return FTP_PWD;
    }
    if (word_is(line, "cwd") || word_is(line, "xcwd")) {
        return FTP_CWD;
    }
    if (word_is(line, "list")) {
        return FTP_LIST;
    }
    if (word_is(line, "retr")) {
        return FTP_RETR;
    }
    return FTP_UNKNOWN;
}

char* command_argument(char* line, int from) {
    // A shorter line's argument is the empty text at its own end.
    size_t length = std::strlen(line);
    return length >= static_cast<size_t>(from) ? line + from : line + length;
}

int read_port_numbers(const char* argument, int32_t* numbers) {
    // Reads like the pattern "%d ,%d ,%d ,%d ,%d ,%d" of formatted input:
    // white space may come before each number and each comma, and reading
    // stops at the first text that does not fit.
    const char* p = argument;
    for (int i = 0; i < 6; ++i) {
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
    return 6;
}

DataEndpoint endpoint_from_numbers(const int32_t* numbers) {
    uint32_t address = 0;
    for (int i = 0; i < 4; ++i) {
        address = (address << 8) | (static_cast<uint32_t>(numbers[i]) & 0xFFu);
    }
    uint32_t port = ((static_cast<uint32_t>(numbers[4]) & 0xFFu) << 8) |
                    (static_cast<uint32_t>(numbers[5]) & 0xFFu);
    DataEndpoint endpoint;
    endpoint.address = htonl(address);
    endpoint.port = htons(static_cast<uint16_t>(port));
    return endpoint;
}
