#include "text/url_text.hpp"

#include <cstring>

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool is_control_byte(char c) {
    unsigned char byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

bool stays_in_href(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~' || c == '\\';
}

// Appends `piece` when it fits in `out` with the terminator; false if not.
bool append(std::span<char> out, size_t& length, const char* piece, size_t piece_length) {
    if (length + piece_length >= out.size()) {
        return false;
    }
    std::memcpy(out.data() + length, piece, piece_length);
    length += piece_length;
    return true;
}

} // namespace

bool percent_decode(char* path) {
    bool control = false;
    char* write = path;
    for (const char* read = path; *read != '\0'; ++write) {
        int high = read[0] == '%' ? hex_value(read[1]) : -1;
        int low = high >= 0 ? hex_value(read[2]) : -1;
        if (low >= 0) {
            *write = static_cast<char>(high * 16 + low);
            read += 3;
        } else {
            *write = *read++;
        }
        if (is_control_byte(*write)) {
            control = true;
        }
        if (*write == '\0') {
            break;
        }
    }
    *write = '\0';
    return control;
}

size_t escape_html(std::span<char> out, const char* text) {
    size_t length = 0;
    for (; *text != '\0'; ++text) {
        const char* entity = nullptr;
        switch (*text) {
        case '&':
            entity = "&amp;";
            break;
        case '<':
            entity = "&lt;";
            break;
        case '>':
            entity = "&gt;";
            break;
        case '"':
            entity = "&quot;";
            break;
        }
        bool fits = entity != nullptr ? append(out, length, entity, std::strlen(entity))
                                      : append(out, length, text, 1);
        if (!fits) {
            break;
        }
    }
    out[length] = '\0';
    return length;
}

size_t encode_href(std::span<char> out, const char* target) {
    static const char hex[] = "0123456789ABCDEF";
    if (*target == '\0') {
        target = "\\";
    }
    size_t length = 0;
    for (; *target != '\0'; ++target) {
        unsigned char byte = static_cast<unsigned char>(*target);
        char escaped[3] = {'%', hex[byte >> 4], hex[byte & 0xF]};
        bool fits = stays_in_href(*target) ? append(out, length, target, 1)
                                           : append(out, length, escaped, 3);
        if (!fits) {
            break;
        }
    }
    out[length] = '\0';
    return length;
}
