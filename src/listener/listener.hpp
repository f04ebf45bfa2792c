#pragma once

#include <atomic>
#include <cstdint>

constexpr int MAX_SESSIONS = 10;

// Running session threads; each session raises it when it begins and lowers
// it as the very last thing it does.
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

// Binds both ports, gives up root when started through sudo, and serves for
// ever; returns only when set-up fails.
void run_listener();

// Counts a session for its whole life. Declare it before the owner of the
// session's socket, so that the count is lowered only after the close.
struct SessionCount {
    SessionCount() { ++active_sessions; }
    ~SessionCount() { --active_sessions; }
    SessionCount(const SessionCount&) = delete;
    SessionCount& operator=(const SessionCount&) = delete;
};
