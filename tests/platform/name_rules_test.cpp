#include "platform/windows_names.hpp"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

bool forbidden(const std::string& name) {
    return windows_forbids_name(name.c_str(), name.size());
}

TEST(WindowsNames, DeviceNamesInAnyCaseWithOrWithoutExtension) {
    for (const char* name : {"con", "CON", "Prn", "aux", "nul", "com0", "COM9", "lpt1", "LpT9",
                             "conin$", "CONOUT$", "clock$", "con.txt", "nul.tar.gz", "aux .c",
                             "com1.", "nul  ", "com\xc2\xb9", "LPT\xc2\xb3.log"}) {
        EXPECT_TRUE(forbidden(name)) << name;
    }
}

TEST(WindowsNames, NamesThatOnlyResembleDevicesAreOrdinary) {
    for (const char* name : {"console", "cons", "xcon", "com", "com10", "lpt", "nullify.txt",
                             "a.con", "clock", "conin", "com\xc2\xb4", "index.html", ".hidden",
                             "\xc4\x8d"
                             "e\xc5\xa1tina.txt",
                             "a b"}) {
        EXPECT_FALSE(forbidden(name)) << name;
    }
}

TEST(WindowsNames, StreamsWildcardsReservedAndControlCharacters) {
    for (const char* name : {"index.html::$DATA", "a:b", "c:", "*", "a?b", "say\"hi\"", "<x>",
                             "a|b", "tab\there", "\x01", "line\nfeed"}) {
        EXPECT_TRUE(forbidden(name)) << name;
    }
}

TEST(WindowsNames, TrailingDotsAndSpacesWouldNameSomethingElse) {
    EXPECT_TRUE(forbidden("secret.txt."));
    EXPECT_TRUE(forbidden("secret.txt "));
    EXPECT_TRUE(forbidden(".. "));
    EXPECT_TRUE(forbidden("..."));
    EXPECT_FALSE(forbidden("a.b.c"));
}

TEST(WindowsNames, EveryNameOfAPathCountsButDotSegmentsAreNotNames) {
    EXPECT_TRUE(path_has_name_windows_forbids("\\nul"));
    EXPECT_TRUE(path_has_name_windows_forbids("\\sub\\con.txt"));
    EXPECT_TRUE(path_has_name_windows_forbids("/sub/a.txt./x"));
    EXPECT_TRUE(path_has_name_windows_forbids("\\sub\\index.html::$DATA"));
    EXPECT_FALSE(path_has_name_windows_forbids("\\sub\\..\\a.txt"));
    EXPECT_FALSE(path_has_name_windows_forbids("\\.\\sub\\\\a.txt"));
    EXPECT_FALSE(path_has_name_windows_forbids(""));
    EXPECT_FALSE(path_has_name_windows_forbids("\\"));
}

} // namespace
