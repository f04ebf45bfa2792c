#pragma once

// Sockets as the services use them: TCP over IPv4, blocking. Addresses and
// ports that come from or go to the wire are in network byte order; ports
// that people read (bound ports) are in host order.

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/status.hpp"

#if defined(_WIN32)
using Socket = uintptr_t; // the host's SOCKET
constexpr Socket NO_SOCKET = ~static_cast<Socket>(0);
// select() wakes every thread that waits in it for the same connection.
constexpr bool HOST_WAITS_ONE_AT_A_TIME = true;
#else
using Socket = int;
constexpr Socket NO_SOCKET = -1;
constexpr bool HOST_WAITS_ONE_AT_A_TIME = false;
#endif

// Makes the host's sockets usable. When they cannot be, the later socket
// calls fail and say so themselves.
[[nodiscard]] Status start_socket_library();

Socket open_tcp_socket();
void close_socket(Socket socket);

// Binds to every interface on `port` (host order) so that a restarted
// server can bind at once, while a port that another program listens on
// stays refused.
[[nodiscard]] Status bind_listening_socket(Socket socket, uint16_t port);
// Listens with the longest queue the host allows.
[[nodiscard]] Status listen_for_bursts(Socket socket);
// Makes accepting on a listening socket never wait: with nothing left to
// accept, accept_connection fails at once. Accepted connections still
// block.
void accept_without_waiting(Socket listening);
// Where the host can, the kernel hands a connection over only once its
// first bytes have arrived, or `seconds` after it was made.
void accept_once_data_arrives(Socket listening, int seconds);
// The port a bound socket has, in host order, or 0.
uint16_t bound_port(Socket socket);

enum class WaitResult { ready, timed_out, failed };

// One thread's wait for connections on two listening sockets. Where several
// threads wait, each with its own, a connection wakes only one of them,
// unless HOST_WAITS_ONE_AT_A_TIME says that the threads must take turns.
class ConnectionWaiter {
  public:
    ConnectionWaiter() = default;
    ~ConnectionWaiter();
    ConnectionWaiter(const ConnectionWaiter&) = delete;
    ConnectionWaiter& operator=(const ConnectionWaiter&) = delete;

    // Takes up what the host needs to wait on the two sockets (they need
    // not listen yet), so that a server's descriptors are all in place
    // before it serves. Returns false when the host cannot now; wait() then
    // tries again.
    bool prepare(Socket first, Socket second);
    // Blocks, with no time-out, until a connection may wait on either
    // socket: WaitResult::timed_out when a signal ended the wait,
    // WaitResult::failed when the host cannot wait now (back off a moment).
    [[nodiscard]] WaitResult wait(bool& first_ready, bool& second_ready);

  private:
    Socket first_ = NO_SOCKET;
    Socket second_ = NO_SOCKET;
    [[maybe_unused]] int handle_ = -1;
};

enum class AcceptResult {
    accepted,
    failed,   // nothing to accept, or this one attempt failed
    exhausted // the host is out of descriptors or memory: back off
};
// Accepts one connection, blocking whatever the listening socket is, and
// tells the peer's IPv4 address.
[[nodiscard]] AcceptResult accept_connection(Socket listening, Socket& connection,
                                             uint32_t& peer_address);

// Connects to `address`:`port` (both network order).
[[nodiscard]] Status connect_to(Socket socket, uint32_t address, uint16_t port);
// One end of a socket: IPv4 address and port, both in network order.
struct SocketEndpoint {
    uint32_t address = 0;
    uint16_t port = 0;
};
// The socket's own end (`local`) or its peer's; false when it has none
// that IPv4 can name.
bool socket_endpoint(Socket socket, bool local, SocketEndpoint& endpoint);

// The two ends of a connected socket (network order), or 0.
uint32_t peer_address_of(Socket socket);
uint32_t local_address_of(Socket socket);
// True when TCP connected the socket to itself: both ends are the same.
bool connected_to_itself(Socket socket);

// Sends what it can of `data`: the count, or -1 once the peer cannot take
// more. Never ends the process on a vanished peer. `more_follows` lets the
// host hold the bytes back to fill a segment with what comes next.
long send_some(Socket socket, const char* data, size_t length, bool more_follows = false);
// Sends all of `data` unless the peer stops taking it. Returns how many
// bytes went out: `length`, or fewer once the peer is gone.
inline long send_bytes(Socket socket, const char* data, long length, bool more_follows = false) {
    long delivered = 0;
    while (delivered < length) {
        long sent = send_some(socket, data + delivered, static_cast<size_t>(length - delivered),
                              more_follows);
        if (sent <= 0) {
            break;
        }
        delivered += sent;
    }
    return delivered;
}

// Receives what has arrived, as much as `buffer` holds at most: the count,
// 0 when the peer closed, -1 on an error.
long receive_some(Socket socket, std::span<char> buffer);
// How many bytes wait to be received; Status::failed when unknown.
[[nodiscard]] Status bytes_waiting(Socket socket, int& count);
// Small replies go out at once instead of waiting for the previous
// acknowledgement.
void send_without_delay(Socket socket);

// Ends the sending side: the peer sees the end of the data, and can still
// send.
void stop_sending(Socket socket);
// Waits at most timeout_ms until the socket has bytes to receive or the
// peer has closed.
[[nodiscard]] WaitResult wait_readable(Socket socket, int timeout_ms);
