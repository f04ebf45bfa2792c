#include "fs/directory.hpp"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

DirectoryReader::~DirectoryReader() {
    if (dir_ != nullptr) {
        closedir(dir_);
    }
}

int DirectoryReader::open(const char* path) {
    char host_path[PATH_MAX];
    if (path_to_host(host_path, path, sizeof host_path) != 0 || path[0] == '\0') {
        return 1;
    }
    dir_ = opendir(host_path);
    return dir_ != nullptr ? 0 : 1;
}

bool DirectoryReader::next(DirEntry& entry) {
    if (dir_ == nullptr) {
        return false;
    }
    const dirent* found = readdir(dir_);
    if (found == nullptr) {
        return false;
    }
    std::strncpy(entry.name, found->d_name, sizeof entry.name - 1);
    entry.name[sizeof entry.name - 1] = '\0';
    struct stat info;
    // Follows symbolic links; an entry that cannot be examined is still
    // listed, as an empty file from 1970.
    if (fstatat(dirfd(dir_), found->d_name, &info, 0) != 0) {
        entry.is_directory = false;
        entry.size = 0;
        entry.last_write = 0;
        return true;
    }
    entry.is_directory = S_ISDIR(info.st_mode);
    entry.size = static_cast<uint64_t>(info.st_size);
    entry.last_write = info.st_mtim.tv_sec;
    return true;
}

FileReader::~FileReader() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

namespace {

bool is_regular_file(int fd, struct stat& info) {
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

} // namespace

int FileReader::open(const char* path) {
    char host_path[PATH_MAX];
    if (path_to_host(host_path, path, sizeof host_path) != 0 || path[0] == '\0') {
        return 1;
    }
    // Only regular files are read. A FIFO would block the open for ever, a
    // device or a /proc file would send bytes without end or other than its
    // size says, and even opening some devices has effects: look first, and
    // open without waiting so that a swap between the look and the open
    // cannot block us either.
    struct stat info;
    if (stat(host_path, &info) != 0 || !S_ISREG(info.st_mode)) {
        return 1;
    }
    fd_ = ::open(host_path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) {
        return 1;
    }
    if (!is_regular_file(fd_, info)) {
        close(fd_);
        fd_ = -1;
        return 1;
    }
    size_ = info.st_size;
    return 0;
}

long FileReader::read(char* buffer, long cap) {
    if (fd_ < 0) {
        return -1;
    }
    ssize_t got;
    do {
        got = ::read(fd_, buffer, static_cast<size_t>(cap));
    } while (got < 0 && errno == EINTR);
    return static_cast<long>(got);
}
