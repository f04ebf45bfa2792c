#include "http/http_response.hpp"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// The root's own path, as the server forms it from its base directory.
constexpr char ROOT[] = "/srv/pelmar/wwwroot";
constexpr int PREFIX = sizeof ROOT - 1;

DirEntry entry_named(const std::string& name, bool directory = false, uint64_t size = 7) {
    DirEntry entry;
    entry.is_directory = directory;
    entry.size = size;
    std::snprintf(entry.name, sizeof entry.name, "%s", name.c_str());
    return entry;
}

std::string full_row(const std::string& dir, const DirEntry& entry) {
    char row[DIRECTORY_ROW_CAP];
    format_directory_row(row, dir.c_str(), PREFIX, entry);
    return row;
}

std::string page_row(const std::string& dir, const DirEntry& entry) {
    DirectoryRows rows;
    prepare_directory_rows(rows, dir.c_str(), PREFIX);
    char row[DIRECTORY_ROW_CAP];
    size_t length = format_page_row(row, rows, entry);
    EXPECT_EQ(length, std::strlen(row));
    return row;
}

// Every spelling of a directory that a URL can give, and names of every
// kind: the row formed from the shared link must be the row formed from the
// joined path.
TEST(DirectoryRows, EveryRowIsTheRowOfTheJoinedPath) {
    const std::vector<std::string> dirs = {std::string(ROOT) + "\\",
                                           std::string(ROOT) + "\\sub\\",
                                           std::string(ROOT) + "\\sub",
                                           std::string(ROOT) + "\\\\sub\\\\\\",
                                           std::string(ROOT) + "\\.\\sub\\.\\",
                                           std::string(ROOT) + "\\a b\\%\\",
                                           std::string(ROOT) + "\\x\\y\\z\\"};
    const std::vector<std::string> names = {".",
                                            "..",
                                            "a.txt",
                                            "a b&<c>\"d",
                                            "x",
                                            "...",
                                            ".hidden",
                                            "100%.txt",
                                            "back\\slash",
                                            "c:drive",
                                            "\xc4\x8d",
                                            "~-_.",
                                            std::string(255, 'n')};
    for (const std::string& dir : dirs) {
        for (const std::string& name : names) {
            for (bool directory : {false, true}) {
                DirEntry entry = entry_named(name, directory, 0x1'8000'0001ULL);
                EXPECT_EQ(page_row(dir, entry), full_row(dir, entry))
                    << "dir " << dir << " name " << name;
            }
        }
    }
}

TEST(DirectoryRows, PlainNamesExtendTheDirectorysLink) {
    EXPECT_EQ(page_row(std::string(ROOT) + "\\sub\\", entry_named("a b.txt", false, 42)),
              "<TR><TD align=right>42</TD><TD><A href=\"\\sub\\a%20b.txt\">a b.txt</A></TD>"
              "</TR>\n");
    EXPECT_EQ(page_row(std::string(ROOT) + "\\", entry_named("d", true)),
              "<TR><TD align=right>Adresar</TD><TD><A href=\"\\d\">d</A></TD></TR>\n");
}

} // namespace
