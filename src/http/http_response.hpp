#pragma once

#include <cstddef>

#include "fs/path.hpp"
#include "platform/files.hpp"
#include "platform/socket.hpp"
#include "platform/status.hpp"
#include "text/url_text.hpp"

void send_http_error(Socket socket, const char* status, const char* body);
// The 403 answer for a file that is missing or cannot be opened.
void send_file_unavailable(Socket socket);
// The 200 head and the body of a file the caller has opened. The caller
// ends sending next: a small response may wait for that in the kernel.
void send_file_response(Socket socket, FileReader& file, bool no_cache, const char* content_type);
// The page of a directory. One that cannot be enumerated leaves the page
// unclosed, which is all the client gets.
void send_directory_page(Socket socket, const char* dir_path, int prefix_length);

// Room for a row with the longest name escaped and the longest link
// encoded: rows are never cut.
constexpr size_t DIRECTORY_LINK_PATH_CAP = PATH_CAP + NAME_CAP + 2; // a directory and a name
constexpr size_t DIRECTORY_ROW_CAP =
    80 + NAME_CAP * HTML_ESCAPE_EXPANSION + DIRECTORY_LINK_PATH_CAP * HREF_EXPANSION;

// One table row of the directory page, whole, with the name escaped as page
// text and the link percent-encoded. Returns its length.
size_t format_directory_row(char (&out)[DIRECTORY_ROW_CAP], const char* dir_path, int prefix_length,
                            const DirEntry& entry);

// What the rows of one directory's page share: the encoded link of the
// directory itself, which every plain name only extends.
struct DirectoryRows {
    const char* dir_path = nullptr;
    int prefix_length = 0;
    // False when each row must be formed from the joined path instead.
    bool shares_link = false;
    size_t link_length = 0;
    // The length of the directory's canonical path with its separator.
    size_t joined_length = 0;
    char link[DIRECTORY_LINK_PATH_CAP * HREF_EXPANSION + 2] = {};
};
void prepare_directory_rows(DirectoryRows& rows, const char* dir_path, int prefix_length);
// The row format_directory_row forms, without joining and encoding the
// directory's path again for each entry. Returns its length.
size_t format_page_row(char (&out)[DIRECTORY_ROW_CAP], const DirectoryRows& rows,
                       const DirEntry& entry);
