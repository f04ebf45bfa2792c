// Whatever request line arrives, a URL that passes the checks once decoded
// names the web root or something below it, and its path keeps the
// 255-character limit.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fs/path.hpp"
#include "http/http_request.hpp"
#include "http/url_text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string line(reinterpret_cast<const char*>(data), size);
    char method[HTTP_METHOD_CAP + 1];
    char url[HTTP_URL_CAP + 1];
    split_request_line(line.c_str(), method, url);
    if (std::strlen(method) > HTTP_METHOD_CAP || std::strlen(url) > HTTP_URL_CAP) {
        std::abort();
    }
    if (url[0] != '\0' && url[0] != '/') {
        std::abort();
    }
    if (method_allowed(method) && method[0] == 'G') {
        cut_query(url);
    }
    // As the session does: the checks see the decoded URL.
    percent_decode(url);
    static const char base_dir[] = "/srv/pelmar/";
    static const char web_root[] = "/srv/pelmar/wwwroot";
    char path[HTTP_PATH_CAP + 1];
    if (check_url(url, base_dir, path) != HTTP_SERVE) {
        return 0;
    }
    if (std::strlen(path) > HTTP_PATH_CAP || std::strncmp(path, web_root, sizeof web_root - 1)) {
        std::abort();
    }
    char canonical[HTTP_PATH_CAP + 1];
    path_canonicalize(canonical, path);
    if (!path_is_within(canonical, web_root, sizeof web_root - 1)) {
        std::abort();
    }
    return 0;
}
