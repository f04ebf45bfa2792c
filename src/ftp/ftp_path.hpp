#pragma once

// Resolves an FTP path argument against `cwd` (relative) or `root`
// (absolute) into a canonical path in `out` (260 bytes). Returns 0 when the
// result is the root or lies below it, 1 otherwise. Changes `argument`.
int resolve_ftp_path(char* out, const char* cwd, char* argument, const char* root, int root_length);

// Sends the 257 reply for a directory given relative to the root.
void send_pwd_reply(int socket, const char* relative);
