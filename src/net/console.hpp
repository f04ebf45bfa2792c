#pragma once

#include <cstddef>

#include "platform/host.hpp"

// The console is the server's log. Every text is written whole by one call
// and flushed at once, so prints of different threads never mix.
void console_print(const char* text);
void console_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Client text (a URL, an FTP command line) made safe for the operator's
// terminal: every control byte shows as "\x" and two hex digits, and "\" as
// "\\", so that no client can move the cursor, erase lines or retitle the
// window. `out` holds `cap` bytes; CLIENT_TEXT_EXPANSION times the text's
// length plus one always suffices.
constexpr size_t CLIENT_TEXT_EXPANSION = 4;
void escape_client_text(char* out, size_t cap, const char* text);
