#include "fs/listing.hpp"

#include <cstdint>
#include <cstdio>

void format_size_column(char (&out)[SIZE_COLUMN_CAP], const DirEntry& entry,
                        const char* directory_word) {
    if (entry.is_directory) {
        std::snprintf(out, sizeof out, "%s", directory_word);
    } else {
        std::snprintf(out, sizeof out, "%d", static_cast<int>(static_cast<int32_t>(entry.size)));
    }
}
