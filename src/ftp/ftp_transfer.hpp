#pragma once

#include <cstdint>

#include "fs/directory.hpp"

// Seconds since 1970 in the 32 bits the listing works with.
int32_t listing_time(int64_t unix_seconds);

// One listing line, "<date> <size:12>          <name>\r\n", cut to 259
// characters. `out` holds 260 bytes.
void format_listing_line(char* out, const DirEntry& entry);

// Returns 0 when the payload could be produced, 1 (nothing sent) otherwise.
int send_ftp_listing(int data_socket, const char* dir);
int send_file_data(int data_socket, const char* path);
