#pragma once

// What differs between the hosts outside sockets and files: the console,
// the executable's place, time, privileges and the rules of path texts.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>

#include "platform/status.hpp"

#if defined(_WIN32)
// Names compare without regard to ASCII letter case, "c:" starts a full
// path on another drive, and a path may be 32767 UTF-16 units long, each
// up to three bytes of UTF-8.
constexpr bool HOST_PATHS_IGNORE_CASE = true;
constexpr bool HOST_HAS_DRIVE_LETTERS = true;
constexpr char HOST_SEPARATOR = '\\';
constexpr size_t HOST_PATH_BYTES = 3 * 32767 + 1;
#else
constexpr bool HOST_PATHS_IGNORE_CASE = false;
constexpr bool HOST_HAS_DRIVE_LETTERS = false;
constexpr char HOST_SEPARATOR = '/';
constexpr size_t HOST_PATH_BYTES = 4096;
#endif

// Prepares standard output to carry the log byte for byte, and on a
// console window keeps a click in it from freezing the server.
void prepare_console();
// One write to standard output, waiting while it takes nothing: how many
// bytes it took, or -1 when it takes none any more (its reader is gone).
long write_to_console(const char* data, size_t length);

// From now on a stop from outside (Ctrl+C, SIGTERM or the hangup of a
// closed terminal, unless that was ignored at start; on Windows Ctrl+C,
// Ctrl+Break or closing the console window) does not end the process at
// once: the console gets about a second to take the `unwritten` bytes, and
// then the process ends as the stop would have ended it. A second stop
// ends it at once. Called once, before the thread that writes the console
// starts.
void let_console_finish_on_stop(const std::atomic<size_t>* unwritten);
// True once such a stop has come and the console writer is to end the
// process when it has written everything (end_stopped_process).
bool stop_requested();
[[noreturn]] void end_stopped_process();

// Fills `out` (HOST_PATH_BYTES suffice) with the directory of the running
// executable, ending with the host's separator, or says that it cannot.
[[nodiscard]] Status locate_executable_directory(std::span<char> out);

// Started as root through sudo, gives root up for good (see the README).
// Status::failed when root could not be given up.
[[nodiscard]] Status give_up_root();

// Whatever the host's memory allocator needs to suit this server: first
// thing in the process, before anything is allocated.
void prepare_process();

// Whatever the host needs before session threads are started.
void prepare_session_threads();

// Runs `body(argument)` on a thread of its own that nobody waits for.
// Status::failed when no thread could be started.
[[nodiscard]] Status start_detached_thread(void (*body)(void*), void* argument);

// Breaks seconds since 1970 down into local time; false when the host
// cannot.
bool to_local_time(int64_t seconds, std::tm& out);
