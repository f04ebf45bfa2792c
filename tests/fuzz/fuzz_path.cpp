// A canonical path has no ".", ".." or empty segments and is canonical
// again; an append either fits its buffer canonically or names nothing.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fs/path.hpp"

namespace {

void check_canonical(const char* path) {
    const char* segment = path;
    if (is_path_separator(*segment)) {
        ++segment;
    }
    const char* p = segment;
    for (;; ++p) {
        if (*p != '\0' && !is_path_separator(*p)) {
            continue;
        }
        size_t length = static_cast<size_t>(p - segment);
        bool dot = length == 1 && segment[0] == '.';
        bool dotdot = length == 2 && segment[0] == '.' && segment[1] == '.';
        bool empty = length == 0 && !(*p == '\0' && segment == path + (is_path_separator(*path)));
        if (dot || dotdot || empty) {
            std::abort();
        }
        if (*p == '\0') {
            break;
        }
        segment = p + 1;
    }
    std::string again = path;
    path_canonicalize(again.data());
    if (std::strcmp(again.c_str(), path) != 0) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 3 * PATH_CAP) {
        return 0;
    }
    std::string input(reinterpret_cast<const char*>(data), size);
    input = input.substr(0, input.find('\0'));
    size_t split = input.find('|');
    std::string base = input.substr(0, split);
    std::string more = split == std::string::npos ? "" : input.substr(split + 1);

    std::string canonical_text = base;
    path_canonicalize(canonical_text.data());
    const char* canonical = canonical_text.c_str();
    if (std::strlen(canonical) > base.size()) {
        std::abort();
    }
    check_canonical(canonical);

    if (base.size() >= PATH_CAP) {
        return 0;
    }
    char joined[PATH_CAP];
    std::memcpy(joined, base.c_str(), base.size() + 1);
    Status result = path_append(joined, more.c_str());
    if (result == Status::failed && joined[0] != '\0') {
        std::abort();
    }
    bool more_empty = more.find_first_not_of("\\/") == std::string::npos;
    if (result == Status::ok && more_empty && base != joined) {
        std::abort();
    }
    if (result == Status::ok && !more_empty) {
        check_canonical(joined);
    }
    return 0;
}
