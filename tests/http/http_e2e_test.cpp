// The web service through the real executable: the wiring of request reading,
// the exact bytes of each kind of response, the console echo, that nothing
// beside wwwroot is ever reached, and real clients. The request and path
// details themselves are unit-tested in http_request_test.cpp and tests/fs.

#include "http_replies.hpp"
#include "server_process.hpp"
#include "test_client.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <poll.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <utility>
#include <vector>

namespace {

std::string error_reply(const std::string& status, const std::string& body) {
    return "HTTP/1.0 " + status + "\r\nConnection: close\r\n\r\n" + body;
}
const std::string ERROR_403 = error_reply("403 Soubor neexistuje", "pozadovany soubor neexistuje");
const std::string ERROR_405 = error_reply("405 Method not allowed", "Error 405 Method not allowed");
const std::string ERROR_NOT_ROOTED =
    error_reply("400 url not starting with /", "URL must begin with /");
const std::string ERROR_DOTDOT = error_reply("400 \"..\" not allowed", "\"..\" not allowed");

const std::string A_TXT = "hello world\n"; // from the sample tree
const std::string SECRET = "PELMAR-SECRET-4d1f9";
const std::string ECHO_BODY = "BODY-NEVER-ON-THE-CONSOLE\n";
const std::string LONG_NAME = std::string(120, 'n') + ".txt";
// A name that needs escaping in a page and encoding in a link: its
// contents, its row's link and how the row shows it.
struct NamedFile {
    std::string name, content, link, shown;
};
// "%2e.txt" is named with a literal percent sign.
const std::vector<NamedFile> NAMED_FILES = {
    {"my file.txt", "spaced\n", "\\names\\my%20file.txt", "my file.txt"},
    {"\xc4\x8d"
     "e\xc5\xa1tina.txt",
     "czech\n", "\\names\\%C4%8De%C5%A1tina.txt",
     "\xc4\x8d"
     "e\xc5\xa1tina.txt"},
    {"a&b<i>.txt", "markup\n", "\\names\\a%26b%3Ci%3E.txt", "a&amp;b&lt;i&gt;.txt"},
    {"x #?%'y.txt", "marks\n", "\\names\\x%20%23%3F%25%27y.txt", "x #?%'y.txt"},
    {"%2e.txt", "percent\n", "\\names\\%252e.txt", "%2e.txt"},
};
// Windows allows none of '<', '>' and '?' in a name: there the same marks
// that it does allow are escaped and encoded.
const std::vector<NamedFile> WINDOWS_NAMED_FILES = {
    NAMED_FILES[0],
    NAMED_FILES[1],
    {"a&b'c.txt", "markup\n", "\\names\\a%26b%27c.txt", "a&amp;b'c.txt"},
    {"x #%'y.txt", "marks\n", "\\names\\x%20%23%25%27y.txt", "x #%'y.txt"},
    NAMED_FILES[4],
};
const std::vector<NamedFile>& named_files() {
    return ServerProcess::native() ? NAMED_FILES : WINDOWS_NAMED_FILES;
}
const std::uintmax_t THREE_GIB = 3ull << 30;
// Named by a request line that is cut right after its 83rd "%61".
const std::string CUT_ESCAPES_NAME = "bb" + std::string(83, 'a');

const std::string TEXT = "text/plain", OCTETS = "application/octet-stream";

std::string file_head(std::uintmax_t size, const std::string& type = TEXT) {
    return http_file_head(size, type);
}
std::string file_response(const std::string& body, const std::string& type = TEXT) {
    return http_file_response(body, type);
}

std::string repeated(const std::string& text, int times) {
    std::string all;
    for (int i = 0; i < times; ++i) {
        all += text;
    }
    return all;
}

std::string get(const std::string& url) {
    return "GET " + url + " HTTP/1.0\r\n\r\n";
}
std::string post(const std::string& url, const std::string& headers = "",
                 const std::string& body = "") {
    return "POST " + url + " HTTP/1.0\r\n" + headers + "\r\n" + body;
}

std::string dir_row(const std::string& size, const std::string& target, const std::string& name) {
    return "<TR><TD align=right>" + size + "</TD><TD><A href=\"" + target + "\">" + name +
           "</A></TD></TR>\n";
}
// The page of a first-level directory: "." links to the directory itself,
// ".." to the web root.
std::string dir_page(const std::string& dir, const std::string& rows) {
    return HTTP_PAGE_HEAD + "<HTML><TABLE>" + dir_row("Adresar", "\\" + dir, ".") +
           dir_row("Adresar", "\\", "..") + rows + "</TABLE></HTML>";
}

// Rows of a directory page come in the file system's order, so a page is
// compared as the set of its rows (each from one "<TR>" to the next); any
// other reply as a whole.
std::multiset<std::string> parts(std::string reply) {
    std::multiset<std::string> rows;
    if (reply.starts_with(HTTP_PAGE_HEAD)) {
        rows.insert(HTTP_PAGE_HEAD);
        reply.erase(0, HTTP_PAGE_HEAD.size());
    }
    const std::string open = "<HTML><TABLE>", close = "</TABLE></HTML>";
    if (!reply.starts_with(open) || !reply.ends_with(close)) {
        rows.insert(reply);
        return rows;
    }
    std::string body = reply.substr(open.size(), reply.size() - open.size() - close.size());
    rows.insert(open + close);
    for (size_t at = 0; at < body.size();) {
        size_t next = std::min(body.find("<TR>", at + 1), body.size());
        rows.insert(body.substr(at, next - at));
        at = next;
    }
    return rows;
}

std::string all_byte_values() { // several times over, across several 1024-byte blocks
    std::string bytes;
    for (int i = 0; i < 256 * 12 + 7; ++i) {
        bytes.push_back(static_cast<char>(i % 256));
    }
    return bytes;
}

struct Reply {
    std::string bytes;
    bool closed = false; // the server ended the connection
    bool reset = false;  // ... with a reset: it left bytes of the request unread
};

// Sends the request in one piece (so that a body arrives with its head) and
// keeps its own side open, as a client waiting for the answer does.
Reply exchange(int port, const std::string& request) {
    Reply reply;
    ClientSocket client = ClientSocket::connect(port);
    send_all(client.get(), request);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    char buffer[16384];
    while (client.valid() && std::chrono::steady_clock::now() < deadline) {
        pollfd p{client.get(), POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) {
            continue;
        }
        ssize_t got = ::recv(client.get(), buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            reply.closed = true;
            reply.reset = got < 0 && errno == ECONNRESET;
            break;
        }
        reply.bytes.append(buffer, static_cast<size_t>(got));
    }
    return reply;
}

// One server for all cases, with the files they need beside the sample tree.
class WebService : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server_ = std::make_unique<ServerProcess>();
        ServerProcess& s = *server_;
        s.write_file("secret.txt", SECRET + "\n");
        s.write_file("wwwroot/echo.txt", ECHO_BODY);
        s.write_file("wwwroot/empty.txt", "");
        s.write_file("wwwroot/bytes.bin", all_byte_values());
        s.make_dir("wwwroot/names");
        for (const NamedFile& file : named_files()) {
            s.write_file("wwwroot/names/" + file.name, file.content);
        }
        s.make_dir("wwwroot/long");
        s.write_file("wwwroot/long/" + LONG_NAME, "");
        s.write_file("wwwroot/" + CUT_ESCAPES_NAME, "cut\n");
        s.make_dir("wwwroot/deep/" + deep_dir());
        s.make_dir("wwwroot/big");
        std::ofstream(s.path("wwwroot/big/huge.bin")).close();
        std::error_code error; // sparse, so no blocks are written
        std::filesystem::resize_file(s.path("wwwroot/big/huge.bin"), THREE_GIB, error);
        sparse_ = !error;
        started_ = s.start();
    }
    static void TearDownTestSuite() { server_.reset(); }
    void SetUp() override {
        ASSERT_TRUE(started_ && server_->running()) << "no server:\n" << server_->output();
    }
    void TearDown() override { EXPECT_TRUE(server_->running()) << "the server ended"; }

    static ServerProcess& server() { return *server_; }
    static int port() { return server_->www_port(); }
    // A directory whose path below the server's base directory ends at the
    // 255th character: a URL on past it would be cut back to it.
    static std::string deep_dir() {
        const size_t used =
            server_->reported_base_dir().size() + std::string("wwwroot/deep/").size();
        return std::string(255 - used, 'd');
    }

    static inline std::unique_ptr<ServerProcess> server_;
    static inline bool started_ = false, sparse_ = false;
};

