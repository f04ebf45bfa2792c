#include "net/console.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>

void console_write(const char* text, size_t length) {
    // One locked write and flush per text: the log stays current when stdout
    // is a pipe or a file, and texts of different threads never interleave.
    flockfile(stdout);
    fwrite_unlocked(text, 1, length, stdout);
    fflush_unlocked(stdout);
    funlockfile(stdout);
}

void console_print(const char* text) {
    console_write(text, std::strlen(text));
}

void console_printf(const char* format, ...) {
    char buffer[4352]; // room for the longest base directory
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (length < 0) {
        return;
    }
    if (length >= static_cast<int>(sizeof buffer)) {
        length = sizeof buffer - 1;
    }
    console_write(buffer, static_cast<size_t>(length));
}
