#pragma once

// Names that Windows does not treat as ordinary file names. On Windows a
// path holding one must never reach the file system: it would open a device
// (CON, NUL, COM1, ...), a data stream or another drive (":"), match by
// wildcard, or name something other than what was checked (a trailing dot
// or space is dropped). Pure text rules, so that they are tested on every
// host; only the Windows build applies them.

#include <cstddef>

// True when Windows would not take the name (one name, no separators) as an
// ordinary file name.
bool windows_forbids_name(const char* name, size_t length);

// True when a name in the path ("\" and "/" separate them) is one Windows
// forbids. The "." and ".." segments are not names.
bool path_has_name_windows_forbids(const char* path);
