#pragma once

#include "test_client.hpp"

#include <functional>
#include <string>

// A host of the test's own: a network namespace made for it, joined to
// this one by a veth pair, so that a client can come from another machine,
// and vanish from the network as one does. Its addresses are in
// 198.18.0.0/15, which is kept for such tests. Making one needs root; the
// destructor removes it.
class TestHost {
  public:
    TestHost();
    ~TestHost();
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    // False when no host could be made here (no root, no namespaces).
    bool available() const { return available_; }
    // Its address, and ours on the pair.
    const std::string& address() const { return address_; }
    const std::string& our_address() const { return our_address_; }
    // One more address of ours on the pair, beside our_address().
    const std::string& our_other_address() const { return our_other_address_; }

    // A client of the host's own, connected to our_address():port.
    ClientSocket connect(int port) const;
    // Its link goes down, as a laptop's that leaves the Wi-Fi: what it has
    // open stays open, and nothing it had says a word again.
    void unplug() const;

  private:
    // Runs `body` on a thread that has entered the host's namespace, so
    // that the sockets it makes are the host's.
    void inside(const std::function<void()>& body) const;

    std::string namespace_, our_link_, its_link_;
    std::string address_, our_address_, our_other_address_;
    bool available_ = false;
};
