// The FTP service through the real executable: replies byte for byte, where
// data connections go (and where they must not), what stays out of reach,
// what the console shows, and real clients in active mode. The details of
// parsing, paths and listing lines have their own unit tests.

#include "ftp_replies.hpp"
#include "server_process.hpp"
#include "test_client.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int IO_MS = 5000; // an upper bound for every wait, never a measurement

const std::string REFUSED = FTP_STARTING + FTP_REFUSED;
const std::string DONE = FTP_STARTING + FTP_DONE;
const std::string FAILED = FTP_STARTING + FTP_FAILED;

std::string fixture(const std::string& relative) {
    std::ifstream in(std::string(PELMAR_FIXTURES) + "/ftproot/" + relative, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every byte value in every run of 256, shifted by one per run, so that a
// translated, lost or reordered block shows; larger than socket buffers.
const std::string BYTES = [] {
    std::string bytes(256 * 1024 + 7, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((i + i / 256) & 0xff);
    return bytes;
}();

// 1999-06-07 14:07 in the server's zone "PLM-2", two hours east of UTC and
// spelled without a zone database: a server listing UTC would show 12:07PM.
constexpr time_t LISTED_TIME = 928764420 - 2 * 3600;
const std::string FILE_LINE = "06-07-99 02:07PM           12          file.txt\r\n";
const std::string BIG_LINE = "06-07-99 02:07PM  -1073741824          big.bin\r\n"; // 3 GiB

bool has_line(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line) != std::string::npos;
}

bool pending(int listen_fd, int timeout_ms) {
    pollfd p{listen_fd, POLLIN, 0};
    return ::poll(&p, 1, timeout_ms) > 0;
}

// One command line and every reply it gets, in order.
struct Step {
    std::string line;
    std::string replies;
    std::optional<std::string> data = std::nullopt; // exact bytes of a transfer
};

// A control connection from `from` with its own active-mode data listener
// on that same address.
class Control {
  public:
    explicit Control(int port, const char* from = "127.0.0.1")
        : control_(ClientSocket::connect(port, from)), listener_(listen_on(from, 0)) {
        const int data_port = local_port_of(listener_.get());
        endpoint_ = from;
        std::replace(endpoint_.begin(), endpoint_.end(), '.', ',');
        endpoint_ += "," + std::to_string(data_port >> 8) + "," + std::to_string(data_port & 0xff);
        EXPECT_EQ(reply(), FTP_GREETING);
    }

    std::string port_line() const { return "PORT " + endpoint_; }
    const std::string& endpoint() const { return endpoint_; }
    const std::string& data() const { return data_; }
    // Asked once the replies are in, when a connection made would be queued.
    bool data_connection_waiting() const { return pending(listener_.get(), 100); }

    void send(const std::string& line) { send_all(control_.get(), line + "\r\n"); }
    std::string reply() { return read_line(control_.get(), IO_MS); }
    bool closed_without_reply() { return peer_closed_without_bytes(control_.get(), IO_MS); }
    ClientSocket accept_data() {
        if (!pending(listener_.get(), IO_MS))
            return ClientSocket();
        return ClientSocket(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    }

    // Runs the steps; a transfer expected to end in 226 or 400 has its data
    // connection read after the 150. Returns what the console should show:
    // each line, its replies and any listing, which is logged as it is sent.
    std::string run(const std::vector<Step>& steps) {
        std::string console;
        for (const Step& step : steps) {
            SCOPED_TRACE(step.line);
            send(step.line);
            std::string first = reply();
            data_.clear();
            if (step.replies == DONE || step.replies == FAILED) {
                ClientSocket data = accept_data();
                EXPECT_TRUE(data.valid()) << "no data connection";
                data_ = data.valid() ? read_until_close(data.get(), IO_MS) : "";
            }
            // A failed transfer must not have sent a byte; a step without
            // data of its own shows its bytes on the console, if anywhere.
            if (step.replies == FAILED || step.data) {
                const std::string expected = step.replies == FAILED ? "" : *step.data;
                EXPECT_TRUE(data_ == expected) << data_.size() << " bytes: " << data_.substr(0, 80);
            }
            std::string rest;
            for (auto n = std::count(step.replies.begin(), step.replies.end(), '\n'); n > 1; --n)
                rest += reply();
            EXPECT_EQ(first + rest, step.replies);
            bool listing = step.line.starts_with("LIST");
            console += "FTP: " + step.line + "\n" + first + (listing ? data_ : "") + rest;
        }
        return console;
    }

  private:
    ClientSocket control_;
    ClientSocket listener_;
    std::string endpoint_;
    std::string data_;
};

class Served : public ::testing::Test {
  public:
    static void TearDownTestSuite() {
        server_.reset();
        started_ = false;
    }
    static int port() { return server_->ftp_port(); }

  protected:
    void SetUp() override { ASSERT_TRUE(started_) << (server_ ? server_->output() : ""); }
    static inline std::unique_ptr<ServerProcess> server_;
    static inline bool started_ = false;
};

class FtpSession : public Served {
  public:
    static void SetUpTestSuite() {
        server_ = std::make_unique<ServerProcess>();
        ServerProcess& s = *server_;
        s.write_file("ftproot/empty.bin", "");
        s.write_file("ftproot/pub/bytes.bin", BYTES);
        s.write_file("ftproot/pub/big.bin", "");
        fs::resize_file(s.path("ftproot/pub/big.bin"), 3ull << 30); // sparse
        for (const char* file : {"ftproot/pub/file.txt", "ftproot/pub/big.bin"}) {
            timespec times[2] = {{LISTED_TIME, 0}, {LISTED_TIME, 0}};
            ASSERT_EQ(::utimensat(AT_FDCWD, s.path(file).c_str(), times, 0), 0) << file;
        }
        // Lookalikes beside the root: a longer name, and another letter
        // case. On Windows "FTPROOT" names the root itself, but Wine's view
        // of this disk, like a case-sensitive Windows folder, keeps the two
        // apart: no path may lead into the sibling there either.
        s.make_dir("ftproot2");
        s.write_file("ftproot2/marker.txt", "outside\n");
        s.make_dir("FTPROOT/pub");
        s.write_file("FTPROOT/pub/marker.txt", "outside\n");
        s.write_file("secret.txt", "outside\n");

        const char* zone = std::getenv("TZ");
        std::optional<std::string> saved = zone ? std::optional<std::string>(zone) : std::nullopt;
        ::setenv("TZ", "PLM-2", 1);
        started_ = s.start();
        saved ? ::setenv("TZ", saved->c_str(), 1) : ::unsetenv("TZ");
    }
};

// First in the suite, so no earlier session's console text can fall between.
TEST_F(FtpSession, ConsoleShowsLinesRepliesAndListingsButNoFileByte) {
    Control c(port());
    std::string shown = FTP_GREETING + c.run({{"USER log", FTP_USER_OK},
                                              {"PASS s3cret word", FTP_PASS_OK},
                                              {"LIST", REFUSED},
                                              {c.port_line(), FTP_PORT_OK},
                                              {"CWD pub", ftp_pwd_reply("/pub/")},
                                              {"LIST", DONE},
                                              {"RETR file.txt", DONE, fixture("pub/file.txt")},
                                              {"RETR nothere", FAILED},
                                              {"QUIT", FTP_GOODBYE}});
    EXPECT_TRUE(server_->wait_for_output(shown, IO_MS)) << shown << "console:\n"
                                                        << server_->output();
    EXPECT_EQ(server_->output().find(fixture("pub/file.txt")), std::string::npos);
}

TEST_F(FtpSession, RepliesAndTransfersByteForByte) {
    int closed_port = free_tcp_port();
    ASSERT_NE(closed_port, 0);
    Control c(port());
    c.run({{"USER anyone", FTP_USER_OK},
           {"PASS x", FTP_PASS_OK},
           {"TYPE A", FTP_TYPE_OK}, // and the bytes still go unchanged
           {"SYST", FTP_UNKNOWN},
           {"NOOP " + std::string(250, 'n'), FTP_UNKNOWN}, // 255 characters: still a command
           {"RETR readme.txt", REFUSED},                   // no PORT yet
           {"PWD", ftp_pwd_reply("/")},
           {"CWD pub/", ftp_pwd_reply("/pub/")},
           {"PWD", ftp_pwd_reply("/pub/")},
           {"CWD nothere", FTP_NO_DIRECTORY},
           {"CWD ..", ftp_pwd_reply("/")},
           {"CWD ..", FTP_FORBIDDEN},
           {"PORT 127,0,0,1," + std::to_string(closed_port >> 8) + "," +
                std::to_string(closed_port & 0xff),
            FTP_PORT_OK},
           {"LIST", REFUSED},
           {c.port_line(), FTP_PORT_OK},
           {"PORT 127,0,0,1", FTP_PORT_OK}, // the port numbers not given keep their values
           {"RETR readme.txt", DONE, fixture("readme.txt")},
           {"RETR pub/bytes.bin", DONE, BYTES},
           {"RETR empty.bin", DONE, ""},
           {"RETR pub", FAILED},
           {"QUIT", FTP_GOODBYE}});
    EXPECT_TRUE(c.closed_without_reply());
}

TEST_F(FtpSession, ListingShowsLocalTimeAndSizesPast2GiB) {
    Control c(port());
    c.run({{c.port_line(), FTP_PORT_OK}, {"CWD pub", ftp_pwd_reply("/pub/")}, {"LIST", DONE}});
    EXPECT_TRUE(has_line(c.data(), FILE_LINE)) << c.data();
    EXPECT_TRUE(has_line(c.data(), BIG_LINE)) << c.data();
}

TEST_F(FtpSession, CompletionIsReportedBeforeTheClientClosesTheData) {
    Control c(port());
    c.run({{c.port_line(), FTP_PORT_OK}});
    c.send("RETR readme.txt");
    EXPECT_EQ(c.reply(), FTP_STARTING);
    ClientSocket data = c.accept_data();
    ASSERT_TRUE(data.valid());
    // Unread and open on this side: a server waiting for our close hangs here.
    EXPECT_EQ(c.reply(), FTP_DONE);
    EXPECT_EQ(read_until_close(data.get(), IO_MS), fixture("readme.txt"));
}

TEST_F(FtpSession, NothingBesideTheRootIsReached) {
    Control c(port());
    c.run({{c.port_line(), FTP_PORT_OK},
           {"CWD ../ftproot2", FTP_FORBIDDEN},
           {"LIST ../ftproot2", FAILED},
           {"RETR ../ftproot2/marker.txt", FAILED},
           {"RETR ../secret.txt", FAILED},
           {"CWD ../ftproot/pub", ftp_pwd_reply("/pub/")}, // out and back in is inside
           {"RETR ../../ftproot/readme.txt", DONE, fixture("readme.txt")}});
    EXPECT_EQ(server_->output().find("marker.txt\r\n"), std::string::npos);
}

TEST_F(FtpSession, TheRootNamedInAnotherLetterCaseIsOutside) {
    if (!ServerProcess::native())
        GTEST_SKIP() << "Linux only: Windows names ignore letter case, so there \"FTPROOT\" is "
                        "the root itself";
    Control c(port());
    c.run({{c.port_line(), FTP_PORT_OK},
           {"CWD ../FTPROOT/pub", FTP_FORBIDDEN},
           {"LIST ../FTPROOT/pub", FAILED},
           {"RETR ../FTPROOT/pub/marker.txt", FAILED},
           {"CWD ../ftproot/pub", ftp_pwd_reply("/pub/")},
           {"RETR ../../FTPROOT/pub/marker.txt", FAILED}});
    EXPECT_EQ(server_->output().find("marker.txt\r\n"), std::string::npos);
}

TEST_F(FtpSession, TheRootNamedInAnotherLetterCaseIsTheRoot) {
    if (ServerProcess::native())
        GTEST_SKIP() << "Windows-only names: Linux names keep their letter case";
    // The path is shown below the root as the client sees it, whatever
    // letter case led there.
    Control c(port());
    c.run({{c.port_line(), FTP_PORT_OK},
           {"CWD ../FTPROOT/pub", ftp_pwd_reply("/pub/")},
           {"RETR file.txt", DONE, fixture("pub/file.txt")},
           {"CWD ../../FTPROOT/pub", ftp_pwd_reply("/pub/")},
           {"CWD /../FTPROOT/pub", ftp_pwd_reply("/pub/")},
           {"CWD ..", ftp_pwd_reply("/")},
           {"CWD ..", FTP_FORBIDDEN},
           {"CWD /../ftpROOT", ftp_pwd_reply("/")},
           {"RETR ../FTPROOT/pub/file.txt", DONE, fixture("pub/file.txt")},
           {"RETR /../Ftproot/readme.txt", DONE, fixture("readme.txt")}});
    c.run({{"LIST ../FTPROOT/pub", DONE}});
    EXPECT_TRUE(has_line(c.data(), FILE_LINE)) << c.data();
    EXPECT_EQ(c.data().find("marker.txt"), std::string::npos) << c.data();
    c.run({{"RETR ../FTPROOT/pub/marker.txt", FAILED},
           {"CWD ../FTPROOT2", FTP_FORBIDDEN},
           {"RETR ../FTPROOT2/marker.txt", FAILED}});
    EXPECT_EQ(server_->output().find("marker.txt\r\n"), std::string::npos);
}

TEST_F(FtpSession, A256CharacterLineEndsTheSessionUnanswered) {
    Control c(port());
    c.send("USER " + std::string(251, 'L'));
    EXPECT_TRUE(c.closed_without_reply());
    Control next(port()); // the server goes on
    next.run({{"NOOP after the long line", FTP_UNKNOWN}});
    // Shown by now, had it been shown before the close.
    EXPECT_TRUE(server_->wait_for_output("FTP: NOOP after the long line\n", IO_MS));
    EXPECT_EQ(server_->output().find("FTP: USER L"), std::string::npos);
}

// ---- Real clients, each under `timeout` and skipped where missing ----

struct Outcome {
    int exit_code = -1;
    std::string out;
};

bool missing(const std::string& program) {
    return std::system(("command -v " + program + " >/dev/null").c_str()) != 0;
}

Outcome client(const std::string& program, const std::string& arguments) {
    Outcome result;
    // Proxy settings of the environment must not divert loopback requests.
    std::string line = "env -u ftp_proxy -u FTP_PROXY -u all_proxy -u ALL_PROXY timeout 20 " +
                       program + " " + arguments + " 2>/dev/null";
    FILE* pipe = ::popen(line.c_str(), "r");
    char buffer[4096];
    for (size_t got; pipe && (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        result.out.append(buffer, got);
    int status = pipe ? ::pclose(pipe) : -1;
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string url(const std::string& path) {
    return "'ftp://127.0.0.1:" + std::to_string(Served::port()) + path + "'";
}

std::string hex(const std::string& bytes) {
    std::string text;
    char pair[3];
    for (unsigned char byte : bytes)
        text.append(pair, std::snprintf(pair, sizeof pair, "%02x", byte));
    return text;
}

TEST_F(FtpSession, PythonFtplibInActiveMode) {
    if (missing("python3"))
        GTEST_SKIP() << "python3 is not installed";
    fs::path script = fs::path(PELMAR_FIXTURES).parent_path() / "ftp" / "ftplib_client.py";
    Outcome r = client("python3", script.string() + " 127.0.0.1 " + std::to_string(port()) +
                                      " file.txt bytes.bin");
    std::string expected =
        "welcome: " + FTP_GREETING + "login: " + FTP_PASS_OK +
        "pwd: /\ncwd: " + ftp_pwd_reply("/pub/") +
        "list: 226 ok, hotovo\nentries: ['-1073741824 big.bin', '12 file.txt', '" +
        std::to_string(BYTES.size()) + " bytes.bin', '<DIR> .', '<DIR> ..']\n" +
        "retr: 226 ok, hotovo\nfile.txt: " + hex(fixture("pub/file.txt")) +
        "\nretr: 226 ok, hotovo\nbytes.bin: " + hex(BYTES) + "\nquit: " + FTP_GOODBYE;
    std::erase(expected, '\r');
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(r.out == expected) << r.out.substr(0, 1500) << server_->output();
}

TEST_F(FtpSession, CurlInActiveModeFetchesAFileAndADirectory) {
    if (missing("curl"))
        GTEST_SKIP() << "curl is not installed";
    const std::string options = "-q -s -P 127.0.0.1 --disable-eprt ";
    Outcome file = client("curl", options + url("/pub/bytes.bin"));
    EXPECT_EQ(file.exit_code, 0);
    EXPECT_TRUE(file.out == BYTES) << file.out.size() << " bytes\n" << server_->output();
    Outcome listing = client("curl", options + url("/pub/"));
    EXPECT_EQ(listing.exit_code, 0);
    std::erase(listing.out, '\r'); // curl hands listing lines on with LF alone
    EXPECT_TRUE(has_line(listing.out, FILE_LINE.substr(0, FILE_LINE.size() - 2) + "\n"))
        << listing.out << server_->output();
}

TEST_F(FtpSession, WgetInActiveModeFetchesAFile) {
    if (missing("wget"))
        GTEST_SKIP() << "wget is not installed";
    Outcome file = client("wget", "--no-config -q --no-passive-ftp -O - " + url("/pub/bytes.bin"));
    EXPECT_EQ(file.exit_code, 0);
    EXPECT_TRUE(file.out == BYTES) << file.out.size() << " bytes\n" << server_->output();
}

TEST_F(FtpSession, LftpInActiveModeListsAndFetches) {
    if (missing("lftp"))
        GTEST_SKIP() << "lftp is not installed";
    // No personal configuration, no retries, and no passive mode, which the
    // server does not have.
    const std::string script = "set ftp:passive-mode off; set net:max-retries 1; "
                               "set net:timeout 10; set cmd:fail-exit yes; open -p " +
                               std::to_string(port()) + " 127.0.0.1; ";
    Outcome file = client("lftp", "--norc -c '" + script + "cat pub/bytes.bin'");
    EXPECT_EQ(file.exit_code, 0);
    EXPECT_TRUE(file.out == BYTES) << file.out.size() << " bytes\n" << server_->output();
    Outcome listing = client("lftp", "--norc -c '" + script + "cls -1 pub'");
    EXPECT_EQ(listing.exit_code, 0);
    EXPECT_TRUE(has_line(listing.out, "pub/file.txt\n")) << listing.out << server_->output();
}

// ---- Data connections go to the client's own address only ----

// "/a" admits a client on 127.0.0.2, to show that the rule follows the
// client rather than a fixed address.
class FtpDataAddress : public Served {
  public:
    static void SetUpTestSuite() {
        server_ = std::make_unique<ServerProcess>();
        started_ = server_->start({"/a"});
    }
};

TEST_F(FtpDataAddress, NoOtherAddressIsEverConnected) {
    Control one(port(), "127.0.0.1");
    Control two(port(), "127.0.0.2");
    one.run({{"PORT " + two.endpoint(), FTP_PORT_OK}, {"RETR readme.txt", REFUSED}});
    two.run({{"PORT " + one.endpoint(), FTP_PORT_OK}, {"LIST", REFUSED}});
    // Only a server that has refused both may be handed an address off this
    // host, so that a broken one never gets to connect there.
    ASSERT_FALSE(HasFailure());
    ASSERT_FALSE(one.data_connection_waiting() || two.data_connection_waiting());
    one.run({{"PORT 10,1,2,3,4,1", FTP_PORT_OK},
             {"RETR readme.txt", REFUSED},
             {"PWD", ftp_pwd_reply("/")}});
    two.run({{two.port_line(), FTP_PORT_OK}, {"RETR readme.txt", DONE, fixture("readme.txt")}});
}

// When nothing listens on the port a PORT names, the kernel may give the
// data connection that very port, and TCP connects it to itself: a transfer
// into itself. In a network of the test's own with that one port left to
// give, it always does.
TEST(FtpDataConnection, OneThatMeetsItselfIsNeverUsed) {
    if (!ServerProcess::native())
        GTEST_SKIP() << "Linux only: under Wine the sockets are made in Wine's server, outside the "
                        "test's network";
    if (::unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up") != 0)
        GTEST_SKIP() << "needs root for a network of the test's own";
    ServerProcess server;
    ASSERT_TRUE(server.start()) << server.output();
    Control control(server.ftp_port());
    const int lonely = free_tcp_port();
    std::ofstream("/proc/sys/net/ipv4/ip_local_port_range") << lonely << " " << lonely;
    const std::string port =
        "PORT 127,0,0,1," + std::to_string(lonely >> 8) + "," + std::to_string(lonely & 0xff);
    control.run({{port, FTP_PORT_OK}, {"LIST", REFUSED}, {"RETR readme.txt", REFUSED}});
}

} // namespace
