#include "net/lingering_close.hpp"

#include <algorithm>
#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

// How long the next wait for bytes may last: the quiet time, or what is
// left of the total if that is less.
int next_wait_ms(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, LINGER_QUIET_MS));
}

// Discards what the client still sends, within the bounds, until it
// closes.
void discard_until_client_closes(Socket socket) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(LINGER_TOTAL_MS);
    char discarded[32 * 1024];
    for (int wait_ms = next_wait_ms(deadline); wait_ms > 0; wait_ms = next_wait_ms(deadline)) {
        if (receive_unless_quiet(socket, discarded, wait_ms) <= 0) {
            return;
        }
    }
}

} // namespace

void start_lingering_closes() {
    // Without the thread every session waits for its close itself.
    (void)start_closing_in_background(LINGER_QUIET_MS, LINGER_TOTAL_MS);
}

void close_after_client(SocketOwner& connection) {
    stop_sending(connection.get());
    if (close_in_background(connection.get())) {
        connection.release();
        return;
    }
    discard_until_client_closes(connection.get());
}
