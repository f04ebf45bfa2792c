#include "test_host.hpp"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>

namespace {

bool run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// The address `offset` places into 198.18.0.0/15.
std::string test_address(int offset) {
    return "198." + std::to_string(18 + offset / 65536) + "." + std::to_string(offset / 256 % 256) +
           "." + std::to_string(offset % 256);
}

} // namespace

TestHost::TestHost() {
    static std::atomic<int> made{0};
    const int count = made++;
    const std::string id = std::to_string(::getpid()) + "-" + std::to_string(count);
    namespace_ = "pelmar-test-" + id;
    // Link names hold at most 15 characters.
    our_link_ = "pt" + std::to_string(::getpid() % 1000000) + "a" + std::to_string(count);
    its_link_ = "pt" + std::to_string(::getpid() % 1000000) + "b" + std::to_string(count);
    // A block of eight addresses of its own, unlike those of the hosts that
    // other tests make at the same time.
    const int block = (static_cast<int>(::getpid()) * 8 + count) % 16384 * 8;
    our_address_ = test_address(block + 1);
    address_ = test_address(block + 2);
    our_other_address_ = test_address(block + 3);
    const std::string in_host = "ip netns exec " + namespace_ + " ";
    available_ = run("ip netns add " + namespace_) &&
                 run("ip link add " + our_link_ + " type veth peer name " + its_link_) &&
                 run("ip link set " + its_link_ + " netns " + namespace_) &&
                 run("ip addr add " + our_address_ + "/29 dev " + our_link_) &&
                 run("ip addr add " + our_other_address_ + "/29 dev " + our_link_) &&
                 run("ip link set " + our_link_ + " up") &&
                 run(in_host + "ip addr add " + address_ + "/29 dev " + its_link_) &&
                 run(in_host + "ip link set " + its_link_ + " up") &&
                 run(in_host + "ip link set lo up");
}

TestHost::~TestHost() {
    // The pair goes with our end; the namespace only once nothing holds it.
    run("ip link del " + our_link_);
    run("ip netns del " + namespace_);
}

void TestHost::inside(const std::function<void()>& body) const {
    std::thread([&] {
        int space = ::open(("/var/run/netns/" + namespace_).c_str(), O_RDONLY | O_CLOEXEC);
        if (space >= 0 && ::setns(space, CLONE_NEWNET) == 0)
            body();
        ::close(space);
    }).join();
}

ClientSocket TestHost::connect(int port) const {
    ClientSocket client;
    inside([&] { client = ClientSocket::connect_to(our_address_.c_str(), port); });
    return client;
}

void TestHost::unplug() const {
    run("ip netns exec " + namespace_ + " ip link set " + its_link_ + " down");
}
