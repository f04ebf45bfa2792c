#pragma once

#include "net/socket_owner.hpp"
#include "platform/socket.hpp"

// A connection closed while bytes the client sent are still unread, or
// that receives bytes after the close, is reset by the kernel, and the
// reset can destroy a response the client has not read yet. Bytes can come
// at any time until the close: the rest of a long body, or a line a chatty
// client adds while the response is on its way. So after every response
// the server stops sending and reads on, discarding, until the client
// closes: as long as bytes keep coming, and at most LINGER_TOTAL_MS in all.
// LINGER_QUIET_MS without a byte ends it too: a client that has sent
// everything and waits has nothing in flight any more. A client that reads
// its response to the end closes at once, and a body of many megabytes
// arrives well within the total on loopback or a LAN; no client holds its
// session longer than that.
constexpr int LINGER_QUIET_MS = 2000;
constexpr int LINGER_TOTAL_MS = 10000;

// Lets the host's closing thread, where it has one, do the same from now
// on for every connection that close_after_client hands to it.
void start_lingering_closes();
// Stops sending and closes the connection once the client has closed it,
// within those bounds: in the background where the host can take it, so
// that the session ends at once, and otherwise here.
void close_after_client(SocketOwner& connection);
