// What the web service does with files that are not plain, fixed-size
// files, and with URLs meant for the operator's terminal, through the real
// executable: only regular files are opened, links are followed, a body is
// exactly as long as its head says, and a URL is logged escaped.

#include "http_replies.hpp"
#include "server_process.hpp"
#include "test_client.hpp"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace {

namespace fs = std::filesystem;

constexpr int IO_MS = 5000; // an upper bound for every wait, never a measurement
// Bounds what a client keeps, so that a device sent without end cannot eat
// the test's memory.
constexpr size_t KEPT_BYTES = 64 << 20;
constexpr int SMALL_WINDOW = 16 * 1024; // so that the server is still sending

const std::string ERROR_403 = "HTTP/1.0 403 Soubor neexistuje\r\nConnection: close\r\n\r\n"
                              "pozadovany soubor neexistuje";
// Small bodies go out with the head, larger ones after it: sizes on both
// sides of where one ends and the other begins (8106 bytes, what the 8 KiB
// send buffer leaves beside the 86-byte head of a four-digit length).
constexpr size_t BODY_SIZES[] = {0, 1, 1000, 8000, 8105, 8106, 8107, 8192, 9000, 65536};

const std::string OUTSIDE = "outside the tree, reached by a link\n";

std::string file_head(size_t size, const std::string& type = "text/plain") {
    return http_file_head(size, type);
}

std::string get(const std::string& url) {
    return "GET " + url + " HTTP/1.0\r\n\r\n";
}

// Distinct bytes in every position, so that a block out of place shows.
std::string pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 4096) & 0xff);
    return bytes;
}

struct Reply {
    std::string bytes;
    bool closed = false; // by the server, not by the time-out
};

Reply fetch(int port, const std::string& request) {
    Reply reply;
    ClientSocket client = ClientSocket::connect(port);
    send_all(client.get(), request);
    reply.closed = receive_until_close(client.get(), reply.bytes, IO_MS, KEPT_BYTES);
    return reply;
}

// The head of a response, read up to its empty line and no further.
std::string read_head(int fd) {
    std::string head;
    for (int line = 0; line < 10 && !head.ends_with("\r\n\r\n"); ++line)
        head += read_line(fd, IO_MS);
    return head;
}

class WebFiles : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server_ = std::make_unique<ServerProcess>();
        ServerProcess& s = *server_;
        s.write_file("outside.txt", OUTSIDE);
        if (s.native()) { // Linux's special files
            ASSERT_EQ(::mkfifo(s.path("wwwroot/fifo").c_str(), 0644), 0);
            fs::create_symlink("/dev/zero", s.path("wwwroot/zero"));
            fs::create_symlink("/proc/self/environ", s.path("wwwroot/environ"));
            fs::create_symlink("/sys/devices/system/cpu/online", s.path("wwwroot/online"));
        }
        fs::create_symlink("../outside.txt", s.path("wwwroot/outside.txt"));
        s.write_file("wwwroot/grows.bin", pattern(4 << 20));
        s.write_file("wwwroot/shrinks.bin", pattern(16 << 20));
        fs::create_directories(s.path("wwwroot/sized"));
        for (size_t size : BODY_SIZES) {
            s.write_file("wwwroot/sized/" + std::to_string(size) + ".txt", pattern(size));
        }
        started_ = s.start();
    }
    static void TearDownTestSuite() { server_.reset(); }
    void SetUp() override { ASSERT_TRUE(started_) << server_->output(); }
    void TearDown() override { EXPECT_TRUE(server_->running()) << "the server ended"; }

    static ServerProcess& server() { return *server_; }
    static int port() { return server_->www_port(); }

    static inline std::unique_ptr<ServerProcess> server_;
    static inline bool started_ = false;
};

const char* const SPECIAL_FILES_ARE_LINUX_ONLY =
    "Linux only: FIFOs, links into /dev and files of /proc and /sys are Linux's special files";

TEST_F(WebFiles, OnlyRegularFilesAreServed) {
    if (!server().native())
        GTEST_SKIP() << SPECIAL_FILES_ARE_LINUX_ONLY;
    for (const char* url : {"/fifo", "/zero", "/environ", "/online"}) {
        SCOPED_TRACE(url);
        Reply reply = fetch(port(), get(url));
        EXPECT_TRUE(reply.closed);
        EXPECT_EQ(reply.bytes.substr(0, 200), ERROR_403);
    }
}

TEST_F(WebFiles, LinksAreFollowed) {
    EXPECT_EQ(fetch(port(), get("/outside.txt")).bytes, file_head(OUTSIDE.size()) + OUTSIDE);
}

