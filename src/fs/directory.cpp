#include "fs/directory.hpp"

#include <climits>
#include <cstring>
#include <sys/stat.h>

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
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

int FileReader::open(const char* path) {
    char host_path[PATH_MAX];
    if (path_to_host(host_path, path, sizeof host_path) != 0 || path[0] == '\0') {
        return 1;
    }
    file_ = std::fopen(host_path, "rb");
    if (file_ == nullptr) {
        return 1;
    }
    // fopen succeeds on a directory here, but a directory is not a file.
    struct stat info;
    if (fstat(fileno(file_), &info) != 0 || S_ISDIR(info.st_mode)) {
        std::fclose(file_);
        file_ = nullptr;
        return 1;
    }
    size_ = info.st_size;
    return 0;
}

long FileReader::read(char* buffer, long cap) {
    if (file_ == nullptr) {
        return 0;
    }
    return static_cast<long>(std::fread(buffer, 1, static_cast<size_t>(cap), file_));
}
