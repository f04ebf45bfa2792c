#pragma once

#include "platform/socket.hpp"

// A connection closed while bytes the client sent are still unread is
// reset by the kernel, and the reset can destroy a response the client has
// not read yet. After such a response the server stops sending and reads
// on, discarding, until the client closes: as long as bytes keep coming,
// and at most LINGER_TOTAL_MS in all. LINGER_QUIET_MS without a byte ends
// it too: a client that has sent everything and waits has nothing in
// flight any more. A body of many megabytes arrives well within the total
// on loopback or a LAN, and no client holds its session longer than that.
constexpr int LINGER_QUIET_MS = 2000;
constexpr int LINGER_TOTAL_MS = 10000;

// Stops sending and discards what the client still sends, within those
// bounds. The caller closes the socket afterwards.
void discard_until_client_closes(Socket socket);
