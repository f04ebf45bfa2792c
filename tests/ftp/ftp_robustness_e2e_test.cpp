// The FTP service where files, names, clients and command lines are not
// what a plain session brings, through the real executable: only regular
// files are sent, a transfer that fails on the way is reported as failed,
// listing lines and directory names reach the client whole and unambiguous,
// and command lines reach the console escaped.

#include "ftp_replies.hpp"
#include "server_process.hpp"
#include "test_client.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

constexpr int IO_MS = 5000;             // an upper bound for every wait, never a measurement
constexpr size_t KEPT_BYTES = 64 << 20; // what a data connection may bring at most
constexpr int SMALL_WINDOW = 16 * 1024; // so that the server is still sending

const std::string OUTSIDE = "outside the tree, reached by a link\n";
const std::string LONG_NAME = std::string(246, 'L') + ".txt"; // 250 characters

// A control connection with an active-mode data listener of its own.
class Ftp {
  public:
    explicit Ftp(int port, int data_window = 0)
        : control_(ClientSocket::connect(port)), listener_(listen_on("127.0.0.1", 0, data_window)) {
        EXPECT_EQ(reply(), FTP_GREETING);
        const int data_port = local_port_of(listener_.get());
        EXPECT_EQ(ask("PORT 127,0,0,1," + std::to_string(data_port >> 8) + "," +
                      std::to_string(data_port & 0xff)),
                  FTP_PORT_OK);
    }

    std::string reply() { return read_line(control_.get(), IO_MS); }
    std::string ask(const std::string& line) {
        send_all(control_.get(), line + "\r\n");
        return reply();
    }
    ClientSocket accept_data() {
        pollfd p{listener_.get(), POLLIN, 0};
        if (::poll(&p, 1, IO_MS) <= 0)
            return ClientSocket();
        return ClientSocket(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    }

    // A LIST or RETR: both replies, with what the data connection carried
    // to its close in between.
    std::string transfer(const std::string& line, std::string* data = nullptr) {
        std::string replies = ask(line), received;
        if (replies == FTP_STARTING) {
            ClientSocket connection = accept_data();
            EXPECT_TRUE(connection.valid()) << "no data connection";
            EXPECT_TRUE(receive_until_close(connection.get(), received, IO_MS, KEPT_BYTES))
                << received.size() << " bytes";
            replies += reply();
        }
        if (data != nullptr)
            *data = received;
        return replies;
    }

  private:
    ClientSocket control_;
    ClientSocket listener_;
};

class FtpRobustness : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server_ = std::make_unique<ServerProcess>();
        ServerProcess& s = *server_;
        s.write_file("outside.txt", OUTSIDE);
        // Linux's special files, and a name Windows forbids: only where
        // they can be.
        if (s.native()) {
            ASSERT_EQ(::mkfifo(s.path("ftproot/fifo").c_str(), 0644), 0);
            fs::create_symlink("/dev/zero", s.path("ftproot/zero"));
            fs::create_symlink("/proc/self/environ", s.path("ftproot/environ"));
            fs::create_symlink("/proc/self/status", s.path("ftproot/status"));
            // Through a chain of links, to a file of /sys.
            fs::create_symlink("/sys/devices/system/cpu/online", s.path("online"));
            fs::create_symlink("../online", s.path("ftproot/online"));
            s.make_dir("ftproot/a\"b");
            s.make_dir("ftproot/crlf");
            s.write_file("ftproot/crlf/x\r\n07-04-76 10:13AM 999 fake.txt", "");
            s.write_file("ftproot/crlf/y\nz", "");
            s.write_file("ftproot/crlf/lone\rcr", "");
            s.write_file("ftproot/crlf/ok.txt", "");
        }
        fs::create_symlink("pub", s.path("ftproot/pub-link"));
        fs::create_symlink("../outside.txt", s.path("ftproot/outside.txt"));
        s.write_file("ftproot/huge.bin", std::string(20 << 20, 'h'));
        s.make_dir("ftproot/long");
        s.write_file("ftproot/long/" + LONG_NAME, "x");
        started_ = s.start();
    }
    static void TearDownTestSuite() { server_.reset(); }
    void SetUp() override { ASSERT_TRUE(started_) << server_->output(); }
    void TearDown() override { EXPECT_TRUE(server_->running()) << "the server ended"; }

    static ServerProcess& server() { return *server_; }
    static int port() { return server_->ftp_port(); }

    static inline std::unique_ptr<ServerProcess> server_;
    static inline bool started_ = false;
};

TEST_F(FtpRobustness, OnlyRegularFilesAreSent) {
    if (!server().native())
        GTEST_SKIP() << "Linux only: FIFOs, /dev, /proc and /sys are Linux's special files";
    Ftp f(port());
    // A FIFO would block the session until a writer came, a device would
    // send without end, and the kernel's own files tell what belongs to the
    // machine, not to the tree.
    for (const char* name : {"fifo", "zero", "environ", "status", "online"}) {
        std::string data;
        ASSERT_EQ(f.transfer("RETR "s + name, &data), FTP_STARTING + FTP_FAILED) << name;
        EXPECT_EQ(data.size(), 0u) << name;
    }
    EXPECT_EQ(f.ask("PWD"), ftp_pwd_reply("/"));
}

