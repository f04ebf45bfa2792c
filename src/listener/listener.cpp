#include "listener/listener.hpp"

#include <chrono>
#include <thread>

#include "ftp/ftp_session.hpp"
#include "http/http_session.hpp"
#include "net/console.hpp"
#include "net/network_order.hpp"
#include "platform/host.hpp"
#include "platform/socket.hpp"
#include "startup/settings.hpp"

std::atomic<int> active_sessions{0};
ListeningPorts listening_ports;

namespace {

struct Service {
    Socket socket;
    int (*session)(Socket);
    const char* thread_error;
};

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
    if (listen_for_bursts(www_socket) != 0) {
        console_print("WWW: Failed to pasivate the socket\n");
        return 1;
    }
    if (listen_for_bursts(ftp_socket) != 0) {
        console_print("FTP: Failed to pasivate the socket\n");
        return 1;
    }
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

void accept_one(const Service& service) {
    Socket connection = NO_SOCKET;
    uint32_t peer_address = 0;
    int accepted = accept_connection(service.socket, connection, peer_address);
    if (accepted != ACCEPTED) {
        // Out of descriptors or memory: give the sessions time to release
        // some instead of spinning on a socket that stays readable.
        if (accepted == ACCEPT_EXHAUSTED) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return;
    }
    if (!client_admitted(peer_address)) {
        close_socket(connection);
        return;
    }
    if (start_session_thread(service.session, connection) != 0) {
        console_print(service.thread_error);
        close_socket(connection);
    }
}

[[noreturn]] void serve(const Service& www, const Service& ftp) {
    for (;;) {
        bool www_ready = false;
        bool ftp_ready = false;
        if (wait_for_connection(www.socket, ftp.socket, www_ready, ftp_ready) != 0) {
            continue;
        }
        while (active_sessions.load() >= MAX_SESSIONS) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (www_ready) {
            accept_one(www);
        }
        if (ftp_ready) {
            accept_one(ftp);
        }
    }
}

} // namespace

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
    serve(Service{www_socket, http_session, "Error starting the WWW servicing thread\n"},
          Service{ftp_socket, ftp_session, "Error starting the FTP servicing thread\n"});
}
