#include "fs/listing.hpp"

#include <gtest/gtest.h>

namespace {

DirEntry entry_of(bool directory, uint64_t size) {
    DirEntry entry;
    entry.is_directory = directory;
    entry.size = size;
    return entry;
}

TEST(SizeColumn, ShowsTheLow32BitsAsASignedNumber) {
    char size[SIZE_COLUMN_CAP];
    format_size_column(size, entry_of(false, 0), "Adresar");
    EXPECT_STREQ(size, "0");
    format_size_column(size, entry_of(false, 0x8000'0000ULL), "Adresar");
    EXPECT_STREQ(size, "-2147483648");
    format_size_column(size, entry_of(false, 0x1'0000'0005ULL), "Adresar");
    EXPECT_STREQ(size, "5");
    format_size_column(size, entry_of(true, 0), "<DIR>");
    EXPECT_STREQ(size, "<DIR>");
}

} // namespace