TEST_F(FtpRobustness, LinksAreFollowedToFilesOnly) {
    Ftp f(port());
    std::string data;
    ASSERT_EQ(f.transfer("RETR pub-link", &data), FTP_STARTING + FTP_FAILED);
    EXPECT_EQ(data.size(), 0u);
    EXPECT_EQ(f.transfer("RETR outside.txt", &data), FTP_STARTING + FTP_DONE);
    EXPECT_EQ(data, OUTSIDE);
    EXPECT_EQ(f.ask("PWD"), ftp_pwd_reply("/"));
}

TEST_F(FtpRobustness, ADataConnectionResetOnTheWayIsReportedAsFailed) {
    Ftp f(port(), SMALL_WINDOW);
    ASSERT_EQ(f.ask("RETR huge.bin"), FTP_STARTING);
    ClientSocket data = f.accept_data();
    ASSERT_TRUE(data.valid());
    std::string begun;
    receive_until_close(data.get(), begun, IO_MS, 1000);
    ASSERT_EQ(begun, std::string(1000, 'h'));
    data.reset();
    EXPECT_EQ(f.reply(), FTP_FAILED);
    EXPECT_EQ(f.ask("PWD"), ftp_pwd_reply("/"));
}

TEST_F(FtpRobustness, ListingLinesArriveWhole) {
    Ftp f(port());
    ASSERT_EQ(f.ask("CWD long"), ftp_pwd_reply("/long/"));
    std::string listing;
    ASSERT_EQ(f.transfer("LIST", &listing), FTP_STARTING + FTP_DONE);
    // "<date> <size:12>          <name>\r\n", the date 16 characters; the
    // console shows the line as sent.
    const std::string end = "           1          " + LONG_NAME + "\r\n";
    const size_t at = listing.find(end);
    ASSERT_NE(at, std::string::npos) << listing;
    ASSERT_TRUE(at == 17 || (at > 17 && listing[at - 18] == '\n')) << listing;
    EXPECT_TRUE(server().wait_for_output(listing.substr(at - 17, 17) + end, IO_MS));
}

TEST_F(FtpRobustness, NamesWithLineBreaksAreLeftOutOfListings) {
    if (!server().native())
        GTEST_SKIP() << "Linux only: Windows names cannot hold CR or LF";
    Ftp f(port());
    std::string listing;
    ASSERT_EQ(f.transfer("LIST crlf", &listing), FTP_STARTING + FTP_DONE);
    // ".", ".." and ok.txt, each a line of its own; no invented entry.
    EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 3) << listing;
    EXPECT_EQ(std::count(listing.begin(), listing.end(), '\r'), 3) << listing;
    EXPECT_NE(listing.find("          ok.txt\r\n"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("fake"), std::string::npos) << listing;
}

TEST_F(FtpRobustness, AQuoteInADirectoryNameArrivesDoubled) {
    if (!server().native())
        GTEST_SKIP() << "Linux only: Windows forbids '\"' in a name";
    // Doubled, so that the client sees where the quoted path ends.
    Ftp f(port());
    EXPECT_EQ(f.ask("CWD a\"b"), ftp_pwd_reply("/a\"\"b/"));
    EXPECT_EQ(f.ask("PWD"), ftp_pwd_reply("/a\"\"b/"));
}

TEST_F(FtpRobustness, ConsoleShowsControlBytesOfACommandLineEscaped) {
    Ftp f(port());
    // Would erase a line of the operator's terminal, move up and ring.
    EXPECT_EQ(f.ask("USER x\x1b[2K\x1b[1Aevil\x07"), FTP_USER_OK);
    EXPECT_EQ(f.ask("USER a\0b"s), FTP_USER_OK);
    EXPECT_EQ(f.ask("USER \t\x7f\xc3\xa9"), FTP_USER_OK);
    // The 8-bit CSI, raw and as UTF-8, would colour the terminal.
    EXPECT_EQ(f.ask("USER a\x9b"
                    "31mC1"),
              FTP_USER_OK);
    EXPECT_EQ(f.ask("USER b\xc2\x9b"
                    "31m"),
              FTP_USER_OK);
    const std::string cwd = f.ask("CWD a\\b");
    EXPECT_TRUE(cwd.starts_with("550 ")) << cwd;
    EXPECT_EQ(f.ask("QUIT"), FTP_GOODBYE);
    // Only the command lines are escaped; the replies go to the console as
    // they went to the client. A NUL ends the line's text, a backslash is
    // doubled so that an escape can never be forged, and well-formed UTF-8
    // stays readable.
    const std::string shown = "FTP: USER x\\x1b[2K\\x1b[1Aevil\\x07\n" + FTP_USER_OK +
                              "FTP: USER a\n" + FTP_USER_OK + "FTP: USER \\x09\\x7f\xc3\xa9\n" +
                              FTP_USER_OK + "FTP: USER a\\x9b31mC1\n" + FTP_USER_OK +
                              "FTP: USER b\\xc2\\x9b31m\n" + FTP_USER_OK + "FTP: CWD a\\\\b\n" +
                              cwd + "FTP: QUIT\n" + FTP_GOODBYE;
    EXPECT_TRUE(server().wait_for_output(shown, IO_MS)) << shown << "console:\n"
                                                        << server().output();
    EXPECT_EQ(server().output().find('\x1b'), std::string::npos);
    EXPECT_EQ(server().output().find('\x9b'), std::string::npos);
}

} // namespace
