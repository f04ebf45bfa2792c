#include "fs/listing.hpp"

#include <cstdint>
#include <cstdio>

void format_size_column(char* out, size_t cap, const DirEntry& entry, const char* directory_word) {
    if (entry.is_directory) {
        std::snprintf(out, cap, "%s", directory_word);
    } else {
        std::snprintf(out, cap, "%d", static_cast<int>(static_cast<int32_t>(entry.size)));
    }
}
