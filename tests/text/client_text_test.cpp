#include "text/client_text.hpp"

#include <gtest/gtest.h>
#include <string>

namespace {

std::string escaped(const std::string& text, size_t cap = 1024) {
    std::string out(cap, '#');
    escape_client_text(out, text.c_str());
    return out.c_str();
}

TEST(ClientText, ControlBytesAndBackslashesCannotReachTheTerminal) {
    EXPECT_EQ(escaped("USER x\x1b[2K\x1b[1A"), "USER x\\x1b[2K\\x1b[1A");
    EXPECT_EQ(escaped("\x1b]0;title\x07"), "\\x1b]0;title\\x07");
    EXPECT_EQ(escaped("\x01\x1f\x7f\t\r"), "\\x01\\x1f\\x7f\\x09\\x0d");
    // Otherwise "\x1b" sent as text would look like an escaped ESC.
    EXPECT_EQ(escaped("a\\x1b"), "a\\\\x1b");
}

TEST(ClientText, WellFormedUtf8StaysReadable) {
    EXPECT_EQ(escaped("/docs/a b.txt?~"), "/docs/a b.txt?~");
    const std::string czech = "\xc4\x8d" "e\xc5\xa1tina \xe2\x82\xac \xf0\x9f\x98\x80";
    EXPECT_EQ(escaped(czech), czech);
    EXPECT_EQ(escaped("\xc2\xa0\xef\xbf\xbd\xf4\x8f\xbf\xbf"), "\xc2\xa0\xef\xbf\xbd\xf4\x8f\xbf\xbf");
}

TEST(ClientText, C1ControlsAndMalformedBytesAreShownAsHex) {
    // The 8-bit CSI, raw and in UTF-8.
    EXPECT_EQ(escaped("USER a\x9b" "31mC1"), "USER a\\x9b31mC1");
    EXPECT_EQ(escaped("USER b\xc2\x9b" "31m"), "USER b\\xc2\\x9b31m");
    EXPECT_EQ(escaped("\xc2\x80\xc2\x9f"), "\\xc2\\x80\\xc2\\x9f");
    // A lone lead or continuation byte, overlong forms, surrogates, past
    // U+10FFFF, a sequence cut short by the end.
    EXPECT_EQ(escaped("\xff\x80"), "\\xff\\x80");
    EXPECT_EQ(escaped("\xc0\xaf\xe0\x80\xaf"), "\\xc0\\xaf\\xe0\\x80\\xaf");
    EXPECT_EQ(escaped("\xed\xa0\x80"), "\\xed\\xa0\\x80");
    EXPECT_EQ(escaped("\xf4\x90\x80\x80"), "\\xf4\\x90\\x80\\x80");
    EXPECT_EQ(escaped("a\xe2\x82"), "a\\xe2\\x82");
}

TEST(ClientText, EscapesAreNeverCutInHalf) {
    EXPECT_EQ(escaped("ab\x1b", 6), "ab");
    EXPECT_EQ(escaped("ab\x1b", 7), "ab\\x1b");
    EXPECT_EQ(escaped("a\\", 3), "a");
    EXPECT_EQ(escaped("a\xe2\x82\xac", 4), "a");
    EXPECT_EQ(escaped("a\xe2\x82\xac", 5), "a\xe2\x82\xac");
    std::string longest(256, '\x1b');
    EXPECT_EQ(escaped(longest, 256 * CLIENT_TEXT_EXPANSION + 1).size(), 1024u);
}

} // namespace
