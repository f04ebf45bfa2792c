// Whatever a client sends after its head (a long POST body, bytes that come
// while the response is on its way), it gets its whole response and no
// reset: the server stops sending, reads on until the client closes, and
// never longer than its bounds. Through the real executable and real
// clients.

#include "ftp_replies.hpp"
#include "http_replies.hpp"
#include "server_process.hpp"
#include "test_client.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int IO_MS = 5000;      // an upper bound for every wait, never a measurement
constexpr int LINGER_MS = 30000; // far above the server's own bounds of 2 s and 10 s
constexpr int RUNS = 10;         // a reset lost the response in up to 9 of 10 runs
const std::string A_TXT = "hello world\n";
const std::string BODY(1 << 20, 'p');
const std::string BIG(2 << 20, 'b');
constexpr int SMALL_WINDOW = 16 * 1024; // so that the server is still sending

class LingeringClose : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server_ = std::make_unique<ServerProcess>();
        body_file_ = server_->path("body.bin");
        std::ofstream(body_file_, std::ios::binary) << BODY;
        server_->write_file("wwwroot/big.bin", BIG);
        started_ = server_->start();
    }
    static void TearDownTestSuite() { server_.reset(); }
    void SetUp() override { ASSERT_TRUE(started_) << server_->output(); }
    void TearDown() override { EXPECT_TRUE(server_->running()) << "the server ended"; }

    static std::string url() {
        return "http://127.0.0.1:" + std::to_string(server_->www_port()) + "/a.txt";
    }
    // A POST of the whole 1 MB body with a head that says so; the server
    // reads 1000 bytes of it before it answers.
    static ClientSocket post_start() {
        ClientSocket client = ClientSocket::connect(server_->www_port());
        send_all(client.get(), "POST /a.txt HTTP/1.0\r\nContent-length: " +
                                   std::to_string(BODY.size()) + "\r\n\r\n" + BODY.substr(0, 4000));
        return client;
    }

    // `count` clients that each take their response, then neither send nor
    // close.
    static ::testing::AssertionResult answered_clients_that_stay(std::vector<ClientSocket>& quiet,
                                                                 int count) {
        for (int i = 0; i < count; ++i) {
            quiet.push_back(ClientSocket::connect(server_->www_port()));
            send_all(quiet.back().get(), "GET /a.txt HTTP/1.0\r\n\r\n");
            std::string reply;
            if (!receive_until_close(quiet.back().get(), reply, IO_MS, 1 << 20))
                return ::testing::AssertionFailure() << "no response for client " << i;
        }
        return ::testing::AssertionSuccess();
    }

    static inline std::unique_ptr<ServerProcess> server_;
    static inline std::string body_file_;
    static inline bool started_ = false;
};

// What the command printed, and whether it succeeded.
std::pair<std::string, bool> run(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return {"", false};
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, got);
    int status = ::pclose(pipe);
    return {out, status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0};
}

TEST_F(LingeringClose, RealClientsPostingAMegabyteGetTheWholeResponse) {
    // curl sends the body while it reads; urllib sends all of it first and
    // reads only then, so its send waits for the server to read on.
    const std::string curl =
        "timeout 20 curl -q -s -S --noproxy '*' --data-binary @" + body_file_ + " " + url();
    const std::string urllib =
        "timeout 20 /usr/bin/python3 -c 'import sys, urllib.request; "
        "body = open(sys.argv[1], \"rb\").read(); "
        "sys.stdout.write(urllib.request.urlopen(sys.argv[2], data=body, timeout=15).read()"
        ".decode())' " +
        body_file_ + " " + url();
    for (const std::string& command : {curl, urllib}) {
        for (int i = 0; i < RUNS; ++i) {
            SCOPED_TRACE(command.substr(0, 40) + " run " + std::to_string(i));
            auto [out, succeeded] = run(command + " 2>&1");
            EXPECT_TRUE(succeeded) << out;
            EXPECT_EQ(out, A_TXT);
        }
    }
}

TEST_F(LingeringClose, TheResponseEndsInAnOrderlyCloseAndTheRestIsRead) {
    ClientSocket client = post_start();
    std::string reply;
    // The server ends its side after the response, while it reads on.
    ASSERT_TRUE(receive_until_close(client.get(), reply, IO_MS, 1 << 20));
    EXPECT_EQ(reply, http_file_response(A_TXT, "text/plain"));
    // Everything else is read: the whole body goes through without a reset.
    EXPECT_TRUE(send_all(client.get(), BODY.substr(4000)));
}

