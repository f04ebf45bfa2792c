#pragma once

#include <cstddef>
#include <span>

// Decodes every "%XX" (two hex digits, either case) of a URL path into its
// byte, in place; a malformed escape ("%4", "%zz") and "+" stay as they are.
// Returns true when the decoded path holds a control byte (below 0x20, or
// 0x7F; a decoded NUL included): such a path must never reach the file
// system. Where a NUL was decoded, the text ends there.
bool percent_decode(char* path);

// What a directory page needs to hold one name: its HTML-escaped form and
// its percent-encoded link, each at most this many times the original.
constexpr size_t HTML_ESCAPE_EXPANSION = 6; // '"' becomes "&quot;"
constexpr size_t HREF_EXPANSION = 3;        // a byte becomes "%XX"

// The name as page text: & < > " become entities, as much as `out` holds
// with the terminator; HTML_ESCAPE_EXPANSION times the length plus one
// always suffices. Returns the length written.
size_t escape_html(std::span<char> out, const char* text);

// A link target for a page: every byte but A-Z, a-z, 0-9, "-", ".", "_",
// "~" and the "\" separators becomes "%XX" (uppercase), and an empty target
// becomes the root, "\". HREF_EXPANSION times the length plus two always
// suffices for `out`. Returns the length written.
size_t encode_href(std::span<char> out, const char* target);
