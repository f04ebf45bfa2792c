#pragma once

// At most this many sessions run at once, web and FTP together: one per
// session thread, and there are never more session threads.
constexpr int MAX_SESSIONS = 10;

// Binds both ports, gives up root when started through sudo, starts the
// console's writer, and serves for ever on the calling thread and
// MAX_SESSIONS - 1 more; returns only when set-up fails.
void run_listener();