// Bytes that come after the head, while a large response is still on its
// way through a small window: a line a chatty client adds, or a body that
// the head does not announce, or announces with a length that does not
// fit 32 bits. Each is read with the lingering close, never reset.
TEST_F(LingeringClose, BytesThatComeWhileTheResponseIsOnItsWayNeverResetIt) {
    const std::string late_body(32 * 1024, 'l');
    struct Row {
        std::string head, with_head, late;
    };
    auto post = [](const std::string& length) {
        return "POST /big.bin HTTP/1.0\r\nContent-length: " + length + "\r\n\r\n";
    };
    const std::string early(500, 'e');
    for (const Row& row : {
             Row{"GET /big.bin HTTP/1.0\r\n\r\n", "", "\r\n"},
             Row{"POST /big.bin HTTP/1.0\r\n\r\n", "", late_body},
             Row{post("2147483648"), early, late_body},
             Row{post("4294967295"), early, late_body},
             Row{post("4294967296"), "", late_body},
             Row{post("99999999999"), early, late_body},
         }) {
        SCOPED_TRACE(row.head);
        ClientSocket client = ClientSocket::connect(server_->www_port(), "127.0.0.1", SMALL_WINDOW);
        ASSERT_TRUE(send_all(client.get(), row.head + row.with_head));
        std::string reply;
        receive_until_close(client.get(), reply, IO_MS, 64 * 1024);
        ASSERT_EQ(reply.size(), 64u * 1024);
        ASSERT_TRUE(send_all(client.get(), row.late));
        // And a byte more after each further 64 KiB, so that some come after
        // the session has handed the connection to the closing thread too: a
        // close before the client's would meet the next and reset the rest.
        bool closed = false;
        for (size_t had = 0; !closed && reply.size() > had && reply.size() < 2 * BIG.size();) {
            had = reply.size();
            closed = receive_until_close(client.get(), reply, IO_MS * SCALE, had + 64 * 1024);
            (void)send_all(client.get(), "x");
        }
        EXPECT_TRUE(closed);
        EXPECT_TRUE(reply == http_file_response(BIG, "application/octet-stream"))
            << reply.size() << " bytes";
    }
}

// The session ends on its own, with the client's side still open: its next
// sends meet a closed connection.
bool server_ends_while_client_trickles(ClientSocket& client) {
    return eventually(
        [&] { return ::send(client.get(), "t", 1, MSG_NOSIGNAL) < 0 && errno != EINTR; },
        LINGER_MS);
}

TEST_F(LingeringClose, AQuietClientDoesNotHoldItsSession) {
    if (!server_->native())
        GTEST_SKIP() << "Linux only: the server's sessions are read from the kernel's table";
    ClientSocket client = post_start();
    std::string reply;
    ASSERT_TRUE(receive_until_close(client.get(), reply, IO_MS, 1 << 20));
    EXPECT_EQ(reply, http_file_response(A_TXT, "text/plain"));
    // Nothing more comes, and the client does not close.
    EXPECT_TRUE(eventually(
        [] { return server_->connections_on(server_->www_port()).accepted.empty(); }, LINGER_MS));
}

TEST_F(LingeringClose, AClientThatClosesEndsItsSessionAtOnce) {
    if (!server_->native())
        GTEST_SKIP() << "Linux only: the server's sessions are read from the kernel's table";
    ClientSocket client = ClientSocket::connect(server_->www_port());
    send_all(client.get(), "GET /a.txt HTTP/1.0\r\n\r\n");
    std::string reply;
    ASSERT_TRUE(receive_until_close(client.get(), reply, IO_MS, 1 << 20));
    client.close();
    // Well below the quiet bound of 2 s: a session that waited for quiet, or
    // read on past the close, would still hold the place.
    EXPECT_TRUE(eventually(
        [] { return server_->connections_on(server_->www_port()).accepted.empty(); }, 1200));
}

TEST_F(LingeringClose, ClientsThatKeepTheirConnectionsAfterTheResponseHoldNoPlace) {
    if (!server_->native())
        GTEST_SKIP() << "Linux only: on Windows each session waits for its client's close itself";
    // As many clients as there are places take their responses, then
    // neither send nor close: sessions that waited for their closes would
    // hold every place for the quiet time of 2 s.
    std::vector<ClientSocket> quiet;
    ASSERT_TRUE(answered_clients_that_stay(quiet, 10));
    ClientSocket ftp = ClientSocket::connect(server_->ftp_port());
    EXPECT_EQ(read_line(ftp.get(), 1000), FTP_GREETING) << "well within the quiet time";
}

TEST_F(LingeringClose, PastTheClosingThreadsRoomASessionEndsAtItsClientsCloseAsBefore) {
    if (!server_->native())
        GTEST_SKIP() << "Linux only: the server's sessions are read from the kernel's table";
    constexpr int ROOM = 256; // the connections the closing thread holds at most
    std::vector<ClientSocket> quiet;
    ASSERT_TRUE(answered_clients_that_stay(quiet, ROOM + 1));
    // The last one found the room full, well within the quiet time of the
    // others: its own session waits for its close.
    int last = local_port_of(quiet.back().get());
    quiet.back().close();
    EXPECT_TRUE(eventually(
        [&] { return server_->connections_on(server_->www_port()).accepted.count(last) == 0; },
        1200));
}

TEST_F(LingeringClose, AClientThatNeverStopsSendingDoesNotHoldItsSession) {
    ClientSocket client = post_start();
    std::string reply;
    ASSERT_TRUE(receive_until_close(client.get(), reply, IO_MS, 1 << 20));
    EXPECT_EQ(reply, http_file_response(A_TXT, "text/plain"));
    EXPECT_TRUE(server_ends_while_client_trickles(client));
}

} // namespace
