#pragma once

// Sends small replies at once instead of holding them back for the peer's
// acknowledgement of the previous one (which can take 40 ms).
void send_without_delay(int socket);
