#include "platform/host.hpp"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <new>
#include <process.h>
#include <windows.h>

#include "platform/console_mode.hpp"

namespace {

// How long a stop waits for the console to take what is queued.
constexpr int STOP_GRACE_MS = 1000;

const std::atomic<size_t>* console_unwritten = nullptr;
std::atomic<bool> stopping{false};

// Runs on a thread of its own that Windows starts for the event. Returning
// FALSE passes the event on: the console's mode is put back, and the default
// handling ends the process with the status the event gives it.
BOOL WINAPI let_console_finish(DWORD) {
    if (stopping.exchange(true)) {
        return FALSE; // a second stop: at once
    }
    for (int waited = 0; console_unwritten->load() > 0 && waited < STOP_GRACE_MS; waited += 10) {
        Sleep(10);
    }
    return FALSE;
}

// The console's input mode as it was before we changed it: it belongs to
// the console, which outlives us, not to this process.
HANDLE console_input = nullptr;
DWORD saved_input_mode = 0;
bool input_mode_changed = false;

BOOL WINAPI restore_console(DWORD) {
    if (input_mode_changed) {
        SetConsoleMode(console_input, saved_input_mode);
    }
    return FALSE; // and let the default handling end the process
}

void turn_quick_edit_off() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input == nullptr || input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &mode)) {
        return; // not a console: nothing can be clicked
    }
    DWORD wanted = console_mode_without_quick_edit(mode);
    if (wanted == mode) {
        return;
    }
    console_input = input;
    saved_input_mode = mode;
    SetConsoleCtrlHandler(restore_console, TRUE);
    input_mode_changed = SetConsoleMode(input, wanted) != 0;
}

// What a thread is started with.
struct ThreadStart {
    void (*body)(void*);
    void* argument;
};

unsigned __stdcall run_thread(void* given) {
    ThreadStart start = *static_cast<ThreadStart*>(given);
    delete static_cast<ThreadStart*>(given);
    start.body(start.argument);
    return 0;
}

} // namespace

void prepare_console() {
    // In text mode every "\r\n" of a reply would reach the log as "\r\r\n".
    _setmode(_fileno(stdout), _O_BINARY);
    turn_quick_edit_off();
}

long write_to_console(const char* data, size_t length) {
    size_t written = std::fwrite(data, 1, length, stdout);
    std::fflush(stdout);
    return written == 0 && length > 0 ? -1 : static_cast<long>(written);
}

void let_console_finish_on_stop(const std::atomic<size_t>* unwritten) {
    console_unwritten = unwritten;
    // Handlers run from the last one added: this one waits first, then the
    // one that puts the console's mode back.
    SetConsoleCtrlHandler(let_console_finish, TRUE);
}

bool stop_requested() {
    return false; // the handler's own thread waits, and the default handling ends us
}

void end_stopped_process() {
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

Status locate_executable_directory(std::span<char> out) {
    static wchar_t path[32768];
    DWORD length = GetModuleFileNameW(nullptr, path, sizeof path / sizeof path[0]);
    if (length == 0 || length >= sizeof path / sizeof path[0]) {
        out[0] = '\0';
        return Status::failed;
    }
    int written = WideCharToMultiByte(CP_UTF8, 0, path, -1, out.data(),
                                      static_cast<int>(out.size()), nullptr, nullptr);
    char* last_separator = written > 0 ? std::strrchr(out.data(), '\\') : nullptr;
    if (last_separator == nullptr) {
        out[0] = '\0';
        return Status::failed;
    }
    last_separator[1] = '\0';
    return Status::ok;
}

Status give_up_root() {
    return Status::ok; // no such thing to give up here
}

// The Windows heap needs no settings for this server.
void prepare_process() {}

void prepare_session_threads() {}

Status start_detached_thread(void (*body)(void*), void* argument) {
    // Not std::thread: its threads come from winpthreads, which recycles a
    // thread's record when detach() follows a thread that has already ended
    // while that thread's exit still writes to it. The next thread could then
    // start without its function or its argument. A thread started here is
    // never joined, so there is nothing to detach.
    ThreadStart* start = new (std::nothrow) ThreadStart{body, argument};
    if (start == nullptr) {
        return Status::failed;
    }
    uintptr_t thread = _beginthreadex(nullptr, 0, run_thread, start, 0, nullptr);
    if (thread == 0) {
        delete start;
        return Status::failed;
    }
    CloseHandle(reinterpret_cast<HANDLE>(thread));
    return Status::ok;
}

bool to_local_time(int64_t seconds, std::tm& out) {
    __time64_t moment = seconds;
    return _localtime64_s(&out, &moment) == 0;
}
