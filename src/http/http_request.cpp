#include "http/http_request.hpp"

#include <cstdio>
#include <cstring>
#include <span>

#include "fs/path.hpp"
#include "fs/trees.hpp"
#include "text/ascii.hpp"
#include "text/url_text.hpp"

namespace {

// Moves to the first "/" at or after `i`, or to the end of the text.
int scan_to_slash(const char* line, int i) {
    while (line[i] != '\0' && line[i] != '/') {
        ++i;
    }
    return i;
}

bool is_ascii_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Where the authority of "scheme://authority/..." starts, or -1 when the
// target at `i` has no scheme: a letter, then letters, digits, "+", "-" or
// ".", then "://".
int authority_start(const char* line, int i) {
    if (!is_ascii_letter(line[i])) {
        return -1;
    }
    do {
        ++i;
    } while (is_ascii_letter(line[i]) || (line[i] >= '0' && line[i] <= '9') || line[i] == '+' ||
             line[i] == '-' || line[i] == '.');
    return line[i] == ':' && line[i + 1] == '/' && line[i + 2] == '/' ? i + 3 : -1;
}

// Copies the word at `from` up to its blank, as much of it as `to` holds
// with its terminator.
int copy_word(const char* from, std::span<char> to) {
    int cap = static_cast<int>(to.size()) - 1;
    int length = 0;
    while (from[length] != '\0' && from[length] != ' ' && length < cap) {
        to[length] = from[length];
        ++length;
    }
    to[length] = '\0';
    return length;
}

} // namespace

bool split_request_line(const char* line, HttpMethodText& method, HttpUrlText& url) {
    int i = copy_word(line, method);
    while (line[i] == ' ') {
        ++i;
    }
    // Only an absolute target ("http://host/path") has a host to pass over.
    int authority = authority_start(line, i);
    i = scan_to_slash(line, authority >= 0 ? authority : i);
    // A run of slashes starts a path whose first names are empty, as links
    // with doubled separators give: "//sub/a.html" is "/sub/a.html".
    while (line[i] == '/' && line[i + 1] == '/') {
        ++i;
    }
    int length = copy_word(line + i, url);
    return line[i + length] != ' ';
}

bool read_content_length(const char* line, int32_t& length) {
    static const char name[] = "Content-length:";
    constexpr int name_length = sizeof name - 1;
    if (!starts_with_ignoring_ascii_case(line, name, name_length)) {
        return false;
    }
    length = parse_wrapping_int(line + name_length);
    return true;
}

bool has_dotdot_segment(const char* url) {
    const char* segment = url;
    for (const char* p = url;; ++p) {
        if (*p == '\0' || is_path_separator(*p)) {
            if (p - segment == 2 && segment[0] == '.' && segment[1] == '.') {
                return true;
            }
            if (*p == '\0') {
                return false;
            }
            segment = p + 1;
        }
    }
}

bool method_allowed(const char* method) {
    return std::strcmp(method, "GET") == 0 || std::strcmp(method, "POST") == 0;
}

void cut_query(char* url) {
    char* query = std::strchr(url, '?');
    if (query != nullptr) {
        *query = '\0';
    }
}

void parse_request_line(const char* line, bool line_was_cut, HttpRequest& request) {
    bool reaches_end = split_request_line(line, request.method, request.url);
    request.is_get = std::strcmp(request.method, "GET") == 0;
    // A cut in a GET's query changes nothing: the query is dropped anyway.
    bool cut_in_query = request.is_get && std::strchr(request.url, '?') != nullptr;
    request.cut = reaches_end && line_was_cut && !cut_in_query;
    if (request.is_get) {
        cut_query(request.url);
    }
    std::memcpy(request.decoded, request.url, sizeof request.decoded);
    request.control_byte = percent_decode(request.decoded);
}

HttpVerdict check_url(const char* url) {
    if (url[0] != '/') {
        return HttpVerdict::url_not_rooted;
    }
    return has_dotdot_segment(url) ? HttpVerdict::url_dotdot : HttpVerdict::serve;
}

HttpVerdict form_web_path(const char* url, const char* base_dir, HttpPathText& path) {
    int prefix_length = tree_root_length(base_dir, WEB_TREE);
    if (prefix_length >= HTTP_PATH_CAP) {
        // No room left for the URL: whatever it names cannot be reached.
        path[0] = '\0';
        return HttpVerdict::path_unreachable;
    }
    int length = std::snprintf(path, sizeof path, "%s%s%s", base_dir, WEB_TREE, url);
    char* url_part = path + prefix_length;
    replace_separators(url_part, '/', '\\');
    // The cut to 255 characters can turn a harmless "..." into "..".
    if (has_dotdot_segment(url_part)) {
        path[0] = '\0';
        return HttpVerdict::url_dotdot;
    }
    // Any other cut names a shorter path than the one asked for: another
    // file, or a directory's page in place of a file.
    if (length > HTTP_PATH_CAP) {
        path[0] = '\0';
        return HttpVerdict::path_unreachable;
    }
    return HttpVerdict::serve;
}
