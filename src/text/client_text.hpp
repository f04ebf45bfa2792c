#pragma once

#include <cstddef>
#include <span>

// Client text (a URL, an FTP command line) made safe for the operator's
// terminal, so that no client can move the cursor, erase lines or retitle
// the window: well-formed UTF-8 stays readable, but every control byte
// (C0, DEL, and the C1 controls U+0080 to U+009F in their UTF-8 form), and
// every byte that is not part of well-formed UTF-8 (where a raw 0x9B would
// be a CSI), shows as "\x" and two hex digits, and "\" as "\\". A sequence
// is never cut in half, nor is `out` overrun; CLIENT_TEXT_EXPANSION times
// the text's length plus one always suffices.
constexpr size_t CLIENT_TEXT_EXPANSION = 4;
void escape_client_text(std::span<char> out, const char* text);
