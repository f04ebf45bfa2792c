#include "http/http_session.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>

#include "config/settings.hpp"
#include "console/console.hpp"
#include "fs/path.hpp"
#include "fs/trees.hpp"
#include "http/content_type.hpp"
#include "http/http_request.hpp"
#include "http/http_response.hpp"
#include "net/line_io.hpp"
#include "net/lingering_close.hpp"
#include "net/socket_owner.hpp"
#include "platform/files.hpp"
#include "text/client_text.hpp"

namespace {

// Reads the header block; returns false when it does not end properly.
bool read_headers(LineReader& reader, int32_t& content_length) {
    // On the heap: the thread's stack stays within the part that survives
    // from one session thread to the next.
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[HTTP_HEADER_LINE_CAP + 1]);
    if (buffer == nullptr) {
        return false;
    }
    char* line = buffer.get();
    for (;;) {
        ReceiveLineResult result = reader.next({line, HTTP_HEADER_LINE_CAP + 1});
        read_content_length(line, content_length);
        if (result != ReceiveLineResult::ok) {
            return false;
        }
        if (line[0] == '\0') {
            return true;
        }
    }
}

// What the head of a request said, read before anything is answered.
struct RequestHead {
    char line[HTTP_REQUEST_LINE_CAP + 1] = {};
    // The line was longer than its limit, and cut.
    bool line_was_cut = false;
    int32_t content_length = 0;
};

// Reads the request line and the header block; false when the head does
// not end properly, which is answered by closing the connection.
bool read_request_head(LineReader& reader, RequestHead& head) {
    // A longer request line is cut, and the request still served unless the
    // cut falls into the URL's path.
    head.line_was_cut = reader.next(head.line) == ReceiveLineResult::failed &&
                        std::strlen(head.line) == HTTP_REQUEST_LINE_CAP;
    return read_headers(reader, head.content_length);
}

// Takes `count` bytes that have arrived, or fewer if the peer stops.
void take_arrived(LineReader& reader, std::span<char> scratch, uint32_t count) {
    uint32_t taken = 0;
    while (taken < count) {
        long got = reader.take(scratch.first(std::min<size_t>(scratch.size(), count - taken)));
        if (got <= 0) {
            break;
        }
        taken += static_cast<uint32_t>(got);
    }
}

// Reads at most HTTP_POST_BODY_LIMIT body bytes, as far as one receive
// brings them (or as many as have come with the head), then a few bytes
// that may follow at once.
void discard_post_body(LineReader& reader, Socket socket, int32_t content_length) {
    char body[HTTP_POST_BODY_LIMIT];
    uint32_t wanted = std::min(static_cast<uint32_t>(content_length), HTTP_POST_BODY_LIMIT);
    // A receive of 0 bytes would wait for data that a bodiless POST never
    // sends.
    if (wanted > 0) {
        (void)reader.take(std::span(body).first(wanted));
    }
    size_t waiting = reader.buffered();
    int in_socket = 0;
    if (waiting <= 4 && bytes_waiting(socket, in_socket) == Status::ok) {
        waiting += static_cast<size_t>(in_socket);
    }
    if (waiting >= 1 && waiting <= 4) {
        take_arrived(reader, body, static_cast<uint32_t>(waiting));
    }
}

void send_url_refusal(Socket socket, HttpVerdict verdict) {
    if (verdict == HttpVerdict::url_not_rooted) {
        send_http_error(socket, "400 url not starting with /", "URL must begin with /");
    } else {
        send_http_error(socket, "400 \"..\" not allowed", "\"..\" not allowed");
    }
}

// A directory's page or a regular file's contents, each after one look at
// the path; anything else is answered like a missing file.
void send_path(Socket socket, const char* path) {
    PathKind kind = look_up_path(path);
    if (kind == PathKind::directory) {
        send_directory_page(socket, path, tree_root_length(settings.base_dir, WEB_TREE));
        return;
    }
    FileReader file;
    if (kind != PathKind::regular_file || file.open_looked_up(path) != Status::ok) {
        send_file_unavailable(socket);
        return;
    }
    send_file_response(socket, file, false, content_type_for(path));
}

// Answers the request whose head has been read.
void answer(LineReader& reader, Socket socket, const RequestHead& head) {
    HttpRequest request;
    parse_request_line(head.line, head.line_was_cut, request);
    if (!method_allowed(request.method)) {
        send_http_error(socket, "405 Method not allowed", "Error 405 Method not allowed");
        return;
    }
    if (!request.is_get) {
        discard_post_body(reader, socket, head.content_length);
    }
    HttpPathText path;
    HttpVerdict verdict = check_url(request.decoded);
    if (verdict == HttpVerdict::serve) {
        verdict = form_web_path(request.decoded, settings.base_dir, path);
    }
    if (verdict == HttpVerdict::url_not_rooted || verdict == HttpVerdict::url_dotdot) {
        send_url_refusal(socket, verdict);
        return;
    }
    char shown[HTTP_URL_CAP * CLIENT_TEXT_EXPANSION + 1];
    escape_client_text(shown, request.url);
    console_printf("%s\n", shown);
    if (verdict != HttpVerdict::serve || request.control_byte || request.cut) {
        // A NUL would cut the name short, no file name here needs control
        // bytes, and a cut URL names something else: answered like any file
        // that cannot be opened.
        send_file_unavailable(socket);
    } else {
        send_path(socket, path);
    }
}

void serve_request(SocketOwner& connection) {
    LineReader reader(connection.get());
    RequestHead head;
    if (!read_request_head(reader, head)) {
        return;
    }
    answer(reader, connection.get(), head);
    // Whatever the client still sends, the rest of a body or bytes that
    // come while the response is on its way, must not make our close a
    // reset, which would destroy the response.
    close_after_client(connection);
}

} // namespace

void http_session(Socket socket) {
    SocketOwner connection(socket);
    serve_request(connection);
}
