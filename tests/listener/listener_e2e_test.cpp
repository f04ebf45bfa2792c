// The listener through the real executable: binding, the session limit,
// and staying alive and quiet whatever clients do.

#include "ftp_replies.hpp"
#include "http_replies.hpp"
#include "server_process.hpp"
#include "test_client.hpp"

#include <sys/resource.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <thread>

namespace {

using namespace std::chrono_literals;

// An FTP client that has its greeting and so holds a session.
ClientSocket greeted(int port, const char* from_ip = "127.0.0.1") {
    ClientSocket client = ClientSocket::connect(port, from_ip);
    EXPECT_EQ(read_line(client.get(), 3000), FTP_GREETING);
    return client;
}

TEST(Binding, ATakenPortEndsTheServerWithOneLine) {
    for (bool web_taken : {true, false}) {
        const int www = free_tcp_port(), ftp = free_tcp_port(www);
        ClientSocket holder(listen_on("127.0.0.1", web_taken ? www : ftp));
        ServerProcess server;
        server.launch({"/wwwport", std::to_string(www), "/ftpport", std::to_string(ftp)});
        EXPECT_EQ(server.wait_for_exit(5000), 0);
        // A taken web port stops it before it tries the FTP port.
        EXPECT_EQ(server.output(),
                  "Basepath: " + server.reported_base_dir() + "\nWWWport : " + std::to_string(www) +
                      "\nFTPport : " + std::to_string(ftp) + (web_taken ? "\nWWW" : "\nFTP") +
                      ": Failed to bind to the socket\n");
        // Nothing of it stays behind on the other port.
        EXPECT_TRUE(ClientSocket(listen_on("127.0.0.1", web_taken ? ftp : www)).valid());
    }
}

// Each session thread waits on descriptors of its own, made before the
// server listens. A thread that cannot have them is a thread that could not
// be started: it says so and serves no one, and the others serve on.
TEST(SessionThreads, AThreadThatCannotWaitSaysSoAndTheOthersServe) {
    if (!ServerProcess::native())
        GTEST_SKIP() << "Linux only: the descriptors are Wine's under Wine";
    if (SCALE > 1)
        GTEST_SKIP() << "the sanitizers' runtimes need descriptors of their own, and report "
                        "errors of their own without them";
    ServerProcess server;
    // The standard three, two ports, and not enough for all the waits.
    server.set_open_file_limit(12);
    ASSERT_TRUE(server.start()) << server.output();
    const std::string line = "Error starting the WWW servicing thread\n";
    ASSERT_TRUE(server.wait_for_output(line, 3000)) << server.output();
    rlimit more{64, 64};
    ASSERT_EQ(::prlimit(server.pid(), RLIMIT_NOFILE, &more, nullptr), 0);
    ClientSocket web = ClientSocket::connect(server.www_port());
    send_all(web.get(), "GET /a.txt HTTP/1.0\r\n\r\n");
    EXPECT_EQ(read_until_close(web.get(), 3000), http_file_response("hello world\n", "text/plain"));
    const std::string console = server.output();
    size_t lines = 0;
    for (size_t at = 0; (at = console.find(line, at)) != std::string::npos; at += line.size())
        ++lines;
    EXPECT_GE(lines, 1u);
    EXPECT_LT(lines, 10u);
}

TEST(SessionLimit, EleventhClientWaitsUntilASessionEnds) {
    ServerProcess server;
    ASSERT_TRUE(server.start()) << server.output();
    std::deque<ClientSocket> held;
    for (int i = 0; i < 10; ++i)
        held.push_back(greeted(server.ftp_port()));
    ASSERT_FALSE(HasFailure()) << server.output();
    // Rounds with different waits, so that a slow re-check of the limit
    // cannot hide behind a lucky phase.
    for (int pause_ms : {1000, 300, 650}) {
        // The kernel completes the connection, but nobody serves it yet.
        ClientSocket waiting = ClientSocket::connect(server.ftp_port());
        EXPECT_EQ(read_line(waiting.get(), pause_ms), "") << "after " << pause_ms << " ms";
        auto freed = std::chrono::steady_clock::now();
        held.pop_front();
        EXPECT_EQ(read_line(waiting.get(), 5000), FTP_GREETING);
        EXPECT_LT(std::chrono::steady_clock::now() - freed, 1s) << "after " << pause_ms << " ms";
        held.push_back(std::move(waiting));
    }
}

TEST(SessionLimit, EveryWayASessionEndsGivesItsPlaceBack) {
    ServerProcess server;
    ASSERT_TRUE(server.start()) << server.output();
    // Descriptors are counted where they are the server's own, not under Wine.
    const int idle_fds = server.native() ? server.fd_count() : 0;
    // Quits after the greeting, closes or resets before it, or is foreign.
    for (int i = 0; i < 60 && !HasFailure(); ++i) {
        if (i % 4 == 0)
            greeted(server.ftp_port());
        else if (i % 4 == 1)
            ClientSocket::connect(server.ftp_port()).close();
        else if (i % 4 == 2)
            ClientSocket::connect(server.ftp_port()).reset();
        else
            EXPECT_TRUE(peer_closed_without_bytes(
                ClientSocket::connect(server.ftp_port(), "127.0.0.2").get(), 3000));
    }
    ASSERT_FALSE(HasFailure()) << server.output();
    // Still exactly ten places.
    std::vector<ClientSocket> held;
    for (int n = 0; n < 10; ++n)
        held.push_back(greeted(server.ftp_port()));
    ClientSocket eleventh = ClientSocket::connect(server.ftp_port());
    ASSERT_TRUE(eleventh.valid());
    EXPECT_EQ(read_line(eleventh.get(), 500), "");
    held.clear();
    eleventh.close();
    if (ServerProcess::native_check("the descriptors once idle")) {
        EXPECT_TRUE(eventually([&] { return server.fd_count() == idle_fds; }))
            << server.fd_count() << " descriptors, " << idle_fds << " when idle";
    }
}

// A session whose client falls silent has it probed within a minute, so
// that a client that has vanished gives its place back (which the minutes
// label shows happen): an idle FTP session, and a web session with half a
// head. What the kernel keeps for the connection is read from its table,
// which holds Wine's sockets too.
TEST(VanishedClients, EverySilentSessionIsProbedWithinAMinute) {
    ServerProcess server;
    ASSERT_TRUE(server.start()) << server.output();
    ClientSocket ftp = greeted(server.ftp_port());
    ClientSocket web = ClientSocket::connect(server.www_port());
    send_all(web.get(), "GET /a.txt HTTP/1.0\r\n");
    for (auto [client, port] : {std::pair{&ftp, server.ftp_port()}, {&web, server.www_port()}}) {
        double next = -1;
        EXPECT_TRUE(eventually(
            [&] { return (next = seconds_to_next_probe(port, local_port_of(client->get()))) > 0; },
            3000))
            << "port " << port;
        EXPECT_LE(next, 60) << "port " << port;
    }
}

TEST(Robustness, ClientsResettingMidReplyNeverEndTheProcess) {
    ServerProcess server;
    // Large enough that the server is still sending when the reset arrives.
    server.make_dir("wwwroot/many");
    for (int i = 0; i < 300; ++i)
        server.write_file("wwwroot/many/a_long_name_to_fatten_the_page_" + std::to_string(i), "x");
    server.write_file("wwwroot/big.bin", std::string(4 << 20, 'b'));
    ASSERT_TRUE(server.start()) << server.output();
    const char* requests[] = {"GET /many/ HTTP/1.0\r\n\r\n", "GET /big.bin HTTP/1.0\r\n\r\n",
                              "GET / HTTP/1.0\r\n\r\n"};
    for (int i = 0; i < 60; ++i) {
        ClientSocket client = ClientSocket::connect(server.www_port());
        ASSERT_TRUE(client.valid()) << "connection " << i << "\n" << server.output();
        send_all(client.get(), requests[i % 3]);
        if (i % 2 == 0) // half once the reply has begun, half at once
            read_line(client.get(), 2000);
        client.reset();
    }
    for (int i = 0; i < 20; ++i) // the greeting goes to a client already gone
        ClientSocket::connect(server.ftp_port()).reset();
    EXPECT_FALSE(server.wait_for_exit(200)) << server.output();
    ClientSocket client = ClientSocket::connect(server.www_port());
    send_all(client.get(), "GET /a.txt HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(read_until_close(client.get(), 5000).ends_with("\r\n\r\nhello world\n"));
    greeted(server.ftp_port());
}

TEST(Robustness, IdleServerUsesNoCpu) {
    ServerProcess server;
    ASSERT_TRUE(server.start()) << server.output();
    std::this_thread::sleep_for(3s);
    const double before = server.cpu_seconds();
    std::this_thread::sleep_for(5s);
    ASSERT_GE(before, 0.0);
    EXPECT_LT(server.cpu_seconds() - before, 0.1);
}

} // namespace
