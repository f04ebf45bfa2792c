// An FTP argument that resolves inside names the root itself or something
// below it by whole names, with no "." or ".." left to climb out again.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fs/path.hpp"
#include "ftp/ftp_path.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 600) {
        return 0;
    }
    std::string input(reinterpret_cast<const char*>(data), size);
    input = input.substr(0, input.find('\0'));
    size_t split = input.find('|');
    static const char root[] = "/srv/pelmar/ftproot";
    const int root_length = sizeof root - 1;

    // The current directory is always a place that resolved inside before.
    char cwd[PATH_CAP];
    std::memcpy(cwd, root, sizeof root);
    std::string argument = input;
    if (split != std::string::npos) {
        std::string first = input.substr(0, split);
        char out[PATH_CAP];
        if (resolve_ftp_path(out, root, first.data(), root, root_length) == 0) {
            std::memcpy(cwd, out, std::strlen(out) + 1);
        }
        argument = input.substr(split + 1);
    }

    char out[PATH_CAP];
    if (resolve_ftp_path(out, cwd, argument.data(), root, root_length) != 0) {
        return 0;
    }
    size_t length = std::strlen(out);
    if (length >= PATH_CAP || length < static_cast<size_t>(root_length)) {
        std::abort();
    }
    for (int i = 0; i < root_length; ++i) {
        bool same = out[i] == root[i] || (is_path_separator(out[i]) && is_path_separator(root[i]));
        if (!same) {
            std::abort();
        }
    }
    if (out[root_length] != '\0' && !is_path_separator(out[root_length])) {
        std::abort();
    }
    char canonical[PATH_CAP];
    path_canonicalize(canonical, out);
    if (std::strcmp(canonical, out) != 0) {
        std::abort();
    }
    return 0;
}
