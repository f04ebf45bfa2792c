#include "net/file_stream.hpp"

#include <cerrno>
#include <sys/sendfile.h>

#include "net/line_io.hpp"
#include "net/socket_tuning.hpp"

namespace {

constexpr long FILE_BLOCK_SIZE = 1024;
constexpr int64_t SENDFILE_CHUNK = 256 * 1024;

// How much of what is left to take in one step; `left` < 0 means no limit.
int64_t next_step(int64_t left, int64_t step) {
    return (left < 0 || left > step) ? step : left;
}

int copy_through_buffer(int socket, FileReader& file, int64_t left) {
    char block[FILE_BLOCK_SIZE];
    while (left != 0) {
        long length = file.read(block, static_cast<long>(next_step(left, FILE_BLOCK_SIZE)));
        if (length < 0) {
            return STREAM_FAILED;
        }
        if (length == 0) {
            return left < 0 ? STREAM_COMPLETE : STREAM_ENDED_EARLY;
        }
        if (send_bytes(socket, block, length) != length) {
            return STREAM_FAILED;
        }
        if (left > 0) {
            left -= length;
        }
    }
    return STREAM_COMPLETE;
}

} // namespace

int send_file_contents(int socket, FileReader& file, int64_t length) {
    // The kernel copies from the file to the socket directly; no buffer of
    // ours holds the bytes. Files it cannot do that for go the long way.
    if (file.size() > UNSENT_BYTES_LIMIT) {
        limit_unsent_bytes(socket);
    }
    int64_t left = length;
    for (bool first = true; left != 0; first = false) {
        size_t chunk = static_cast<size_t>(next_step(left, SENDFILE_CHUNK));
        ssize_t sent = sendfile(socket, file.descriptor(), nullptr, chunk);
        if (sent > 0) {
            if (left > 0) {
                left -= sent;
            }
            continue;
        }
        if (sent == 0) {
            return left < 0 ? STREAM_COMPLETE : STREAM_ENDED_EARLY;
        }
        if (errno == EINTR) {
            continue;
        }
        if (first && (errno == EINVAL || errno == ENOSYS)) {
            return copy_through_buffer(socket, file, left);
        }
        return STREAM_FAILED;
    }
    return STREAM_COMPLETE;
}
