#pragma once

// Sends small replies at once instead of holding them back for the peer's
// acknowledgement of the previous one (which can take 40 ms).
void send_without_delay(int socket);

// Holds a connection's small sends in the kernel while one response is
// written, so that they leave in full segments, and lets them go when the
// response is complete. Nothing changes on the wire but its timing.
class CorkedSocket {
  public:
    explicit CorkedSocket(int socket);
    ~CorkedSocket();
    CorkedSocket(const CorkedSocket&) = delete;
    CorkedSocket& operator=(const CorkedSocket&) = delete;

  private:
    int socket_;
};
