#pragma once

#include "config/settings.hpp"

constexpr int SWITCHES_OK = 0;
constexpr int SWITCHES_USAGE = 1;

// Applies the command-line switches (argv[1] onwards) to `out`. Returns
// SWITCHES_USAGE for anything it does not understand.
int apply_switches(int argc, const char* const* argv, ServerSettings& out);
