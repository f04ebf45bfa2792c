// A small load generator for the benchmark: whole HTTP/1.0 exchanges and
// whole FTP sessions (login, active-mode LIST or RETR, QUIT) against any
// server on loopback, at a given concurrency for a given time.
//
//   loadgen http  PORT PATH CONCURRENCY SECONDS
//   loadgen ftp   PORT COMMAND CONCURRENCY SECONDS   (COMMAND: none, LIST x, RETR x)
//
// Prints "ops/s MB/s failures" on one line.
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<long> operations{0};
std::atomic<long> failures{0};
std::atomic<long long> payload_bytes{0};

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

int connect_loopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool send_all(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads to the close; the byte count, or -1 on an error. `head` gets the
// first bytes.
long long drain(int fd, std::string* head = nullptr) {
    static thread_local std::vector<char> buffer(1 << 20);
    long long total = 0;
    for (;;) {
        ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) {
            return n < 0 ? -1 : total;
        }
        if (head != nullptr && head->size() < 16) {
            head->append(buffer.data(), static_cast<size_t>(std::min<ssize_t>(n, 16)));
        }
        total += n;
    }
}

bool http_once(int port, const std::string& request) {
    Fd fd(connect_loopback(port));
    if (fd.get() < 0 || !send_all(fd.get(), request)) {
        return false;
    }
    // Only a 200 counts: a server that refuses under load (lighttpd answers
    // a directory listing with 503 while it builds another) has failed.
    std::string head;
    long long bytes = drain(fd.get(), &head);
    if (bytes <= 0 || head.size() < 13 || !head.starts_with("HTTP/1.") ||
        head.compare(8, 5, " 200 ") != 0) {
        return false;
    }
    payload_bytes += bytes;
    return true;
}

// Reads one whole FTP reply (multi-line replies included); returns its code.
class ReplyReader {
  public:
    explicit ReplyReader(int fd) : fd_(fd) {}
    int read_reply() {
        std::string first = line();
        if (first.size() < 3) {
            return -1;
        }
        int code = std::atoi(first.substr(0, 3).c_str());
        if (first.size() > 3 && first[3] == '-') {
            std::string end = first.substr(0, 3) + " ";
            for (int i = 0; i < 10000; ++i) {
                std::string next = line();
                if (next.empty()) {
                    return -1;
                }
                if (next.compare(0, 4, end) == 0) {
                    break;
                }
            }
        }
        return code;
    }

  private:
    std::string line() {
        std::string text;
        for (;;) {
            if (start_ == end_) {
                ssize_t n = recv(fd_, buffer_, sizeof buffer_, 0);
                if (n <= 0) {
                    return text;
                }
                start_ = 0;
                end_ = static_cast<size_t>(n);
            }
            char c = buffer_[start_++];
            text += c;
            if (c == '\n') {
                return text;
            }
        }
    }
    int fd_;
    char buffer_[4096];
    size_t start_ = 0;
    size_t end_ = 0;
};

int listen_loopback(int& port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

bool ftp_command(int fd, ReplyReader& replies, const std::string& command, int& code) {
    if (!send_all(fd, command + "\r\n")) {
        return false;
    }
    code = replies.read_reply();
    return code > 0;
}

bool ftp_once(int port, const std::string& transfer) {
    Fd control(connect_loopback(port));
    if (control.get() < 0) {
        return false;
    }
    ReplyReader replies(control.get());
    int code = replies.read_reply();
    if (code != 220 || !ftp_command(control.get(), replies, "USER anonymous", code) ||
        !ftp_command(control.get(), replies, "PASS bench@", code) ||
        !ftp_command(control.get(), replies, "TYPE I", code)) {
        return false;
    }
    if (transfer != "none") {
        int data_port = 0;
        Fd listener(listen_loopback(data_port));
        char port_command[64];
        std::snprintf(port_command, sizeof port_command, "PORT 127,0,0,1,%d,%d", data_port >> 8,
                      data_port & 0xFF);
        if (!ftp_command(control.get(), replies, port_command, code) || code != 200 ||
            !ftp_command(control.get(), replies, transfer, code) || (code != 150 && code != 125)) {
            return false;
        }
        pollfd waiting{listener.get(), POLLIN, 0};
        if (poll(&waiting, 1, 10000) != 1) {
            return false;
        }
        Fd data(accept(listener.get(), nullptr, nullptr));
        long long bytes = drain(data.get());
        if (bytes < 0 || replies.read_reply() != 226) {
            return false;
        }
        payload_bytes += bytes;
    }
    send_all(control.get(), "QUIT\r\n");
    replies.read_reply();
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: loadgen http|ftp PORT PATH|COMMAND CONCURRENCY SECONDS\n");
        return 2;
    }
    std::string mode = argv[1];
    int port = std::atoi(argv[2]);
    std::string what = argv[3];
    int concurrency = std::atoi(argv[4]);
    double seconds = std::atof(argv[5]);
    std::string request = "GET " + what + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";

    auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    auto started = Clock::now();
    std::vector<std::thread> workers;
    for (int i = 0; i < concurrency; ++i) {
        workers.emplace_back([&] {
            while (Clock::now() < deadline) {
                bool ok = mode == "http" ? http_once(port, request) : ftp_once(port, what);
                ++(ok ? operations : failures);
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("%.1f %.1f %ld\n", operations / elapsed, payload_bytes / elapsed / 1e6,
                failures.load());
    return 0;
}
