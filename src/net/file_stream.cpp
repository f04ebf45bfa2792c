#include "net/file_stream.hpp"

#include "net/line_io.hpp"

namespace {
constexpr long FILE_BLOCK_SIZE = 1024;
}

void send_file_contents(int socket, FileReader& file) {
    char block[FILE_BLOCK_SIZE];
    for (;;) {
        long length = file.read(block, FILE_BLOCK_SIZE);
        if (length <= 0 || send_bytes(socket, block, length) != 0) {
            return;
        }
    }
}
