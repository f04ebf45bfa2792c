#include "net/line_io.hpp"

#include <cstdio>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A connected pair: the test writes on one end, a LineReader reads the other.
class LineSource : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends_), 0);
        reader_.emplace(ends_[0]);
    }
    void TearDown() override {
        close_writer();
        ::close(ends_[0]);
    }
    void write_bytes(const std::string& bytes) {
        ASSERT_EQ(::write(ends_[1], bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }
    void close_writer() {
        if (ends_[1] >= 0) {
            ::close(ends_[1]);
            ends_[1] = -1;
        }
    }
    ReceiveLineResult receive(int cap = 256) {
        return reader_->next({buffer_, static_cast<size_t>(cap) + 1});
    }
    std::string text() const { return buffer_; }
    // Everything after the lines handed out: what the reader holds, then
    // what is still in the socket.
    std::string rest() {
        close_writer();
        std::string all;
        char chunk[512];
        long n;
        while ((n = reader_->take(chunk)) > 0) {
            all.append(chunk, static_cast<size_t>(n));
        }
        return all;
    }

    int ends_[2] = {-1, -1};
    std::optional<LineReader> reader_;
    char buffer_[10001] = {};
};

TEST_F(LineSource, CrLfAndLfAloneEndALine) {
    write_bytes("USER a\r\nUSER b\n");
    EXPECT_EQ(receive(), ReceiveLineResult::ok);
    EXPECT_EQ(text(), "USER a");
    EXPECT_EQ(receive(), ReceiveLineResult::ok);
    EXPECT_EQ(text(), "USER b");
}

TEST_F(LineSource, CarriageReturnInsideTheLineIsDropped) {
    write_bytes("ab\rcd\n");
    EXPECT_EQ(receive(), ReceiveLineResult::ok);
    EXPECT_EQ(text(), "abcd");
}

TEST_F(LineSource, LoneLineFeedIsAnEmptyLine) {
    write_bytes("\n");
    EXPECT_EQ(receive(), ReceiveLineResult::ok);
    EXPECT_EQ(text(), "");
}

TEST_F(LineSource, LongestLineThatFitsIsOneBelowTheCapacity) {
    write_bytes(std::string(255, 'x') + "\nnext\n");
    EXPECT_EQ(receive(256), ReceiveLineResult::ok);
    EXPECT_EQ(text().size(), 255u);
    EXPECT_EQ(rest(), "next\n");
}

TEST_F(LineSource, LineOfCapacityLengthFailsButIsConsumedToItsEnd) {
    write_bytes(std::string(256, 'x') + "\r\nnext\n");
    EXPECT_EQ(receive(256), ReceiveLineResult::failed);
    EXPECT_EQ(text(), std::string(256, 'x'));
    EXPECT_EQ(rest(), "next\n");
}

TEST_F(LineSource, FarTooLongLineKeepsOnlyTheCapacity) {
    write_bytes(std::string(20000, 'y') + "\nafter\n");
    EXPECT_EQ(receive(10000), ReceiveLineResult::failed);
    EXPECT_EQ(text().size(), 10000u);
    EXPECT_EQ(receive(10000), ReceiveLineResult::ok);
    EXPECT_EQ(text(), "after");
}

TEST_F(LineSource, WhatFollowsTheLineIsKeptForTake) {
    write_bytes("POST / HTTP/1.0\nBODY");
    EXPECT_EQ(receive(), ReceiveLineResult::ok);
    EXPECT_EQ(reader_->buffered(), 4u);
    EXPECT_EQ(rest(), "BODY");
}

TEST_F(LineSource, PeerClosingMidLineKeepsWhatArrived) {
    write_bytes("abc");
    close_writer();
    EXPECT_EQ(receive(), ReceiveLineResult::closed);
    EXPECT_EQ(text(), "abc");
}

TEST_F(LineSource, PeerClosingBeforeAnyByteGivesEmptyText) {
    close_writer();
    EXPECT_EQ(receive(), ReceiveLineResult::closed);
    EXPECT_EQ(text(), "");
}

TEST_F(LineSource, NulByteIsStoredAndEndsTheText) {
    write_bytes(std::string("ab\0cd\n", 6));
    EXPECT_EQ(receive(), ReceiveLineResult::ok);
    EXPECT_EQ(text(), "ab");
    EXPECT_EQ(std::string(buffer_ + 3, 2), "cd");
}

TEST_F(LineSource, AHeadArrivingWholeIsTakenByOneReceiveAndTheBodyStays) {
    write_bytes("GET / HTTP/1.0\r\nHost: x\r\n\r\nBODY");
    EXPECT_EQ(receive(), ReceiveLineResult::ok);
    EXPECT_EQ(text(), "GET / HTTP/1.0");
    // Nothing is left in the socket: the rest of the head is the reader's.
    char probe;
    EXPECT_EQ(::recv(ends_[0], &probe, 1, MSG_DONTWAIT), -1);
    EXPECT_EQ(receive(), ReceiveLineResult::ok);
    EXPECT_EQ(receive(), ReceiveLineResult::ok);
    EXPECT_EQ(text(), "");
    EXPECT_EQ(rest(), "BODY");
}

TEST_F(LineSource, LinesLongerThanOneReceiveAreReadWhole) {
    write_bytes(std::string(9000, 'h') + "\n" + std::string(20000, 'o') + "\nend\nafter");
    EXPECT_EQ(receive(10000), ReceiveLineResult::ok);
    EXPECT_EQ(text(), std::string(9000, 'h'));
    EXPECT_EQ(receive(10000), ReceiveLineResult::failed);
    EXPECT_EQ(receive(10000), ReceiveLineResult::ok);
    EXPECT_EQ(text(), "end");
    EXPECT_EQ(rest(), "after");
}

TEST_F(LineSource, BatchSendsTheSameBytesInTheSameOrder) {
    std::string expected;
    {
        TextBatch batch(ends_[1]);
        for (int i = 0; i < 500; ++i) {
            std::string text = std::to_string(i) + std::string(static_cast<size_t>(i % 97), '.');
            batch.add(text.c_str());
            expected += text;
        }
    }
    close_writer();
    std::string all;
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(ends_[0], chunk, sizeof chunk)) > 0) {
        all.append(chunk, static_cast<size_t>(n));
    }
    EXPECT_EQ(all, expected);
}

