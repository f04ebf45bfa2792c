#include "fs/path.hpp"
#include "platform/host.hpp"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

std::string appended(const char* path, const char* more) {
    char buffer[PATH_CAP];
    std::snprintf(buffer, sizeof buffer, "%s", path);
    if (path_append(buffer, more) != Status::ok) {
        return "(does not fit)";
    }
    return buffer;
}

std::string canonical(const char* path) {
    std::string buffer = path;
    path_canonicalize(buffer.data());
    return buffer.c_str();
}

TEST(PathAppend, JoinsWithOneBackslash) {
    EXPECT_EQ(appended("/srv/ftproot", "\\pub"), "/srv/ftproot\\pub");
    EXPECT_EQ(appended("/srv/ftproot", "pub"), "/srv/ftproot\\pub");
    EXPECT_EQ(appended("/srv/ftproot\\", "pub"), "/srv/ftproot\\pub");
    EXPECT_EQ(appended("/srv/ftproot", "\\\\/pub"), "/srv/ftproot\\pub");
}

TEST(PathAppend, DotDotTakesTheLastSegmentWithoutATrailingSeparator) {
    EXPECT_EQ(appended("/srv/wwwroot\\sub", ".."), "/srv/wwwroot");
    EXPECT_EQ(appended("/srv/wwwroot\\sub", "."), "/srv/wwwroot\\sub");
}

TEST(PathAppend, EmptyMoreLeavesThePathAsItIs) {
    EXPECT_EQ(appended("/srv/ftproot", ""), "/srv/ftproot");
    EXPECT_EQ(appended("/srv/ftproot", "\\"), "/srv/ftproot");
}

TEST(PathAppend, ADriveStartsAFullPathWhereTheHostHasDrives) {
    if (HOST_HAS_DRIVE_LETTERS) {
        EXPECT_EQ(appended("C:\\srv\\ftproot", "c:\\windows"), "c:\\windows");
        EXPECT_EQ(appended("C:\\srv\\ftproot", "d:/x/../y"), "d:/y");
        EXPECT_EQ(appended("C:\\srv", "..\\..\\.."), "C:\\");
    } else {
        EXPECT_EQ(appended("/srv/ftproot", "c:\\windows"), "/srv/ftproot\\c:\\windows");
    }
}

TEST(PathAppend, ResultThatWouldNotFitNamesNothing) {
    char buffer[PATH_CAP];
    std::snprintf(buffer, sizeof buffer, "/srv/%s", std::string(250, 'a').c_str());
    EXPECT_EQ(path_append(buffer, "bbbbbbbbbb"), Status::failed);
    EXPECT_STREQ(buffer, "");
    // At the edge: room for the text and its terminator, and not a byte past
    // the room is written.
    char edge[16];
    std::memset(edge, 'z', sizeof edge);
    std::snprintf(edge, 8, "/ab");
    EXPECT_EQ(path_append(std::span(edge, 8), "cde"), Status::ok);
    EXPECT_STREQ(edge, "/ab\\cde");
    std::snprintf(edge, 8, "/ab");
    EXPECT_EQ(path_append(std::span(edge, 8), "cdef"), Status::failed);
    EXPECT_EQ(edge[8], 'z');
}

TEST(PathAppend, LongJoinThatCanonicalisesShortEnoughFits) {
    char buffer[PATH_CAP];
    std::snprintf(buffer, sizeof buffer, "/srv/%s", std::string(250, 'a').c_str());
    EXPECT_EQ(path_append(buffer, "..\\b"), Status::ok);
    EXPECT_STREQ(buffer, "/srv\\b");
}

TEST(PathCanonicalize, RemovesDotAndDotDotSegments) {
    EXPECT_EQ(canonical("/srv/ftproot\\..\\x"), "/srv\\x");
    EXPECT_EQ(canonical("/srv/./ftproot\\.\\pub"), "/srv/ftproot\\pub");
    EXPECT_EQ(canonical("/a/b/c\\..\\..\\d"), "/a\\d");
}

TEST(PathCanonicalize, KeepsEachSurvivingSeparatorsOwnCharacter) {
    EXPECT_EQ(canonical("/srv/pelmar/ftproot\\..\\ftproot\\pub"), "/srv/pelmar\\ftproot\\pub");
}

TEST(PathCanonicalize, NeverClimbsAboveTheRoot) {
    EXPECT_EQ(canonical("/.."), "/");
    EXPECT_EQ(canonical("/srv\\..\\..\\..\\etc"), "/etc");
    EXPECT_EQ(canonical("\\..\\x"), "\\x");
}

TEST(PathCanonicalize, DropsEmptySegmentsAndTrailingSeparators) {
    EXPECT_EQ(canonical("/a//b\\\\c/"), "/a/b\\c");
    EXPECT_EQ(canonical("/srv/pub\\"), "/srv/pub");
}

TEST(PathCanonicalize, KeepsNamesMadeOfDotsThatAreNotDotSegments) {
    EXPECT_EQ(canonical("/a/.../..b/b.."), "/a/.../..b/b..");
}

TEST(PathIsWithin, WholeNameMatchOnly) {
    const char* root = "/srv/ftproot";
    int length = static_cast<int>(std::strlen(root));
    EXPECT_TRUE(path_is_within("/srv/ftproot", root, length));
    EXPECT_TRUE(path_is_within("/srv/ftproot\\pub", root, length));
    EXPECT_TRUE(path_is_within("/srv\\ftproot\\pub", root, length));
    EXPECT_FALSE(path_is_within("/srv/ftproot2", root, length));
    // Letter case counts where the host's names keep it apart.
    EXPECT_EQ(path_is_within("/srv/FTPROOT\\pub", root, length), HOST_PATHS_IGNORE_CASE);
    EXPECT_FALSE(path_is_within("/srv", root, length));
    EXPECT_FALSE(path_is_within("", root, length));
}

} // namespace
