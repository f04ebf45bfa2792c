#include "fs/path.hpp"

#include <climits>
#include <cstring>
#include <sys/stat.h>

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

} // namespace

void path_canonicalize(char* out, const char* in) {
    if (out != in) {
        std::memmove(out, in, std::strlen(in) + 1);
    }
    // Rewritten in place: the write position never passes the read position.
    size_t root_length = is_path_separator(out[0]) ? 1 : 0;
    size_t read = root_length;
    size_t write = root_length;
    for (;;) {
        char separator = '\\';
        while (is_path_separator(out[read])) {
            separator = out[read++];
        }
        if (out[read] == '\0') {
            break;
        }
        size_t end = read;
        while (out[end] != '\0' && !is_path_separator(out[end])) {
            ++end;
        }
        size_t length = end - read;
        if (is_dotdot_segment(out + read, length)) {
            write = drop_last_segment(out, root_length, write);
        } else if (!is_dot_segment(out + read, length)) {
            if (write > root_length) {
                out[write++] = separator;
            }
            std::memmove(out + write, out + read, length);
            write += length;
        }
        read = end;
    }
    out[write] = '\0';
}

int path_append(char* path, const char* more, int cap) {
    while (is_path_separator(*more)) {
        ++more;
    }
    if (*more == '\0') {
        return 0;
    }
    // The joined text may be longer than the result: ".." segments in `more`
    // shorten it again, so only the canonical result has to fit.
    char joined[2 * PATH_CAP + 2];
    size_t path_length = std::strlen(path);
    size_t more_length = std::strlen(more);
    if (path_length + more_length + 2 > sizeof joined) {
        path[0] = '\0';
        return 1;
    }
    std::memcpy(joined, path, path_length);
    size_t length = path_length;
    if (length > 0 && !is_path_separator(joined[length - 1])) {
        joined[length++] = '\\';
    }
    std::memcpy(joined + length, more, more_length + 1);
    path_canonicalize(joined, joined);
    size_t result_length = std::strlen(joined);
    if (result_length + 1 > static_cast<size_t>(cap)) {
        path[0] = '\0';
        return 1;
    }
    std::memcpy(path, joined, result_length + 1);
    return 0;
}

void replace_separators(char* text, char from, char to) {
    for (; *text != '\0'; ++text) {
        if (*text == from) {
            *text = to;
        }
    }
}

int path_to_host(char* out, const char* path, int cap) {
    int i = 0;
    for (; path[i] != '\0'; ++i) {
        if (i + 1 >= cap) {
            out[0] = '\0';
            return 1;
        }
        out[i] = path[i] == '\\' ? '/' : path[i];
    }
    out[i] = '\0';
    return 0;
}

bool path_is_directory(const char* path) {
    char host_path[PATH_MAX];
    struct stat info;
    return path_to_host(host_path, path, sizeof host_path) == 0 && path[0] != '\0' &&
           stat(host_path, &info) == 0 && S_ISDIR(info.st_mode);
}

bool path_is_within(const char* path, const char* root, int root_length) {
    for (int i = 0; i < root_length; ++i, ++path) {
        bool same = *path == root[i] || (is_path_separator(*path) && is_path_separator(root[i]));
        if (!same || *path == '\0') {
            return false;
        }
    }
    return *path == '\0' || is_path_separator(*path);
}
