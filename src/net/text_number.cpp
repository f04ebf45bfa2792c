#include "net/text_number.hpp"

namespace {

char fold_ascii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

int32_t parse_wrapping_int(const char* text, const char** end) {
    const char* p = text;
    while (is_c_space(*p)) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    const char* digits = p;
    uint32_t value = 0;
    while (*p >= '0' && *p <= '9') {
        value = value * 10u + static_cast<uint32_t>(*p - '0');
        ++p;
    }
    if (end != nullptr) {
        *end = (p == digits) ? text : p;
    }
    if (negative) {
        value = 0u - value;
    }
    return static_cast<int32_t>(value);
}

bool equals_ignoring_ascii_case(const char* a, const char* b) {
    while (*a != '\0' && fold_ascii(*a) == fold_ascii(*b)) {
        ++a;
        ++b;
    }
    return *a == '\0' && *b == '\0';
}

bool starts_with_ignoring_ascii_case(const char* text, const char* prefix, int count) {
    for (int i = 0; i < count; ++i) {
        if (fold_ascii(text[i]) != fold_ascii(prefix[i])) {
            return false;
        }
        if (text[i] == '\0') {
            return true;
        }
    }
    return true;
}
