#include "ftp/ftp_path.hpp"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "fs/path.hpp"
#include "platform/host.hpp"

namespace {

class Resolve : public ::testing::Test {
  protected:
    // Returns "in:<path>" or "out:<path>".
    std::string resolve(const std::string& argument) {
        char text[300];
        std::snprintf(text, sizeof text, "%s", argument.c_str());
        char out[PATH_CAP];
        Status inside =
            resolve_ftp_path(out, cwd_, text, root_, static_cast<int>(std::strlen(root_)));
        return std::string(inside == Status::ok ? "in:" : "out:") + out;
    }
    const char* root_ = "/srv/ftproot";
    const char* cwd_ = "/srv/ftproot\\pub";
};

TEST_F(Resolve, RelativeFromTheCurrentDirectory) {
    EXPECT_EQ(resolve("docs"), "in:/srv/ftproot\\pub\\docs");
    EXPECT_EQ(resolve("   docs"), "in:/srv/ftproot\\pub\\docs");
    EXPECT_EQ(resolve(""), "in:/srv/ftproot\\pub");
    EXPECT_EQ(resolve(" "), "in:/srv/ftproot\\pub");
}

TEST_F(Resolve, AbsoluteFromTheRoot) {
    EXPECT_EQ(resolve("/docs"), "in:/srv/ftproot\\docs");
    EXPECT_EQ(resolve("\\docs"), "in:/srv/ftproot\\docs");
    EXPECT_EQ(resolve("/"), "in:/srv/ftproot");
}

TEST_F(Resolve, ClimbingStopsBeingInsideAboveTheRoot) {
    EXPECT_EQ(resolve(".."), "in:/srv/ftproot");
    EXPECT_EQ(resolve("../.."), "out:/srv");
    EXPECT_EQ(resolve("../../../../etc/passwd"), "out:/etc\\passwd");
}

TEST_F(Resolve, ClimbingOutAndBackInIsInsideAndSpeltAsTheRoot) {
    EXPECT_EQ(resolve("../../ftproot/pub"), "in:/srv/ftproot\\pub");
}

TEST_F(Resolve, SiblingsAreOutsideAndOtherCaseWhereTheHostTellsCaseApart) {
    EXPECT_EQ(resolve("/../ftproot2"), "out:/srv\\ftproot2");
    // Inside, the root keeps the server's spelling: on a case-sensitive
    // folder the client's would name a sibling.
    EXPECT_EQ(resolve("../../FTPROOT/pub"),
              HOST_PATHS_IGNORE_CASE ? "in:/srv/ftproot\\pub" : "out:/srv\\FTPROOT\\pub");
}

TEST_F(Resolve, ADriveIsAnotherPlaceWhereTheHostHasDrives) {
    EXPECT_EQ(resolve("c:/windows"),
              HOST_HAS_DRIVE_LETTERS ? "out:c:\\windows" : "in:/srv/ftproot\\pub\\c:\\windows");
}

TEST_F(Resolve, TrailingSlashDoesNotSurvive) {
    EXPECT_EQ(resolve("docs/"), "in:/srv/ftproot\\pub\\docs");
}

TEST_F(Resolve, TabsAreNotSkipped) {
    EXPECT_EQ(resolve("\tdocs"), "in:/srv/ftproot\\pub\\\tdocs");
}

TEST_F(Resolve, ArgumentTooLongToJoinIsOutside) {
    EXPECT_EQ(resolve(std::string(250, 'a')), "out:");
}

std::string pwd_reply(const char* relative) {
    char out[FTP_PWD_REPLY_CAP];
    format_pwd_reply(out, relative);
    return out;
}

TEST(PwdReply, ShowsTheDirectoryWithSlashesAndATrailingSlash) {
    EXPECT_EQ(pwd_reply(""), "257 \"/\" je aktualni adresar\r\n");
    EXPECT_EQ(pwd_reply("\\pub\\docs"), "257 \"/pub/docs/\" je aktualni adresar\r\n");
}

TEST(PwdReply, DoublesQuotesSoThatClientsFindTheEndOfThePath) {
    EXPECT_EQ(pwd_reply("\\a\"b"), "257 \"/a\"\"b/\" je aktualni adresar\r\n");
    // The longest path, made of quotes only, still fits whole.
    std::string quotes(258, '"');
    std::string doubled(516, '"');
    EXPECT_EQ(pwd_reply(("\\" + quotes).c_str()),
              "257 \"/" + doubled + "/\" je aktualni adresar\r\n");
}

} // namespace