TEST_F(WebFiles, RequestsForAFifoNeverTakeUpSessions) {
    if (!server().native())
        GTEST_SKIP() << SPECIAL_FILES_ARE_LINUX_ONLY;
    // More than the ten sessions there are: a session waiting for a writer
    // to open the FIFO would hold its place for ever.
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(fetch(port(), get("/fifo")).bytes, ERROR_403) << "request " << i;
    Reply reply = fetch(port(), get("/a.txt"));
    EXPECT_EQ(reply.bytes, file_head(12) + "hello world\n");
}

TEST_F(WebFiles, BodiesOfEverySizeArriveWholeAfterTheirHead) {
    for (size_t size : BODY_SIZES) {
        const std::string url = "/sized/" + std::to_string(size) + ".txt";
        Reply reply = fetch(port(), get(url));
        EXPECT_TRUE(reply.closed) << url;
        EXPECT_TRUE(reply.bytes == file_head(size) + pattern(size)) << url;
    }
}

TEST_F(WebFiles, AFileGrowingWhileSentKeepsTheLengthItHadWhenOpened) {
    const std::string original = pattern(4 << 20);
    ClientSocket client = ClientSocket::connect(port(), "127.0.0.1", SMALL_WINDOW);
    ASSERT_TRUE(client.valid());
    send_all(client.get(), get("/grows.bin"));
    ASSERT_EQ(read_head(client.get()), file_head(4194304, "application/octet-stream"));
    std::ofstream(server().path("wwwroot/grows.bin"), std::ios::binary | std::ios::app)
        << std::string(8 << 20, 'G');
    std::string body;
    EXPECT_TRUE(receive_until_close(client.get(), body, IO_MS, KEPT_BYTES));
    EXPECT_EQ(body.size(), original.size());
    EXPECT_TRUE(body == original);
}

TEST_F(WebFiles, AFileShrinkingWhileSentEndsTheBodyShortAndTheConnection) {
    const std::string original = pattern(16 << 20);
    ClientSocket client = ClientSocket::connect(port(), "127.0.0.1", SMALL_WINDOW);
    ASSERT_TRUE(client.valid());
    send_all(client.get(), get("/shrinks.bin"));
    ASSERT_EQ(read_head(client.get()), file_head(original.size(), "application/octet-stream"));
    fs::resize_file(server().path("wwwroot/shrinks.bin"), 1 << 20);
    std::string body;
    // Closed, not left waiting for bytes that will never come.
    EXPECT_TRUE(receive_until_close(client.get(), body, IO_MS, KEPT_BYTES));
    EXPECT_LT(body.size(), original.size());
    // Bytes already on their way past the new end may arrive as the file
    // system leaves them; the part the file still has must be intact.
    const size_t kept = std::min<size_t>(body.size(), 1 << 20);
    EXPECT_TRUE(body.compare(0, kept, original, 0, kept) == 0) << body.size() << " bytes";
}

TEST_F(WebFiles, ConsoleShowsControlBytesOfAUrlEscaped) {
    // Would set the terminal's title and ring its bell if printed raw.
    EXPECT_EQ(fetch(port(), get("/x\x1b]0;t\x07y")).bytes, ERROR_403);
    EXPECT_EQ(fetch(port(), get("/back\\slash\x7f\xc3\xa9")).bytes, ERROR_403);
    EXPECT_EQ(fetch(port(), get("/c1\x9b"
                                "31m\xc2\x9b"
                                "1m"))
                  .bytes,
              ERROR_403);
    EXPECT_TRUE(server().wait_for_output("/x\\x1b]0;t\\x07y\n" + ERROR_403, IO_MS))
        << server().output();
    // A backslash is doubled so that an escape can never be forged; bytes
    // of UTF-8 and the like go through as they are.
    EXPECT_TRUE(server().wait_for_output("/back\\\\slash\\x7f\xc3\xa9\n" + ERROR_403, IO_MS))
        << server().output();
    EXPECT_TRUE(server().wait_for_output("/c1\\x9b31m\\xc2\\x9b1m\n" + ERROR_403, IO_MS))
        << server().output();
    // A long URL whose every byte shows four times as wide is logged whole.
    EXPECT_EQ(fetch(port(), get("/" + std::string(240, '\x01'))).bytes, ERROR_403);
    std::string shown = "/";
    for (int i = 0; i < 240; ++i)
        shown += "\\x01";
    EXPECT_TRUE(server().wait_for_output(shown + "\n" + ERROR_403, IO_MS)) << server().output();
    EXPECT_EQ(server().output().find('\x1b'), std::string::npos);
    EXPECT_EQ(server().output().find('\x9b'), std::string::npos);
}

} // namespace
