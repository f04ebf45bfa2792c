// The Windows file layer: names that Windows treats specially never reach
// the file system, nothing outside the confining trees is opened, and names
// travel as UTF-8. Built for the Windows host only.
#include "platform/files.hpp"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <string>

namespace {

namespace fs = std::filesystem;

const std::string CZECH = "\xc4\x8d"
                          "e\xc5\xa1tina.txt";

class WindowsTree : public ::testing::Test {
  protected:
    void SetUp() override {
        base_ = fs::temp_directory_path() /
                ("pelmar-win-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
        fs::remove_all(base_);
        fs::create_directories(base_ / "wwwroot" / "sub");
        std::ofstream(base_ / "wwwroot" / "a.txt", std::ios::binary) << "twelve bytes";
        std::ofstream(base_ / "wwwroot" / fs::u8path(CZECH), std::ios::binary) << "czech";
        std::ofstream(base_ / "secret.txt", std::ios::binary) << "secret";
        root_ = (base_ / "wwwroot").string();
        const char* roots[] = {root_.c_str()};
        register_served_roots(roots, 1);
    }
    void TearDown() override {
        register_served_roots(nullptr, 0);
        fs::remove_all(base_);
    }
    bool opens(const std::string& below) {
        FileReader file;
        return file.open((root_ + below).c_str()) == Status::ok;
    }

    fs::path base_;
    std::string root_;
};

TEST_F(WindowsTree, OrdinaryFilesOpenWhateverTheSeparator) {
    EXPECT_TRUE(opens("\\a.txt"));
    EXPECT_TRUE(opens("/a.txt"));
    EXPECT_TRUE(opens("\\" + CZECH));
    EXPECT_TRUE(path_is_directory((root_ + "\\sub").c_str()));
}

TEST_F(WindowsTree, SpecialNamesNeverReachTheFileSystem) {
    for (const char* below : {"\\con", "\\CON.txt", "\\sub\\nul", "\\aux.html", "\\com1",
                              "\\lpt9.log", "\\conout$", "\\a.txt::$DATA", "\\a.txt:stream",
                              "\\a.txt.", "\\a.txt ", "\\a*.txt", "\\a?.txt", "\\sub.\\a.txt"}) {
        EXPECT_FALSE(opens(below)) << below;
        EXPECT_FALSE(path_is_directory((root_ + below).c_str())) << below;
        DirectoryReader listing;
        EXPECT_EQ(listing.open((root_ + below).c_str()), Status::failed) << below;
    }
}

TEST_F(WindowsTree, NothingOutsideTheTreesOpens) {
    EXPECT_FALSE(opens("\\..\\secret.txt"));
    EXPECT_FALSE(opens("\\sub\\..\\..\\secret.txt"));
    FileReader outside;
    EXPECT_EQ(outside.open((base_ / "secret.txt").string().c_str()), Status::failed);
    // The root is taken only as the server spells it: in other letters it
    // may be another folder, where folders tell letter case apart. Below
    // it, Windows' own rules apply.
    std::string upper = root_;
    for (char& c : upper) {
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    }
    FileReader file;
    EXPECT_EQ(file.open((upper + "\\a.txt").c_str()), Status::failed);
    EXPECT_TRUE(opens("\\A.TXT"));
}

TEST_F(WindowsTree, EnumerationGivesUtf8NamesSizesAndDirectories) {
    DirectoryReader listing;
    ASSERT_EQ(listing.open(root_.c_str()), Status::ok);
    std::map<std::string, DirEntry> seen;
    DirEntry entry;
    while (listing.next(entry)) {
        seen[entry.name] = entry;
    }
    EXPECT_EQ(seen.count("."), 1u);
    EXPECT_EQ(seen.count(".."), 1u);
    EXPECT_EQ(seen["a.txt"].size, 12u);
    EXPECT_FALSE(seen["a.txt"].is_directory);
    EXPECT_TRUE(seen["sub"].is_directory);
    EXPECT_EQ(seen[CZECH].size, 5u);
    EXPECT_GT(seen["a.txt"].last_write, 1600000000);
}

TEST_F(WindowsTree, DirectoriesAreNotFiles) {
    EXPECT_FALSE(opens("\\sub"));
    FileReader file;
    ASSERT_EQ(file.open((root_ + "\\a.txt").c_str()), Status::ok);
    EXPECT_EQ(file.size(), 12);
    char buffer[32];
    EXPECT_EQ(file.read(buffer), 12);
    EXPECT_EQ(file.read(buffer), 0);
}

} // namespace