TEST_F(WebService, EachRequestGetsItsExactReply) {
    const std::string long_row = dir_row("0", "\\long\\" + LONG_NAME, LONG_NAME);
    ASSERT_GT(long_row.size(), 259u);
    const std::string twelve = "twelve bytes";
    auto header = [](size_t length) { return "X-Long: " + std::string(length - 8, 'h'); };
    struct Case {
        std::string request;
        std::string reply;
        bool orderly = true; // every byte of the request was read before the close
    };
    const std::vector<Case> cases = {
        {get("/a.txt"), file_response(A_TXT)},
        {get("/sub\\b.txt"), file_response("b in sub\n")},
        // Leading slashes are empty names, not a host: links as ELinks
        // follows them.
        {"GET //sub/b.txt HTTP/1.1\r\n\r\n", file_response("b in sub\n")},
        {get("//a.txt"), file_response(A_TXT)},
        {get("http://host//sub/b.txt"), file_response("b in sub\n")},
        {get("/bytes.bin"), file_response(all_byte_values(), OCTETS)},
        {get("/empty.txt"), file_head(0)},
        {get("/sub"), dir_page("sub", dir_row("9", "\\sub\\b.txt", "b.txt"))},
        // However long, a row is whole.
        {get("/long"), dir_page("long", long_row)},
        {get("/missing.txt"), ERROR_403},
        {"PUT /a.txt HTTP/1.0\r\n\r\n", ERROR_405},
        {"get /a.txt HTTP/1.0\r\n\r\n", ERROR_405},
        {"GETX /a.txt HTTP/1.0\r\n\r\n", ERROR_405},
        {"post /a.txt HTTP/1.0\r\n\r\n", ERROR_405},
        {"GET x HTTP\r\n\r\n", ERROR_NOT_ROOTED}, // no "/" anywhere in the line
        // Only GET drops the query; POST looks for a file named with it.
        {get("/a.txt?x=1"), file_response(A_TXT)},
        {post("/a.txt?x=1"), ERROR_403},
        {post("/a.txt", "Content-length: 5\r\n", "hello"), file_response(A_TXT)},
        // Without a body: waiting for one would never answer.
        {post("/a.txt"), file_response(A_TXT)},
        // 1000 bytes by the one receive, the last 4 as waiting bytes.
        {post("/a.txt", "Content-length: 1004\r\n", std::string(1004, 'p')), file_response(A_TXT)},
        // The rest is read after the answer, so that the close is orderly.
        {post("/a.txt", "Content-length: 1500\r\n", std::string(1500, 'p')), file_response(A_TXT)},
        {get("/a.txt") + "GET /a.txt HTTP/1.0\r\n\r\n", file_response(A_TXT)},
        // The header name matches in any case and the last one counts;
        // otherwise the unread body would turn the close into a reset.
        {post("/a.txt", "content-LENGTH: 12\r\n", twelve), file_response(A_TXT)},
        {post("/a.txt", "Content-length: 3\r\nCONTENT-LENGTH: 12\r\n", twelve),
         file_response(A_TXT)},
        // An overlong request line is cut but still served, when the cut
        // falls after the path; a cut inside the path names nothing.
        {"GET /a.txt HTTP/1.0 " + std::string(20000, 'x') + "\r\n\r\n", file_response(A_TXT)},
        {"GET /a.txt?" + std::string(300, 'q') + "\r\n\r\n", file_response(A_TXT)},
        {get("/bb" + repeated("%61", 90)), ERROR_403},
        {get("/deep/" + deep_dir() + "/f.txt"), ERROR_403},
        {get("/deep/" + deep_dir() + "x"), ERROR_403},
        {"GET /a.txt HTTP/1.0\r\n" + header(9999) + "\r\n\r\n", file_response(A_TXT)},
        {"GET /a.txt HTTP/1.0\r\n" + header(10000) + "\r\n\r\n", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request.substr(0, 80));
        Reply reply = exchange(port(), c.request);
        EXPECT_EQ(parts(reply.bytes), parts(c.reply));
        EXPECT_TRUE(reply.closed);
        if (c.orderly) {
            EXPECT_FALSE(reply.reset);
        }
    }
}

