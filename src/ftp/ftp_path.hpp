#pragma once

#include "fs/path.hpp"
#include "platform/socket.hpp"
#include "platform/status.hpp"

// Resolves an FTP path argument against `cwd` (relative) or `root`
// (absolute) into a canonical path in `out`: Status::ok when the result is
// the root or lies below it, Status::failed otherwise. Changes `argument`.
[[nodiscard]] Status resolve_ftp_path(char (&out)[PATH_CAP], const char* cwd, char* argument,
                                      const char* root, int root_length);

// Room for the 257 reply of the longest path with every character doubled.
constexpr int FTP_PWD_REPLY_CAP = 600;

// Forms the 257 reply for a directory given relative to the root.
void format_pwd_reply(char (&out)[FTP_PWD_REPLY_CAP], const char* relative);

// Sends the 257 reply for a directory given relative to the root.
void send_pwd_reply(Socket socket, const char* relative);
