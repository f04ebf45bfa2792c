#include "platform/host.hpp"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <malloc.h>
#include <pthread.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

#if defined(__SANITIZE_THREAD__)
// The thread sanitizer keeps a large per-thread state on the thread's stack.
constexpr size_t SESSION_STACK_SIZE = 4 * 1024 * 1024;
#else
constexpr size_t SESSION_STACK_SIZE = 256 * 1024;
#endif

// A decimal id and nothing else; false for anything that is not one.
bool read_id(const char* text, uint32_t& id) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    uint64_t value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(*text - '0');
        // (uid_t)-1 means "no change" to the set-id calls.
        if (value >= UINT32_MAX) {
            return false;
        }
    }
    id = static_cast<uint32_t>(value);
    return true;
}

bool runs_as(uid_t uid, gid_t gid) {
    uid_t real_uid, effective_uid, saved_uid;
    gid_t real_gid, effective_gid, saved_gid;
    return getresuid(&real_uid, &effective_uid, &saved_uid) == 0 &&
           getresgid(&real_gid, &effective_gid, &saved_gid) == 0 && real_uid == uid &&
           effective_uid == uid && saved_uid == uid && real_gid == gid && effective_gid == gid &&
           saved_gid == gid;
}

} // namespace

void prepare_console() {}

void console_write(const char* text, size_t length) {
    // One locked write and flush per text: the log stays current when stdout
    // is a pipe or a file, and texts of different threads never interleave.
    flockfile(stdout);
    fwrite_unlocked(text, 1, length, stdout);
    fflush_unlocked(stdout);
    funlockfile(stdout);
}

int locate_executable_directory(char* out, size_t cap) {
    ssize_t length = readlink("/proc/self/exe", out, cap - 1);
    if (length <= 0) {
        out[0] = '\0';
        return 1;
    }
    out[length] = '\0';
    char* last_separator = std::strrchr(out, '/');
    if (last_separator == nullptr) {
        out[0] = '\0';
        return 1;
    }
    last_separator[1] = '\0';
    return 0;
}

int give_up_root() {
    const char* uid_text = std::getenv("SUDO_UID");
    const char* gid_text = std::getenv("SUDO_GID");
    if (geteuid() != 0 || (uid_text == nullptr && gid_text == nullptr)) {
        return 0;
    }
    // Either both say who started us, or we do not serve at all: running on
    // as root is not the safe way to fail.
    uint32_t uid = 0;
    uint32_t gid = 0;
    if (!read_id(uid_text, uid) || !read_id(gid_text, gid)) {
        return 1;
    }
    // Groups first: once the user id has changed, they can no longer be.
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
        return 1;
    }
    return runs_as(uid, gid) ? 0 : 1;
}

void prepare_session_threads() {
    // A session needs a few kilobytes of stack. With the default 8 MiB only
    // a handful of finished threads' stacks are kept for reuse.
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        return;
    }
    pthread_attr_setstacksize(&attributes, SESSION_STACK_SIZE);
    pthread_setattr_default_np(&attributes);
    pthread_attr_destroy(&attributes);
    // Sessions allocate one small buffer each; a heap of their own per
    // thread would only add resident memory.
    mallopt(M_ARENA_MAX, 1);
}

int start_detached_thread(void (*body)(void*), void* argument) {
    try {
        std::thread(body, argument).detach();
    } catch (const std::system_error&) {
        return 1;
    }
    return 0;
}

bool to_local_time(int64_t seconds, std::tm& out) {
    time_t moment = static_cast<time_t>(seconds);
    return localtime_r(&moment, &out) != nullptr;
}
