#pragma once

#include <cstddef>

#include "platform/files.hpp"

// Visits the entries of `dir` in the file system's order until `visit`
// returns false. Returns 0 when every entry was visited, 1 when the
// directory cannot be listed or a visit stopped early.
template <typename Visit> int visit_directory(const char* dir, Visit visit) {
    DirectoryReader directory;
    if (directory.open(dir) != 0) {
        return 1;
    }
    DirEntry entry;
    while (directory.next(entry)) {
        if (!visit(entry)) {
            return 1;
        }
    }
    return 0;
}

// A size column holds "-2147483648" or a directory word of at most as many
// characters.
constexpr size_t SIZE_COLUMN_CAP = 12;

// The size column of a listing: `directory_word` for a directory, otherwise
// the low 32 bits of the size as a signed number, which is all that
// listings show.
void format_size_column(char (&out)[SIZE_COLUMN_CAP], const DirEntry& entry,
                        const char* directory_word);
