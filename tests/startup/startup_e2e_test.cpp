// Start-up through the real executable: the console report and how the
// switches reach the listener. Number parsing itself is unit-tested.

#include "ftp_replies.hpp"
#include "server_process.hpp"
#include "test_client.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace {

// What a client from `ip` hears first after sending a request; "closed" if
// it is closed without a byte.
std::string first_line(int port, const char* ip) {
    ClientSocket client = ClientSocket::connect(port, ip);
    send_all(client.get(), "GET /a.txt HTTP/1.0\r\n\r\n");
    return peer_closed_without_bytes(client.get(), 3000) ? "closed" : read_line(client.get(), 3000);
}

struct Wiring {
    const char* args; // W and F stand for free ports
    const char* www;  // as reported
    const char* ftp;
    bool remote_allowed;
};

TEST(Switches, ReachTheReportAndTheListener) {
    for (const Wiring& row : {
             Wiring{"/A /FTPPORT F /wWwPoRt W", "W", "F", true},
             Wiring{"/wwwport 1 /ftpport 2 /wwwport W /ftpport F", "W", "F", false},
             Wiring{"/wwwport W+65536 /ftpport F", "W+65536", "F", false},
             Wiring{"/wwwport x /ftpport F", "0", "F", false},
             Wiring{"/wwwport W /ftpport /a", "W", "0", false},
             Wiring{"", "80", "21", false},
         }) {
        SCOPED_TRACE(row.args);
        const int www = free_tcp_port(), ftp = free_tcp_port(www);
        auto fill = [&](const std::string& word) {
            if (word.empty() || (word[0] != 'W' && word[0] != 'F'))
                return word;
            return std::to_string((word[0] == 'W' ? www : ftp) + std::atoi(word.c_str() + 1));
        };
        std::vector<std::string> args;
        std::istringstream words(row.args);
        for (std::string word; words >> word;)
            args.push_back(fill(word));
        ServerProcess server;
        server.launch(args);
        // The report opens the console, ahead of anything a session prints.
        const std::string report = "Basepath: " + server.reported_base_dir() +
                                   "\nWWWport : " + fill(row.www) + "\nFTPport : " + fill(row.ftp) +
                                   "\n";
        EXPECT_TRUE(eventually([&] { return server.output().starts_with(report); }))
            << server.output();
        if (args.empty())
            continue; // 80 and 21 may be taken or privileged here
        // A reported number binds its low 16 bits; a reported 0 any free port.
        int web = std::stoi(fill(row.www)) & 0xffff, control = std::stoi(fill(row.ftp)) & 0xffff;
        if (server.native()) {
            std::set<int> ports;
            ASSERT_TRUE(eventually([&] { return (ports = server.listening_ports()).size() == 2; }))
                << server.output();
            for (int open : ports)
                if (web == 0 && open != control)
                    web = open;
                else if (control == 0 && open != web)
                    control = open;
            EXPECT_EQ(ports, (std::set<int>{web, control}));
        } else {
            // Wine's server holds the sockets of every Windows program, so
            // which free port this one was given cannot be told from the
            // kernel's table; only the ports asked for by number are tried.
            if (web == 0 || control == 0)
                skip_check("the free port that a reported 0 binds (under Wine the kernel's "
                           "table does not tell whose it is)");
            auto listening = [&] {
                return (web == 0 || someone_listens_on(web)) &&
                       (control == 0 || someone_listens_on(control));
            };
            ASSERT_TRUE(eventually([&] { return listening() || !server.running(); }, 30000))
                << server.output();
            ASSERT_TRUE(server.running()) << server.output();
        }
        for (auto [port, reply] : {std::pair<int, std::string>{web, "HTTP/1.0 200 OK\r\n"},
                                   std::pair<int, std::string>{control, FTP_GREETING}}) {
            if (port == 0)
                continue;
            EXPECT_EQ(first_line(port, "127.0.0.1"), reply);
            EXPECT_EQ(first_line(port, "127.0.0.2"), row.remote_allowed ? reply : "closed");
        }
    }
}

TEST(Switches, AnythingElsePrintsUsageAndExitsOne) {
    for (std::vector<std::string> args : {std::vector<std::string>{"-a"},
                                          {"/x"},
                                          {"/abc"},
                                          {"/"},
                                          {"/wwwport"},
                                          {"/a", "/ftpport"}}) {
        SCOPED_TRACE(args.back());
        ServerProcess server;
        server.launch(args);
        // Exit 1 straight away, and no bind failure printed: nothing was bound.
        EXPECT_EQ(server.wait_for_exit(5000), 1);
        EXPECT_EQ(server.output(), "Pouziti: Pelmar [/ftpport <cislo>] [/wwwport <cislo>]\n");
    }
}

} // namespace
