#include "platform/console_mode.hpp"

#include <gtest/gtest.h>

namespace {

// Windows' own default input mode: processed, line and echo input, insert,
// QuickEdit and the extended flags (0x01 | 0x02 | 0x04 | 0x20 | 0x40 | 0x80).
constexpr uint32_t DEFAULT_MODE = 0x01E7;

TEST(ConsoleMode, QuickEditGoesAndEverythingElseStays) {
    EXPECT_EQ(console_mode_without_quick_edit(DEFAULT_MODE), 0x01A7u);
    // The extended flags must be in the new mode for the change to count.
    EXPECT_EQ(console_mode_without_quick_edit(0x0047), 0x0087u);
    EXPECT_EQ(console_mode_without_quick_edit(0x0087), 0x0087u);
    EXPECT_EQ(console_mode_without_quick_edit(0), CONSOLE_EXTENDED_FLAGS);
}

} // namespace
