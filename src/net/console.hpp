#pragma once

#include <cstddef>

// The console is the server's log. Every text is written whole by one call
// and flushed at once, so prints of different threads never mix.
void console_write(const char* text, size_t length);
void console_print(const char* text);
void console_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
