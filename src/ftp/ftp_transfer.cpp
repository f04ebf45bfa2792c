#include "ftp/ftp_transfer.hpp"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "fs/listing.hpp"
#include "net/line_io.hpp"
#include "platform/host.hpp"

namespace {

// Times the 32-bit count cannot hold (before 1970 or past 2038) show as the
// start of the count rather than as nothing.
void format_listing_date(char (&out)[LISTING_DATE_LENGTH + 1], int64_t unix_seconds) {
    int32_t seconds = listing_time(unix_seconds);
    std::tm local{};
    if (seconds < 0 || !to_local_time(seconds, local) ||
        std::strftime(out, sizeof out, "%m-%d-%y %I:%M%p", &local) == 0) {
        std::snprintf(out, sizeof out, "01-01-70 12:00AM");
    }
}

// A CR or LF inside a name would end its line early and make the rest look
// like an entry of its own to the client. No command line can name such an
// entry anyway.
bool fits_on_a_line(const char* name) {
    return std::strpbrk(name, "\r\n") == nullptr;
}

} // namespace

int32_t listing_time(int64_t unix_seconds) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(unix_seconds)));
}

void format_listing_line(char (&out)[FTP_LISTING_LINE_CAP], const DirEntry& entry) {
    char date[LISTING_DATE_LENGTH + 1];
    format_listing_date(date, entry.last_write);
    char size[SIZE_COLUMN_CAP];
    format_size_column(size, entry, "<DIR>");
    std::snprintf(out, sizeof out, "%s %12s          %s\r\n", date, size, entry.name);
}

Status send_ftp_listing(Socket data_socket, const char* dir) {
    // A line that did not reach the client is not logged as sent.
    TextBatch listing(data_socket, TextBatch::Echo::delivered);
    char line[FTP_LISTING_LINE_CAP];
    Status listed = visit_directory(dir, [&](const DirEntry& entry) {
        if (!fits_on_a_line(entry.name)) {
            return true;
        }
        format_listing_line(line, entry);
        return listing.add(line);
    });
    return listed == Status::ok && listing.flush() ? Status::ok : Status::failed;
}

Status send_file_data(Socket data_socket, const char* path) {
    FileReader file;
    if (file.open(path) != Status::ok) {
        return Status::failed;
    }
    // No length was announced, so the file goes out to its end, however far
    // it has grown by then.
    return send_file_contents(data_socket, file, TO_END_OF_FILE) == StreamResult::complete
               ? Status::ok
               : Status::failed;
}
