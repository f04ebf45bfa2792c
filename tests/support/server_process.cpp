#include "server_process.hpp"

#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

// Starting Wine may take seconds where a native server takes milliseconds.
constexpr int NATIVE_START_MS = 5000;
constexpr int LAUNCHED_START_MS = 30000;

using ListeningSockets = std::vector<std::pair<int, unsigned long>>; // port, socket inode

// Asks the kernel for its listening TCP sockets alone. Reading /proc/net/tcp
// would walk every socket, and after a load test tens of thousands in
// TIME_WAIT make each reading take half a second. The server binds IPv4 only.
std::optional<ListeningSockets> ask_for_listening_sockets() {
    int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return std::nullopt;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.request.sdiag_family = AF_INET;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = 1U << TCP_LISTEN;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    // The kernel answers at once; the limit only keeps a lost answer from
    // hanging a test.
    timeval limit{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::optional<ListeningSockets> sockets;
    bool over = ::sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
                         sizeof kernel) != static_cast<ssize_t>(sizeof message);
    ListeningSockets found;
    alignas(nlmsghdr) char buffer[32768];
    // A dump ends with NLMSG_DONE; the count only guards against a kernel
    // that would never say so.
    for (int part = 0; part < 10000 && !over; ++part) {
        ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        int left = static_cast<int>(got);
        over = got <= 0;
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); !over && NLMSG_OK(header, left);
             header = NLMSG_NEXT(header, left)) {
            if (header->nlmsg_type == NLMSG_DONE)
                sockets = std::move(found);
            if (header->nlmsg_type == NLMSG_DONE || header->nlmsg_type == NLMSG_ERROR) {
                over = true;
            } else {
                auto* entry = static_cast<inet_diag_msg*>(NLMSG_DATA(header));
                found.emplace_back(ntohs(entry->id.idiag_sport), entry->idiag_inode);
            }
        }
    }
    ::close(fd);
    return sockets;
}

// Ports in the LISTEN state, whoever holds them, with the inode of each
// socket: from the kernel's socket diagnostics, or where those are missing
// from /proc/net/tcp.
ListeningSockets listening_sockets() {
    if (std::optional<ListeningSockets> asked = ask_for_listening_sockets())
        return *asked;
    ListeningSockets sockets;
    std::ifstream table("/proc/net/tcp");
    unsigned port = 0, state = 0;
    unsigned long inode = 0;
    for (std::string line; std::getline(table, line);)
        if (std::sscanf(line.c_str(), " %*u: %*x:%x %*x:%*x %x %*x:%*x %*x:%*x %*x %*u %*u %lu",
                        &port, &state, &inode) == 3 &&
            state == 0x0A /* LISTEN */)
            sockets.emplace_back(static_cast<int>(port), inode);
    return sockets;
}

} // namespace

bool someone_listens_on(int port) {
    return std::ranges::any_of(listening_sockets(),
                               [&](const auto& socket) { return socket.first == port; });
}

bool eventually(const std::function<bool()>& condition, int timeout_ms) {
    for (int waited = 0; !condition(); waited += 10) {
        if (waited >= timeout_ms)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

ServerProcess::ServerProcess() : launcher_(PELMAR_LAUNCHER), executable_(PELMAR_SERVER_NAME) {
    char pattern[] = "/tmp/pelmar-test-XXXXXX";
    ::mkdtemp(pattern);
    // The server reports the resolved directory of its executable.
    base_dir_ = fs::canonical(pattern).string() + "/";
    fs::copy_file(PELMAR_BINARY, path(executable_));
    for (const char* tree : {"wwwroot", "ftproot"})
        fs::copy(fs::path(PELMAR_FIXTURES) / tree, path(tree), fs::copy_options::recursive);
}

bool ServerProcess::native() {
    return std::string_view(PELMAR_LAUNCHER).empty();
}

void skip_check(std::string_view what) {
    // Returns from here only, not from the case.
    GTEST_SKIP() << "not checked here: " << what;
}

bool ServerProcess::native_check(std::string_view check) {
    if (!native())
        skip_check(std::string(check) +
                   " (under Wine the server's sockets, descriptors and threads are Wine's)");
    return native();
}

ServerProcess::~ServerProcess() {
    stop();
    ::close(console_fd_);
    ::close(console_pipe_);
    std::error_code ignored;
    fs::remove_all(base_dir_, ignored);
}

std::string ServerProcess::reported_base_dir() const {
    return reported_path("");
}

std::string ServerProcess::reported_path(std::string_view relative) const {
    if (native())
        return path(relative);
    std::string windows = "Z:" + path(relative);
    std::replace(windows.begin(), windows.end(), '/', '\\');
    return windows;
}

void ServerProcess::move_executable(std::string_view relative) {
    std::string dir = std::string(relative);
    if (!dir.empty() && !dir.ends_with('/'))
        dir += '/';
    make_dir(dir);
    fs::rename(path(executable_dir_ + executable_), path(dir + executable_));
    executable_dir_ = dir;
}

void ServerProcess::write_file(std::string_view relative, std::string_view content) const {
    std::ofstream(path(relative), std::ios::binary) << content;
}

bool ServerProcess::start(std::vector<std::string> extra_args) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        // Somebody may take a port between our probe and its bind.
        int www = free_tcp_port();
        if (start_on(www, free_tcp_port(www), extra_args))
            return true;
    }
    return false;
}

