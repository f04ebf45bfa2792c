#include "platform/windows_names.hpp"

#include <cstring>

#include "text/ascii.hpp"

namespace {

bool equals_folded(const char* text, size_t length, const char* word) {
    if (std::strlen(word) != length) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        if (fold_ascii_case(text[i]) != word[i]) {
            return false;
        }
    }
    return true;
}

// COM and LPT take a digit, also a superscript one (in UTF-8).
bool is_port_number(const char* text, size_t length) {
    if (length == 1) {
        return text[0] >= '0' && text[0] <= '9';
    }
    return length == 2 && text[0] == '\xc2' &&
           (text[1] == '\xb9' || text[1] == '\xb2' || text[1] == '\xb3');
}

// The device names, whatever follows them after a dot, with blanks before
// that dot ignored.
bool is_device_name(const char* name, size_t length) {
    size_t stem = 0;
    while (stem < length && name[stem] != '.') {
        ++stem;
    }
    while (stem > 0 && name[stem - 1] == ' ') {
        --stem;
    }
    static const char* const devices[] = {"con",    "prn",     "aux",   "nul",
                                          "conin$", "conout$", "clock$"};
    for (const char* device : devices) {
        if (equals_folded(name, stem, device)) {
            return true;
        }
    }
    return stem >= 4 && (equals_folded(name, 3, "com") || equals_folded(name, 3, "lpt")) &&
           is_port_number(name + 3, stem - 3);
}

bool has_reserved_character(const char* name, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || std::strchr(":*?\"<>|", c) != nullptr) {
            return true;
        }
    }
    return false;
}

bool is_separator(char c) {
    return c == '\\' || c == '/';
}

bool is_dot_segment(const char* name, size_t length) {
    return (length == 1 && name[0] == '.') || (length == 2 && name[0] == '.' && name[1] == '.');
}

} // namespace

bool windows_forbids_name(const char* name, size_t length) {
    if (length == 0) {
        return false;
    }
    char last = name[length - 1];
    return last == '.' || last == ' ' || has_reserved_character(name, length) ||
           is_device_name(name, length);
}

bool path_has_name_windows_forbids(const char* path) {
    const char* name = path;
    for (const char* p = path;; ++p) {
        if (*p == '\0' || is_separator(*p)) {
            size_t length = static_cast<size_t>(p - name);
            if (!is_dot_segment(name, length) && windows_forbids_name(name, length)) {
                return true;
            }
            if (*p == '\0') {
                return false;
            }
            name = p + 1;
        }
    }
}
