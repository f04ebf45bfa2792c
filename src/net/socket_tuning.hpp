#pragma once

#include <cstdint>

// Sends small replies at once instead of holding them back for the peer's
// acknowledgement of the previous one (which can take 40 ms).
void send_without_delay(int socket);

// The most bytes a long transfer keeps queued in the kernel that are not on
// their way to the peer yet.
constexpr int64_t UNSENT_BYTES_LIMIT = 128 * 1024;

// Makes a send wait while UNSENT_BYTES_LIMIT bytes are still unsent, however
// large the socket's buffer has grown. Left unbounded, the kernel queues
// megabytes ahead of the peer. On loopback, with server and client on one
// processor, that cost both ends nearly twice the CPU time per byte and
// halved the speed of a 100 MiB transfer; on two processors it made no
// clear difference. It leaves the bytes in flight, and so the speed on long
// paths, as they are.
void limit_unsent_bytes(int socket);
