#pragma once

#include <cstdint>

// Decimal reading with the C library's atoi rules (leading white space,
// optional sign, digits up to the first other byte) but with a defined 32-bit
// wrap-around instead of undefined overflow. `end` receives the position
// after the last digit, or `text` itself when there were no digits.
int32_t parse_wrapping_int(const char* text, const char** end = nullptr);

// White space as the C library knows it in the "C" locale.
inline bool is_c_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// A to Z onto a to z; every other byte stays as it is. The one fold of
// letter case everywhere: switches, commands, header names, and the root
// test where paths ignore case.
inline char fold_ascii_case(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Compares ignoring the case of ASCII letters only.
bool equals_ignoring_ascii_case(const char* a, const char* b);
bool starts_with_ignoring_ascii_case(const char* text, const char* prefix, int count);
