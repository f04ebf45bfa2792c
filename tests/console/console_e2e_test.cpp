// A console that does not take output never holds up the service: through
// the real executable, with its standard output a pipe that the test reads
// only when it chooses. While nobody reads, service goes on and texts past
// the queue's bound are dropped and counted; a reader that keeps up gets
// every byte; a stop ends the server within its bound either way.

#include "ftp_replies.hpp"
#include "server_process.hpp"
#include "test_client.hpp"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers bring their own allocator, which keeps what it was given.
constexpr bool OWN_ALLOCATOR = false;
#else
constexpr bool OWN_ALLOCATOR = true;
#endif
#if defined(__SANITIZE_THREAD__)
// The thread sanitizer takes every signal itself and hands it on only when
// a thread next calls into it, which a server idle in the kernel may never
// do.
constexpr bool SIGNALS_ARRIVE = false;
#else
constexpr bool SIGNALS_ARRIVE = true;
#endif

constexpr int IO_MS = 5000; // an upper bound for every wait, never a measurement
constexpr size_t QUEUE_BOUND = 16 << 20;
constexpr int ENTRIES = 300; // a page echoes about 140 KB
const std::string DROPPED = " texts dropped while the console was blocked\n";

// Appends what the pipe gives within timeout_ms to `into`, until `done`
// holds for it, the writer closes it, or max_bytes have come. True when
// `done` held.
bool read_pipe(int fd, std::string& into, int timeout_ms, size_t max_bytes,
               const std::function<bool(const std::string&)>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buffer[65536];
    while (!done(into) && into.size() < max_bytes) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0)
            return done(into);
        into.append(buffer, static_cast<size_t>(got));
    }
    return done(into);
}

// Resident memory of a native server's process, from the kernel.
long resident_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with("VmRSS:"))
            return std::stol(line.substr(6));
    return -1;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class SlowConsole : public ::testing::Test {
  protected:
    void SetUp() override {
        server_.make_dir("wwwroot/many");
        for (int i = 0; i < ENTRIES; ++i)
            server_.write_file("wwwroot/many/" + std::to_string(i) + std::string(200, 'n'), "");
        server_.console_to_pipe();
        ASSERT_TRUE(server_.start());
    }

    // A directory page, whole, within the usual bound: the server is not
    // held up by its console.
    std::string page() {
        ClientSocket client = ClientSocket::connect(server_.www_port());
        send_all(client.get(), "GET /many HTTP/1.0\r\n\r\n");
        std::string reply;
        EXPECT_TRUE(receive_until_close(client.get(), reply, IO_MS, 1 << 20));
        EXPECT_TRUE(reply.ends_with("</TABLE></HTML>")) << reply.size() << " bytes";
        return reply;
    }
    void expect_ftp_served() {
        ClientSocket control = ClientSocket::connect(server_.ftp_port());
        EXPECT_EQ(read_line(control.get(), IO_MS), FTP_GREETING);
    }
    // Enough pages to fill the pipe and the queue several times over.
    int pages_past_the_bound() { return static_cast<int>(3 * QUEUE_BOUND / page().size()); }

    ServerProcess server_;
};

TEST_F(SlowConsole, ServiceGoesOnWhileNobodyReadsAndDropsAreCountedOnceItIsRead) {
    const bool measured = ServerProcess::native() && OWN_ALLOCATOR;
    const long idle_kib = measured ? resident_kib(server_.pid()) : 0;
    const int pages = pages_past_the_bound();
    for (int i = 0; i < pages && !HasFailure(); ++i)
        page();
    expect_ftp_served();
    // Read now: the queue comes out, then the count of what did not fit.
    std::string console;
    ASSERT_TRUE(read_pipe(server_.console_pipe(), console, 30000, 8 * QUEUE_BOUND,
                          [&](const std::string& text) { return contains(text, DROPPED); }))
        << console.size() << " bytes read";
    // A line of its own: "\n<count>" before it.
    const size_t end = console.find(DROPPED);
    const size_t start = console.find_last_not_of("0123456789", end - 1) + 1;
    ASSERT_LT(start, end);
    EXPECT_EQ(console[start - 1], '\n');
    EXPECT_GT(std::stoll(console.substr(start, end - start)), 0);
    // What waited is all there, up to the bound (less the part of a text
    // that would not have fit).
    EXPECT_GT(console.size(), QUEUE_BOUND - 64 * 1024);
    // Taken up again, the console gets everything, with no new drops.
    const std::string last = page();
    console.clear();
    EXPECT_TRUE(read_pipe(server_.console_pipe(), console, IO_MS, 8 * QUEUE_BOUND,
                          [&](const std::string& text) { return text.ends_with(last); }));
    EXPECT_FALSE(contains(console, DROPPED));
    // The queue's memory has gone back: far less than the bound is left.
    if (measured) {
        EXPECT_TRUE(
            eventually([&] { return resident_kib(server_.pid()) < idle_kib + 4096; }, IO_MS))
            << resident_kib(server_.pid()) << " KiB resident, " << idle_kib << " KiB at start";
    } else {
        skip_check("the queue's memory given back (Wine's process or a sanitizer's allocator "
                   "holds it)");
    }
}

