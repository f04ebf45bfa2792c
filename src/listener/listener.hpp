#pragma once

#include <atomic>

constexpr int MAX_SESSIONS = 10;

// Running session threads; each session raises it when it begins and lowers
// it as the very last thing it does.
extern std::atomic<int> active_sessions;

// Binds both ports and serves for ever; returns only when set-up fails.
void run_listener();

// Counts a session for its whole life. Declare it before the owner of the
// session's socket, so that the count is lowered only after the close.
struct SessionCount {
    SessionCount() { ++active_sessions; }
    ~SessionCount() { --active_sessions; }
    SessionCount(const SessionCount&) = delete;
    SessionCount& operator=(const SessionCount&) = delete;
};
