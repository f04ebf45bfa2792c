#include "platform/host.hpp"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/syscall.h>
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

// Only what a signal handler may do is done with these: atomics, alarm,
// raise.
std::atomic<int> stop_signal{0};
const std::atomic<size_t>* console_unwritten = nullptr;

// Ends the process by the signal, as it would have ended without our
// handler. Straight to the kernel: a sanitizer's wrappers of signal() and
// raise() keep their own handler in place and would swallow the signal.
[[noreturn]] void end_by(int signal_number) {
    struct {
        void (*handler)(int);
        unsigned long flags;
        void (*restorer)();
        uint64_t mask;
    } default_action{SIG_DFL, 0, nullptr, 0};
    uint64_t only = uint64_t{1} << (signal_number - 1);
    syscall(SYS_rt_sigaction, signal_number, &default_action, nullptr, sizeof only);
    syscall(SYS_rt_sigprocmask, SIG_UNBLOCK, &only, nullptr, sizeof only);
    syscall(SYS_tgkill, getpid(), syscall(SYS_gettid), signal_number);
    _exit(128 + signal_number);
}

// The first stop lets the console writer finish; a second one, or one with
// nothing left to write, ends the process at once. The alarm ends it in any
// case about a second later, however the console behaves meanwhile.
void on_stop(int signal_number) {
    int none = 0;
    if (!stop_signal.compare_exchange_strong(none, signal_number) ||
        console_unwritten->load() == 0) {
        end_by(signal_number);
    }
    alarm(1);
}

// Only a stop sets the alarm. One that comes from outside ends us as it
// ends any program that sets none.
void on_alarm(int) {
    int stopping = stop_signal.load();
    end_by(stopping != 0 ? stopping : SIGALRM);
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

long write_to_console(const char* data, size_t length) {
    ssize_t written;
    do {
        written = write(STDOUT_FILENO, data, length);
    } while (written < 0 && errno == EINTR);
    return static_cast<long>(written);
}

void let_console_finish_on_stop(const std::atomic<size_t>* unwritten) {
    console_unwritten = unwritten;
    struct sigaction stop {};
    stop.sa_handler = on_stop;
    // A second stop of the same kind ends the process at once. System calls
    // that the handler interrupts go on, so that no session sees EINTR
    // where it does not look for it.
    stop.sa_flags = SA_RESETHAND | SA_RESTART;
    sigemptyset(&stop.sa_mask);
    struct sigaction alarm_action {};
    alarm_action.sa_handler = on_alarm;
    alarm_action.sa_flags = SA_RESTART;
    sigemptyset(&alarm_action.sa_mask);
    sigaction(SIGALRM, &alarm_action, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    // A closed terminal is a stop too, unless we were started to outlive it
    // (nohup), which asks for the hangup to be ignored.
    struct sigaction hangup {};
    if (sigaction(SIGHUP, nullptr, &hangup) == 0 && hangup.sa_handler != SIG_IGN) {
        sigaction(SIGHUP, &stop, nullptr);
    }
}

bool stop_requested() {
    return stop_signal.load() != 0;
}

void end_stopped_process() {
    end_by(stop_signal.load());
}

Status locate_executable_directory(std::span<char> out) {
    // A link that fills the buffer may have been cut: its last "/" would
    // name some other directory.
    ssize_t length = readlink("/proc/self/exe", out.data(), out.size() - 1);
    if (length <= 0 || static_cast<size_t>(length) >= out.size() - 1) {
        out[0] = '\0';
        return Status::failed;
    }
    out[length] = '\0';
    char* last_separator = std::strrchr(out.data(), '/');
    if (last_separator == nullptr) {
        out[0] = '\0';
        return Status::failed;
    }
    last_separator[1] = '\0';
    return Status::ok;
}

Status give_up_root() {
    const char* uid_text = std::getenv("SUDO_UID");
    const char* gid_text = std::getenv("SUDO_GID");
    if (geteuid() != 0 || (uid_text == nullptr && gid_text == nullptr)) {
        return Status::ok;
    }
    // Either both say who started us, or we do not serve at all: running on
    // as root is not the safe way to fail.
    uint32_t uid = 0;
    uint32_t gid = 0;
    if (!read_id(uid_text, uid) || !read_id(gid_text, gid)) {
        return Status::failed;
    }
    // Groups first: once the user id has changed, they can no longer be.
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
        return Status::failed;
    }
    return runs_as(uid, gid) ? Status::ok : Status::failed;
}

void prepare_process() {
    // Sessions allocate one small buffer each; a heap of their own per
    // thread, which glibc would give each of the ten, would only add
    // resident memory.
    mallopt(M_ARENA_MAX, 1);
    // What a lagging console queues is held in blocks of up to megabytes;
    // mapped on their own, they go back to the system when the console has
    // caught up, instead of staying in the heap. glibc would raise this
    // threshold by itself after the first such block was freed.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
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
}

Status start_detached_thread(void (*body)(void*), void* argument) {
    try {
        std::thread(body, argument).detach();
    } catch (const std::system_error&) {
        return Status::failed;
    }
    return Status::ok;
}

bool to_local_time(int64_t seconds, std::tm& out) {
    time_t moment = static_cast<time_t>(seconds);
    return localtime_r(&moment, &out) != nullptr;
}
