#include "ftp/ftp_path.hpp"

#include <cstdio>

#include "fs/path.hpp"
#include "net/line_io.hpp"

int resolve_ftp_path(char* out, const char* cwd, char* argument, const char* root,
                     int root_length) {
    while (*argument == ' ') {
        ++argument;
    }
    replace_separators(argument, '/', '\\');
    char work[PATH_CAP];
    std::snprintf(work, sizeof work, "%s", argument[0] == '\\' ? root : cwd);
    path_append(work, argument);
    path_canonicalize(out, work);
    // A whole-name match: "ftproot2" beside the root is not inside it.
    return path_is_within(out, root, root_length) ? 0 : 1;
}

void send_pwd_reply(int socket, const char* relative) {
    char shown[PATH_CAP];
    std::snprintf(shown, sizeof shown, "%s", relative);
    replace_separators(shown, '\\', '/');
    char reply[340];
    std::snprintf(reply, sizeof reply, "257 \"%s/\" je aktualni adresar\r\n", shown);
    send_text(socket, reply);
}
