#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Polls `condition` every 10 ms until it holds, for about timeout_ms.
bool eventually(const std::function<bool()>& condition, int timeout_ms = 5000);

// A loopback port nobody listens on right now.
int free_tcp_port();

// A private copy of the built server and the sample trees in a temporary
// directory, run as a child process. The destructor kills it and removes the
// directory.
class ServerProcess {
  public:
    ServerProcess();
    ~ServerProcess();

    // The executable's directory, ending with "/".
    const std::string& base_dir() const { return base_dir_; }
    std::string path(std::string_view relative) const { return base_dir_ + std::string(relative); }
    void make_dir(std::string_view relative) const {
        std::filesystem::create_directories(path(relative));
    }
    void write_file(std::string_view relative, std::string_view content) const;

    // Runs it with "/wwwport W /ftpport F" on free ports, then extra_args,
    // and waits until it listens on both. A lost port race is retried.
    [[nodiscard]] bool start(std::vector<std::string> extra_args = {});
    // The same on the given ports, once: false if it does not listen on both.
    [[nodiscard]] bool start_on(int www, int ftp, std::vector<std::string> extra_args = {});
    // Runs it with exactly `args` and does not wait.
    void launch(const std::vector<std::string>& args);

    // Added to the environment of every later launch. Without such a call
    // SUDO_UID and SUDO_GID are kept out of it, so that a suite run under
    // sudo does not make the server give up root.
    void set_env(std::string name, std::string value);

    pid_t pid() const { return pid_; }
    int www_port() const { return www_port_; }
    int ftp_port() const { return ftp_port_; }

    // Exit status (128 + signal if killed), or nullopt while still running
    // after timeout_ms.
    std::optional<int> wait_for_exit(int timeout_ms);
    bool running() { return !wait_for_exit(0); }
    void stop();

    // Everything it has written to stdout and stderr so far.
    std::string output() const;
    bool wait_for_output(std::string_view needle, int timeout_ms) const;

    int fd_count() const;
    int thread_count() const;
    // Read from the kernel's tables: connecting would start a session.
    std::set<int> listening_ports() const;

    // What the kernel holds for one of the server's listening ports.
    struct PortConnections {
        std::set<int> accepted; // the client ports of connections the server has accepted
        int queued = 0;         // connections complete but not yet accepted
    };
    PortConnections connections_on(int port) const;
    double cpu_seconds() const; // user + system

  private:
    std::set<std::string> owned_sockets() const; // links such as "socket:[12345]"

    std::string base_dir_;
    pid_t pid_ = -1;
    std::optional<int> exit_code_;
    std::vector<std::pair<std::string, std::string>> env_;
    int console_fd_ = -1;
    int www_port_ = 0;
    int ftp_port_ = 0;
};
