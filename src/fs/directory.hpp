#pragma once

#include <cstdint>
#include <dirent.h>

#include "fs/path.hpp"

struct DirEntry {
    bool is_directory = false;
    uint64_t size = 0;
    int64_t last_write = 0; // seconds since 1970-01-01 UTC
    char name[PATH_CAP] = {};
};

// Enumerates one directory in the order the file system gives, "." and ".."
// included. Closes the directory when it goes out of scope.
class DirectoryReader {
  public:
    DirectoryReader() = default;
    ~DirectoryReader();
    DirectoryReader(const DirectoryReader&) = delete;
    DirectoryReader& operator=(const DirectoryReader&) = delete;

    // Returns 0, or 1 when `path` cannot be listed.
    int open(const char* path);
    // Fills `entry` with the next entry; false after the last one.
    bool next(DirEntry& entry);

  private:
    DIR* dir_ = nullptr;
};

// Owns a regular file opened for reading.
class FileReader {
  public:
    FileReader() = default;
    ~FileReader();
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    // Returns 0, or 1 when `path` is missing, unreadable or not a regular
    // file (a directory, FIFO, device or socket, also behind a link). Never
    // blocks.
    int open(const char* path);
    // The file's size in bytes when it was opened.
    int64_t size() const { return size_; }
    // Reads up to `cap` bytes: how many, 0 at the end, -1 on a read error.
    long read(char* buffer, long cap);
    // The open file's descriptor, for handing the copy to the kernel.
    int descriptor() const { return fd_; }

  private:
    int fd_ = -1;
    int64_t size_ = 0;
};
