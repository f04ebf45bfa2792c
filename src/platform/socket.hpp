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
#else
using Socket = int;
constexpr Socket NO_SOCKET = -1;
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
// Makes accepting on a listening socket never wait: another thread may
// have taken the connection that woke this one. Accepted connections still
// block.
void accept_without_waiting(Socket listening);
// Where the host can, the kernel hands a connection over only once its
// first bytes have arrived, or `seconds` after it was made.
void accept_once_data_arrives(Socket listening, int seconds);
// The port a bound socket has, in host order, or 0.
uint16_t bound_port(Socket socket);

enum class WaitResult {
    ready,
    interrupted, // a signal ended the wait
    failed
};

enum class AcceptResult {
    accepted,
    failed,   // the host cannot wait for connections now: back off a moment
    exhausted // the host is out of descriptors or memory: back off
};

// A connection taken from one of two listening sockets.
struct AcceptedConnection {
    Socket socket = NO_SOCKET;
    uint32_t peer_address = 0; // network order
    bool from_first = false;
};

// One session thread's way to its next connection on two listening
// sockets. Every thread has one, and while any thread is idle no connection
// waits: a connection wakes one idle thread, not all of them.
class ConnectionWaiter {
  public:
    ConnectionWaiter() = default;
    ~ConnectionWaiter();
    ConnectionWaiter(const ConnectionWaiter&) = delete;
    ConnectionWaiter& operator=(const ConnectionWaiter&) = delete;

    // Takes up what the host needs to wait on the two sockets (they need
    // not listen yet), so that a server's descriptors are all in place
    // before it serves. Status::failed when the host cannot: this waiter
    // then takes no connections.
    [[nodiscard]] Status prepare(Socket first, Socket second);
    // Blocks, with no time-out, until this thread has accepted a
    // connection on either socket. When both have connections waiting, the
    // first socket's goes first if `first_goes_first`.
    [[nodiscard]] AcceptResult accept_next(bool first_goes_first, AcceptedConnection& accepted);

  private:
    Socket sockets_[2] = {NO_SOCKET, NO_SOCKET};
    [[maybe_unused]] int handle_ = -1;
};

// A connection is ended by the host when its peer stops answering while
// nothing is on its way, so that a client that has vanished from the
// network (a laptop gone from the Wi-Fi, a machine without power) gives
// its session back. A live peer keeps it, silent or not, and so does one
// that has stopped reading: its kernel still answers. Given a listening
// socket, it holds for the connections accepted from it; given an
// unconnected one, for the connection it makes.
void end_when_peer_vanishes(Socket socket);
// The peer is probed once it has been silent this long, then at this
// interval, and given up when this many probes go unanswered: 60 + 10 x 6
// = 120 s on both hosts. Windows sends 10 probes, a count that programs
// long could not change, so the interval is chosen to suit it. The
// systems' own defaults (two hours and more) would lose a place for hours,
// and a probe a minute costs a silent client two small segments.
constexpr int PEER_IDLE_SECONDS = 60;
constexpr int PEER_PROBE_INTERVAL_SECONDS = 6;
constexpr int PEER_PROBES = 10;

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
// True when `address` (network order) is one of this machine's own, on any
// of its interfaces, or when the host cannot tell.
bool is_address_of_this_machine(uint32_t address);

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

// Receives what has arrived, as much as `buffer` holds at most, waiting as
// long as it takes: the count, 0 when the peer closed, -1 on an error.
long receive_some(Socket socket, std::span<char> buffer);
// The same, but waiting at most `quiet_ms` for a byte: -1 also when none
// came. On a connection accepted from a listening socket that
// time_out_quiet_receives gave the same time, it costs no more than
// receive_some.
long receive_unless_quiet(Socket socket, std::span<char> buffer, int quiet_ms);
// Gives the connections accepted from `listening` from now on the quiet
// time of receive_unless_quiet, where the host passes it on to them.
void time_out_quiet_receives(Socket listening, int quiet_ms);
// How many bytes wait to be received; Status::failed when unknown.
[[nodiscard]] Status bytes_waiting(Socket socket, int& count);
// Small replies go out at once instead of waiting for the previous
// acknowledgement.
void send_without_delay(Socket socket);

// Ends the sending side: the peer sees the end of the data, and can still
// send.
void stop_sending(Socket socket);

// Starts a thread of the host's own that ends connections whose sending
// side is stopped: it discards what each peer still sends and closes the
// connection once the peer closes, after `quiet_ms` without a byte, or
// after `total_ms` in all. Status::failed where the host has none.
[[nodiscard]] Status start_closing_in_background(int quiet_ms, int total_ms);
// Hands such a connection to that thread, which closes it: true when it
// took it. False while it has no room, or where it was never started; the
// caller then waits for the close itself.
bool close_in_background(Socket socket);
