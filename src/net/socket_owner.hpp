#pragma once

#include <unistd.h>

// Sole owner of a descriptor: closes it on every way out of a scope.
class SocketOwner {
  public:
    explicit SocketOwner(int fd) : fd_(fd) {}
    ~SocketOwner() { reset(); }
    SocketOwner(const SocketOwner&) = delete;
    SocketOwner& operator=(const SocketOwner&) = delete;

    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

  private:
    int fd_;
};
