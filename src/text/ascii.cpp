#include "text/ascii.hpp"

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
    while (*a != '\0' && fold_ascii_case(*a) == fold_ascii_case(*b)) {
        ++a;
        ++b;
    }
    return *a == '\0' && *b == '\0';
}

bool starts_with_ignoring_ascii_case(const char* text, const char* prefix, int count) {
    for (int i = 0; i < count; ++i) {
        if (fold_ascii_case(text[i]) != fold_ascii_case(prefix[i])) {
            return false;
        }
        if (text[i] == '\0') {
            return true;
        }
    }
    return true;
}
