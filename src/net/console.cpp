#include "net/console.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>

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

void escape_client_text(char* out, size_t cap, const char* text) {
    static const char hex[] = "0123456789abcdef";
    size_t length = 0;
    for (; *text != '\0'; ++text) {
        unsigned char byte = static_cast<unsigned char>(*text);
        char shown[4] = {static_cast<char>(byte)};
        size_t width = 1;
        if (byte < 0x20 || byte == 0x7F) {
            shown[0] = '\\';
            shown[1] = 'x';
            shown[2] = hex[byte >> 4];
            shown[3] = hex[byte & 0xF];
            width = 4;
        } else if (byte == '\\') {
            shown[1] = '\\';
            width = 2;
        }
        if (length + width >= cap) {
            break;
        }
        for (size_t i = 0; i < width; ++i) {
            out[length++] = shown[i];
        }
    }
    out[length] = '\0';
}
