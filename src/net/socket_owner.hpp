#pragma once

#include "platform/socket.hpp"

// Sole owner of a socket: closes it on every way out of a scope.
class SocketOwner {
  public:
    explicit SocketOwner(Socket socket) : socket_(socket) {}
    ~SocketOwner() { reset(); }
    SocketOwner(const SocketOwner&) = delete;
    SocketOwner& operator=(const SocketOwner&) = delete;

    Socket get() const { return socket_; }
    // Gives the socket up to whoever closes it instead.
    void release() { socket_ = NO_SOCKET; }
    void reset() {
        close_socket(socket_);
        socket_ = NO_SOCKET;
    }

  private:
    Socket socket_;
};
