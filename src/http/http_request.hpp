#pragma once

#include <cstdint>

constexpr int HTTP_REQUEST_LINE_CAP = 256;
constexpr int HTTP_HEADER_LINE_CAP = 10000;
constexpr int HTTP_METHOD_CAP = 10;
constexpr int HTTP_URL_CAP = 256;
constexpr int HTTP_PATH_CAP = 255;
constexpr uint32_t HTTP_POST_BODY_LIMIT = 1000;

// Takes the method (at most 10 characters) and the URL (at most 256) out of a
// request line. `method` holds 11 bytes, `url` 257.
void split_request_line(const char* line, char* method, char* url);

// When `line` is a "Content-length:" header (name in any ASCII case), stores
// its value in `length` and returns true.
bool read_content_length(const char* line, int32_t& length);

// True when the URL has a ".." segment; "/" and "\" both separate segments.
bool has_dotdot_segment(const char* url);

// Only GET and POST are served, compared exactly.
bool method_allowed(const char* method);

// Cuts a GET URL at its first "?".
void cut_query(char* url);

// Outcome of checking a request's URL.
enum HttpVerdict {
    HTTP_SERVE = 0,
    HTTP_URL_NOT_ROOTED,
    HTTP_URL_DOTDOT,
};

// Checks the URL and forms the file path "<base_dir>wwwroot<url>" with "\"
// separators, cut to 255 characters, into `path` (256 bytes). A ".." segment
// is refused in the URL and in what the cut leaves of it, so the path can
// never leave the web root. `path` is set only for HTTP_SERVE.
HttpVerdict check_url(const char* url, const char* base_dir, char* path);

// Length of "<base_dir>wwwroot": what the directory page cuts off its links.
int web_root_prefix_length(const char* base_dir);
