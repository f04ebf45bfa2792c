#pragma once

#include <cstdint>

constexpr int HTTP_REQUEST_LINE_CAP = 256;
constexpr int HTTP_HEADER_LINE_CAP = 10000;
constexpr int HTTP_METHOD_CAP = 10;
constexpr int HTTP_URL_CAP = 256;
constexpr int HTTP_PATH_CAP = 255;
constexpr uint32_t HTTP_POST_BODY_LIMIT = 1000;

// The texts taken out of a request, each with room for its terminator.
using HttpMethodText = char[HTTP_METHOD_CAP + 1];
using HttpUrlText = char[HTTP_URL_CAP + 1];
using HttpPathText = char[HTTP_PATH_CAP + 1];

// Takes the method (at most 10 characters) and the URL (at most 256) out of a
// request line. True when the URL runs to the end of the line (or was cut at
// its own limit), where a cut of the line would have cut it too.
bool split_request_line(const char* line, HttpMethodText& method, HttpUrlText& url);

// When `line` is a "Content-length:" header (name in any ASCII case), stores
// its value in `length` and returns true.
bool read_content_length(const char* line, int32_t& length);

// True when the URL has a ".." segment; "/" and "\" both separate segments.
bool has_dotdot_segment(const char* url);

// Only GET and POST are served, compared exactly.
bool method_allowed(const char* method);

// Cuts a GET URL at its first "?".
void cut_query(char* url);

// What a request line asks for, taken apart before anything is answered.
struct HttpRequest {
    HttpMethodText method = {};
    bool is_get = false;
    // The URL as the client sent it (a GET URL without its query), for the
    // console.
    HttpUrlText url = {};
    // The URL percent-decoded: what names the file.
    HttpUrlText decoded = {};
    // The decoded URL holds a control byte, so it names no file.
    bool control_byte = false;
    // The request line was cut inside the URL's path, so it names no file.
    bool cut = false;
};

// `line_was_cut`: the request line was longer than its limit.
void parse_request_line(const char* line, bool line_was_cut, HttpRequest& request);

// Outcome of checking a request's URL and forming its path.
enum class HttpVerdict {
    serve,
    url_not_rooted,
    url_dotdot,
    path_unreachable,
};

// Refuses a URL that does not start with "/" or has a ".." segment.
[[nodiscard]] HttpVerdict check_url(const char* url);

// Forms the file path "<base_dir>wwwroot<url>" with "\" separators into
// `path`. A path longer than 255 characters is refused: as
// HttpVerdict::url_dotdot when its cut would end in "..", so the path can never
// leave the web root, and otherwise as HttpVerdict::path_unreachable, like a base
// directory that leaves no room for the URL. `path` is set only for
// HttpVerdict::serve.
[[nodiscard]] HttpVerdict form_web_path(const char* url, const char* base_dir, HttpPathText& path);
