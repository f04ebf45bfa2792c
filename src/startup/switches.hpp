#pragma once

#include "config/settings.hpp"
#include "platform/status.hpp"

// Applies the command-line switches (argv[1] onwards) to `out`.
// Status::failed for anything it does not understand: the usage error.
[[nodiscard]] Status apply_switches(int argc, const char* const* argv, ServerSettings& out);
