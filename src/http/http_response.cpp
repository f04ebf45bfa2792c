#include "http/http_response.hpp"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "fs/listing.hpp"
#include "fs/trees.hpp"
#include "net/line_io.hpp"

void send_http_error(Socket socket, const char* status, const char* body) {
    char status_line[100];
    std::snprintf(status_line, sizeof status_line, "HTTP/1.0 %s\r\n", status);
    TextBatch response(socket);
    response.add(status_line);
    response.add("Connection: close\r\n");
    response.add("\r\n");
    response.add(body);
}

void send_file_unavailable(Socket socket) {
    send_http_error(socket, "403 Soubor neexistuje", "pozadovany soubor neexistuje");
}

void send_file_response(Socket socket, FileReader& file, bool no_cache, const char* content_type) {
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
    // the connection closes short of the length. Whatever did not go out,
    // the connection closes next, which is all the client can be told.
    if (head.flush(true)) {
        (void)send_file_contents(socket, file, file.size());
    }
}

void format_directory_row(char (&out)[DIRECTORY_ROW_CAP], const char* dir_path, int prefix_length,
                          const DirEntry& entry) {
    char size[SIZE_COLUMN_CAP];
    format_size_column(size, entry, "Adresar");
    // Room for the longest directory path joined with the longest name: the
    // link must name the entry itself, never a cut or emptied path.
    char joined[DIRECTORY_LINK_PATH_CAP];
    std::snprintf(joined, sizeof joined, "%s", dir_path);
    // Cannot fail: the room above holds any directory with any name.
    (void)path_append(joined, entry.name);
    const char* target = below_tree(joined, prefix_length);
    // Names go into the page as text and into the link as a URL, so that a
    // name can neither add markup nor lead anywhere but to itself.
    char href[sizeof joined * HREF_EXPANSION + 2];
    encode_href(href, target);
    char name[NAME_CAP * HTML_ESCAPE_EXPANSION + 1];
    escape_html(name, entry.name);
    std::snprintf(out, sizeof out,
                  "<TR><TD align=right>%s</TD><TD><A href=\"%s\">%s</A></TD></TR>\n", size, href,
                  name);
}

void send_directory_page(Socket socket, const char* dir_path, int prefix_length) {
    TextBatch page(socket);
    // Browsers take a head-less answer only on port 80, and clients such as
    // curl not at all.
    page.add("HTTP/1.0 200 OK\r\n");
    page.add("Content-Type: text/html; charset=utf-8\r\n");
    page.add("Connection: close\r\n");
    page.add("\r\n");
    page.add("<HTML><TABLE>");
    char row[DIRECTORY_ROW_CAP];
    Status listed = visit_directory(dir_path, [&](const DirEntry& entry) {
        format_directory_row(row, dir_path, prefix_length, entry);
        page.add(row);
        return true;
    });
    if (listed == Status::ok) {
        page.add("</TABLE></HTML>");
    }
}
