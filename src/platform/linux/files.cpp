#include "platform/files.hpp"

#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

constexpr long FILE_BLOCK_SIZE = 1024;
// Each step of the kernel's copy: large, so that a 100 MiB file takes 25
// calls, not hundreds.
constexpr int64_t SENDFILE_CHUNK = 4 * 1024 * 1024;

// The services' path in the host's form: "\" becomes "/". False when it is
// empty or does not fit.
bool to_host_path(char (&out)[PATH_MAX], const char* path) {
    size_t length = std::strlen(path);
    if (length == 0 || length >= sizeof out) {
        return false;
    }
    for (size_t i = 0; i <= length; ++i) {
        out[i] = path[i] == '\\' ? '/' : path[i];
    }
    return true;
}

// Whether the open file lies on a file system whose files the kernel makes
// up as they are read (proc, sysfs and their kin). Their sizes say nothing
// (0 for a /proc file of any length), some block a reader for ever, and
// what they hold belongs to the machine, not to the trees; a link placed in
// a tree does not make them part of it. Files on a disk, and on tmpfs, are
// files like any other.
bool made_up_by_the_kernel(int fd, dev_t device) {
    // Those all live on devices the kernel numbers itself, with major 0; a
    // file on a disk's device needs no second look.
    if (major(device) != 0) {
        return false;
    }
    constexpr uint32_t CONFIGFS = 0x62656570; // not in every linux/magic.h
    constexpr uint32_t KINDS[] = {PROC_SUPER_MAGIC,    SYSFS_MAGIC,      DEBUGFS_MAGIC,
                                  TRACEFS_MAGIC,       SECURITYFS_MAGIC, CGROUP_SUPER_MAGIC,
                                  CGROUP2_SUPER_MAGIC, CONFIGFS,         PSTOREFS_MAGIC,
                                  BPF_FS_MAGIC,        EFIVARFS_MAGIC};
    struct statfs where;
    if (fstatfs(fd, &where) != 0) {
        return true; // cannot tell: not served
    }
    uint32_t kind = static_cast<uint32_t>(where.f_type);
    for (uint32_t made_up : KINDS) {
        if (kind == made_up) {
            return true;
        }
    }
    return false;
}

DIR* directory_of(void* handle) {
    return static_cast<DIR*>(handle);
}

// How much of what is left to take in one step; `left` < 0 means no limit.
int64_t next_step(int64_t left, int64_t step) {
    return (left < 0 || left > step) ? step : left;
}

[[nodiscard]] StreamResult copy_through_buffer(Socket socket, FileReader& file, int64_t left) {
    char block[FILE_BLOCK_SIZE];
    while (left != 0) {
        long length = file.read(
            std::span(block).first(static_cast<size_t>(next_step(left, FILE_BLOCK_SIZE))));
        if (length < 0) {
            return StreamResult::failed;
        }
        if (length == 0) {
            return left < 0 ? StreamResult::complete : StreamResult::ended_early;
        }
        if (send_bytes(socket, block, length) != length) {
            return StreamResult::failed;
        }
        if (left > 0) {
            left -= length;
        }
    }
    return StreamResult::complete;
}

} // namespace

void register_served_roots(const char* const*, int) {
    // Every name is an ordinary name here: nothing to check beyond what the
    // services check themselves.
}

bool path_is_directory(const char* path) {
    return look_up_path(path) == PathKind::directory;
}

PathKind look_up_path(const char* path) {
    char host_path[PATH_MAX];
    struct stat info;
    if (!to_host_path(host_path, path) || stat(host_path, &info) != 0) {
        return PathKind::missing;
    }
    if (S_ISDIR(info.st_mode)) {
        return PathKind::directory;
    }
    return S_ISREG(info.st_mode) ? PathKind::regular_file : PathKind::other;
}

DirectoryReader::~DirectoryReader() {
    if (handle_ != nullptr) {
        closedir(directory_of(handle_));
    }
}

Status DirectoryReader::open(const char* path) {
    char host_path[PATH_MAX];
    if (!to_host_path(host_path, path)) {
        return Status::failed;
    }
    handle_ = opendir(host_path);
    return handle_ != nullptr ? Status::ok : Status::failed;
}

bool DirectoryReader::next(DirEntry& entry) {
    if (handle_ == nullptr) {
        return false;
    }
    const dirent* found = readdir(directory_of(handle_));
    if (found == nullptr) {
        return false;
    }
    std::strncpy(entry.name, found->d_name, sizeof entry.name - 1);
    entry.name[sizeof entry.name - 1] = '\0';
    struct stat info;
    // Follows symbolic links; an entry that cannot be examined is still
    // listed, as an empty file from 1970.
    if (fstatat(dirfd(directory_of(handle_)), found->d_name, &info, 0) != 0) {
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
    if (handle_ >= 0) {
        close(static_cast<int>(handle_));
    }
}

Status FileReader::open(const char* path) {
    // Only regular files are read. A FIFO would block the open for ever, a
    // device or a /proc file would send bytes without end or other than its
    // size says, and even opening some devices has effects: look first.
    return look_up_path(path) == PathKind::regular_file ? open_looked_up(path) : Status::failed;
}

Status FileReader::open_looked_up(const char* path) {
    char host_path[PATH_MAX];
    if (!to_host_path(host_path, path)) {
        return Status::failed;
    }
    // Without waiting, so that a swap between the look and the open cannot
    // block us either; what was opened is checked again, whatever links led
    // to it.
    struct stat info;
    int fd = ::open(host_path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return Status::failed;
    }
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || made_up_by_the_kernel(fd, info.st_dev)) {
        close(fd);
        return Status::failed;
    }
    handle_ = fd;
    size_ = info.st_size;
    return Status::ok;
}

long FileReader::read(std::span<char> buffer) {
    if (handle_ < 0) {
        return -1;
    }
    ssize_t got;
    do {
        got = ::read(static_cast<int>(handle_), buffer.data(), buffer.size());
    } while (got < 0 && errno == EINTR);
    return static_cast<long>(got);
}

StreamResult send_file_contents(Socket socket, FileReader& file, int64_t length) {
    // The kernel copies from the file to the socket directly; no buffer of
    // ours holds the bytes. Files it cannot do that for go the long way.
    // The socket's buffer is left to the kernel's own sizing. Bounding what
    // it holds unsent (TCP_NOTSENT_LOWAT, 128 KiB) made a 100 MiB transfer
    // faster when server and client shared one processor, but the sender
    // then slept three times as often, and with the client on the other
    // processor each wake-up cost more than the bound saved.
    int64_t left = length;
    for (bool first = true; left != 0; first = false) {
        size_t chunk = static_cast<size_t>(next_step(left, SENDFILE_CHUNK));
        ssize_t sent = sendfile(socket, static_cast<int>(file.handle_), nullptr, chunk);
        if (sent > 0) {
            if (left > 0) {
                left -= sent;
            }
            continue;
        }
        if (sent == 0) {
            return left < 0 ? StreamResult::complete : StreamResult::ended_early;
        }
        if (errno == EINTR) {
            continue;
        }
        if (first && (errno == EINVAL || errno == ENOSYS)) {
            return copy_through_buffer(socket, file, left);
        }
        return StreamResult::failed;
    }
    return StreamResult::complete;
}
