// Names that the host's file system treats specially, through the real
// executable and both services. On Windows a device (CON, NUL, AUX, COM1,
// ...), a data stream ("::$DATA"), a trailing dot or space and another
// drive ("c:") must all be missing, exactly as a file that does not exist,
// and no session may wait on a device. A name in UTF-8 is served and listed
// as itself on every host.

#include "ftp_replies.hpp"
#include "http_replies.hpp"
#include "server_process.hpp"
#include "test_client.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr int IO_MS = 5000; // an upper bound for every wait, never a measurement

const std::string ERROR_403 = "HTTP/1.0 403 Soubor neexistuje\r\nConnection: close\r\n\r\n"
                              "pozadovany soubor neexistuje";
const std::string A_TXT = "hello world\n"; // wwwroot/a.txt of the sample tree
const std::string FTP_A_TXT = "a file of the FTP tree\n";
const std::string CZECH = "\xc4\x8d"
                          "e\xc5\xa1tina.txt";
const std::string CZECH_TEXT = "contents of the Czech file\n";

// A client's text as the console shows it: a backslash doubled (the
// texts here hold no control bytes).
std::string logged(std::string text) {
    for (size_t at = 0; (at = text.find('\\', at)) != std::string::npos; at += 2)
        text.insert(at, 1, '\\');
    return text;
}

struct Reply {
    std::string bytes;
    bool closed = false; // by the server, not by the time-out
};

Reply fetch(int port, const std::string& url) {
    Reply reply;
    ClientSocket client = ClientSocket::connect(port);
    send_all(client.get(), "GET " + url + " HTTP/1.0\r\n\r\n");
    reply.closed = receive_until_close(client.get(), reply.bytes, IO_MS, 1 << 20);
    return reply;
}

// A control connection with an active-mode data listener of its own.
class Ftp {
  public:
    explicit Ftp(int port)
        : control_(ClientSocket::connect(port)), listener_(listen_on("127.0.0.1", 0)) {
        const int data_port = local_port_of(listener_.get());
        port_line_ = "PORT 127,0,0,1," + std::to_string(data_port >> 8) + "," +
                     std::to_string(data_port & 0xff);
        EXPECT_EQ(reply(), FTP_GREETING);
        console_ = FTP_GREETING;
        EXPECT_EQ(ask(port_line_), FTP_PORT_OK);
    }

    std::string reply() { return read_line(control_.get(), IO_MS); }
    std::string ask(const std::string& line) {
        send_all(control_.get(), line + "\r\n");
        std::string answer = reply();
        console_ += "FTP: " + logged(line) + "\n" + answer;
        return answer;
    }

    // A LIST or RETR: both replies, with what the data connection carried
    // to its close (the server connects before it looks at the path) in
    // between. The console shows a listing between the two.
    std::string transfer(const std::string& line, std::string* data = nullptr) {
        std::string replies = ask(line), received;
        if (replies == FTP_STARTING) {
            pollfd p{listener_.get(), POLLIN, 0};
            ClientSocket connection(::poll(&p, 1, IO_MS) > 0
                                        ? ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC)
                                        : -1);
            EXPECT_TRUE(connection.valid()) << "no data connection";
            EXPECT_TRUE(receive_until_close(connection.get(), received, IO_MS, 1 << 20))
                << received.size() << " bytes";
            std::string last = reply();
            replies += last;
            console_ += (line.starts_with("LIST") ? received : "") + last;
        }
        if (data != nullptr)
            *data = received;
        return replies;
    }

    // What the server's console shows of this session so far.
    const std::string& console() const { return console_; }

  private:
    ClientSocket control_;
    ClientSocket listener_;
    std::string port_line_;
    std::string console_;
};

class FileNames : public ::testing::Test {
  protected:
    void SetUp() override { start(); }
    void start() {
        server_.write_file("ftproot/a.txt", FTP_A_TXT);
        server_.write_file("wwwroot/" + CZECH, CZECH_TEXT);
        server_.write_file("ftproot/" + CZECH, CZECH_TEXT);
        ASSERT_TRUE(server_.start()) << server_.output();
        report_ = "Basepath: " + server_.reported_base_dir() +
                  "\nWWWport : " + std::to_string(server_.www_port()) +
                  "\nFTPport : " + std::to_string(server_.ftp_port()) + "\n";
    }

    // The console is exactly the report and then `shown`: nothing else, such
    // as bytes of a device, ever reached it.
    void expect_console(const std::string& shown) {
        const std::string whole = report_ + shown;
        EXPECT_TRUE(server_.wait_for_output(shown, IO_MS)) << server_.output();
        EXPECT_EQ(server_.output(), whole);
    }

    // Neither service is held up by what went before.
    void expect_serving() {
        EXPECT_EQ(fetch(server_.www_port(), "/a.txt").bytes,
                  http_file_response(A_TXT, "text/plain"));
        ClientSocket control = ClientSocket::connect(server_.ftp_port());
        EXPECT_EQ(read_line(control.get(), IO_MS), FTP_GREETING);
    }

    ServerProcess server_;
    std::string report_;
};

