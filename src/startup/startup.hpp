#pragma once

// Fills settings.base_dir with the executable's directory, ending with the
// host's separator.
// Returns 0 on success, 1 when the executable's path cannot be read.
int locate_base_directory();

// The whole program: switches, report, listener. Returns the exit code.
int run_server(int argc, const char* const* argv);
