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

// How many times the limits of the load tests are stretched: sanitized
// builds, server and tests alike, run several times slower.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int SCALE = 2;
#else
constexpr int SCALE = 1;
#endif

// Polls `condition` every 10 ms until it holds, for about timeout_ms.
[[nodiscard]] bool eventually(const std::function<bool()>& condition, int timeout_ms = 5000);

// Marks the running case skipped, naming a check it leaves out on this host
// and why, and lets it go on: its other checks still count, and a failure
// still fails it. So that a case that checks less somewhere says so.
void skip_check(std::string_view what);

// A loopback port nobody listens on right now, and other than `other`.
int free_tcp_port(int other = 0);

// Whether a TCP socket listens on the port, whoever holds it, read from the
// kernel's table, since connecting would start a session.
[[nodiscard]] bool someone_listens_on(int port);

// Seconds until the kernel next probes the idle connection from local_port
// to remote_port, whoever holds it (a Windows server's sockets are Wine's);
// -1 when no such probe is set, or no such connection exists.
double seconds_to_next_probe(int local_port, int remote_port);

// A private copy of the built server and the sample trees in a temporary
// directory, run as a child process. The destructor kills it and removes the
// directory.
//
// The build chooses the server: its own Linux `pelmar`, or another
// executable (the cross-built `pelmar.exe`) that a launcher starts (Wine,
// through tests/windows/wine-run). Such a server is not native: its sockets
// and descriptors are not its process's own, so the checks that read them
// from /proc are for the native server only.
class ServerProcess {
  public:
    ServerProcess();
    ~ServerProcess();

    // Whether the server runs as a Linux process of its own, without a
    // launcher. The same for every server of a build, so also asked before
    // one is made.
    static bool native();
    // native(), for a check that reads the server's own tables; under Wine
    // skip_check() names `check` instead.
    static bool native_check(std::string_view check);
    // The copied executable's file name: "pelmar", or "pelmar.exe".
    const std::string& executable() const { return executable_; }

    // The executable's directory, ending with "/": where the tests put files.
    const std::string& base_dir() const { return base_dir_; }
    // The same directory as the server names it on its console: base_dir()
    // natively, "Z:\tmp\pelmar-test-XXXXXX\" under Wine, whose drive Z: is /.
    std::string reported_base_dir() const;
    std::string path(std::string_view relative) const { return base_dir_ + std::string(relative); }
    // A path below base_dir() as the server names it: under Wine with "Z:"
    // before it and every "/" a "\".
    std::string reported_path(std::string_view relative) const;
    void make_dir(std::string_view relative) const {
        std::filesystem::create_directories(path(relative));
    }
    void write_file(std::string_view relative, std::string_view content) const;
    // Moves the copied executable into the directory `relative` below
    // base_dir() (made if missing); later launches start it from there.
    // Windows names the directory a program was started from, without
    // resolving links, so a deeper base directory has to be real there.
    void move_executable(std::string_view relative);

    // Runs it with "/wwwport W /ftpport F" on free ports, then extra_args,
    // and waits until it listens on both. A lost port race is retried.
    [[nodiscard]] bool start(std::vector<std::string> extra_args = {});
    // The same on the given ports, once: false if it does not listen on both.
    [[nodiscard]] bool start_on(int www, int ftp, std::vector<std::string> extra_args = {});
    // Runs it with exactly `args` and does not wait. A launcher gets the
    // executable's path and then `args`.
    void launch(const std::vector<std::string>& args);

    // Later launches may open at most this many descriptors at first (0:
    // as many as the test may). The test can raise it for the running
    // server.
    void set_open_file_limit(int limit) { open_file_limit_ = limit; }

    // Added to the environment of every later launch. Without such a call
    // SUDO_UID and SUDO_GID are kept out of it, so that a suite run under
    // sudo does not make the server give up root.
    void set_env(std::string name, std::string value);

    pid_t pid() const { return pid_; }
    int www_port() const { return www_port_; }
    int ftp_port() const { return ftp_port_; }

    // Exit status (128 + signal if killed), or nullopt while still running
    // after timeout_ms.
    [[nodiscard]] std::optional<int> wait_for_exit(int timeout_ms);
    bool running() { return !wait_for_exit(0); }
    // Kills it and waits until it is gone; a server that start() saw
    // listening is gone once its ports are free again.
    void stop();

    // Everything it has written to stdout and stderr so far.
    std::string output() const;
    // From the next launch on, stdout and stderr are a pipe that only the
    // test reads (console_pipe(), its reading end), so that the test decides
    // when the console takes output; output() then has nothing.
    void console_to_pipe() { console_to_pipe_ = true; }
    int console_pipe() const { return console_pipe_; }
    [[nodiscard]] bool wait_for_output(std::string_view needle, int timeout_ms) const;

    // Native server only (a test failure otherwise): its open descriptors,
    // and the ports it listens on, read from the kernel's tables, since
    // connecting would start a session.
    int fd_count() const;
    std::set<int> listening_ports() const;
    int thread_count() const;

    // Native server only (a test failure otherwise): what the kernel holds
    // for one of its listening ports.
    struct PortConnections {
        std::set<int> accepted; // the client ports of connections the server has accepted
        int queued = 0;         // connections complete but not yet accepted
    };
    PortConnections connections_on(int port) const;
    // User + system time of its process. Under Wine that process runs the
    // Windows program's threads, so this holds there too.
    double cpu_seconds() const;

  private:
    std::set<std::string> owned_sockets() const; // links such as "socket:[12345]"

    std::string launcher_;
    std::string executable_;
    std::string base_dir_;
    std::string executable_dir_; // below base_dir_, ending with "/", or empty
    pid_t pid_ = -1;
    std::optional<int> exit_code_;
    std::vector<std::pair<std::string, std::string>> env_;
    int console_fd_ = -1;
    bool console_to_pipe_ = false;
    int console_pipe_ = -1; // the reading end
    int open_file_limit_ = 0;
    int www_port_ = 0;
    int ftp_port_ = 0;
};
