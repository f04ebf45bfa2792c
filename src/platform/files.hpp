#pragma once

// The file system as the services use it: read only, paths in the
// services' form (both "\" and "/" separate names), turned into the host's
// form only here.

#include <cstdint>
#include <span>

#include "platform/socket.hpp"
#include "platform/status.hpp"

#if defined(_WIN32)
constexpr int NAME_CAP = 3 * 255 + 1; // 255 UTF-16 units, in UTF-8, plus terminator
#else
constexpr int NAME_CAP = 260; // a name of 255 bytes, with room to spare
#endif

// Tells the file layer which directories are served (in the services'
// form). The services' own checks keep their paths inside these roots on
// every host, and links placed below a root are followed everywhere. Where
// some names are devices or change meaning on the way to the disk
// (Windows), the layer checks once more: a path outside the roots, one
// that names such a thing below a root, or one that leads outside its root
// once the host has resolved it is treated as missing. Elsewhere there is
// nothing more to check, and this does nothing.
void register_served_roots(const char* const* roots, int count);

// True exactly when `path` names an existing directory.
bool path_is_directory(const char* path);

enum class PathKind { missing, directory, regular_file, other };
// What `path` names, links followed: one look, after which the caller lists
// a directory or opens a file (FileReader::open_looked_up) without looking
// again.
[[nodiscard]] PathKind look_up_path(const char* path);

struct DirEntry {
    bool is_directory = false;
    uint64_t size = 0;
    int64_t last_write = 0; // seconds since 1970-01-01 UTC
    char name[NAME_CAP] = {};
};

// Enumerates one directory in the order the file system gives, "." and ".."
// included, following links for each entry; an entry that cannot be
// examined is still listed, as an empty file from 1970. Closes the
// directory when it goes out of scope.
class DirectoryReader {
  public:
    DirectoryReader() = default;
    ~DirectoryReader();
    DirectoryReader(const DirectoryReader&) = delete;
    DirectoryReader& operator=(const DirectoryReader&) = delete;

    // Status::failed when `path` cannot be listed.
    [[nodiscard]] Status open(const char* path);
    // Fills `entry` with the next entry; false after the last one.
    bool next(DirEntry& entry);

  private:
    void* handle_ = nullptr;
    // Hosts that give the first entry with the opening keep it here.
    [[maybe_unused]] bool pending_ = false;
    [[maybe_unused]] DirEntry first_;
};

enum class StreamResult {
    complete,   // every byte asked for went out
    failed,     // the peer could not take them, or the file could not be read
    ended_early // the file ended before the length asked for
};

// Owns a regular file opened for reading.
class FileReader {
  public:
    FileReader() = default;
    ~FileReader();
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    // Status::failed when `path` is missing, unreadable or not a regular
    // file (a directory, FIFO, device or socket, also behind a link), and
    // for a file the kernel makes up as it is read (/proc, /sys and their
    // kin). Never blocks.
    [[nodiscard]] Status open(const char* path);
    // The same for a path that look_up_path has just found to be a regular
    // file: it is not looked at again before the open, only checked once
    // open, so that a swap in between still opens nothing else.
    [[nodiscard]] Status open_looked_up(const char* path);
    // The file's size in bytes when it was opened.
    int64_t size() const { return size_; }
    // Reads as many bytes as `buffer` holds at most: how many, 0 at the
    // end, -1 on a read error.
    long read(std::span<char> buffer);

  private:
    friend StreamResult send_file_contents(Socket socket, FileReader& file, int64_t length);
    intptr_t handle_ = -1;
    int64_t size_ = 0;
};

// Length that means "to the end of the file, however long it has grown".
constexpr int64_t TO_END_OF_FILE = -1;

// Sends `length` bytes of the file from where it stands (or all of the rest
// for TO_END_OF_FILE), without echo, and never more.
[[nodiscard]] StreamResult send_file_contents(Socket socket, FileReader& file, int64_t length);
