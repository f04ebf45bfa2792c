#include "text/ascii.hpp"

#include <gtest/gtest.h>

namespace {

TEST(ParseWrappingInt, FollowsTheAtoiRules) {
    EXPECT_EQ(parse_wrapping_int("212"), 212);
    EXPECT_EQ(parse_wrapping_int("  \t-42xyz"), -42);
    EXPECT_EQ(parse_wrapping_int("+7"), 7);
    EXPECT_EQ(parse_wrapping_int("x"), 0);
    EXPECT_EQ(parse_wrapping_int(""), 0);
    EXPECT_EQ(parse_wrapping_int("- 5"), 0);
}

TEST(ParseWrappingInt, WrapsAroundAt32Bits) {
    EXPECT_EQ(parse_wrapping_int("65616"), 65616);
    EXPECT_EQ(parse_wrapping_int("2147483648"), INT32_MIN);
    EXPECT_EQ(parse_wrapping_int("4294967297"), 1);
    EXPECT_EQ(parse_wrapping_int("-2147483649"), INT32_MAX);
    EXPECT_EQ(parse_wrapping_int("99999999999999999999999"), -159383553);
}

TEST(ParseWrappingInt, ReportsWhereTheDigitsEnd) {
    const char* text = " 12,3";
    const char* end = nullptr;
    parse_wrapping_int(text, &end);
    EXPECT_EQ(end, text + 3);
    const char* none = " ,3";
    parse_wrapping_int(none, &end);
    EXPECT_EQ(end, none);
}

TEST(AsciiCase, FoldsOnlyAsciiLetters) {
    EXPECT_TRUE(equals_ignoring_ascii_case("/FTPPORT", "/ftpport"));
    EXPECT_FALSE(equals_ignoring_ascii_case("/ftpport2", "/ftpport"));
    EXPECT_FALSE(equals_ignoring_ascii_case("/ftp", "/ftpport"));
    EXPECT_FALSE(equals_ignoring_ascii_case("\xC9", "\xE9"));
    EXPECT_FALSE(equals_ignoring_ascii_case("[", "{"));
    EXPECT_TRUE(starts_with_ignoring_ascii_case("USER bob", "user ", 5));
    EXPECT_FALSE(starts_with_ignoring_ascii_case("USER", "user ", 5));
}

} // namespace
