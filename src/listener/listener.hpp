#pragma once

#include <atomic>
#include <cstdint>

#include "listener/session_threads.hpp"

constexpr int MAX_SESSIONS = 10;

// Sessions running, plus the place the listener has reserved for the
// connection it is about to accept. Only the listener raises it, before it
// accepts; a session's thread lowers it once the connection is closed.
extern std::atomic<int> active_sessions;

// The ports the two listening sockets are bound to, in host order. Set
// before the first session starts and only read afterwards.
struct ListeningPorts {
    uint16_t www = 0;
    uint16_t ftp = 0;
};
extern ListeningPorts listening_ports;

// True when `port` (host order) is one this server listens on.
bool is_own_listening_port(uint16_t port);

// For a session thread that has ended its session while every place is
// taken: it keeps its place and takes a connection already waiting on
// either port, without blocking. False when none waits (or a place is free,
// and the listener takes the next connection).
bool accept_waiting_connection(SessionFunction& session, Socket& socket);

// Binds both ports, gives up root when started through sudo, and serves for
// ever; returns only when set-up fails.
void run_listener();
