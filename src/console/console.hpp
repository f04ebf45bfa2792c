#pragma once

#include <cstddef>

// The console is the server's log: standard output. Every text reaches it
// whole and in order, and prints of different threads never mix.
//
// Until the writer is started, a text is written before the call returns,
// so that the start-up lines and every set-up failure are out before the
// process ends. From then on texts are handed to the writer thread, which
// writes them in batches, so that a console that does not take output (a
// paused terminal, a pipe nobody reads) never holds up a session. While it
// lags, up to CONSOLE_QUEUE_BOUND bytes wait; texts beyond that are dropped,
// and once the console takes output again the line "N texts dropped while
// the console was blocked" says how many.
void console_write(const char* text, size_t length);
void console_print(const char* text);
void console_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// 16 MiB hold several seconds of the log of the busiest load (a 1 KiB GET
// logs about 100 bytes, at 20,000 a second) or hundreds of directory
// pages: enough to ride out a terminal paused for a moment, and taken only
// while the console lags.
constexpr size_t CONSOLE_QUEUE_BOUND = 16 << 20;

// Starts the writer thread. From then on a stop from outside (Ctrl+C,
// SIGTERM, a closed terminal, closing the console window) gives the console about a second
// to take what is queued before the process ends. Returns false when no
// thread could be started; texts are then still written directly.
bool start_console_writer();