// The names that Windows treats specially are ordinary (and missing) names
// on Linux.
class WindowsSpecialNames : public FileNames {
  protected:
    void SetUp() override {
        if (ServerProcess::native())
            GTEST_SKIP() << "Windows-only names";
        start();
    }

    // Each URL gets the 403 of a missing file; returns what the console
    // shows of them.
    std::string expect_missing_on_the_web(std::initializer_list<std::string> urls) {
        std::string shown;
        for (const std::string& url : urls) {
            SCOPED_TRACE(url);
            Reply reply = fetch(server_.www_port(), url);
            EXPECT_TRUE(reply.closed);
            EXPECT_EQ(reply.bytes, ERROR_403);
            shown += logged(url) + "\n" + ERROR_403;
        }
        return shown;
    }

    // Each transfer fails with nothing sent.
    static void expect_transfers_fail(Ftp& f, std::initializer_list<std::string> lines) {
        for (const std::string& line : lines) {
            SCOPED_TRACE(line);
            std::string data;
            EXPECT_EQ(f.transfer(line, &data), FTP_STARTING + FTP_FAILED);
            EXPECT_EQ(data, "");
        }
    }
};

TEST_F(WindowsSpecialNames, DevicesStreamsAndTrailingDotsAreMissingOnTheWeb) {
    expect_console(expect_missing_on_the_web(
        {"/con", "/nul", "/sub/con.txt", "/CON.txt", "/aux.html", "/Com1", "/lpt1.txt", "/conin$",
         "/a.txt%3A%3A%24DATA", "/a.txt::$DATA", "/a.txt.", "/a.txt%20", "/sub./b.txt"}));
    expect_serving();
}

TEST_F(WindowsSpecialNames, DevicesAndStreamsAreMissingOverFtp) {
    Ftp f(server_.ftp_port());
    EXPECT_EQ(f.ask("CWD con"), FTP_NO_DIRECTORY);
    EXPECT_EQ(f.ask("CWD NUL"), FTP_NO_DIRECTORY);
    expect_transfers_fail(f, {"RETR aux", "RETR nul", "RETR CON", "RETR com1.txt", "LIST com1",
                              "LIST nul", "RETR a.txt::$DATA", "RETR a.txt.", "RETR a.txt ",
                              "RETR pub/prn"});
    // The name itself is served, so only the special forms were refused.
    std::string data;
    EXPECT_EQ(f.transfer("RETR a.txt", &data), FTP_STARTING + FTP_DONE);
    EXPECT_EQ(data, FTP_A_TXT);
    EXPECT_EQ(f.ask("PWD"), ftp_pwd_reply("/"));
    expect_console(f.console());
    expect_serving();
}

TEST_F(WindowsSpecialNames, AnotherDriveIsOutsideTheTrees) {
    // A full path of its own: Wine's drive C: holds windows\win.ini.
    Ftp f(server_.ftp_port());
    EXPECT_EQ(f.ask("CWD c:/windows"), FTP_FORBIDDEN);
    EXPECT_EQ(f.ask("CWD C:\\windows"), FTP_FORBIDDEN);
    EXPECT_EQ(f.ask("CWD /c:/windows"), FTP_FORBIDDEN);
    expect_transfers_fail(f, {"RETR c:/windows/win.ini", "RETR /c:/windows/win.ini",
                              "RETR z:/etc/passwd", "LIST c:/"});
    EXPECT_EQ(f.ask("PWD"), ftp_pwd_reply("/"));
    std::string shown = f.console();
    shown += expect_missing_on_the_web({"/c:/windows/win.ini", "/C%3A/windows/win.ini",
                                        "/c:\\windows\\win.ini", "/z:/etc/passwd"});
    expect_console(shown);
    expect_serving();
}

TEST_F(FileNames, ANameInUtf8IsServedAndListedAsItself) {
    EXPECT_EQ(fetch(server_.www_port(), "/%C4%8De%C5%A1tina.txt").bytes,
              http_file_response(CZECH_TEXT, "text/plain"));
    Ftp f(server_.ftp_port());
    std::string data;
    EXPECT_EQ(f.transfer("RETR " + CZECH, &data), FTP_STARTING + FTP_DONE);
    EXPECT_EQ(data, CZECH_TEXT);
    std::string listing;
    EXPECT_EQ(f.transfer("LIST", &listing), FTP_STARTING + FTP_DONE);
    // "<date:16> <size:12>          <name>\r\n", a line of its own.
    const std::string size = std::to_string(CZECH_TEXT.size());
    // The blank and the padding as one run: "<text>" + std::string inserts at
    // the front, which GCC 12 at -O3 takes for an overlapping copy.
    const std::string end =
        std::string(1 + 12 - size.size(), ' ') + size + std::string(10, ' ') + CZECH + "\r\n";
    const size_t at = listing.find(end);
    ASSERT_NE(at, std::string::npos) << listing;
    EXPECT_TRUE(at == 16 || (at > 16 && listing[at - 17] == '\n')) << listing;
    expect_console("/%C4%8De%C5%A1tina.txt\n" + http_file_head(CZECH_TEXT.size(), "text/plain") +
                   f.console());
}

} // namespace
