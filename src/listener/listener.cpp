#include "listener/listener.hpp"

#include <chrono>
#include <thread>

#include "ftp/ftp_session.hpp"
#include "http/http_session.hpp"
#include "listener/session_threads.hpp"
#include "console/console.hpp"
#include "net/network_order.hpp"
#include "platform/host.hpp"
#include "platform/socket.hpp"
#include "startup/settings.hpp"

std::atomic<int> active_sessions{0};
ListeningPorts listening_ports;

namespace {

struct Service {
    Socket socket;
    SessionFunction session;
    const char* thread_error;
};

// Set before the first session thread starts, and only read afterwards.
Service www_service;
Service ftp_service;

// Binds and listens on both ports; prints the first failure and returns 1.
int set_up(Socket www_socket, Socket ftp_socket) {
    if (bind_listening_socket(www_socket, static_cast<uint16_t>(settings.www_port)) != 0) {
        console_print("WWW: Failed to bind to the socket\n");
        return 1;
    }
    if (bind_listening_socket(ftp_socket, static_cast<uint16_t>(settings.ftp_port)) != 0) {
        console_print("FTP: Failed to bind to the socket\n");
        return 1;
    }
    // Connections that arrive while all sessions run wait in the queue; a
    // short one would drop them, and clients retry only after a second.
    if (listen_for_bursts(www_socket) != 0) {
        console_print("WWW: Failed to pasivate the socket\n");
        return 1;
    }
    if (listen_for_bursts(ftp_socket) != 0) {
        console_print("FTP: Failed to pasivate the socket\n");
        return 1;
    }
    // Accepts never wait: a session thread may take a waiting connection
    // before the listener does.
    accept_without_waiting(www_socket);
    accept_without_waiting(ftp_socket);
    listening_ports.www = bound_port(www_socket);
    listening_ports.ftp = bound_port(ftp_socket);
    // Both ports are bound: root, if we had it, is needed no longer.
    if (give_up_root() != 0) {
        console_print("Failed to give up root privileges\n");
        return 1;
    }
    return 0;
}

bool client_admitted(uint32_t peer_address) {
    return settings.allow_remote != 0 || peer_address == address_from_bytes(127, 0, 0, 1);
}

// A connection waiting on the socket, from a client that may be served, or
// NO_SOCKET when none waits. Never blocks: a connection another thread took
// first, or one the client reset in the meantime, leaves nothing to wait
// for. `result` tells why there is none.
Socket accept_admitted(const Service& service, int& result) {
    // Bounded, so that a flood of foreign clients cannot hold a thread here.
    for (int attempt = 0; attempt < 16; ++attempt) {
        Socket connection = NO_SOCKET;
        uint32_t peer_address = 0;
        result = accept_connection(service.socket, connection, peer_address);
        if (result != ACCEPTED) {
            return NO_SOCKET;
        }
        if (client_admitted(peer_address)) {
            return connection;
        }
        close_socket(connection);
    }
    result = ACCEPT_FAILED;
    return NO_SOCKET;
}

// Accepts one connection on a ready socket and hands it to a session
// thread. True when a session took the reserved place; otherwise the place
// is still the listener's, for the next connection.
bool accept_one(const Service& service) {
    int result = ACCEPT_FAILED;
    Socket connection = accept_admitted(service, result);
    if (connection == NO_SOCKET) {
        // Out of descriptors or memory: give the sessions time to release
        // some instead of spinning on a socket that stays readable.
        if (result == ACCEPT_EXHAUSTED) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    if (hand_over_session(service.session, connection) != HANDED_OVER) {
        console_print(service.thread_error);
        close_socket(connection);
        return false;
    }
    return true;
}

// Blocks until a connection waits on either socket, with no time-out: an
// idle server sleeps here instead of polling. When both have one, the
// service that did not go last goes first, so neither starves the other.
const Service* next_ready(const Service& www, const Service& ftp, bool& www_went_last) {
    for (;;) {
        bool www_ready = false;
        bool ftp_ready = false;
        if (wait_for_connection(www.socket, ftp.socket, www_ready, ftp_ready) != 0) {
            continue;
        }
        www_went_last = www_ready && !(ftp_ready && www_went_last);
        return www_went_last ? &www : &ftp;
    }
}

// One connection per reserved place: the place is taken before the accept,
// so no more than MAX_SESSIONS sessions ever run, however many connect at
// once on both ports. While all places are taken the listener sleeps until
// a session ends; a session that ends while connections wait passes its
// place straight on to the next of them (accept_waiting_connection).
[[noreturn]] void serve(const Service& www, const Service& ftp) {
    bool www_went_last = false;
    bool place_reserved = false;
    for (;;) {
        if (!place_reserved) {
            reserve_session_place();
        }
        place_reserved = !accept_one(*next_ready(www, ftp, www_went_last));
    }
}

} // namespace

bool accept_waiting_connection(SessionFunction& session, Socket& socket) {
    // With a place free the listener takes new connections itself.
    if (active_sessions.load() < MAX_SESSIONS) {
        return false;
    }
    // Each thread alternates between the ports, so neither starves.
    thread_local bool www_first = false;
    www_first = !www_first;
    const Service* order[] = {www_first ? &www_service : &ftp_service,
                              www_first ? &ftp_service : &www_service};
    for (const Service* service : order) {
        int result = ACCEPT_FAILED;
        Socket connection = accept_admitted(*service, result);
        if (connection != NO_SOCKET) {
            session = service->session;
            socket = connection;
            return true;
        }
    }
    return false;
}

bool is_own_listening_port(uint16_t port) {
    return port != 0 && (port == listening_ports.www || port == listening_ports.ftp);
}

void run_listener() {
    prepare_session_threads();
    Socket www_socket = open_tcp_socket();
    Socket ftp_socket = open_tcp_socket();
    if (set_up(www_socket, ftp_socket) != 0) {
        return;
    }
    // Serving begins: from now on no session waits for the console. Without
    // a writer thread the texts are written as they come.
    (void)start_console_writer();
    www_service = Service{www_socket, http_session, "Error starting the WWW servicing thread\n"};
    ftp_service = Service{ftp_socket, ftp_session, "Error starting the FTP servicing thread\n"};
    serve(www_service, ftp_service);
}
