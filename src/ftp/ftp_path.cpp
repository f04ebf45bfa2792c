#include "ftp/ftp_path.hpp"

#include <cstdio>
#include <cstring>

#include "fs/path.hpp"
#include "net/line_io.hpp"

Status resolve_ftp_path(char (&out)[PATH_CAP], const char* cwd, char* argument, const char* root,
                        int root_length) {
    while (*argument == ' ') {
        ++argument;
    }
    replace_separators(argument, '/', '\\');
    std::snprintf(out, sizeof out, "%s", argument[0] == '\\' ? root : cwd);
    if (path_append(out, argument) != Status::ok) {
        return Status::failed;
    }
    // An empty argument leaves the start as it was given; it is made
    // canonical here all the same.
    path_canonicalize(out);
    // A whole-name match: "ftproot2" beside the root is not inside it.
    if (!path_is_within(out, root, root_length)) {
        return Status::failed;
    }
    // Where names ignore letter case the match does too, but a folder may
    // not: "FTPROOT" beside "ftproot" is another folder there. The path
    // always goes on with the root as the server spells it.
    std::memcpy(out, root, static_cast<size_t>(root_length));
    return Status::ok;
}

void format_pwd_reply(char (&out)[FTP_PWD_REPLY_CAP], const char* relative) {
    // The path is shown in double quotes, so a '"' inside it is doubled for
    // the client to find where the path ends; "\" separators show as "/".
    char shown[2 * PATH_CAP];
    size_t length = 0;
    for (const char* p = relative; *p != '\0' && length + 2 < sizeof shown; ++p) {
        if (*p == '"') {
            shown[length++] = '"';
        }
        shown[length++] = *p == '\\' ? '/' : *p;
    }
    shown[length] = '\0';
    std::snprintf(out, sizeof out, "257 \"%s/\" je aktualni adresar\r\n", shown);
}

void send_pwd_reply(Socket socket, const char* relative) {
    char reply[FTP_PWD_REPLY_CAP];
    format_pwd_reply(reply, relative);
    send_text(socket, reply);
}
