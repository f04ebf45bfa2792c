#include "text/client_text.hpp"

#include <cstring>

namespace {

bool in_range(unsigned char byte, unsigned char low, unsigned char high) {
    return byte >= low && byte <= high;
}

// The length of the well-formed UTF-8 sequence of two to four bytes at
// `text`, or 0 when none starts there. Overlong forms, surrogates and code
// points past U+10FFFF are not well-formed. The terminator is never a
// continuation byte, so no check reads past it.
size_t utf8_sequence_length(const unsigned char* text) {
    unsigned char lead = text[0];
    auto continues = [&](size_t from, size_t to) {
        for (size_t i = from; i < to; ++i) {
            if (!in_range(text[i], 0x80, 0xBF)) {
                return false;
            }
        }
        return true;
    };
    if (in_range(lead, 0xC2, 0xDF)) {
        return continues(1, 2) ? 2 : 0;
    }
    if (in_range(lead, 0xE0, 0xEF)) {
        unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;
        unsigned char high = lead == 0xED ? 0x9F : 0xBF;
        return in_range(text[1], low, high) && continues(2, 3) ? 3 : 0;
    }
    if (in_range(lead, 0xF0, 0xF4)) {
        unsigned char low = lead == 0xF0 ? 0x90 : 0x80;
        unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;
        return in_range(text[1], low, high) && continues(2, 4) ? 4 : 0;
    }
    return 0;
}

// U+0080 to U+009F: the C1 controls, which terminals obey (CSI is U+009B).
bool is_c1_control(const unsigned char* sequence) {
    return sequence[0] == 0xC2 && sequence[1] <= 0x9F;
}

// How one byte shows when it is not part of readable text: "\xHH", or
// "\\" for a backslash. Returns the width.
size_t show_byte(unsigned char byte, char (&shown)[4]) {
    static const char hex[] = "0123456789abcdef";
    if (byte == '\\') {
        shown[0] = shown[1] = '\\';
        return 2;
    }
    shown[0] = '\\';
    shown[1] = 'x';
    shown[2] = hex[byte >> 4];
    shown[3] = hex[byte & 0xF];
    return 4;
}

} // namespace

void escape_client_text(std::span<char> out, const char* text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t length = 0;
    while (*bytes != 0) {
        char shown[4];
        size_t width = 1;
        size_t taken = 1;
        size_t sequence = utf8_sequence_length(bytes);
        if (*bytes >= 0x20 && *bytes < 0x7F && *bytes != '\\') {
            shown[0] = static_cast<char>(*bytes);
        } else if (sequence > 0 && !is_c1_control(bytes)) {
            std::memcpy(shown, bytes, sequence);
            width = taken = sequence;
        } else {
            width = show_byte(*bytes, shown);
        }
        if (length + width >= out.size()) {
            break;
        }
        std::memcpy(out.data() + length, shown, width);
        length += width;
        bytes += taken;
    }
    out[length] = '\0';
}