bool ServerProcess::start_on(int www, int ftp, std::vector<std::string> extra_args) {
    std::vector<std::string> args = {"/wwwport", std::to_string(www), "/ftpport",
                                     std::to_string(ftp)};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    launch(args);
    if (native()) {
        if (eventually([&] { return listening_ports().size() == 2 || !running(); },
                       NATIVE_START_MS) &&
            listening_ports() == std::set<int>{www, ftp}) {
            www_port_ = www;
            ftp_port_ = ftp;
            return true;
        }
        return false;
    }
    // Wine's server holds the Windows program's sockets, not the program's
    // process: the ports are found in the kernel's table by number, and the
    // program must still run (had it failed to bind, somebody else listens).
    auto both = [&] { return someone_listens_on(www) && someone_listens_on(ftp); };
    if (eventually([&] { return both() || !running(); }, LAUNCHED_START_MS) && running() &&
        both()) {
        www_port_ = www;
        ftp_port_ = ftp;
        return true;
    }
    return false;
}

void ServerProcess::set_env(std::string name, std::string value) {
    std::erase_if(env_, [&](const auto& entry) { return entry.first == name; });
    env_.emplace_back(std::move(name), std::move(value));
}

void ServerProcess::launch(const std::vector<std::string>& args) {
    stop();
    ::close(console_fd_);
    ::close(console_pipe_);
    console_pipe_ = -1;
    // A file rather than a pipe: nobody has to drain it while the server runs.
    console_fd_ = ::memfd_create("console", MFD_CLOEXEC);
    int sink = console_fd_;
    if (console_to_pipe_) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) == 0) {
            console_pipe_ = ends[0];
            sink = ends[1];
        }
    }
    std::string binary = path(executable_dir_ + executable_);
    std::vector<char*> argv{binary.data()};
    if (!native())
        argv.insert(argv.begin(), launcher_.data());
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    // Built here: between fork and exec nothing may allocate.
    std::vector<std::string> settings;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string_view text(*entry);
        std::string_view name = text.substr(0, text.find('='));
        bool replaced = std::any_of(env_.begin(), env_.end(),
                                    [&](const auto& set) { return set.first == name; });
        if (!replaced && name != "SUDO_UID" && name != "SUDO_GID")
            settings.emplace_back(text);
    }
    for (const auto& [name, value] : env_)
        settings.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& setting : settings)
        envp.push_back(setting.data());
    envp.push_back(nullptr);
    exit_code_.reset();
    www_port_ = ftp_port_ = 0;
    rlimit open_files{};
    ::getrlimit(RLIMIT_NOFILE, &open_files);
    if (open_file_limit_ > 0)
        open_files.rlim_cur = static_cast<rlim_t>(open_file_limit_);
    pid_ = ::fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL); // not to outlive a crashed test
        ::dup2(sink, 1);
        ::dup2(sink, 2);
        // No test socket may leak in, skewing its fd count or holding a port.
        ::close_range(3, ~0U, 0);
        ::setrlimit(RLIMIT_NOFILE, &open_files);
        // The base directory must come from the executable, not the cwd.
        if (::chdir("/") == 0)
            ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    if (sink != console_fd_)
        ::close(sink);
}

