#pragma once

#include <cstdint>

#include "fs/directory.hpp"

enum StreamResult {
    STREAM_COMPLETE = 0,   // every byte asked for went out
    STREAM_FAILED = 1,     // the peer could not take them, or the file could not be read
    STREAM_ENDED_EARLY = 2 // the file ended before the length asked for
};

// Length that means "to the end of the file, however long it has grown".
constexpr int64_t TO_END_OF_FILE = -1;

// Sends `length` bytes of the file from where it stands (or all of the rest
// for TO_END_OF_FILE), without echo, and never more. Returns a StreamResult.
int send_file_contents(int socket, FileReader& file, int64_t length);
