// Many clients at once, and clients that misbehave, against the real
// executable: every answer exact, and afterwards the server as it was before
// (running, no descriptor left open, exactly ten sessions admitted).

#include "ftp_replies.hpp"
#include "http_replies.hpp"
#include "server_process.hpp"
#include "test_client.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

constexpr int IO_MS = 5000; // an upper bound for every wait, never a measurement

const std::string A_TXT = http_file_response("hello world\n", "text/plain"); // from the sample tree

std::string tail(const std::string& text) { // the console can be long after a load
    return text.substr(text.size() - std::min<size_t>(text.size(), 3000));
}

void run_threads(int count, const std::function<void(int)>& body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < count; ++t)
        threads.emplace_back(body, t);
    for (std::thread& thread : threads)
        thread.join();
}

struct Reply {
    std::string bytes;
    bool closed = false;  // the server ended the connection in order
    bool refused = false; // no connection, or a reset before any byte: a full backlog
};

// One request on its own connection, read until the server ends it.
Reply fetch(int port, const std::string& request) {
    Reply reply;
    ClientSocket client = ClientSocket::connect(port);
    timeval limit{IO_MS / 1000, 0}; // so that a wedged server cannot hang a receive
    ::setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    send_all(client.get(), request); // a failed send shows as a reset below
    char buffer[16384];
    ssize_t got = -1;
    while (client.valid() && (got = ::recv(client.get(), buffer, sizeof buffer, 0)) > 0)
        reply.bytes.append(buffer, static_cast<size_t>(got));
    reply.closed = got == 0;
    reply.refused = !client.valid() || (got < 0 && errno == ECONNRESET && reply.bytes.empty());
    return reply;
}

bool answered(int port, const std::string& request, const std::string& expected) {
    Reply reply = fetch(port, request);
    return reply.closed && reply.bytes == expected;
}

// An FTP control connection with its own active-mode data listener.
struct Ftp {
    ClientSocket control, listener{listen_on("127.0.0.1", 0)};
    explicit Ftp(int port) : control(ClientSocket::connect(port)) {}
    std::string line() { return read_line(control.get(), IO_MS); }
    std::string ask(const std::string& command) {
        send_all(control.get(), command + "\r\n");
        return line();
    }
    // Greeted, then asks for `file` to go to `number`, or else to our listener.
    bool retr(const std::string& file, int number = 0) {
        number = number ? number : local_port_of(listener.get());
        std::string port = std::to_string(number >> 8) + "," + std::to_string(number & 0xff);
        return line() == FTP_GREETING && ask("PORT 127,0,0,1," + port) == FTP_PORT_OK &&
               ask("RETR " + file) == FTP_STARTING;
    }
    ClientSocket accept_data() {
        pollfd p{listener.get(), POLLIN, 0};
        return ClientSocket(::poll(&p, 1, IO_MS) > 0 ? ::accept(listener.get(), nullptr, nullptr)
                                                     : -1);
    }
};

bool ftp_chat(int port) {
    Ftp f(port);
    return f.line() == FTP_GREETING && f.ask("USER load") == FTP_USER_OK &&
           f.ask("PASS x") == FTP_PASS_OK && f.ask("PWD") == ftp_pwd_reply("/") &&
           f.ask("QUIT") == FTP_GOODBYE && peer_closed_without_bytes(f.control.get(), IO_MS);
}

// The server's open descriptors where they are its own, or 0: under Wine
// its sockets and files are held by Wine's server, shared by every Windows
// program.
int idle_descriptors(const ServerProcess& server) {
    return server.native() ? server.fd_count() : 0;
}

// Whatever the clients did, the server is as it was when idle: it serves,
// every session's descriptor is closed (where they can be counted), and the
// count of sessions did not drift, so exactly ten are admitted at once.
void expect_recovered(ServerProcess& server, int idle_fds) {
    ASSERT_TRUE(server.running()) << tail(server.output());
    EXPECT_TRUE(answered(server.www_port(), "GET /a.txt HTTP/1.0\r\n\r\n", A_TXT));
    if (ServerProcess::native_check("the descriptors once idle")) {
        EXPECT_TRUE(eventually([&] { return server.fd_count() == idle_fds; }, 10000))
            << server.fd_count() << " descriptors, " << idle_fds << " when idle";
    }
    std::vector<ClientSocket> held;
    for (int i = 0; i < 10; ++i) {
        held.push_back(ClientSocket::connect(server.ftp_port()));
        ASSERT_EQ(read_line(held.back().get(), IO_MS), FTP_GREETING) << "session " << i;
    }
    ClientSocket eleventh = ClientSocket::connect(server.ftp_port());
    ASSERT_TRUE(eleventh.valid());
    EXPECT_EQ(read_line(eleventh.get(), 300), "") << "an eleventh session was admitted";
}

