#include "startup/startup.hpp"

#include <cstring>
#include <string>

#include "config/settings.hpp"
#include "console/console.hpp"
#include "fs/trees.hpp"
#include "listener/listener.hpp"
#include "platform/files.hpp"
#include "platform/host.hpp"
#include "platform/socket.hpp"
#include "startup/switches.hpp"

namespace {

// The report's first line, written whole like every text, however long the
// base directory is.
void report_base_directory() {
    static const char label[] = "Basepath: ";
    std::string line = label;
    line += settings.base_dir;
    line += '\n';
    console_write(line.data(), line.size());
}

// The services keep their paths inside the two trees themselves; the file
// layer learns the trees for the checks that only a host can make.
void register_served_trees() {
    std::string www = std::string(settings.base_dir) + WEB_TREE;
    std::string ftp = std::string(settings.base_dir) + FTP_TREE;
    const char* roots[] = {www.c_str(), ftp.c_str()};
    register_served_roots(roots, 2);
}

} // namespace

Status locate_base_directory() {
    return locate_executable_directory(settings.base_dir);
}

int run_server(int argc, const char* const* argv) {
    prepare_process();
    prepare_console();
    if (start_socket_library() != Status::ok) {
        console_print("failed to initialize windows sockets\n");
    }
    if (locate_base_directory() != Status::ok) {
        console_print("Cannot find the directory of the executable\n");
        return 0;
    }
    if (apply_switches(argc, argv, settings) != Status::ok) {
        console_print("Pouziti: Pelmar [/ftpport <cislo>] [/wwwport <cislo>]\n");
        return 1;
    }
    report_base_directory();
    console_printf("WWWport : %d\n", settings.www_port);
    console_printf("FTPport : %d\n", settings.ftp_port);
    if (std::strlen(settings.base_dir) > MAX_BASE_DIR_LENGTH) {
        // The web and FTP paths keep their short limits; below a longer base
        // directory they would be cut and name the wrong files.
        console_printf("Basepath is longer than %d characters\n", MAX_BASE_DIR_LENGTH);
        return 0;
    }
    if (HOST_SEPARATOR != '\\' && std::strchr(settings.base_dir, '\\') != nullptr) {
        // Paths below it are formed with "\" as a separator, so a backslash
        // in one of its names would split the name and lead elsewhere.
        console_print("Basepath must not contain a backslash\n");
        return 0;
    }
    register_served_trees();
    run_listener();
    return 0;
}
