#include "startup/switches.hpp"

#include "text/ascii.hpp"

Status apply_switches(int argc, const char* const* argv, ServerSettings& out) {
    for (int i = 1; i < argc; ++i) {
        const char* word = argv[i];
        if (equals_ignoring_ascii_case(word, "/a")) {
            out.allow_remote = 1;
        } else if (equals_ignoring_ascii_case(word, "/ftpport") && i + 1 < argc) {
            out.ftp_port = parse_wrapping_int(argv[++i]);
        } else if (equals_ignoring_ascii_case(word, "/wwwport") && i + 1 < argc) {
            out.www_port = parse_wrapping_int(argv[++i]);
        } else {
            // Also a port switch with no value after it.
            return Status::failed;
        }
    }
    return Status::ok;
}
