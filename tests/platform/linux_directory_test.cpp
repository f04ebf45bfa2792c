#include "platform/files.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class TempTree : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/pelmar-fs-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        fs::create_directory(root_ / "sub");
        std::ofstream(root_ / "a.txt") << "twelve bytes";
    }
    void TearDown() override { fs::remove_all(root_); }
    // The same path as the services form it, with backslashes.
    std::string service_path(const std::string& below) const {
        std::string path = root_.string() + "\\" + below;
        return path;
    }

    fs::path root_;
};

TEST_F(TempTree, DirectoryTestAcceptsBackslashSeparators) {
    EXPECT_TRUE(path_is_directory(service_path("sub").c_str()));
    EXPECT_TRUE(path_is_directory(root_.c_str()));
    EXPECT_FALSE(path_is_directory(service_path("a.txt").c_str()));
    EXPECT_FALSE(path_is_directory(service_path("missing").c_str()));
    EXPECT_FALSE(path_is_directory(""));
}

TEST_F(TempTree, EnumerationIncludesDotEntriesAndFollowsTheFileSystem) {
    symlink("/nonexistent/target", (root_ / "dangling").c_str());
    DirectoryReader reader;
    ASSERT_EQ(reader.open(root_.c_str()), Status::ok);
    std::map<std::string, DirEntry> seen;
    DirEntry entry;
    while (reader.next(entry)) {
        seen[entry.name] = entry;
    }
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_TRUE(seen["."].is_directory);
    EXPECT_TRUE(seen[".."].is_directory);
    EXPECT_TRUE(seen["sub"].is_directory);
    EXPECT_FALSE(seen["a.txt"].is_directory);
    EXPECT_EQ(seen["a.txt"].size, 12u);
    EXPECT_GT(seen["a.txt"].last_write, 1600000000);
    // An entry that cannot be examined is still listed, as an empty file.
    EXPECT_FALSE(seen["dangling"].is_directory);
    EXPECT_EQ(seen["dangling"].size, 0u);
    EXPECT_EQ(seen["dangling"].last_write, 0);
}

TEST_F(TempTree, FilesAndMissingPathsCannotBeListed) {
    DirectoryReader reader;
    EXPECT_EQ(reader.open(service_path("a.txt").c_str()), Status::failed);
    DirectoryReader other;
    EXPECT_EQ(other.open(service_path("missing").c_str()), Status::failed);
}

TEST_F(TempTree, FileReaderRefusesDirectoriesAndMissingFiles) {
    FileReader directory;
    EXPECT_EQ(directory.open(service_path("sub").c_str()), Status::failed);
    FileReader missing;
    EXPECT_EQ(missing.open(service_path("missing").c_str()), Status::failed);
}

TEST_F(TempTree, FileReaderOpensOnlyRegularFilesAndNeverBlocks) {
    // A FIFO without a writer would block a plain open for ever; a device
    // never ends or is not what its size says.
    ASSERT_EQ(mkfifo((root_ / "fifo").c_str(), 0644), 0);
    fs::create_symlink(root_ / "fifo", root_ / "to-fifo");
    fs::create_symlink("/dev/zero", root_ / "zero");
    fs::create_symlink(root_ / "sub", root_ / "to-sub");
    fs::create_symlink(root_ / "a.txt", root_ / "to-a");
    for (const char* name : {"fifo", "to-fifo", "zero", "to-sub"}) {
        FileReader special;
        EXPECT_EQ(special.open(service_path(name).c_str()), Status::failed) << name;
        char byte;
        EXPECT_EQ(special.read({&byte, 1}), -1) << name; // nothing was opened
    }
    FileReader device;
    EXPECT_EQ(device.open("/dev/null"), Status::failed);
    // The kernel's own files are regular files that it makes up as they
    // are read; tmpfs holds real ones.
    for (const char* made_up : {"/proc/self/status", "/sys/devices/system/cpu/online"}) {
        FileReader kernel;
        EXPECT_EQ(kernel.open(made_up), Status::failed) << made_up;
    }
    // A link to a regular file is followed.
    FileReader linked;
    ASSERT_EQ(linked.open(service_path("to-a").c_str()), Status::ok);
    EXPECT_EQ(linked.size(), 12);
    const fs::path in_memory = "/dev/shm/pelmar-test-" + std::to_string(::getpid());
    if (!(std::ofstream(in_memory) << "kept")) {
        GTEST_SKIP() << "not checked here: a file of tmpfs (no /dev/shm to write)";
    }
    FileReader tmpfs;
    EXPECT_EQ(tmpfs.open(in_memory.c_str()), Status::ok);
    EXPECT_EQ(tmpfs.size(), 4);
    fs::remove(in_memory);
}

TEST_F(TempTree, FileReaderGivesSizeAndBytes) {
    FileReader file;
    ASSERT_EQ(file.open(service_path("a.txt").c_str()), Status::ok);
    EXPECT_EQ(file.size(), 12);
    char buffer[64];
    EXPECT_EQ(file.read(buffer), 12);
    EXPECT_EQ(std::string(buffer, 12), "twelve bytes");
    EXPECT_EQ(file.read(buffer), 0);
}

TEST_F(TempTree, FileReaderSeesTheTrueSizeOfHugeFiles) {
    const fs::path huge = root_ / "huge.bin";
    std::ofstream(huge).close();
    std::error_code error;
    fs::resize_file(huge, 3ull << 30, error); // sparse: no blocks written
    if (error) {
        GTEST_SKIP() << "no sparse files here: " << error.message();
    }
    FileReader file;
    ASSERT_EQ(file.open(service_path("huge.bin").c_str()), Status::ok);
    EXPECT_EQ(file.size(), 3ll << 30);
}

} // namespace