TEST_F(WebService, UrlsAreDecodedAndPageLinksLeadToTheirOwnFiles) {
    // Every name shows as itself in the page and links, percent-encoded, to
    // its own file; the ".." link leads to the root.
    std::string rows = dir_row("Adresar", "\\names", ".") + dir_row("Adresar", "\\", "..");
    for (const NamedFile& file : named_files()) {
        rows += dir_row(std::to_string(file.content.size()), file.link, file.shown);
    }
    EXPECT_EQ(parts(exchange(port(), get("/names/")).bytes),
              parts(HTTP_PAGE_HEAD + "<HTML><TABLE>" + rows + "</TABLE></HTML>"));
    for (const NamedFile& file : named_files()) {
        // The link as a browser sends it: "/" for each "\".
        std::string url = file.link;
        std::replace(url.begin(), url.end(), '\\', '/');
        SCOPED_TRACE(url);
        EXPECT_EQ(exchange(port(), get(url)).bytes, file_response(file.content));
    }
    // Lower-case hex digits, and a "+" that stays a "+".
    EXPECT_EQ(exchange(port(), get("/names/%c4%8de%c5%a1tina.txt")).bytes,
              file_response("czech\n"));
    EXPECT_EQ(exchange(port(), get("/names/my+file.txt")).bytes, ERROR_403);
}

