// PORT arguments are read like sscanf("%d ,%d ,%d ,%d ,%d ,%d"): the same
// count and values, and numbers not reached keep theirs.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ftp/ftp_command.hpp"

namespace {

// sscanf's %d is undefined on overflow; compare only where it is defined.
bool has_long_digit_run(const std::string& text) {
    int run = 0;
    for (char c : text) {
        run = (c >= '0' && c <= '9') ? run + 1 : 0;
        if (run > 9) {
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string argument(reinterpret_cast<const char*>(data), size);
    argument = argument.substr(0, argument.find('\0'));
    PortNumbers numbers = {-7, -7, -7, -7, -7, -7};
    int read = read_port_numbers(argument.c_str(), numbers);
    if (read < 0 || read > 6) {
        std::abort();
    }
    for (int i = read; i < 6; ++i) {
        if (numbers[i] != -7) {
            std::abort();
        }
    }
    if (has_long_digit_run(argument)) {
        return 0;
    }
    int expected[6] = {-7, -7, -7, -7, -7, -7};
    int scanned = std::sscanf(argument.c_str(), "%d ,%d ,%d ,%d ,%d ,%d", &expected[0],
                              &expected[1], &expected[2], &expected[3], &expected[4], &expected[5]);
    if (scanned < 0) {
        scanned = 0;
    }
    if (scanned != read) {
        std::abort();
    }
    for (int i = 0; i < 6; ++i) {
        if (expected[i] != numbers[i]) {
            std::abort();
        }
    }
    DataEndpoint endpoint = endpoint_from_numbers(numbers);
    (void)endpoint;
    return 0;
}
