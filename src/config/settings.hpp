#pragma once

#include <cstdint>

#include "platform/host.hpp"

// Process-wide settings: written by start-up before the first session thread
// exists and only read afterwards, so nobody needs a lock.
struct ServerSettings {
    int32_t www_port = 80;
    int32_t ftp_port = 21;
    int allow_remote = 0;
    char base_dir[HOST_PATH_BYTES] = {};
};

extern ServerSettings settings;

// The ports the two listening sockets are bound to, in host order, once
// they are bound.
struct ListeningPorts {
    uint16_t www = 0;
    uint16_t ftp = 0;

    // True when `port` (host order) is one of them.
    bool has(uint16_t port) const { return port != 0 && (port == www || port == ftp); }
};

// The longest base directory that still leaves room for the web and FTP
// paths, which keep their short limits.
constexpr int MAX_BASE_DIR_LENGTH = 240;
