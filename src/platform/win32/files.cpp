#include "platform/files.hpp"

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <windows.h>

#include "platform/windows_names.hpp"

namespace {

constexpr DWORD SEND_BLOCK_SIZE = 64 * 1024;
constexpr int MAX_ROOTS = 4;

// A confining directory in the services' form and as Windows resolves it.
struct Root {
    std::string text;
    std::wstring full;
};
Root roots[MAX_ROOTS];
int root_count = 0;

bool to_wide(const char* utf8, std::wstring& out) {
    int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
    if (length <= 0) {
        return false;
    }
    out.resize(static_cast<size_t>(length));
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, out.data(), length);
    out.resize(static_cast<size_t>(length - 1));
    for (wchar_t& c : out) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return true;
}

bool to_utf8(const wchar_t* wide, std::span<char> out) {
    int length = WideCharToMultiByte(CP_UTF8, 0, wide, -1, out.data(), static_cast<int>(out.size()),
                                     nullptr, nullptr);
    if (length <= 0) {
        out[0] = '\0';
        return false;
    }
    return true;
}

// The path as Windows will really take it: made absolute, "." and ".."
// resolved.
bool full_path(const std::wstring& path, std::wstring& out) {
    DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (length == 0) {
        return false;
    }
    out.resize(length);
    DWORD written = GetFullPathNameW(path.c_str(), length, out.data(), nullptr);
    if (written == 0 || written >= length) {
        return false;
    }
    out.resize(written);
    return true;
}

bool is_separator(char c) {
    return c == '\\' || c == '/';
}

// The root itself or below it by whole names, spelt exactly as the root
// is. Folders can be case-sensitive here (per folder, or Wine's view of a
// Linux disk), so another spelling may be another folder.
bool lies_within(const std::wstring& path, const std::wstring& root) {
    return path.starts_with(root) &&
           (path.size() == root.size() || path[root.size()] == L'\\' || root.back() == L'\\');
}

// The root that the services' path lies in, spelt exactly as the server
// spells it, or nullptr.
const Root* root_of(const char* path) {
    for (int i = 0; i < root_count; ++i) {
        const std::string& text = roots[i].text;
        if (std::strncmp(path, text.c_str(), text.size()) == 0 &&
            (path[text.size()] == '\0' || is_separator(path[text.size()]))) {
            return &roots[i];
        }
    }
    return nullptr;
}

// The services' path as Windows will open it, or false when it must not
// reach the file system: outside the roots, with a name Windows treats
// specially, or leading elsewhere once Windows has resolved it.
bool to_host_path(const char* path, std::wstring& out) {
    if (path[0] == '\0') {
        return false;
    }
    const Root* root = root_of(path);
    if (root_count > 0 && root == nullptr) {
        return false;
    }
    const char* below = root != nullptr ? path + root->text.size() : path;
    if (root == nullptr && std::strlen(path) >= 2 && path[1] == ':') {
        below = path + 2; // a drive of its own, where no root confines
    }
    std::wstring wide;
    if (path_has_name_windows_forbids(below) || !to_wide(path, wide) || !full_path(wide, out)) {
        return false;
    }
    return root == nullptr || lies_within(out, root->full);
}

int64_t unix_seconds(const FILETIME& time) {
    uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<int64_t>(ticks / 10000000) - 11644473600LL;
}

void fill_entry(const WIN32_FIND_DATAW& found, DirEntry& entry) {
    to_utf8(found.cFileName, entry.name);
    entry.is_directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry.size = (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    entry.last_write = unix_seconds(found.ftLastWriteTime);
}

HANDLE file_of(intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

} // namespace

void register_served_roots(const char* const* given, int count) {
    root_count = 0;
    for (int i = 0; i < count && root_count < MAX_ROOTS; ++i) {
        Root& root = roots[root_count];
        root.text = given[i];
        std::wstring wide;
        if (to_wide(given[i], wide) && full_path(wide, root.full)) {
            ++root_count;
        }
    }
}

bool path_is_directory(const char* path) {
    return look_up_path(path) == PathKind::directory;
}

PathKind look_up_path(const char* path) {
    std::wstring host;
    if (!to_host_path(path, host)) {
        return PathKind::missing;
    }
    DWORD attributes = GetFileAttributesW(host.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return PathKind::missing;
    }
    // Whether a file is on a disk shows only once it is open.
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::directory
                                                        : PathKind::regular_file;
}

DirectoryReader::~DirectoryReader() {
    if (handle_ != nullptr) {
        FindClose(handle_);
    }
}

Status DirectoryReader::open(const char* path) {
    std::wstring host;
    if (!to_host_path(path, host)) {
        return Status::failed;
    }
    if (host.back() != L'\\') {
        host += L'\\';
    }
    host += L'*';
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(host.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return Status::failed;
    }
    handle_ = search;
    // Windows gives the first entry with the opening.
    fill_entry(found, first_);
    pending_ = true;
    return Status::ok;
}

bool DirectoryReader::next(DirEntry& entry) {
    if (handle_ == nullptr) {
        return false;
    }
    if (pending_) {
        pending_ = false;
        entry = first_;
        return true;
    }
    WIN32_FIND_DATAW found;
    if (!FindNextFileW(handle_, &found)) {
        return false;
    }
    fill_entry(found, entry);
    return true;
}

FileReader::~FileReader() {
    if (handle_ != -1) {
        CloseHandle(file_of(handle_));
    }
}

Status FileReader::open(const char* path) {
    return look_up_path(path) == PathKind::regular_file ? open_looked_up(path) : Status::failed;
}

Status FileReader::open_looked_up(const char* path) {
    std::wstring host;
    if (!to_host_path(path, host)) {
        return Status::failed;
    }
    HANDLE file = CreateFileW(host.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return Status::failed;
    }
    // Only a file on a disk: never a device, a pipe or a console.
    LARGE_INTEGER size;
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size)) {
        CloseHandle(file);
        return Status::failed;
    }
    handle_ = reinterpret_cast<intptr_t>(file);
    size_ = size.QuadPart;
    return Status::ok;
}

long FileReader::read(std::span<char> buffer) {
    if (handle_ == -1) {
        return -1;
    }
    DWORD got = 0;
    if (!ReadFile(file_of(handle_), buffer.data(), static_cast<DWORD>(buffer.size()), &got,
                  nullptr)) {
        return -1;
    }
    return static_cast<long>(got);
}

StreamResult send_file_contents(Socket socket, FileReader& file, int64_t length) {
    std::unique_ptr<char[]> block(new (std::nothrow) char[SEND_BLOCK_SIZE]);
    if (block == nullptr) {
        return StreamResult::failed;
    }
    int64_t left = length;
    while (left != 0) {
        long step = (left < 0 || left > SEND_BLOCK_SIZE) ? static_cast<long>(SEND_BLOCK_SIZE)
                                                         : static_cast<long>(left);
        long got = file.read({block.get(), static_cast<size_t>(step)});
        if (got < 0) {
            return StreamResult::failed;
        }
        if (got == 0) {
            return left < 0 ? StreamResult::complete : StreamResult::ended_early;
        }
        if (send_bytes(socket, block.get(), got) != got) {
            return StreamResult::failed;
        }
        if (left > 0) {
            left -= got;
        }
    }
    return StreamResult::complete;
}
