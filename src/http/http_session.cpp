#include "http/http_session.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "fs/path.hpp"
#include "http/content_type.hpp"
#include "http/http_request.hpp"
#include "http/http_response.hpp"
#include "console/console.hpp"
#include "net/line_io.hpp"
#include "net/lingering_close.hpp"
#include "net/socket_owner.hpp"
#include "platform/files.hpp"
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

// Reads at most HTTP_POST_BODY_LIMIT body bytes, as one receive gives them,
// and a few stragglers. Returns how many were read.
uint32_t discard_post_body(Socket socket, int32_t content_length) {
    char body[HTTP_POST_BODY_LIMIT];
    uint32_t wanted = static_cast<uint32_t>(content_length);
    if (wanted > HTTP_POST_BODY_LIMIT) {
        wanted = HTTP_POST_BODY_LIMIT;
    }
    uint32_t read = 0;
    // A receive of 0 bytes would wait for data that a bodiless POST never
    // sends.
    if (wanted > 0) {
        read += static_cast<uint32_t>(std::max(receive_some(socket, body, wanted), 0L));
    }
    int waiting = 0;
    if (bytes_waiting(socket, waiting) == 0 && waiting >= 1 && waiting <= 4) {
        read += static_cast<uint32_t>(
            std::max(receive_some(socket, body, static_cast<size_t>(waiting)), 0L));
    }
    return read;
}

// True when the client sent, or announced, bytes that were not read: the
// rest of a body, or anything after the head.
bool left_bytes_unread(Socket socket, int32_t content_length, uint32_t body_read) {
    if (content_length > 0 && body_read < static_cast<uint32_t>(content_length)) {
        return true;
    }
    int waiting = 0;
    return bytes_waiting(socket, waiting) == 0 && waiting > 0;
}

// Reads the request's head; false when it does not end properly, which is
// answered by closing the connection.
bool read_request_head(Socket socket, char* request_line, bool& line_was_cut,
                       int32_t& content_length) {
    // One reader for the whole head; it takes exactly the head's bytes from
    // the socket and leaves a body there.
    LineReader reader(socket);
    // A longer request line is cut, and the request still served unless the
    // cut falls into the URL's path.
    line_was_cut = reader.next(request_line, HTTP_REQUEST_LINE_CAP) == LINE_FAILED &&
                   std::strlen(request_line) == HTTP_REQUEST_LINE_CAP;
    return read_headers(reader, content_length);
}

void send_url_refusal(Socket socket, HttpVerdict verdict) {
    if (verdict == HTTP_URL_NOT_ROOTED) {
        send_http_error(socket, "400 url not starting with /", "URL must begin with /");
    } else {
        send_http_error(socket, "400 \"..\" not allowed", "\"..\" not allowed");
    }
}

// Answers the request whose head has been read.
void answer(Socket socket, const char* request_line, bool line_was_cut, uint32_t& body_read,
            int32_t content_length) {
    HttpRequest request;
    parse_request_line(request_line, line_was_cut, request);
    if (!method_allowed(request.method)) {
        send_http_error(socket, "405 Method not allowed", "Error 405 Method not allowed");
        return;
    }
    if (!request.is_get) {
        body_read = discard_post_body(socket, content_length);
    }
    char path[HTTP_PATH_CAP + 1];
    HttpVerdict verdict = check_url(request.decoded);
    if (verdict == HTTP_SERVE) {
        verdict = form_web_path(request.decoded, settings.base_dir, path);
    }
    if (verdict == HTTP_URL_NOT_ROOTED || verdict == HTTP_URL_DOTDOT) {
        send_url_refusal(socket, verdict);
        return;
    }
    char shown[HTTP_URL_CAP * CLIENT_TEXT_EXPANSION + 1];
    escape_client_text(shown, sizeof shown, request.url);
    console_printf("%s\n", shown);
    if (verdict != HTTP_SERVE || request.control_byte || request.cut) {
        // A NUL would cut the name short, no file name here needs control
        // bytes, and a cut URL names something else: answered like any file
        // that cannot be opened.
        send_file_unavailable(socket);
    } else if (path_is_directory(path)) {
        send_directory_page(socket, path, web_root_prefix_length(settings.base_dir));
    } else {
        send_file_response(socket, path, false, content_type_for(path));
    }
}

void serve_request(Socket socket) {
    char request_line[HTTP_REQUEST_LINE_CAP + 1];
    int32_t content_length = 0;
    bool line_was_cut = false;
    if (!read_request_head(socket, request_line, line_was_cut, content_length)) {
        return;
    }
    uint32_t body_read = 0;
    answer(socket, request_line, line_was_cut, body_read, content_length);
    if (left_bytes_unread(socket, content_length, body_read)) {
        discard_until_client_closes(socket);
    }
}

} // namespace

int http_session(Socket socket) {
    SocketOwner connection(socket);
    serve_request(connection.get());
    return 0;
}
