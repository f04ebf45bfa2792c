#include "platform/files.hpp"
#include "platform/socket.hpp"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// A file of `size` bytes, opened, and a connected pair to stream it into.
class FileToSocket : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/pelmar-stream-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends_), 0);
        // The kernel's copy cannot be told not to raise SIGPIPE; the server
        // ignores it from the start.
        ASSERT_EQ(start_socket_library(), Status::ok);
    }
    void TearDown() override {
        close_end(0);
        close_end(1);
        fs::remove_all(dir_);
    }
    void close_end(int i) {
        if (ends_[i] >= 0) {
            ::close(ends_[i]);
            ends_[i] = -1;
        }
    }
    void make_file(const std::string& content) {
        std::ofstream(dir_ / "f", std::ios::binary) << content;
        ASSERT_EQ(file_.open((dir_ / "f").c_str()), Status::ok);
    }
    void append(const std::string& more) {
        std::ofstream(dir_ / "f", std::ios::binary | std::ios::app) << more;
    }
    std::string received() {
        close_end(0);
        std::string all;
        char chunk[4096];
        ssize_t n;
        while ((n = ::read(ends_[1], chunk, sizeof chunk)) > 0) {
            all.append(chunk, static_cast<size_t>(n));
        }
        return all;
    }

    fs::path dir_;
    int ends_[2] = {-1, -1};
    FileReader file_;
};

TEST_F(FileToSocket, NeverMoreThanTheLengthAskedFor) {
    make_file("0123456789");
    append("grown");
    EXPECT_EQ(send_file_contents(ends_[0], file_, 10), StreamResult::complete);
    EXPECT_EQ(received(), "0123456789");
}

TEST_F(FileToSocket, AFileShorterThanAskedForEndsEarly) {
    make_file("0123456789");
    fs::resize_file(dir_ / "f", 4);
    EXPECT_EQ(send_file_contents(ends_[0], file_, 10), StreamResult::ended_early);
    EXPECT_EQ(received(), "0123");
}

TEST_F(FileToSocket, ToTheEndTakesWhatTheFileHasGrownTo) {
    make_file("0123456789");
    append("grown");
    EXPECT_EQ(send_file_contents(ends_[0], file_, TO_END_OF_FILE), StreamResult::complete);
    EXPECT_EQ(received(), "0123456789grown");
}

TEST_F(FileToSocket, APeerThatIsGoneIsAFailure) {
    make_file(std::string(1 << 20, 'x'));
    close_end(1);
    EXPECT_EQ(send_file_contents(ends_[0], file_, TO_END_OF_FILE), StreamResult::failed);
    EXPECT_EQ(send_file_contents(ends_[0], file_, 1 << 20), StreamResult::failed);
}

TEST_F(FileToSocket, AnEmptyFileIsComplete) {
    make_file("");
    EXPECT_EQ(send_file_contents(ends_[0], file_, 0), StreamResult::complete);
    EXPECT_EQ(send_file_contents(ends_[0], file_, TO_END_OF_FILE), StreamResult::complete);
    EXPECT_EQ(received(), "");
}

} // namespace
