#include "fs/path.hpp"

#include <cstring>

#include "platform/host.hpp"
#include "text/ascii.hpp"

namespace {

bool is_dot_segment(const char* segment, size_t length) {
    return length == 1 && segment[0] == '.';
}

bool is_dotdot_segment(const char* segment, size_t length) {
    return length == 2 && segment[0] == '.' && segment[1] == '.';
}

// Drops the last segment written, with the separator before it; the root
// separator stays.
size_t drop_last_segment(const char* text, size_t root_length, size_t end) {
    while (end > root_length && !is_path_separator(text[end - 1])) {
        --end;
    }
    return end > root_length ? end - 1 : root_length;
}

bool starts_with_drive(const char* path) {
    char letter = static_cast<char>(path[0] | 0x20);
    return HOST_HAS_DRIVE_LETTERS && letter >= 'a' && letter <= 'z' && path[1] == ':';
}

// How much of the path is its root, which ".." never climbs above: a
// separator, or a drive with its separator.
size_t root_length_of(const char* path) {
    if (starts_with_drive(path)) {
        return is_path_separator(path[2]) ? 3 : 2;
    }
    return is_path_separator(path[0]) ? 1 : 0;
}

char fold_for_host(char c) {
    return HOST_PATHS_IGNORE_CASE ? fold_ascii_case(c) : c;
}

} // namespace

void path_canonicalize(char* path) {
    // The write position never passes the read position.
    size_t root_length = root_length_of(path);
    size_t read = root_length;
    size_t write = root_length;
    for (;;) {
        char separator = '\\';
        while (is_path_separator(path[read])) {
            separator = path[read++];
        }
        if (path[read] == '\0') {
            break;
        }
        size_t end = read;
        while (path[end] != '\0' && !is_path_separator(path[end])) {
            ++end;
        }
        size_t length = end - read;
        if (is_dotdot_segment(path + read, length)) {
            write = drop_last_segment(path, root_length, write);
        } else if (!is_dot_segment(path + read, length)) {
            if (write > root_length) {
                path[write++] = separator;
            }
            std::memmove(path + write, path + read, length);
            write += length;
        }
        read = end;
    }
    path[write] = '\0';
}

Status path_append(std::span<char> path, const char* more) {
    while (is_path_separator(*more)) {
        ++more;
    }
    if (*more == '\0') {
        return Status::ok;
    }
    if (starts_with_drive(more)) {
        // A full path on a drive of its own replaces the path.
        size_t more_length = std::strlen(more);
        if (more_length + 1 > path.size()) {
            path[0] = '\0';
            return Status::failed;
        }
        std::memcpy(path.data(), more, more_length + 1);
        path_canonicalize(path.data());
        return Status::ok;
    }
    // The joined text may be longer than the result: ".." segments in `more`
    // shorten it again, so only the canonical result has to fit. Room for a
    // whole path and the longest name of any host.
    char joined[4 * PATH_CAP];
    size_t path_length = std::strlen(path.data());
    size_t more_length = std::strlen(more);
    if (path_length + more_length + 2 > sizeof joined) {
        path[0] = '\0';
        return Status::failed;
    }
    std::memcpy(joined, path.data(), path_length);
    size_t length = path_length;
    if (length > 0 && !is_path_separator(joined[length - 1])) {
        joined[length++] = '\\';
    }
    std::memcpy(joined + length, more, more_length + 1);
    path_canonicalize(joined);
    size_t result_length = std::strlen(joined);
    if (result_length + 1 > path.size()) {
        path[0] = '\0';
        return Status::failed;
    }
    std::memcpy(path.data(), joined, result_length + 1);
    return Status::ok;
}

void replace_separators(char* text, char from, char to) {
    for (; *text != '\0'; ++text) {
        if (*text == from) {
            *text = to;
        }
    }
}

bool path_is_within(const char* path, const char* root, int root_length) {
    for (int i = 0; i < root_length; ++i, ++path) {
        bool same = fold_for_host(*path) == fold_for_host(root[i]) ||
                    (is_path_separator(*path) && is_path_separator(root[i]));
        if (!same || *path == '\0') {
            return false;
        }
    }
    return *path == '\0' || is_path_separator(*path);
}
