#pragma once

#include "platform/socket.hpp"

// The threads that serve sessions. Each serves one whole connection at a
// time and then waits for the next, so that no connection pays for a thread
// start once MAX_SESSIONS threads have been started; they are kept for the
// life of the process.
//
// The listener reserves a place in active_sessions before it accepts (see
// reserve_session_place), so at most MAX_SESSIONS connections are ever
// handed over at once, and so never more threads than that are started. A
// thread that ends its session while every place is taken keeps its place
// and accepts the next waiting connection itself (accept_waiting_connection).

using SessionFunction = int (*)(Socket socket);

enum HandOverResult {
    HANDED_OVER = 0,      // a thread serves the connection and gives the place back
    NO_THREAD_STARTED = 1 // the connection is still the caller's, and so is the place
};

// Blocks while MAX_SESSIONS sessions run, then takes one place for the
// connection about to be accepted. Only the listener calls it.
void reserve_session_place();

// Gives a connection whose place is reserved to an idle thread, or to a new
// one when none is idle. Returns a HandOverResult.
int hand_over_session(SessionFunction session, Socket socket);