TEST_F(WebService, DecodedControlBytesNeverReachTheFileSystem) {
    // Cut at the NUL, "/a.txt%00.html" would name a.txt.
    for (const std::string url : {"/a.txt%00", "/a.txt%00.html", "/a.txt%0a", "/sub%09/b.txt"}) {
        SCOPED_TRACE(url);
        EXPECT_EQ(exchange(port(), get(url)).bytes, ERROR_403);
    }
    // The console shows the URL as sent.
    EXPECT_TRUE(server().wait_for_output("/a.txt%00.html\n" + ERROR_403, 5000));
}

TEST_F(WebService, ConnectionClosedBeforeTheHeadersEndGetsNoReply) {
    for (const std::string request :
         {"GET /a.txt HTTP/1.0\r\n", "GET /a.txt HTTP/1.0\r\nX: y\r\n"}) {
        SCOPED_TRACE(request);
        ClientSocket client = ClientSocket::connect(port());
        ASSERT_TRUE(client.valid());
        send_all(client.get(), request);
        ::shutdown(client.get(), SHUT_WR);
        EXPECT_TRUE(peer_closed_without_bytes(client.get(), 5000));
    }
}

TEST_F(WebService, AHeadThatComesSlowlyIsWaitedFor) {
    ClientSocket client = ClientSocket::connect(port());
    send_all(client.get(), "GET /a.txt HTTP/1.0\r\n");
    // Longer than the 2 s that the lingering close's quiet time gives every
    // connection's receives: a head still on its way is not a quiet client.
    pollfd ready{client.get(), POLLIN, 0};
    EXPECT_EQ(::poll(&ready, 1, 2500), 0) << "the server answered or closed";
    send_all(client.get(), "\r\n");
    std::string reply;
    ASSERT_TRUE(receive_until_close(client.get(), reply, 5000, 1 << 20));
    EXPECT_EQ(reply, http_file_response("hello world\n", "text/plain"));
}

TEST_F(WebService, NothingOutsideWwwrootIsReached) {
    std::vector<std::string> requests;
    for (const std::string url :
         {"/../secret.txt", "/..", "/sub/..", "/..\\secret.txt", "/sub\\..\\..\\secret.txt",
          // Decoded before they are checked, escapes are separators and dots too.
          "/%2e%2e/secret.txt", "/%2E%2e%5csecret.txt", "/sub/..%2f..%2fsecret.txt", "/%2e%2e",
          "/sub%2f%2e%2e%2f%2e%2e%2fsecret.txt"}) {
        requests.push_back(get(url));
        requests.push_back(post(url));
    }
    // The path "<base_dir>wwwroot<url>" is cut to 255 characters, which turns
    // the trailing "..." of this URL into a ".." naming the directory above.
    const size_t kept = 255 - (server().reported_base_dir().size() + 7);
    std::string url = "/";
    while (url.size() + 4 <= kept) {
        url += "./";
    }
    url.resize(kept - 2, '/');
    url += "...";
    // No version word, so that the 256-character request line holds the whole URL.
    ASSERT_LE(("GET " + url).size(), 256u);
    requests.push_back("GET " + url + "\r\n\r\n");

    for (const std::string& request : requests) {
        SCOPED_TRACE(request);
        Reply reply = exchange(port(), request);
        EXPECT_EQ(reply.bytes, ERROR_DOTDOT);
        EXPECT_EQ(reply.bytes.find(SECRET), std::string::npos);
    }
}

