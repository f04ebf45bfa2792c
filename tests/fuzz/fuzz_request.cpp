// Whatever request line arrives, a URL that passes the checks once decoded
// names the web root or something below it, as std::filesystem's lexical
// normalisation sees it, and its path keeps the 255-character limit.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "http/http_request.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string line(reinterpret_cast<const char*>(data), size);
    HttpRequest request;
    parse_request_line(line.c_str(), size > 0 && data[0] % 2 == 0, request);
    if (std::strlen(request.method) > HTTP_METHOD_CAP || std::strlen(request.url) > HTTP_URL_CAP ||
        std::strlen(request.decoded) > std::strlen(request.url)) {
        std::abort();
    }
    if (request.url[0] != '\0' && request.url[0] != '/') {
        std::abort();
    }
    static const char base_dir[] = "/srv/pelmar/";
    static const std::string web_root = "/srv/pelmar/wwwroot";
    HttpPathText path;
    if (check_url(request.decoded) != HttpVerdict::serve ||
        form_web_path(request.decoded, base_dir, path) != HttpVerdict::serve) {
        return 0;
    }
    std::string formed = path;
    if (formed.size() > HTTP_PATH_CAP || !formed.starts_with(web_root)) {
        std::abort();
    }
    std::replace(formed.begin(), formed.end(), '\\', '/');
    std::string normal = std::filesystem::path(formed).lexically_normal().generic_string();
    if (normal != web_root && !normal.starts_with(web_root + "/")) {
        std::abort();
    }
    return 0;
}
