#include "http/http_response.hpp"

#include <algorithm>
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

namespace {

// Fills `buffer` from the file, or as much of it as the file still has.
size_t read_up_to(FileReader& file, std::span<char> buffer) {
    size_t filled = 0;
    while (filled < buffer.size()) {
        long got = file.read(buffer.subspan(filled));
        if (got <= 0) {
            break;
        }
        filled += static_cast<size_t>(got);
    }
    return filled;
}

} // namespace

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
    std::span<char> room = head.room();
    if (file.size() <= static_cast<int64_t>(room.size())) {
        // A small body goes out with the head, in one send and one segment;
        // the kernel's file-to-socket copy costs more than it saves here.
        // The connection's end follows at once: held back for it, the
        // response and the FIN share that segment, and the client reads
        // both in one wake-up.
        size_t body = read_up_to(file, room.first(static_cast<size_t>(file.size())));
        (void)head.flush_with_room(body, true);
        return;
    }
    if (head.flush(true)) {
        (void)send_file_contents(socket, file, file.size());
    }
}

namespace {

// A name that joins its directory as one more segment of its own: the
// joined path is then the directory's canonical path, a separator and the
// name, whatever the name.
bool is_plain_name(const char* name) {
    if (name[0] == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 ||
        name[1] == ':') {
        return false;
    }
    for (const char* c = name; *c != '\0'; ++c) {
        if (is_path_separator(*c)) {
            return false;
        }
    }
    return true;
}

// Appends to a row whose room the caller has made sure of.
struct RowText {
    char* out;
    size_t length = 0;
    void add(const char* text, size_t count) {
        // Not memcpy: an empty head has no address at all.
        std::copy_n(text, count, out + length);
        length += count;
    }
    template <size_t N> void add(const char (&text)[N]) { add(text, N - 1); }
};

// Writes the row of `entry` whose link is `encoded_head` (already encoded)
// followed by `target` (encoded here). Returns its length. Names go into
// the page as text and into the link as a URL, so that a name can neither
// add markup nor lead anywhere but to itself. Never cut: DIRECTORY_ROW_CAP
// holds the fixed text, the size, the longest link and the longest name.
size_t write_row(char (&out)[DIRECTORY_ROW_CAP], const DirEntry& entry,
                 std::span<const char> encoded_head, const char* target) {
    char size[SIZE_COLUMN_CAP];
    format_size_column(size, entry, "Adresar");
    RowText row{out};
    row.add("<TR><TD align=right>");
    row.add(size, std::strlen(size));
    row.add("</TD><TD><A href=\"");
    row.add(encoded_head.data(), encoded_head.size());
    row.length += encode_href(std::span(out).subspan(row.length), target);
    row.add("\">");
    row.length += escape_html(std::span(out).subspan(row.length), entry.name);
    row.add("</A></TD></TR>\n");
    out[row.length] = '\0';
    return row.length;
}

} // namespace

size_t format_directory_row(char (&out)[DIRECTORY_ROW_CAP], const char* dir_path, int prefix_length,
                            const DirEntry& entry) {
    // Room for the longest directory path joined with the longest name: the
    // link must name the entry itself, never a cut or emptied path.
    char joined[DIRECTORY_LINK_PATH_CAP];
    std::snprintf(joined, sizeof joined, "%s", dir_path);
    // Cannot fail: the room above holds any directory with any name.
    (void)path_append(joined, entry.name);
    return write_row(out, entry, {}, below_tree(joined, prefix_length));
}

void prepare_directory_rows(DirectoryRows& rows, const char* dir_path, int prefix_length) {
    rows.dir_path = dir_path;
    rows.prefix_length = prefix_length;
    rows.shares_link = false;
    // The directory joined with a plain name shows what every plain name is
    // joined to.
    char probe[DIRECTORY_LINK_PATH_CAP];
    std::snprintf(probe, sizeof probe, "%s", dir_path);
    if (path_append(probe, "x") != Status::ok) {
        return;
    }
    size_t joined_length = std::strlen(probe);
    if (joined_length < 2 || probe[joined_length - 1] != 'x' ||
        !is_path_separator(probe[joined_length - 2]) ||
        joined_length - 1 < static_cast<size_t>(prefix_length)) {
        return;
    }
    probe[joined_length - 1] = '\0';
    // What lies below the tree, up to the separator before the name.
    const char* below = probe + prefix_length;
    rows.link_length = *below == '\0' ? 0 : encode_href(rows.link, below);
    rows.joined_length = joined_length - 1;
    rows.shares_link = true;
}

size_t format_page_row(char (&out)[DIRECTORY_ROW_CAP], const DirectoryRows& rows,
                       const DirEntry& entry) {
    size_t name_length = std::strlen(entry.name);
    if (!rows.shares_link || !is_plain_name(entry.name) ||
        rows.joined_length + name_length >= DIRECTORY_LINK_PATH_CAP) {
        return format_directory_row(out, rows.dir_path, rows.prefix_length, entry);
    }
    return write_row(out, entry, std::span(rows.link, rows.link_length), entry.name);
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
    DirectoryRows rows;
    prepare_directory_rows(rows, dir_path, prefix_length);
    char row[DIRECTORY_ROW_CAP];
    Status listed = visit_directory(dir_path, [&](const DirEntry& entry) {
        page.add(row, format_page_row(row, rows, entry));
        return true;
    });
    if (listed == Status::ok) {
        page.add("</TABLE></HTML>");
    }
}
