// Listing lines keep their layout and their whole name, and directory rows
// never pass 259 characters, whatever the entry's name, size and time.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ftp/ftp_transfer.hpp"
#include "http/http_response.hpp"

namespace {

template <typename T> T take(const uint8_t*& data, size_t& size) {
    T value{};
    if (size >= sizeof value) {
        std::memcpy(&value, data, sizeof value);
        data += sizeof value;
        size -= sizeof value;
    }
    return value;
}

void check_ftp_line(const DirEntry& entry) {
    char line[FTP_LISTING_LINE_CAP];
    format_listing_line(line, entry);
    std::string text = line;
    if (text.size() != 39 + std::strlen(entry.name) + 2 ||
        text.compare(39, std::string::npos, std::string(entry.name) + "\r\n") != 0) {
        std::abort();
    }
    if (text[2] != '-' || text[5] != '-' || text[8] != ' ' || text[11] != ':' || text[16] != ' ') {
        std::abort();
    }
    std::string meridiem = text.substr(14, 2);
    if (meridiem != "AM" && meridiem != "PM") {
        std::abort();
    }
    std::string size_field = text.substr(17, 12);
    std::string expected =
        entry.is_directory ? "<DIR>" : std::to_string(static_cast<int32_t>(entry.size));
    if (size_field != std::string(12 - expected.size(), ' ') + expected) {
        std::abort();
    }
    if (text.compare(29, 10, std::string(10, ' ')) != 0) {
        std::abort();
    }
}

void check_page_row(const DirEntry& entry) {
    static const char dir[] = "/srv/pelmar/wwwroot\\sub";
    const int prefix = 19;
    char row[260];
    format_directory_row(row, dir, prefix, entry);
    size_t length = std::strlen(row);
    if (length > 259 || std::strncmp(row, "<TR><TD align=right>", 20) != 0) {
        std::abort();
    }
    if (length < 259 && row[length - 1] != '\n') {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    DirEntry entry;
    entry.is_directory = (take<uint8_t>(data, size) & 1) != 0;
    entry.size = take<uint64_t>(data, size);
    entry.last_write = take<int64_t>(data, size);
    size_t name_length = std::min<size_t>(size, sizeof entry.name - 1);
    std::memcpy(entry.name, data, name_length);
    entry.name[name_length] = '\0';
    check_ftp_line(entry);
    check_page_row(entry);
    return 0;
}
