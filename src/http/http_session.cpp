#include "http/http_session.hpp"

#include <cstdint>
#include <memory>
#include <new>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include "fs/path.hpp"
#include "http/http_request.hpp"
#include "http/http_response.hpp"
#include "net/console.hpp"
#include "net/line_io.hpp"
#include "net/socket_owner.hpp"
#include "startup/settings.hpp"

namespace {

// Reads the header block; returns false when it does not end properly.
bool read_headers(LineReader& reader, int32_t& content_length) {
    // On the heap: the thread's stack stays within the part that survives
    // from one session thread to the next.
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[HTTP_HEADER_LINE_CAP + 1]);
    char* line = buffer.get();
    if (line == nullptr) {
        return false;
    }
    for (;;) {
        ReceiveLineResult result = reader.next(line, HTTP_HEADER_LINE_CAP);
        read_content_length(line, content_length);
        if (result != LINE_OK) {
            return false;
        }
        if (line[0] == '\0') {
            return true;
        }
    }
}

void discard_post_body(int socket, int32_t content_length) {
    char body[HTTP_POST_BODY_LIMIT];
    uint32_t wanted = static_cast<uint32_t>(content_length);
    if (wanted > HTTP_POST_BODY_LIMIT) {
        wanted = HTTP_POST_BODY_LIMIT;
    }
    // A receive of 0 bytes would wait for data that a bodiless POST never
    // sends.
    if (wanted > 0) {
        (void)recv(socket, body, wanted, 0);
    }
    int waiting = 0;
    if (ioctl(socket, FIONREAD, &waiting) == 0 && waiting >= 1 && waiting <= 4) {
        (void)recv(socket, body, static_cast<size_t>(waiting), 0);
    }
}

void serve_request(int socket) {
    char request_line[HTTP_REQUEST_LINE_CAP + 1];
    int32_t content_length = 0;
    {
        // One reader for the whole head; it takes exactly the head's bytes
        // from the socket and leaves a body there.
        LineReader reader(socket);
        // A longer request line is cut, and the request still served.
        (void)reader.next(request_line, HTTP_REQUEST_LINE_CAP);
        if (!read_headers(reader, content_length)) {
            return;
        }
    }
    char method[HTTP_METHOD_CAP + 1];
    char url[HTTP_URL_CAP + 1];
    split_request_line(request_line, method, url);
    if (!method_allowed(method)) {
        send_http_error(socket, "405 Method not allowed", "Error 405 Method not allowed");
        return;
    }
    if (method[0] == 'G') {
        cut_query(url);
    } else {
        discard_post_body(socket, content_length);
    }
    char path[HTTP_PATH_CAP + 1];
    switch (check_url(url, settings.base_dir, path)) {
    case HTTP_URL_NOT_ROOTED:
        send_http_error(socket, "400 url not starting with /", "URL must begin with /");
        return;
    case HTTP_URL_DOTDOT:
        send_http_error(socket, "400 \"..\" not allowed", "\"..\" not allowed");
        return;
    case HTTP_SERVE:
        break;
    }
    char shown[HTTP_URL_CAP * CLIENT_TEXT_EXPANSION + 1];
    escape_client_text(shown, sizeof shown, url);
    console_printf("%s\n", shown);
    if (path_is_directory(path)) {
        send_directory_page(socket, path, web_root_prefix_length(settings.base_dir));
    } else {
        send_file_response(socket, path, false, "text/html");
    }
}

} // namespace

int http_session(int socket) {
    SocketOwner connection(socket);
    serve_request(connection.get());
    return 0;
}
