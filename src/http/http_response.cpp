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
    TextBatch response(socket);
    response.add(status_line);
    response.add("Connection: close\r\n");
    response.add("\r\n");
    response.add(body);
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
    TextBatch head(socket);
    head.add("HTTP/1.0 200 OK\r\n");
    head.add("Content-Type: ");
    head.add(content_type);
    head.add("\r\n");
    head.add("Content-Length: ");
    head.add(size);
    head.add("\r\n");
    if (no_cache) {
        head.add("Pragma: no-cache\r\n");
    }
    head.add("Connection: close\r\n");
    head.add("\r\n");
    // Exactly the announced length: a file that grows meanwhile is cut there,
    // and one that shrinks ends the body early, which the client sees when
    // the connection closes short of the length.
    if (head.flush(true)) {
        send_file_contents(socket, file, file.size());
    }
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
    TextBatch page(socket);
    page.add("<HTML><TABLE>");
    DirectoryReader directory;
    if (directory.open(dir_path) != 0) {
        return 1;
    }
    DirEntry entry;
    char row[ROW_CAP];
    while (directory.next(entry)) {
        format_directory_row(row, dir_path, prefix_length, entry);
        page.add(row);
    }
    page.add("</TABLE></HTML>");
    return 0;
}