TEST(Load, ThousandsOfRequestsFromMoreClientsThanSessionsAllExact) {
    ServerProcess server;
    ASSERT_TRUE(server.start()) << server.output();
    const int idle_fds = idle_descriptors(server);
    const int total = 3000 / SCALE;
    std::atomic<int> next{0}, done{0}, refused{0}, wrong{0};
    run_threads(24, [&](int) {
        // Stops once failing: clients of a wedged server each wait out their time-outs.
        while (wrong == 0 && refused * 10 <= total && next++ < total) {
            Reply reply = fetch(server.www_port(), "GET /a.txt HTTP/1.0\r\n\r\n");
            ++(reply.closed && reply.bytes == A_TXT ? done : reply.refused ? refused : wrong);
        }
    });
    EXPECT_EQ(wrong, 0) << "wrong or partial replies";
    EXPECT_EQ(done + refused, total);
    EXPECT_GE(done, total * 9 / 10) << refused << " refused";
    expect_recovered(server, idle_fds);
}

TEST(Fault, HostileClientsNeitherEndNorWedgeTheServerNorLeak) {
    ServerProcess server;
    const std::string big(8 << 20, 'b'); // more than loopback socket buffers hold
    server.write_file("wwwroot/big.bin", big);
    server.write_file("ftproot/big.bin", big);
    server.write_file("ftproot/huge.bin", "");
    std::filesystem::resize_file(server.path("ftproot/huge.bin"), 64 << 20); // sparse
    ASSERT_TRUE(server.start()) << server.output();
    const int idle_fds = idle_descriptors(server), www = server.www_port(), ftp = server.ftp_port();
    const int closed_port = free_tcp_port();
    // Each tells whether the server's side of it went as it must.
    const std::vector<std::pair<const char*, std::function<bool()>>> kinds = {
        {"resets mid-response",
         [&] {
             ClientSocket c = ClientSocket::connect(www);
             send_all(c.get(), "GET /big.bin HTTP/1.0\r\n\r\n");
             bool begun = read_line(c.get(), IO_MS) == "HTTP/1.0 200 OK\r\n";
             c.reset();
             return begun;
         }},
        {"closes before sending, or within the request line",
         [&] {
             return ClientSocket::connect(www).valid() &&
                    send_all(ClientSocket::connect(www).get(), "GET /a.t");
         }},
        {"sends a 10000-byte header line",
         [&] {
             ClientSocket c = ClientSocket::connect(www);
             send_all(c.get(), "GET /a.txt HTTP/1.0\r\nX: " + std::string(9997, 'h') + "\r\n\r\n");
             return peer_closed_without_bytes(c.get(), IO_MS);
         }},
        {"sends a NUL in the request line",
         [&] {
             Reply reply = fetch(www, "GET /a\0.txt HTTP/1.0\r\n\r\n"s);
             return reply.closed && reply.bytes.starts_with("HTTP/1.0 ");
         }},
        {"names a data port nobody listens on",
         [&] {
             Ftp f(ftp);
             return f.retr("readme.txt", closed_port) && f.line() == FTP_REFUSED &&
                    f.ask("PWD") == ftp_pwd_reply("/");
         }},
        {"resets the data connection at once",
         [&] {
             Ftp f(ftp);
             bool begun = f.retr("big.bin");
             f.accept_data().reset();
             std::string end = f.line();
             return begun && (end == FTP_DONE || end == FTP_FAILED) &&
                    f.ask("PWD") == ftp_pwd_reply("/");
         }},
        {"never reads the data connection",
         [&] {
             Ftp f(ftp);
             bool begun = f.retr("huge.bin");
             ClientSocket data = f.accept_data();
             std::this_thread::sleep_for(200ms); // the server fills the buffers and blocks
             f.control.close();
             std::this_thread::sleep_for(50ms);
             return begun && data.valid(); // closing it with unread bytes resets it
         }},
        {"quits first",
         [&] {
             Ftp f(ftp);
             return f.line() == FTP_GREETING && f.ask("QUIT") == FTP_GOODBYE &&
                    peer_closed_without_bytes(f.control.get(), IO_MS);
         }},
    };
    std::vector<std::atomic<int>> failures(kinds.size());
    std::atomic<bool> failing{false};
    run_threads(6, [&](int t) { // each thread in its own order, so that kinds overlap
        for (size_t i = 0; i < kinds.size() * 8 / SCALE && !failing; ++i) {
            const size_t k = (i + t) % kinds.size();
            if (!kinds[k].second()) {
                ++failures[k];
                failing = true;
            }
        }
    });
    for (size_t k = 0; k < kinds.size(); ++k)
        EXPECT_EQ(failures[k], 0) << "a client that " << kinds[k].first;
    expect_recovered(server, idle_fds);
}

TEST(Mixed, FtpSessionsAndWebRequestsAtOnceAllAnswered) {
    ServerProcess server;
    ASSERT_TRUE(server.start()) << server.output();
    const int idle_fds = idle_descriptors(server);
    const int total = 400 / SCALE;
    std::atomic<int> next{0}, ftp_wrong{0}, web_wrong{0};
    run_threads(16, [&](int) {
        for (int i; ftp_wrong + web_wrong == 0 && (i = next++) < total;)
            if (i % 2 == 0)
                ftp_wrong += !ftp_chat(server.ftp_port());
            else
                web_wrong += !answered(server.www_port(), "GET /a.txt HTTP/1.0\r\n\r\n", A_TXT);
    });
    EXPECT_EQ(ftp_wrong, 0) << "of " << total / 2 << " FTP sessions";
    EXPECT_EQ(web_wrong, 0) << "of " << total / 2 << " web requests";
    expect_recovered(server, idle_fds);
}

} // namespace
