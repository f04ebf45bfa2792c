#include "platform/socket.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/network_order.hpp"
#include "net/socket_owner.hpp"

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

} // namespace
