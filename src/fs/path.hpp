#pragma once

#include <span>

#include "platform/status.hpp"

// Paths are texts in which both "\" and "/" are separators. The services
// build them with "\"; only the calls into the file system see host paths.

constexpr int PATH_CAP = 260; // 259 characters plus terminator

inline bool is_path_separator(char c) {
    return c == '\\' || c == '/';
}

// Appends `more` to `path` with exactly one "\" between them, skipping
// separators at the start of `more`, and leaves the result canonical. On
// hosts with drive letters, a `more` that starts with one ("c:\x") replaces
// the path. An empty `more` leaves `path` as it is. Status::failed when the
// result would not fit; `path` is then empty, so it names nothing.
[[nodiscard]] Status path_append(std::span<char> path, const char* more);

// Rewrites `path` in place without "." and ".." segments (".." takes the
// segment before it along, and never climbs above the root), without empty
// segments and without a trailing separator; it never grows. Every
// remaining separator keeps its own character.
void path_canonicalize(char* path);

// Replaces every `from` in `text` by `to`: client "/" becomes the
// services' "\", and back where a path is shown to a client.
void replace_separators(char* text, char from, char to);

// True when `path` is the root (the first `root_length` characters of
// `root`) itself or lies below it: a match of the root text ("/" and "\"
// alike, and letter case too where the host's names ignore it) followed by
// the end or a separator.
bool path_is_within(const char* path, const char* root, int root_length);
