#pragma once

#include "fs/directory.hpp"

void send_http_error(int socket, const char* status, const char* body);
void send_file_response(int socket, const char* path, bool no_cache, const char* content_type);
// Returns 0, or 1 when the directory cannot be enumerated (the page is then
// left unclosed, which is all the client gets).
int send_directory_page(int socket, const char* dir_path, int prefix_length);

// One table row of the directory page, cut to 259 characters. `out` holds
// 260 bytes.
void format_directory_row(char* out, const char* dir_path, int prefix_length,
                          const DirEntry& entry);
