#include "net/console.hpp"

#include <gtest/gtest.h>
#include <string>

namespace {

std::string escaped(const std::string& text, size_t cap = 1024) {
    std::string out(cap, '#');
    escape_client_text(out.data(), cap, text.c_str());
    return out.c_str();
}

TEST(ClientText, ControlBytesAndBackslashesCannotReachTheTerminal) {
    EXPECT_EQ(escaped("USER x\x1b[2K\x1b[1A"), "USER x\\x1b[2K\\x1b[1A");
    EXPECT_EQ(escaped("\x1b]0;title\x07"), "\\x1b]0;title\\x07");
    EXPECT_EQ(escaped("\x01\x1f\x7f\t\r"), "\\x01\\x1f\\x7f\\x09\\x0d");
    // Otherwise "\x1b" sent as text would look like an escaped ESC.
    EXPECT_EQ(escaped("a\\x1b"), "a\\\\x1b");
}

TEST(ClientText, PrintableAndHighBytesPassUnchanged) {
    EXPECT_EQ(escaped("/docs/a b.txt?~"), "/docs/a b.txt?~");
    EXPECT_EQ(escaped("\xc4\x8d\xff\x80"), "\xc4\x8d\xff\x80");
}

TEST(ClientText, EscapesAreNeverCutInHalf) {
    EXPECT_EQ(escaped("ab\x1b", 6), "ab");
    EXPECT_EQ(escaped("ab\x1b", 7), "ab\\x1b");
    EXPECT_EQ(escaped("a\\", 3), "a");
    std::string longest(256, '\x1b');
    EXPECT_EQ(escaped(longest, 256 * CLIENT_TEXT_EXPANSION + 1).size(), 1024u);
}

} // namespace
