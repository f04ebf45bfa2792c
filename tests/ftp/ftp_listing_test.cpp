#include "ftp/ftp_transfer.hpp"

#if !defined(_WIN32)
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <gtest/gtest.h>
#include <string>

namespace {

// Sets the zone that local time is taken in, on either host.
void set_time_zone(const char* zone) {
#if defined(_WIN32)
    _putenv_s("TZ", zone);
    _tzset();
#else
    if (zone[0] == '\0') {
        unsetenv("TZ");
    } else {
        setenv("TZ", zone, 1);
    }
    tzset();
#endif
}

// Listing dates are local time: pin the zone so the expected texts hold.
class ListingLine : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* zone = std::getenv("TZ");
        saved_zone_ = zone != nullptr ? zone : "";
        set_time_zone("UTC0");
    }
    void TearDown() override { set_time_zone(saved_zone_.c_str()); }
    std::string line(const char* name, uint64_t size, int64_t time, bool directory = false) {
        DirEntry entry;
        std::snprintf(entry.name, sizeof entry.name, "%s", name);
        entry.size = size;
        entry.last_write = time;
        entry.is_directory = directory;
        char out[FTP_LISTING_LINE_CAP];
        format_listing_line(out, entry);
        return out;
    }

    std::string saved_zone_;
};

TEST_F(ListingLine, DateSizeAndNameInTheFixedLayout) {
    // 1999-06-07 14:07 UTC
    EXPECT_EQ(line("a.txt", 123, 928764420), "06-07-99 02:07PM          123          a.txt\r\n");
}

TEST_F(ListingLine, TwelveHourClock) {
    EXPECT_EQ(line("x", 0, 1200006300).substr(0, 16), "01-10-08 11:05PM"); // 23:05
    EXPECT_EQ(line("x", 0, 1199925000).substr(0, 16), "01-10-08 12:30AM"); // 00:30
    EXPECT_EQ(line("x", 0, 1199970300).substr(0, 16), "01-10-08 01:05PM"); // 13:05
}

TEST_F(ListingLine, DirectoriesShowDirAndHugeSizesWrap) {
    EXPECT_EQ(line("pub", 4096, 0, true), "01-01-70 12:00AM        <DIR>          pub\r\n");
    EXPECT_EQ(line("big", 3ull << 30, 0), "01-01-70 12:00AM  -1073741824          big\r\n");
}

TEST_F(ListingLine, TimesOutsideThe32BitRangeShowTheStartOfTheCount) {
    EXPECT_EQ(line("old", 1, -86400).substr(0, 16), "01-01-70 12:00AM");
    EXPECT_EQ(line("far", 1, 2200000000).substr(0, 16), "01-01-70 12:00AM");
}

TEST_F(ListingLine, TheLongestNamesStayWholeWithTheirLineEnd) {
    // Clients split a listing at CR LF: a cut line would merge with the next.
    std::string name(255, 'n');
    EXPECT_EQ(line(name.c_str(), 1, 0), "01-01-70 12:00AM            1          " + name + "\r\n");
}

TEST(ListingTime, KeepsTheLow32Bits) {
    EXPECT_EQ(listing_time(0), 0);
    EXPECT_EQ(listing_time(2147483647), 2147483647);
    EXPECT_EQ(listing_time(2147483648LL), INT32_MIN);
    EXPECT_EQ(listing_time(4294967296LL + 5), 5);
}

#if !defined(_WIN32)
TEST(FtpListing, LinesThatDoNotReachTheClientAreNotLogged) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    ::close(ends[1]); // the client has gone before the first line
    testing::internal::CaptureStdout();
    Status sent = send_ftp_listing(ends[0], PELMAR_FIXTURES "/ftproot");
    std::string logged = testing::internal::GetCapturedStdout();
    ::close(ends[0]);
    EXPECT_EQ(sent, Status::failed);
    EXPECT_EQ(logged, "");
}
#endif

} // namespace
