#include "startup/startup.hpp"

#include <csignal>
#include <cstring>
#include <unistd.h>

#include "listener/listener.hpp"
#include "net/console.hpp"
#include "startup/settings.hpp"
#include "startup/switches.hpp"

ServerSettings settings;

void start_socket_library() {
    // Sockets need no start-up here; what does need care is that writing to
    // a connection the peer has closed raises SIGPIPE, which would end us.
    std::signal(SIGPIPE, SIG_IGN);
}

int locate_base_directory() {
    char* dir = settings.base_dir;
    ssize_t length = readlink("/proc/self/exe", dir, sizeof settings.base_dir - 1);
    if (length <= 0) {
        dir[0] = '\0';
        return 1;
    }
    dir[length] = '\0';
    char* last_separator = std::strrchr(dir, '/');
    if (last_separator == nullptr) {
        dir[0] = '\0';
        return 1;
    }
    last_separator[1] = '\0';
    return 0;
}

int run_server(int argc, const char* const* argv) {
    start_socket_library();
    if (locate_base_directory() != 0) {
        console_print("Cannot find the directory of the executable\n");
        return 0;
    }
    if (apply_switches(argc, argv, settings) != SWITCHES_OK) {
        console_print("Pouziti: Pelmar [/ftpport <cislo>] [/wwwport <cislo>]\n");
        return 1;
    }
    console_printf("Basepath: %s\n", settings.base_dir);
    console_printf("WWWport : %d\n", settings.www_port);
    console_printf("FTPport : %d\n", settings.ftp_port);
    if (std::strlen(settings.base_dir) > MAX_BASE_DIR_LENGTH) {
        // The web and FTP paths keep their short limits; below a longer base
        // directory they would be cut and name the wrong files.
        console_printf("Basepath is longer than %d characters\n", MAX_BASE_DIR_LENGTH);
        return 0;
    }
    if (std::strchr(settings.base_dir, '\\') != nullptr) {
        // Paths below it are formed with "\" as a separator, so its own
        // backslash would split a name and lead into another directory.
        console_print("Basepath must not contain a backslash\n");
        return 0;
    }
    run_listener();
    return 0;
}
