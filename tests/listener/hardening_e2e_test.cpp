// What keeps the server in service through the real executable: no PORT can
// make it connect to itself, it listens again at once after being killed,
// and when started through sudo it serves as the invoking user, not as root.

#include "ftp_replies.hpp"
#include "server_process.hpp"
#include "test_client.hpp"
#include "test_host.hpp"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Every wait is bounded, so that a wedged server fails the test instead of
// hanging it.
constexpr int IO_MS = 3000;

const std::string A_TXT = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 12\r\n"
                          "Connection: close\r\n\r\nhello world\n";

std::string ask(const ClientSocket& control, const std::string& line) {
    send_all(control.get(), line + "\r\n");
    return read_line(control.get(), IO_MS);
}

// The whole reply to a request, read to the server's close.
std::string fetch(int port, const std::string& request) {
    ClientSocket client = ClientSocket::connect(port);
    send_all(client.get(), request);
    return read_until_close(client.get(), IO_MS);
}

bool serves_both(const ServerProcess& server) {
    ClientSocket control = ClientSocket::connect(server.ftp_port());
    return fetch(server.www_port(), "GET /a.txt HTTP/1.0\r\n\r\n") == A_TXT &&
           read_line(control.get(), IO_MS) == FTP_GREETING &&
           ask(control, "USER u") == FTP_USER_OK && ask(control, "PASS p") == FTP_PASS_OK;
}

// Ten sessions, all the server admits, each ask for a file larger than the
// socket buffers to go to one of the server's own ports. A server that
// connected would block in every session on an accept queue no session is
// left to serve.
void expect_no_transfer_into_itself(ServerProcess& server, int own_port) {
    const std::string port_line =
        "PORT 127,0,0,1," + std::to_string(own_port >> 8) + "," + std::to_string(own_port & 0xff);
    std::vector<ClientSocket> sessions;
    for (int i = 0; i < 10; ++i) {
        sessions.push_back(ClientSocket::connect(server.ftp_port()));
        ASSERT_EQ(read_line(sessions.back().get(), IO_MS), FTP_GREETING) << "session " << i;
    }
    for (size_t i = 0; i < sessions.size(); ++i) {
        SCOPED_TRACE("session " + std::to_string(i));
        const ClientSocket& control = sessions[i];
        ASSERT_EQ(ask(control, "USER self"), FTP_USER_OK);
        ASSERT_EQ(ask(control, "PASS x"), FTP_PASS_OK);
        ASSERT_EQ(ask(control, port_line), FTP_PORT_OK);
        ASSERT_EQ(ask(control, "RETR big.bin"), FTP_STARTING);
        ASSERT_EQ(read_line(control.get(), IO_MS), FTP_REFUSED);
        ASSERT_EQ(ask(control, "LIST"), FTP_STARTING);
        ASSERT_EQ(read_line(control.get(), IO_MS), FTP_REFUSED);
    }
    for (const ClientSocket& control : sessions)
        EXPECT_EQ(ask(control, "QUIT"), FTP_GOODBYE);
    sessions.clear();
    EXPECT_TRUE(serves_both(server)) << server.output().substr(0, 3000);
    // Ours and the one just now: no connection of its own ever became a session.
    auto greetings = [&] {
        size_t count = 0;
        const std::string console = server.output();
        for (size_t at = 0; (at = console.find(FTP_GREETING, at)) != std::string::npos; ++at)
            ++count;
        return count;
    };
    EXPECT_TRUE(eventually([&] { return greetings() >= 11; }, IO_MS));
    EXPECT_EQ(greetings(), 11u);
}

class PortToTheServer : public ::testing::Test {
  protected:
    void SetUp() override {
        server_.write_file("ftproot/big.bin", std::string(4 << 20, 'b'));
        ASSERT_TRUE(server_.start()) << server_.output();
    }
    ServerProcess server_;
};

TEST_F(PortToTheServer, NamingTheWebPortIsAcknowledgedButNeverConnected) {
    expect_no_transfer_into_itself(server_, server_.www_port());
}

TEST_F(PortToTheServer, NamingTheFtpPortIsAcknowledgedButNeverConnected) {
    expect_no_transfer_into_itself(server_, server_.ftp_port());
}

// This machine with two addresses of its own: a user on it connects from
// one to the server's FTP port on the other, and names the first, its own
// end, in PORT. That passes the check that data goes only to the client,
// and must still get no connection, which would go to the server itself.
TEST(PortToThisMachine, NamingTheFtpPortOnAnotherOfItsAddressesIsNeverConnected) {
    TestHost host;
    if (!host.available())
        GTEST_SKIP() << "needs root, to give this machine two more addresses on a pair of its own";
    ServerProcess server;
    ASSERT_TRUE(server.start({"/a"})) << server.output();
    ClientSocket control = ClientSocket::connect_to(host.our_other_address().c_str(),
                                                    server.ftp_port(), host.our_address().c_str());
    ASSERT_EQ(read_line(control.get(), IO_MS), FTP_GREETING);
    std::string address = host.our_address();
    std::replace(address.begin(), address.end(), '.', ',');
    const int own = server.ftp_port();
    ASSERT_EQ(ask(control, "PORT " + address + "," + std::to_string(own >> 8) + "," +
                               std::to_string(own & 0xff)),
              FTP_PORT_OK);
    ASSERT_EQ(ask(control, "LIST"), FTP_STARTING);
    EXPECT_EQ(read_line(control.get(), IO_MS), FTP_REFUSED);
    EXPECT_EQ(ask(control, "QUIT"), FTP_GOODBYE);
    // Its own greeting only: no connection of the server's became a session.
    ASSERT_TRUE(server.wait_for_output(FTP_GREETING, IO_MS)) << server.output();
    EXPECT_EQ(server.output().find(FTP_GREETING), server.output().rfind(FTP_GREETING));
}

