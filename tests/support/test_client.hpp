#pragma once

#include <unistd.h>

#include <string>
#include <string_view>
#include <utility>

// A TCP socket listening on ip:port (0: any free one), or -1. Without
// SO_REUSEADDR, so that it can hold a port the server must fail to bind.
// A receive_buffer (bytes) is given to the connections it accepts.
int listen_on(const char* ip, int port, int receive_buffer = 0);

// The local port of a socket: a listener's, or a client's own end.
int local_port_of(int fd);

// Sends everything; never raises SIGPIPE.
bool send_all(int fd, std::string_view data);

// What arrives until the peer closes or resets, or timeout_ms has passed.
std::string read_until_close(int fd, int timeout_ms);

// Appends what arrives to `into`: true once the peer has closed or reset,
// false when timeout_ms has passed or `into` holds max_bytes first.
bool receive_until_close(int fd, std::string& into, int timeout_ms, size_t max_bytes);

// One line including its LF, read byte by byte so nothing after it is
// consumed; what arrived before a close or the timeout otherwise.
std::string read_line(int fd, int timeout_ms);

// Whether the peer closed or reset before sending a byte; a byte that did
// come stays unread.
[[nodiscard]] bool peer_closed_without_bytes(int fd, int timeout_ms);

// Sole owner of a client descriptor.
class ClientSocket {
  public:
    ClientSocket() = default;
    explicit ClientSocket(int fd) : fd_(fd) {}
    ~ClientSocket() { close(); }
    ClientSocket(ClientSocket&& other) noexcept : fd_(other.release()) {}
    ClientSocket& operator=(ClientSocket&& other) noexcept {
        close();
        fd_ = other.release();
        return *this;
    }

    // From from_ip (any 127.0.0.0/8 address, to play a foreign client) to
    // 127.0.0.1:port; invalid if that fails within 3 s. A receive_buffer
    // (bytes) is set before connecting, when the window is agreed.
    static ClientSocket connect(int port, const char* from_ip = "127.0.0.1",
                                int receive_buffer = 0);
    // The same to to_ip:port, from from_ip.
    static ClientSocket connect_to(const char* to_ip, int port, const char* from_ip = "0.0.0.0",
                                   int receive_buffer = 0);

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void close() {
        if (fd_ >= 0)
            ::close(release());
    }
    void reset(); // with SO_LINGER 0, so the peer sees a reset, not a close

  private:
    int fd_ = -1;
};