std::optional<int> ServerProcess::wait_for_exit(int timeout_ms) {
    int status = 0;
    if (!exit_code_ && pid_ > 0 &&
        eventually([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, timeout_ms))
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return exit_code_;
}

void ServerProcess::stop() {
    if (pid_ > 0 && !wait_for_exit(0)) {
        ::kill(pid_, SIGKILL);
        // Reaped or not, nothing is left to do about it here.
        (void)wait_for_exit(10000);
    }
    // Wine's server closes a killed program's sockets a moment after its
    // process is gone; a restart on the same ports has to wait for that.
    if (!native())
        for (int port : {www_port_, ftp_port_})
            if (port > 0)
                (void)eventually([&] { return !someone_listens_on(port); }, 10000);
}

std::string ServerProcess::output() const {
    std::string text;
    char buffer[4096];
    ssize_t got = 0;
    while (console_fd_ >= 0 &&
           (got = ::pread(console_fd_, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0)
        text.append(buffer, static_cast<size_t>(got));
    return text;
}

bool ServerProcess::wait_for_output(std::string_view needle, int timeout_ms) const {
    return eventually([&] { return output().find(needle) != std::string::npos; }, timeout_ms);
}

int ServerProcess::fd_count() const {
    if (!native()) {
        ADD_FAILURE() << "fd_count() reads the native server's descriptors";
        return -1;
    }
    std::error_code error;
    fs::directory_iterator fds("/proc/" + std::to_string(pid_) + "/fd", error);
    return error ? -1 : static_cast<int>(std::distance(fds, fs::directory_iterator()));
}

std::set<int> ServerProcess::listening_ports() const {
    if (!native()) {
        ADD_FAILURE() << "listening_ports() reads the native server's sockets";
        return {};
    }
    std::set<std::string> owned = owned_sockets();
    std::set<int> ports;
    for (auto [port, inode] : listening_sockets())
        if (owned.count("socket:[" + std::to_string(inode) + "]"))
            ports.insert(port);
    return ports;
}

int ServerProcess::thread_count() const {
    if (!native()) {
        ADD_FAILURE() << "thread_count() reads the native server's threads";
        return -1;
    }
    std::error_code error;
    fs::directory_iterator tasks("/proc/" + std::to_string(pid_) + "/task", error);
    return error ? -1 : static_cast<int>(std::distance(tasks, fs::directory_iterator()));
}

std::set<std::string> ServerProcess::owned_sockets() const {
    std::set<std::string> owned;
    std::error_code error;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", error))
        owned.insert(fs::read_symlink(fd.path(), error).string());
    return owned;
}

namespace {

// One row of /proc/net/tcp (the server binds IPv4 only).
struct TcpRow {
    unsigned local_port = 0, remote_port = 0, state = 0, receive_queue = 0;
    unsigned long inode = 0;
};

std::vector<TcpRow> tcp_rows_of(const std::set<std::string>& owned) {
    std::vector<TcpRow> rows;
    std::ifstream table("/proc/net/tcp");
    for (std::string line; std::getline(table, line);) {
        TcpRow row;
        // For a listening socket the receive queue is its queue of
        // connections not yet accepted.
        if (std::sscanf(line.c_str(), " %*u: %*x:%x %*x:%x %x %*x:%x %*x:%*x %*x %*u %*u %lu",
                        &row.local_port, &row.remote_port, &row.state, &row.receive_queue,
                        &row.inode) == 5 &&
            owned.count("socket:[" + std::to_string(row.inode) + "]"))
            rows.push_back(row);
    }
    return rows;
}

} // namespace

double seconds_to_next_probe(int local_port, int remote_port) {
    std::ifstream table("/proc/net/tcp");
    unsigned local = 0, remote = 0, timer = 0;
    unsigned long ticks = 0;
    for (std::string line; std::getline(table, line);)
        // The timer that runs, 2 for a probe of an idle connection, and the
        // clock ticks until it fires.
        if (std::sscanf(line.c_str(), " %*u: %*x:%x %*x:%x %*x %*x:%*x %x:%lx", &local, &remote,
                        &timer, &ticks) == 4 &&
            static_cast<int>(local) == local_port && static_cast<int>(remote) == remote_port)
            return timer == 2
                       ? static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK))
                       : -1;
    return -1;
}

ServerProcess::PortConnections ServerProcess::connections_on(int port) const {
    PortConnections connections;
    if (!native()) {
        ADD_FAILURE() << "connections_on() reads the native server's sockets";
        return connections;
    }
    for (const TcpRow& row : tcp_rows_of(owned_sockets())) {
        if (static_cast<int>(row.local_port) != port)
            continue;
        if (row.state == TCP_LISTEN)
            connections.queued = static_cast<int>(row.receive_queue);
        else
            connections.accepted.insert(static_cast<int>(row.remote_port));
    }
    return connections;
}

double ServerProcess::cpu_seconds() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    std::string stat(std::istreambuf_iterator<char>(in), {});
    // utime and stime, counted from the ')' that ends the command name.
    unsigned long utime = 0, stime = 0;
    if (std::sscanf(stat.c_str() + stat.rfind(')') + 1,
                    " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
        return -1;
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}
