// FTP path resolution agrees with std::filesystem's lexical normalisation:
// the same path, and "inside" exactly when that path is the root or lies
// below it by whole names.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "fs/path.hpp"
#include "ftp/ftp_path.hpp"

namespace {

namespace fs = std::filesystem;

const std::string ROOT = "/srv/pelmar/ftproot";

struct Resolved {
    std::string path; // with "/" separators
    bool inside;
};

std::string with_slashes(std::string text) {
    std::replace(text.begin(), text.end(), '\\', '/');
    return text;
}

// The reference: join, normalise lexically, drop a trailing separator.
Resolved reference(const std::string& cwd, std::string argument) {
    argument.erase(0, argument.find_first_not_of(' ') == std::string::npos
                          ? argument.size()
                          : argument.find_first_not_of(' '));
    argument = with_slashes(argument);
    std::string base = !argument.empty() && argument[0] == '/' ? ROOT : with_slashes(cwd);
    std::string normal =
        (fs::path(base) / fs::path(argument).relative_path()).lexically_normal().generic_string();
    while (normal.size() > 1 && normal.back() == '/') {
        normal.pop_back();
    }
    bool inside = normal == ROOT || normal.starts_with(ROOT + "/");
    return {normal, inside};
}

Resolved resolve(const std::string& cwd, std::string argument) {
    char out[PATH_CAP];
    Status inside = resolve_ftp_path(out, cwd.c_str(), argument.data(), ROOT.c_str(),
                                     static_cast<int>(ROOT.size()));
    return {with_slashes(out), inside == Status::ok};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 600) {
        return 0;
    }
    std::string input(reinterpret_cast<const char*>(data), size);
    input = input.substr(0, input.find('\0'));
    // "first|second": CWD to the first, then resolve the second from there.
    size_t split = input.find('|');
    std::string cwd = ROOT;
    std::string argument = input;
    if (split != std::string::npos) {
        Resolved first = resolve(ROOT, input.substr(0, split));
        if (first.inside) {
            cwd = first.path;
        }
        argument = input.substr(split + 1);
    }
    Resolved expected = reference(cwd, argument);
    Resolved got = resolve(cwd, argument);
    if (expected.path.size() >= PATH_CAP) {
        // Too long to name anything: never inside.
        if (got.inside) {
            std::abort();
        }
        return 0;
    }
    if (got.inside != expected.inside || got.path != expected.path) {
        std::abort();
    }
    return 0;
}
