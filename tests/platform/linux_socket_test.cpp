#include "platform/socket.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/network_order.hpp"
#include "net/socket_owner.hpp"
#include "platform/linux/wake_ups.hpp"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

sockaddr* raw(sockaddr_in& address) {
    return reinterpret_cast<sockaddr*>(&address);
}

TEST(SelfConnection, ASocketConnectedToItsOwnAddressIsRecognised) {
    // What happens by chance when a data connection's port is picked equal
    // to the free port it connects to: TCP's simultaneous open with itself.
    SocketOwner self(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address = loopback(0);
    ASSERT_EQ(bind(self.get(), raw(address), sizeof address), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(self.get(), raw(address), &length), 0);
    ASSERT_EQ(connect(self.get(), raw(address), sizeof address), 0);
    EXPECT_TRUE(connected_to_itself(self.get()));
}

TEST(SelfConnection, AnOrdinaryConnectionIsNot) {
    SocketOwner listener(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address = loopback(0);
    ASSERT_EQ(bind(listener.get(), raw(address), sizeof address), 0);
    ASSERT_EQ(listen(listener.get(), 1), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(listener.get(), raw(address), &length), 0);
    SocketOwner client(socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_EQ(connect(client.get(), raw(address), sizeof address), 0);
    EXPECT_FALSE(connected_to_itself(client.get()));
    EXPECT_EQ(local_address_of(client.get()), htonl(INADDR_LOOPBACK));
    // Not connected at all: nothing to compare.
    SocketOwner unconnected(socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_FALSE(connected_to_itself(unconnected.get()));
}

TEST(LoopbackAddress, TheWholeOf127Slash8) {
    EXPECT_TRUE(is_loopback_address(inet_addr("127.0.0.1")));
    EXPECT_TRUE(is_loopback_address(inet_addr("127.255.3.4")));
    EXPECT_FALSE(is_loopback_address(inet_addr("128.0.0.1")));
    EXPECT_FALSE(is_loopback_address(inet_addr("10.127.0.1")));
}

int tcp_option(int socket, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    getsockopt(socket, name == SO_KEEPALIVE ? SOL_SOCKET : IPPROTO_TCP, name, &value, &length);
    return value;
}

// A connection accepted from a prepared listening socket, and one of our
// own made after it (a data connection), is given up within two minutes of
// its peer falling silent. The end-to-end cases see the probes of both
// hosts' sessions in the kernel's table.
TEST(VanishedPeers, AreGivenUpOnAcceptedConnectionsAndOnConnectionsOfOurOwn) {
    SocketOwner listening(open_tcp_socket());
    ASSERT_EQ(bind_listening_socket(listening.get(), 0), Status::ok);
    end_when_peer_vanishes(listening.get());
    ASSERT_EQ(listen_for_bursts(listening.get()), Status::ok);
    SocketOwner made(open_tcp_socket());
    end_when_peer_vanishes(made.get());
    sockaddr_in address = loopback(bound_port(listening.get()));
    ASSERT_EQ(connect(made.get(), raw(address), sizeof address), 0);
    SocketOwner accepted(accept(listening.get(), nullptr, nullptr));
    for (int socket : {accepted.get(), made.get()}) {
        EXPECT_EQ(tcp_option(socket, SO_KEEPALIVE), 1);
        EXPECT_LE(tcp_option(socket, TCP_KEEPIDLE) +
                      tcp_option(socket, TCP_KEEPINTVL) * tcp_option(socket, TCP_KEEPCNT),
                  120);
        EXPECT_GT(tcp_option(socket, TCP_KEEPCNT), 0);
    }
}

// Where the kernel may fold wake-ups, a thread that has taken a connection
// looks once more and passes the baton to an idle thread. With threads
// taking connections from two ports as fast as bursts of them come, every
// connection is taken once, and every thread then takes one more.
TEST(ConnectionWaiters, TakeEveryConnectionOnceWhenTakersLookOnceMore) {
    assume_wake_ups_may_fold();
    constexpr int THREADS = 4;
    constexpr int BURSTS = 100;
    constexpr int BURST = 6;
    SocketOwner ports[2] = {SocketOwner(open_tcp_socket()), SocketOwner(open_tcp_socket())};
    uint16_t numbers[2];
    for (int port = 0; port < 2; ++port) {
        ASSERT_EQ(bind_listening_socket(ports[port].get(), 0), Status::ok);
        ASSERT_EQ(listen_for_bursts(ports[port].get()), Status::ok);
        accept_without_waiting(ports[port].get());
        numbers[port] = bound_port(ports[port].get());
    }
    ConnectionWaiter waiters[THREADS];
    std::atomic<int> taken{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (ConnectionWaiter& waiter : waiters) {
        ASSERT_EQ(waiter.prepare(ports[0].get(), ports[1].get()), Status::ok);
        threads.emplace_back([&] {
            for (bool first = true;; first = !first) {
                AcceptedConnection accepted;
                if (waiter.accept_next(first, accepted) != AcceptResult::accepted)
                    continue;
                close_socket(accepted.socket);
                if (stop)
                    return;
                ++taken;
            }
        });
    }
    // Kept open to the end, so that each stays a connection to take.
    std::vector<int> clients;
    auto connect_burst = [&](int count) {
        for (int i = 0; i < count; ++i) {
            clients.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
            sockaddr_in address = loopback(numbers[i % 2]);
            (void)connect(clients.back(), raw(address), sizeof address);
        }
    };
    for (int burst = 0; burst < BURSTS; ++burst)
        connect_burst(BURST);
    auto waited = [](auto condition) {
        for (int i = 0; i < 1000 && !condition(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return condition();
    };
    EXPECT_TRUE(waited([&] { return taken == BURSTS * BURST; })) << taken;
    stop = true;
    // Each thread takes one more and ends.
    connect_burst(THREADS);
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(taken, BURSTS * BURST);
    for (int client : clients)
        close(client);
}

} // namespace