TEST_F(WebService, ConsoleShowsUrlAndHeadButNoBody) {
    // Unique URLs before and after bracket the text, since the echo of
    // earlier sessions may still be on its way.
    EXPECT_EQ(exchange(port(), get("/console-from")).bytes, ERROR_403);
    EXPECT_EQ(exchange(port(), get("/echo.txt?q=1")).bytes, file_response(ECHO_BODY));
    EXPECT_EQ(exchange(port(), post("/echo.txt?q=1")).bytes, ERROR_403);
    EXPECT_EQ(exchange(port(), get("/../echo.txt")).bytes, ERROR_DOTDOT);
    EXPECT_EQ(exchange(port(), get("/console-to")).bytes, ERROR_403);
    // The GET URL without its query, the POST URL whole, a refusal without URL.
    const std::string printed = "/console-from\n" + ERROR_403 + "/echo.txt\n" +
                                file_head(ECHO_BODY.size()) + "/echo.txt?q=1\n" + ERROR_403 +
                                ERROR_DOTDOT + "/console-to\n" + ERROR_403;
    EXPECT_TRUE(server().wait_for_output(printed, 5000)) << server().output();
    EXPECT_EQ(server().output().find(ECHO_BODY), std::string::npos);
}

TEST_F(WebService, HugeFileKeepsItsTrueLengthAndResetsLeaveNoDescriptorBehind) {
    if (!sparse_) {
        GTEST_SKIP() << "this file system cannot hold a sparse 3 GiB file";
    }
    ASSERT_EQ(exchange(port(), get("/a.txt")).bytes, file_response(A_TXT));
    // A session from an earlier case may still be ending, so the baseline is
    // an upper bound and the count is awaited down to it. Descriptors are
    // counted where they are the server's own, not under Wine.
    const bool counted = ServerProcess::native_check("the descriptors left after the resets");
    const int baseline = counted ? server().fd_count() : 0;
    if (counted) {
        ASSERT_GT(baseline, 0);
    }
    for (int i = 0; i < 20; ++i) {
        ClientSocket client = ClientSocket::connect(port());
        ASSERT_TRUE(client.valid()) << "connection " << i;
        send_all(client.get(), get("/big/huge.bin"));
        if (i % 2 == 1) { // half of them go once the head is through, the rest at once
            std::string head;
            for (int line = 0; line < 6 && !head.ends_with("\r\n\r\n"); ++line) {
                head += read_line(client.get(), 5000);
            }
            EXPECT_EQ(head, file_head(THREE_GIB, OCTETS));
        }
        client.reset();
    }
    EXPECT_EQ(exchange(port(), get("/a.txt")).bytes, file_response(A_TXT));
    if (counted) {
        EXPECT_TRUE(eventually([&] { return server().fd_count() <= baseline; }))
            << server().fd_count() << " descriptors, " << baseline << " before";
    }

    // The page's size column shows the low 32 bits, signed.
    EXPECT_EQ(parts(exchange(port(), get("/big")).bytes),
              parts(dir_page("big", dir_row("-1073741824", "\\big\\huge.bin", "huge.bin"))));
}

// Runs a shell command (bounded by `timeout`): its standard output and exit code.
std::pair<std::string, int> run_tool(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return {out, -1};
    }
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        out.append(buffer, got);
    }
    int status = ::pclose(pipe);
    return {out, status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST_F(WebService, RealClientsFetchFilesAndPages) {
    const std::string url = " http://127.0.0.1:" + std::to_string(port());
    // Neither a proxy from the environment nor a personal configuration may
    // come between the tool and the server.
    const std::string curl = "timeout 10 curl -q -s --noproxy '*'";
    const std::string wget = "timeout 10 wget --no-config -q --no-proxy --tries=1 -O -";
    struct Run {
        std::string tool, command, out;
    };
    const std::vector<Run> runs = {
        {"curl", curl + url + "/a.txt", A_TXT},
        {"curl", curl + " -i" + url + "/sub/",
         dir_page("sub", dir_row("9", "\\sub\\b.txt", "b.txt"))},
        {"wget", wget + url + "/bytes.bin", all_byte_values()},
        // Both send the doubled slash as it stands.
        {"curl", curl + " --path-as-is" + url + "//sub/b.txt", "b in sub\n"},
        {"wget", wget + url + "//sub/b.txt", "b in sub\n"},
        {"wget", wget + url + "/sub/",
         dir_page("sub", dir_row("9", "\\sub\\b.txt", "b.txt")).substr(HTTP_PAGE_HEAD.size())},
    };
    std::string missing;
    for (const Run& run : runs) {
        if (std::system(("command -v " + run.tool + " >/dev/null 2>&1").c_str()) != 0) {
            missing += " " + run.tool;
            continue;
        }
        SCOPED_TRACE(run.command);
        auto [out, exit_code] = run_tool(run.command);
        EXPECT_EQ(exit_code, 0);
        EXPECT_EQ(parts(out), parts(run.out));
    }
    if (!missing.empty()) {
        GTEST_SKIP() << "not installed:" << missing;
    }
}

} // namespace
