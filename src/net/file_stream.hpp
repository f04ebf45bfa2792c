#pragma once

#include "fs/directory.hpp"

// Sends the rest of the file's bytes, without echo; stops early only when
// the peer can no longer take them.
void send_file_contents(int socket, FileReader& file);
