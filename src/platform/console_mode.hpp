#pragma once

#include <cstdint>

// A Windows console's input mode bits that matter here. With QuickEdit on,
// a click in the window selects text and suspends every write to the
// console until the selection ends, and with the writes every session.
constexpr uint32_t CONSOLE_QUICK_EDIT_MODE = 0x0040;
// Changes to QuickEdit take effect only with this bit in the new mode.
constexpr uint32_t CONSOLE_EXTENDED_FLAGS = 0x0080;

// The mode to set so that a click cannot freeze the server; every other
// setting stays as it was.
constexpr uint32_t console_mode_without_quick_edit(uint32_t mode) {
    return (mode | CONSOLE_EXTENDED_FLAGS) & ~CONSOLE_QUICK_EDIT_MODE;
}
