#include "listener/listener.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "ftp/ftp_session.hpp"
#include "http/http_session.hpp"
#include "listener/session_threads.hpp"
#include "net/console.hpp"
#include "startup/privileges.hpp"
#include "startup/settings.hpp"

std::atomic<int> active_sessions{0};
ListeningPorts listening_ports;

namespace {

// Connections that arrive while all sessions run wait in the kernel's
// queue; a short one would drop their SYNs, and clients retry only after a
// second or more.
constexpr int LISTEN_BACKLOG = SOMAXCONN;
#if defined(__SANITIZE_THREAD__)
// The thread sanitizer keeps a large per-thread state on the thread's stack.
constexpr size_t SESSION_STACK_SIZE = 4 * 1024 * 1024;
#else
constexpr size_t SESSION_STACK_SIZE = 256 * 1024;
#endif

struct Service {
    int socket;
    SessionFunction session;
    const char* thread_error;
};

// Set before the first session thread starts, and only read afterwards.
Service www_service;
Service ftp_service;

int bind_any(int socket, int32_t port) {
    // Lets a restarted server bind while the connections it closed before
    // are in TIME_WAIT; a port another socket listens on is still refused.
    int on = 1;
    (void)setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
    return bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
}

// The port a bound socket has, in host order (port 0 binds any free one).
uint16_t bound_port(int socket) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

// Binds and listens on both ports; prints the first failure and returns 1.
int set_up(int www_socket, int ftp_socket) {
    if (bind_any(www_socket, settings.www_port) != 0) {
        console_print("WWW: Failed to bind to the socket\n");
        return 1;
    }
    if (bind_any(ftp_socket, settings.ftp_port) != 0) {
        console_print("FTP: Failed to bind to the socket\n");
        return 1;
    }
    if (listen(www_socket, LISTEN_BACKLOG) != 0) {
        console_print("WWW: Failed to pasivate the socket\n");
        return 1;
    }
    if (listen(ftp_socket, LISTEN_BACKLOG) != 0) {
        console_print("FTP: Failed to pasivate the socket\n");
        return 1;
    }
    // Accepts never wait: a session thread may take a waiting connection
    // before the listener does. Linux does not pass the flag on to the
    // accepted connections, which stay blocking.
    (void)fcntl(www_socket, F_SETFL, O_NONBLOCK);
    (void)fcntl(ftp_socket, F_SETFL, O_NONBLOCK);
    listening_ports.www = bound_port(www_socket);
    listening_ports.ftp = bound_port(ftp_socket);
    // Both ports are bound: root, if we had it, is needed no longer.
    if (give_up_root() != 0) {
        console_print("Failed to give up root privileges\n");
        return 1;
    }
    return 0;
}

bool client_admitted(const sockaddr_in& peer) {
    return settings.allow_remote != 0 || ntohl(peer.sin_addr.s_addr) == INADDR_LOOPBACK;
}

// A connection waiting on the socket, from a client that may be served, or
// -1 when none waits. Never blocks: the listening sockets are non-blocking,
// so a connection another thread took first, or one the client reset in
// the meantime, leaves nothing to wait for.
int accept_admitted(const Service& service) {
    // Bounded, so that a flood of foreign clients cannot hold a thread here.
    for (int attempt = 0; attempt < 16; ++attempt) {
        sockaddr_in peer{};
        socklen_t peer_length = sizeof peer;
        int connection = accept(service.socket, reinterpret_cast<sockaddr*>(&peer), &peer_length);
        if (connection < 0) {
            return -1;
        }
        if (client_admitted(peer)) {
            return connection;
        }
        close(connection);
    }
    errno = EAGAIN;
    return -1;
}

// Out of descriptors or memory: gives the sessions time to release some
// instead of spinning on a socket that stays readable. Nothing left to
// accept, or a connection gone before its accept, needs no pause.
void pause_after_failed_accept() {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Accepts one connection on a ready socket and hands it to a session
// thread. True when a session took the reserved place; otherwise the place
// is still the listener's, for the next connection.
bool accept_one(const Service& service) {
    int connection = accept_admitted(service);
    if (connection < 0) {
        pause_after_failed_accept();
        return false;
    }
    if (hand_over_session(service.session, connection) != HANDED_OVER) {
        console_print(service.thread_error);
        close(connection);
        return false;
    }
    return true;
}

// A session needs a few kilobytes of stack. With the default 8 MiB only a
// handful of finished threads' stacks are kept for reuse, and every other
// thread start maps a new one, which costs more than the session's work.
void prepare_session_threads() {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        return;
    }
    pthread_attr_setstacksize(&attributes, SESSION_STACK_SIZE);
    pthread_setattr_default_np(&attributes);
    pthread_attr_destroy(&attributes);
    // Sessions allocate one small buffer each; a heap of their own per
    // thread would only add resident memory.
    mallopt(M_ARENA_MAX, 1);
}

// Blocks until a connection waits on either socket, with no time-out: an
// idle server sleeps here instead of polling. When both have one, the
// service that did not go last goes first, so neither starves the other.
const Service* next_ready(const Service& www, const Service& ftp, bool& www_went_last) {
    for (;;) {
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(www.socket, &ready);
        FD_SET(ftp.socket, &ready);
        int max_socket = www.socket > ftp.socket ? www.socket : ftp.socket;
        if (select(max_socket + 1, &ready, nullptr, nullptr, nullptr) <= 0) {
            continue;
        }
        bool www_ready = FD_ISSET(www.socket, &ready);
        bool ftp_ready = FD_ISSET(ftp.socket, &ready);
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

bool accept_waiting_connection(SessionFunction& session, int& socket) {
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
        int connection = accept_admitted(*service);
        if (connection >= 0) {
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
    int www_socket = socket(AF_INET, SOCK_STREAM, 0);
    int ftp_socket = socket(AF_INET, SOCK_STREAM, 0);
    if (set_up(www_socket, ftp_socket) != 0) {
        return;
    }
    www_service = Service{www_socket, http_session, "Error starting the WWW servicing thread\n"};
    ftp_service = Service{ftp_socket, ftp_session, "Error starting the FTP servicing thread\n"};
    serve(www_service, ftp_service);
}
