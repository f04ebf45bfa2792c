// A client that vanishes from the network (a laptop that leaves the Wi-Fi,
// a machine that loses power) never closes its connections. Its sessions
// give their places back within about two minutes all the same, while live
// clients keep theirs, silent or not reading. Through the real executable
// and a client host of the test's own, whose link goes down; the waits are
// minutes long, so these cases carry a label of their own.

#include "ftp_replies.hpp"
#include "http_replies.hpp"
#include "server_process.hpp"
#include "test_client.hpp"
#include "test_host.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr int IO_MS = 5000;
// The server gives up on a silent peer after 60 s and ten probes 6 s
// apart: far within this bound, which only keeps a broken server from
// holding the test for ever.
constexpr int GIVEN_UP_MS = 240000;
constexpr int SMALL_WINDOW = 16 * 1024;
const std::string BIG(16 << 20, 'v');

int sessions(const ServerProcess& server) {
    return static_cast<int>(server.connections_on(server.www_port()).accepted.size() +
                            server.connections_on(server.ftp_port()).accepted.size());
}

TEST(VanishedClient, GivesItsPlacesBackWhileLiveClientsKeepTheirs) {
    TestHost host;
    if (!host.available())
        GTEST_SKIP() << "needs root, to make a host of its own in a network namespace";
    ServerProcess server;
    server.write_file("wwwroot/big.bin", BIG);
    ASSERT_TRUE(server.start({"/a"})) << server.output();
    // Live clients: one that has stopped reading a large file, its window
    // closed, one that is silent, and one that has sent half a head.
    ClientSocket paused = ClientSocket::connect(server.www_port(), "127.0.0.1", SMALL_WINDOW);
    ASSERT_TRUE(send_all(paused.get(), "GET /big.bin HTTP/1.0\r\n\r\n"));
    std::string download;
    receive_until_close(paused.get(), download, IO_MS, 64 * 1024);
    ClientSocket silent = ClientSocket::connect(server.ftp_port());
    ASSERT_EQ(read_line(silent.get(), IO_MS), FTP_GREETING);
    ClientSocket slow = ClientSocket::connect(server.www_port());
    ASSERT_TRUE(send_all(slow.get(), "GET /a.txt HTTP/1.0\r\n"));
    // The host's idle FTP session, and its web session with half a head.
    ClientSocket ftp = host.connect(server.ftp_port());
    ASSERT_EQ(read_line(ftp.get(), IO_MS), FTP_GREETING);
    ClientSocket web = host.connect(server.www_port());
    ASSERT_TRUE(send_all(web.get(), "GET /a.txt HTTP/1.0\r\n"));
    ASSERT_TRUE(eventually([&] { return sessions(server) == 5; }, IO_MS));
    host.unplug();
    // Others are served meanwhile.
    const std::string a_txt = http_file_response("hello world\n", "text/plain");
    ClientSocket other = ClientSocket::connect(server.www_port());
    send_all(other.get(), "GET /a.txt HTTP/1.0\r\n\r\n");
    EXPECT_EQ(read_until_close(other.get(), IO_MS), a_txt);
    other.close();
    // The vanished host's places come back; the live clients keep theirs,
    // past that bound.
    EXPECT_TRUE(eventually([&] { return sessions(server) == 3; }, GIVEN_UP_MS * SCALE))
        << sessions(server) << " sessions";
    send_all(slow.get(), "\r\n");
    EXPECT_EQ(read_until_close(slow.get(), IO_MS), a_txt);
    send_all(silent.get(), "QUIT\r\n");
    EXPECT_EQ(read_line(silent.get(), IO_MS), FTP_GOODBYE);
    EXPECT_TRUE(receive_until_close(paused.get(), download, IO_MS, 2 * BIG.size()));
    EXPECT_TRUE(download == http_file_response(BIG, "application/octet-stream"))
        << download.size() << " bytes";
}

} // namespace
