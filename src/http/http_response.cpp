#include "http/http_response.hpp"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "net/file_stream.hpp"
#include "net/line_io.hpp"

namespace {

constexpr int ROW_CAP = 260;

} // namespace

void send_http_error(int socket, const char* status, const char* body) {
    char status_line[100];
    std::snprintf(status_line, sizeof status_line, "HTTP/1.0 %s\r\n", status);
    send_text(socket, status_line);
    send_text(socket, "Connection: close\r\n");
    send_text(socket, "\r\n");
    send_text(socket, body);
}

void send_file_response(int socket, const char* path, bool no_cache, const char* content_type) {
    FileReader file;
    if (file.open(path) != 0) {
        send_http_error(socket, "403 Soubor neexistuje", "pozadovany soubor neexistuje");
        return;
    }
    // The true size, also past 2 GiB, so that clients receive the whole file.
    char size[24];
    std::snprintf(size, sizeof size, "%" PRId64, file.size());
    send_text(socket, "HTTP/1.0 200 OK\r\n");
    send_text(socket, "Content-Type: ");
    send_text(socket, content_type);
    send_text(socket, "\r\n");
    send_text(socket, "Content-Length: ");
    send_text(socket, size);
    send_text(socket, "\r\n");
    if (no_cache) {
        send_text(socket, "Pragma: no-cache\r\n");
    }
    send_text(socket, "Connection: close\r\n");
    send_text(socket, "\r\n");
    send_file_contents(socket, file);
}

void format_directory_row(char* out, const char* dir_path, int prefix_length,
                          const DirEntry& entry) {
    char size[16];
    if (entry.is_directory) {
        std::snprintf(size, sizeof size, "Adresar");
    } else {
        std::snprintf(size, sizeof size, "%d", static_cast<int32_t>(entry.size));
    }
    char joined[PATH_CAP];
    std::snprintf(joined, sizeof joined, "%s", dir_path);
    path_append(joined, entry.name);
    const char* target =
        static_cast<int>(std::strlen(joined)) > prefix_length ? joined + prefix_length : "";
    std::snprintf(out, ROW_CAP, "<TR><TD align=right>%s</TD><TD><A href=\"%s\">%s</A></TD></TR>\n",
                  size, target, entry.name);
}

int send_directory_page(int socket, const char* dir_path, int prefix_length) {
    send_text(socket, "<HTML><TABLE>");
    DirectoryReader directory;
    if (directory.open(dir_path) != 0) {
        return 1;
    }
    DirEntry entry;
    char row[ROW_CAP];
    while (directory.next(entry)) {
        format_directory_row(row, dir_path, prefix_length, entry);
        send_text(socket, row);
    }
    send_text(socket, "</TABLE></HTML>");
    return 0;
}
