#include "net/file_stream.hpp"

#include <cerrno>
#include <sys/sendfile.h>

#include "net/line_io.hpp"

namespace {

constexpr long FILE_BLOCK_SIZE = 1024;
constexpr size_t SENDFILE_CHUNK = 256 * 1024;

void copy_through_buffer(int socket, FileReader& file) {
    char block[FILE_BLOCK_SIZE];
    for (;;) {
        long length = file.read(block, FILE_BLOCK_SIZE);
        if (length <= 0 || send_bytes(socket, block, length) != 0) {
            return;
        }
    }
}

} // namespace

void send_file_contents(int socket, FileReader& file) {
    // The kernel copies from the file to the socket directly; no buffer of
    // ours holds the bytes. Files it cannot do that for go the long way.
    for (bool first = true;; first = false) {
        ssize_t sent = sendfile(socket, file.descriptor(), nullptr, SENDFILE_CHUNK);
        // On a blocking socket a short count means the file has ended.
        if (sent == static_cast<ssize_t>(SENDFILE_CHUNK)) {
            continue;
        }
        if (sent > 0) {
            return;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && first && (errno == EINVAL || errno == ENOSYS)) {
            copy_through_buffer(socket, file);
        }
        return;
    }
}
