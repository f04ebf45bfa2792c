#pragma once

#include "platform/status.hpp"

// Fills settings.base_dir with the executable's directory, ending with the
// host's separator; Status::failed when the executable's path cannot be
// read.
[[nodiscard]] Status locate_base_directory();

// The whole program: switches, report, listener. Returns the exit code.
int run_server(int argc, const char* const* argv);
