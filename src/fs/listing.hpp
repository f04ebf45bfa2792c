#pragma once

#include <cstddef>

#include "platform/files.hpp"
#include "platform/status.hpp"

// Visits the entries of `dir` in the file system's order until `visit`
// returns false: Status::ok when every entry was visited, Status::failed
// when the directory cannot be listed or a visit stopped early.
template <typename Visit> [[nodiscard]] Status visit_directory(const char* dir, Visit visit) {
    DirectoryReader directory;
    if (directory.open(dir) != Status::ok) {
        return Status::failed;
    }
    DirEntry entry;
    while (directory.next(entry)) {
        if (!visit(entry)) {
            return Status::failed;
        }
    }
    return Status::ok;
}

// A size column holds "-2147483648" or a directory word of at most as many
// characters.
constexpr size_t SIZE_COLUMN_CAP = 12;

// The size column of a listing: `directory_word` for a directory, otherwise
// the low 32 bits of the size as a signed number, which is all that
// listings show.
void format_size_column(char (&out)[SIZE_COLUMN_CAP], const DirEntry& entry,
                        const char* directory_word);