// Everything console_write prints while it lives.
class ConsoleCapture {
  public:
    ConsoleCapture() : saved_(::dup(1)), file_(::memfd_create("console", 0)) {
        std::fflush(stdout);
        ::dup2(file_, 1);
    }
    ~ConsoleCapture() {
        restore();
        ::close(file_);
    }
    std::string text() {
        restore();
        std::string all;
        char chunk[4096];
        ssize_t n;
        for (off_t at = 0; (n = ::pread(file_, chunk, sizeof chunk, at)) > 0; at += n) {
            all.append(chunk, static_cast<size_t>(n));
        }
        return all;
    }

  private:
    void restore() {
        if (saved_ >= 0) {
            std::fflush(stdout);
            ::dup2(saved_, 1);
            ::close(saved_);
            saved_ = -1;
        }
    }
    int saved_;
    int file_;
};

TEST_F(LineSource, BatchLogsEverythingOrOnlyWhatWentOutWhole) {
    close_writer(); // the peer is gone before anything is sent
    {
        ConsoleCapture console;
        {
            TextBatch page(ends_[0]);
            EXPECT_TRUE(page.add("<HTML>"));
            EXPECT_FALSE(page.flush());
            EXPECT_FALSE(page.add("row\n"));
        }
        EXPECT_EQ(console.text(), "<HTML>row\n");
    }
    ConsoleCapture console;
    {
        TextBatch listing(ends_[0], TextBatch::Echo::delivered);
        listing.add("line 1\r\n");
        EXPECT_FALSE(listing.flush());
        EXPECT_FALSE(listing.add("line 2\r\n"));
        EXPECT_FALSE(listing.add(std::string(9000, 'x').c_str()));
    }
    EXPECT_EQ(console.text(), "");
}

TEST(SendText, SendToAVanishedPeerDoesNotEndTheProcess) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    ::close(ends[1]);
    send_text(ends[0], "nobody listens\r\n");
    send_text(ends[0], "still alive\r\n");
    EXPECT_EQ(send_bytes(ends[0], "x", 1), 0);
    {
        TextBatch batch(ends[0]);
        batch.add("lost, but logged\r\n");
    }
    ::close(ends[0]);
}

} // namespace