TEST_F(SlowConsole, NothingIsLostWhileTheReaderKeepsUp) {
    std::string console;
    std::atomic<bool> serving{true};
    std::mutex read_lock;
    std::thread reader([&] {
        while (serving) {
            std::lock_guard<std::mutex> lock(read_lock);
            read_pipe(server_.console_pipe(), console, 20, SIZE_MAX,
                      [](const std::string&) { return false; });
        }
    });
    std::string expected;
    const int pages = pages_past_the_bound();
    for (int i = 0; i < pages && !HasFailure(); ++i)
        expected += "/many\n" + page();
    EXPECT_TRUE(eventually(
        [&] {
            std::lock_guard<std::mutex> lock(read_lock);
            return console.ends_with(expected.substr(expected.size() - 1000));
        },
        IO_MS));
    serving = false;
    reader.join();
    EXPECT_FALSE(contains(console, DROPPED));
    // The start-up report, then each request's line and its page, byte for
    // byte and in order.
    EXPECT_TRUE(console.ends_with(expected)) << console.size() << " of " << expected.size();
    EXPECT_TRUE(console.starts_with("Basepath: "));
}

TEST_F(SlowConsole, AStopEndsTheServerWhileTheConsoleIsBlocked) {
    if (!ServerProcess::native())
        GTEST_SKIP() << "Linux only: a stop is a signal here; on Windows it is a console event";
    if (!SIGNALS_ARRIVE)
        GTEST_SKIP() << "the thread sanitizer holds signals back";
    const int pages = pages_past_the_bound() / 3;
    for (int i = 0; i < pages && !HasFailure(); ++i)
        page();
    ASSERT_EQ(::kill(server_.pid(), SIGTERM), 0);
    // About a second for the console, which takes nothing, then the end by
    // the same signal.
    EXPECT_EQ(server_.wait_for_exit(IO_MS), 128 + SIGTERM);
}

TEST_F(SlowConsole, AStopLetsTheConsoleTakeWhatIsQueuedFirst) {
    if (!ServerProcess::native())
        GTEST_SKIP() << "Linux only: a stop is a signal here; on Windows it is a console event";
    if (!SIGNALS_ARRIVE)
        GTEST_SKIP() << "the thread sanitizer holds signals back";
    // Ctrl+C, and the hangup of a terminal that was closed.
    for (int stop : {SIGINT, SIGHUP}) {
        SCOPED_TRACE(stop);
        if (stop != SIGINT) {
            ASSERT_TRUE(server_.start());
        }
        std::string console;
        ASSERT_TRUE(read_pipe(server_.console_pipe(), console, IO_MS, SIZE_MAX,
                              [](const std::string& text) { return contains(text, "FTPport"); }));
        const std::string last = page();
        ASSERT_EQ(::kill(server_.pid(), stop), 0);
        // Read to the end: the pipe closes when the process has ended.
        read_pipe(server_.console_pipe(), console, IO_MS, 8 * QUEUE_BOUND,
                  [](const std::string&) { return false; });
        EXPECT_TRUE(console.ends_with("/many\n" + last)) << console.size() << " bytes";
        EXPECT_EQ(server_.wait_for_exit(IO_MS), 128 + stop);
    }
}

// The signals a server catches, from the kernel's own record of it.
std::string caught_signals(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("SigCgt:"))
            return line;
    return "";
}

bool catches(pid_t pid, int signal) {
    unsigned long long mask = std::stoull(caught_signals(pid).substr(7), nullptr, 16);
    return (mask >> (signal - 1) & 1) != 0;
}

TEST(Signals, AStrayAlarmEndsTheServerAsItEndsAnyProgramAndAnIgnoredHangupStaysIgnored) {
    if (!ServerProcess::native())
        GTEST_SKIP() << "Linux only: signals";
    if (!SIGNALS_ARRIVE)
        GTEST_SKIP() << "the thread sanitizer holds signals back";
    ServerProcess server;
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(eventually([&] { return catches(server.pid(), SIGALRM); }, IO_MS));
    EXPECT_TRUE(catches(server.pid(), SIGHUP));
    ASSERT_EQ(::kill(server.pid(), SIGALRM), 0);
    EXPECT_EQ(server.wait_for_exit(IO_MS), 128 + SIGALRM);
    // As nohup starts it: what ignores the hangup at the start ignores it.
    ::signal(SIGHUP, SIG_IGN);
    ASSERT_TRUE(server.start());
    ::signal(SIGHUP, SIG_DFL);
    ASSERT_TRUE(eventually([&] { return catches(server.pid(), SIGALRM); }, IO_MS));
    EXPECT_FALSE(catches(server.pid(), SIGHUP));
}

} // namespace
