// A base directory the service paths cannot be built below is refused at
// start with one console line: one too long to leave room for the web and
// FTP paths, and one with a backslash, which the paths take for a separator.

#include "server_process.hpp"
#include "test_client.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

TEST(BaseDirectory, TooLongForTheServicePathsIsRefusedAtStart) {
    ServerProcess server;
    // Moves the copied executable 250 characters deeper, where it runs.
    std::string deep = std::string(120, 'd') + "/" + std::string(120, 'e');
    if (server.native()) {
        // Started through a link: the directory is the one the link leads to.
        server.make_dir(deep);
        std::filesystem::rename(server.path("pelmar"), server.path(deep + "/pelmar"));
        std::filesystem::create_symlink(deep + "/pelmar", server.path("pelmar"));
    } else {
        // Windows names the directory a program is started from as given.
        server.move_executable(deep);
    }

    // A server that bound before it looked at its directory would find the
    // web port taken and say so instead.
    const int www = free_tcp_port();
    ClientSocket holder(listen_on("127.0.0.1", www));
    server.launch(
        {"/wwwport", std::to_string(www), "/ftpport", std::to_string(free_tcp_port(www))});
    EXPECT_EQ(server.wait_for_exit(5000), 0);
    const std::string base = server.reported_path(deep + "/");
    EXPECT_EQ(server.output().substr(0, 11 + base.size()), "Basepath: " + base + "\n");
    EXPECT_NE(server.output().find("\nBasepath is longer than 240 characters\n"),
              std::string::npos);
    EXPECT_EQ(server.output().find("Failed to bind"), std::string::npos) << server.output();
}

TEST(BaseDirectory, OfTheLongestLengthThePathsLeaveRoomForIsServed) {
    ServerProcess server;
    // One name more below the temporary directory makes the base directory,
    // its last separator included, 240 characters long.
    const size_t room = 240 - server.reported_base_dir().size();
    ASSERT_GT(room, 1u);
    const std::string deep(room - 1, 'd');
    server.move_executable(deep);
    server.make_dir(deep + "/wwwroot");
    server.make_dir(deep + "/ftproot");
    ASSERT_TRUE(server.start()) << server.output();
    EXPECT_EQ(server.output().find("Basepath: " + server.reported_path(deep + "/") + "\n"), 0u);
}

TEST(BaseDirectory, WithABackslashIsRefusedAtStart) {
    ServerProcess server;
    if (!server.native())
        GTEST_SKIP() << "Linux only: on Windows a backslash separates names and cannot be in one";
    server.make_dir("pb\\q");
    std::filesystem::rename(server.path("pelmar"), server.path("pb\\q/pelmar"));
    std::filesystem::create_symlink("pb\\q/pelmar", server.path("pelmar"));

    // Held, so that a server that bound first would say so instead.
    const int www = free_tcp_port(), ftp = free_tcp_port(www);
    ClientSocket holder(listen_on("127.0.0.1", www));
    server.launch({"/wwwport", std::to_string(www), "/ftpport", std::to_string(ftp)});
    EXPECT_EQ(server.wait_for_exit(5000), 0);
    EXPECT_EQ(server.output(), "Basepath: " + server.base_dir() + "pb\\q/\nWWWport : " +
                                   std::to_string(www) + "\nFTPport : " + std::to_string(ftp) +
                                   "\nBasepath must not contain a backslash\n");
}

} // namespace