// Connections the server closed first wait in TIME_WAIT on its own ports.
bool time_wait_on(int port) {
    std::ifstream table("/proc/net/tcp");
    unsigned local = 0, state = 0;
    for (std::string line; std::getline(table, line);)
        if (std::sscanf(line.c_str(), " %*u: %*x:%x %*x:%*x %x", &local, &state) == 2 &&
            static_cast<int>(local) == port && state == 0x06 /* TIME_WAIT */)
            return true;
    return false;
}

TEST(Restart, ListensAgainAtOnceOnTheSamePorts) {
    ServerProcess server;
    ASSERT_TRUE(server.start()) << server.output();
    const int www = server.www_port(), ftp = server.ftp_port();
    ASSERT_EQ(fetch(www, "GET /a.txt HTTP/1.0\r\n\r\n"), A_TXT);
    {
        ClientSocket control = ClientSocket::connect(ftp);
        ASSERT_EQ(read_line(control.get(), IO_MS), FTP_GREETING);
        ASSERT_EQ(ask(control, "QUIT"), FTP_GOODBYE);
        ASSERT_TRUE(peer_closed_without_bytes(control.get(), IO_MS));
    }
    ASSERT_TRUE(eventually([&] { return time_wait_on(www) && time_wait_on(ftp); }));
    server.stop();
    EXPECT_TRUE(server.start_on(www, ftp)) << server.output();
    EXPECT_EQ(server.output().find("Failed to bind"), std::string::npos) << server.output();
    EXPECT_TRUE(serves_both(server));
}

// ---- Started through sudo: root only to bind, then the invoking user ----

struct Ids {
    std::string uid, gid;
};

std::string status_field(pid_t pid, const std::string& name) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(name + ":")) {
            std::istringstream words(line.substr(name.size() + 1));
            std::string values, word;
            while (words >> word)
                values += (values.empty() ? "" : " ") + word;
            return values;
        }
    return "?";
}

class Privileges : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!ServerProcess::native())
            GTEST_SKIP() << "Linux only: giving root up after binding is what sudo asks of a "
                            "Linux process; a Windows program has no root to give up";
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root";
        const passwd* user = ::getpwnam("nobody");
        const group* group = ::getgrnam("nogroup");
        if (user == nullptr || group == nullptr)
            GTEST_SKIP() << "no user nobody or group nogroup";
        nobody_ = {std::to_string(user->pw_uid), std::to_string(group->gr_gid)};
    }
    Ids nobody_;
};

TEST_F(Privileges, SudoUserServesWithoutRootOrItsGroups) {
    ServerProcess server;
    // mkdtemp made the base directory 0700, which only root may enter.
    std::filesystem::permissions(server.base_dir(), std::filesystem::perms(0755));
    server.write_file("wwwroot/private.txt", "only root reads this\n");
    server.write_file("wwwroot/public.txt", "anyone reads this\n");
    ASSERT_EQ(::chmod(server.path("wwwroot/private.txt").c_str(), 0600), 0);
    ASSERT_EQ(::chmod(server.path("wwwroot/public.txt").c_str(), 0644), 0);
    server.set_env("SUDO_UID", nobody_.uid);
    server.set_env("SUDO_GID", nobody_.gid);
    ASSERT_TRUE(server.start()) << server.output();

    const std::string uid = nobody_.uid, gid = nobody_.gid;
    EXPECT_TRUE(eventually([&] {
        return status_field(server.pid(), "Uid") == uid + " " + uid + " " + uid + " " + uid;
    })) << status_field(server.pid(), "Uid");
    EXPECT_EQ(status_field(server.pid(), "Gid"), gid + " " + gid + " " + gid + " " + gid);
    EXPECT_EQ(status_field(server.pid(), "Groups"), "");
    EXPECT_EQ(fetch(server.www_port(), "GET /private.txt HTTP/1.0\r\n\r\n"),
              "HTTP/1.0 403 Soubor neexistuje\r\nConnection: close\r\n\r\n"
              "pozadovany soubor neexistuje");
    EXPECT_EQ(fetch(server.www_port(), "GET /public.txt HTTP/1.0\r\n\r\n"),
              "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 18\r\n"
              "Connection: close\r\n\r\nanyone reads this\n");
}

TEST_F(Privileges, AnUnusableSudoUserEndsTheServerBeforeItServes) {
    ServerProcess server;
    server.set_env("SUDO_UID", "abc");
    server.set_env("SUDO_GID", nobody_.gid);
    const int www = free_tcp_port(), ftp = free_tcp_port(www);
    server.launch({"/wwwport", std::to_string(www), "/ftpport", std::to_string(ftp)});
    EXPECT_EQ(server.wait_for_exit(5000), 0);
    EXPECT_EQ(server.output(),
              "Basepath: " + server.base_dir() + "\nWWWport : " + std::to_string(www) +
                  "\nFTPport : " + std::to_string(ftp) + "\nFailed to give up root privileges\n");
}

} // namespace
