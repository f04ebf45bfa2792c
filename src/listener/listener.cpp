#include "listener/listener.hpp"

#include <chrono>
#include <thread>

#include "config/settings.hpp"
#include "console/console.hpp"
#include "ftp/ftp_session.hpp"
#include "http/http_session.hpp"
#include "net/lingering_close.hpp"
#include "net/network_order.hpp"
#include "platform/host.hpp"
#include "platform/socket.hpp"

namespace {

// A web connection is handed over once its request has begun to arrive, so
// that no session thread sleeps waiting for it. One that sends nothing takes
// no place until then, or for about 7 s: the kernel rounds these seconds up
// to its resends of the connection's answer, at 1, 3 and 7 s (a silent
// client was handed over after 7.2 s).
constexpr int WEB_DEFERRAL_SECONDS = 5;

// Set before the first session thread starts, and only read afterwards.
struct Listening {
    Socket www = NO_SOCKET;
    Socket ftp = NO_SOCKET;
    ListeningPorts ports;
};
Listening listening;

// One for each session thread, all made before the server listens.
ConnectionWaiter waiters[MAX_SESSIONS];

struct Connection {
    Socket socket = NO_SOCKET;
    bool web = false;
};

// Binds and listens on both ports; prints the first failure.
[[nodiscard]] Status set_up(Socket www_socket, Socket ftp_socket) {
    if (bind_listening_socket(www_socket, static_cast<uint16_t>(settings.www_port)) != Status::ok) {
        console_print("WWW: Failed to bind to the socket\n");
        return Status::failed;
    }
    if (bind_listening_socket(ftp_socket, static_cast<uint16_t>(settings.ftp_port)) != Status::ok) {
        console_print("FTP: Failed to bind to the socket\n");
        return Status::failed;
    }
    // Connections that arrive while all sessions run wait in the queue; a
    // short one would drop them, and clients retry only after a second.
    if (listen_for_bursts(www_socket) != Status::ok) {
        console_print("WWW: Failed to pasivate the socket\n");
        return Status::failed;
    }
    if (listen_for_bursts(ftp_socket) != Status::ok) {
        console_print("FTP: Failed to pasivate the socket\n");
        return Status::failed;
    }
    // The FTP server speaks first, so only the web port can wait for data.
    accept_once_data_arrives(www_socket, WEB_DEFERRAL_SECONDS);
    // Accepts never wait: another thread may have taken the connection that
    // woke this one.
    accept_without_waiting(www_socket);
    accept_without_waiting(ftp_socket);
    // No client that has vanished from the network holds a place for good.
    end_when_peer_vanishes(www_socket);
    end_when_peer_vanishes(ftp_socket);
    // Every web response ends in a lingering close, which waits for quiet.
    time_out_quiet_receives(www_socket, LINGER_QUIET_MS);
    listening = {www_socket, ftp_socket, {bound_port(www_socket), bound_port(ftp_socket)}};
    // Both ports are bound: root, if we had it, is needed no longer.
    if (give_up_root() != Status::ok) {
        console_print("Failed to give up root privileges\n");
        return Status::failed;
    }
    return Status::ok;
}

bool client_admitted(uint32_t peer_address) {
    return settings.allow_remote != 0 || peer_address == address_from_bytes(127, 0, 0, 1);
}

// Blocks, with no time-out, until this thread has a connection to serve. A
// client that may not be served is closed at once. When both ports have
// connections waiting, the one that did not go last goes first, so that
// neither starves the other.
Connection next_connection(ConnectionWaiter& waiter, bool& www_went_last) {
    for (;;) {
        AcceptedConnection accepted;
        if (waiter.accept_next(!www_went_last, accepted) != AcceptResult::accepted) {
            // Out of descriptors or memory, or no wait possible now: give the
            // sessions time to release some instead of spinning on a socket
            // that stays ready.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        www_went_last = accepted.from_first;
        if (client_admitted(accepted.peer_address)) {
            return {accepted.socket, accepted.from_first};
        }
        close_socket(accepted.socket);
    }
}

// A session thread: it takes a connection, serves the whole session, and
// takes the next. With one such thread per place, no more than
// MAX_SESSIONS sessions ever run, and connections beyond them wait in the
// kernel's queue for the first thread that is done.
[[noreturn]] void serve_on_this_thread(ConnectionWaiter& waiter) {
    bool www_went_last = false;
    for (;;) {
        Connection connection = next_connection(waiter, www_went_last);
        // Each session closes its connection before it returns.
        if (connection.web) {
            http_session(connection.socket);
        } else {
            ftp_session(connection.socket, listening.ports);
        }
    }
}

void run_session_thread(void* waiter) {
    serve_on_this_thread(*static_cast<ConnectionWaiter*>(waiter));
}

// A thread for every waiter that could be made, but for the calling
// thread's own, the first: serving never stops for want of a thread.
void start_other_session_threads(const Status (&prepared)[MAX_SESSIONS], int own) {
    for (int thread = own + 1; thread < MAX_SESSIONS; ++thread) {
        if (prepared[thread] == Status::ok &&
            start_detached_thread(run_session_thread, &waiters[thread]) != Status::ok) {
            console_print("Error starting the WWW servicing thread\n");
        }
    }
}

} // namespace

void run_listener() {
    prepare_session_threads();
    Socket www_socket = open_tcp_socket();
    Socket ftp_socket = open_tcp_socket();
    // Every thread's wait is made before the server listens, so that its
    // descriptors are all in place when it serves.
    Status prepared[MAX_SESSIONS];
    for (int thread = 0; thread < MAX_SESSIONS; ++thread) {
        prepared[thread] = waiters[thread].prepare(www_socket, ftp_socket);
    }
    if (set_up(www_socket, ftp_socket) != Status::ok) {
        return;
    }
    // A thread that cannot wait for connections is a thread that could not
    // be started.
    int own = -1;
    for (int thread = MAX_SESSIONS - 1; thread >= 0; --thread) {
        if (prepared[thread] != Status::ok) {
            console_print("Error starting the WWW servicing thread\n");
        } else {
            own = thread;
        }
    }
    if (own < 0) {
        return;
    }
    start_lingering_closes();
    // Serving begins: from now on no session waits for the console. Without
    // a writer thread the texts are written as they come.
    (void)start_console_writer();
    start_other_session_threads(prepared, own);
    serve_on_this_thread(waiters[own]);
}
