#pragma once

#include <cstdint>

#include "platform/files.hpp"
#include "platform/socket.hpp"
#include "platform/status.hpp"

// Seconds since 1970 in the 32 bits the listing works with.
int32_t listing_time(int64_t unix_seconds);

// "%m-%d-%y %I:%M%p": always this many characters.
constexpr int LISTING_DATE_LENGTH = 16;

// Date, size field, blanks, the longest name an entry can have, CR LF: no
// line is ever cut, so every one keeps its line end.
constexpr int FTP_LISTING_LINE_CAP = LISTING_DATE_LENGTH + 1 + 12 + 10 + NAME_CAP + 2;

// One listing line, "<date> <size:12>          <name>\r\n", always whole.
void format_listing_line(char (&out)[FTP_LISTING_LINE_CAP], const DirEntry& entry);

// A listing leaves out every entry whose name holds a CR or LF.
// Status::ok when the whole payload went out; Status::failed when the
// directory cannot be listed or the file cannot be opened (nothing sent), or when the data
// connection failed on the way (the rest not sent).
[[nodiscard]] Status send_ftp_listing(Socket data_socket, const char* dir);
[[nodiscard]] Status send_file_data(Socket data_socket, const char* path);
