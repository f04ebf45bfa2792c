#include "fs/listing.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>

void format_size_column(char (&out)[SIZE_COLUMN_CAP], const DirEntry& entry,
                        const char* directory_word) {
    // Formatted by hand: a listing of thousands of entries spent more time
    // in the general formatter than in anything else of its own.
    char* end = out;
    if (entry.is_directory) {
        size_t length = std::min(std::strlen(directory_word), sizeof out - 1);
        end = std::copy_n(directory_word, length, out);
    } else {
        // Always fits: the longest, "-2147483648", leaves room for the end.
        end = std::to_chars(out, out + sizeof out - 1, static_cast<int32_t>(entry.size)).ptr;
    }
    *end = '\0';
}
