// Listing lines and directory rows keep their layout and their whole name,
// and a row's link and text hold nothing a browser would take as markup,
// whatever the entry's name, size and time.
#include <cctype>
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

// Undoes the page's escaping of a name: the entities of & < > ".
std::string unescape_html(const std::string& text) {
    static const std::pair<const char*, char> entities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}};
    std::string plain;
    for (size_t i = 0; i < text.size();) {
        bool matched = false;
        for (const auto& [entity, c] : entities) {
            if (text.compare(i, std::strlen(entity), entity) == 0) {
                plain += c;
                i += std::strlen(entity);
                matched = true;
                break;
            }
        }
        if (!matched) {
            if (text[i] == '&' || text[i] == '<' || text[i] == '>' || text[i] == '"') {
                std::abort(); // markup that the page would interpret
            }
            plain += text[i++];
        }
    }
    return plain;
}

void check_href(const std::string& href) {
    for (size_t i = 0; i < href.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(href[i]);
        if (c == '%' && i + 2 < href.size() &&
            std::isxdigit(static_cast<unsigned char>(href[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(href[i + 2]))) {
            i += 2;
        } else if (!std::isalnum(c) && std::strchr("-._~\\", c) == nullptr) {
            std::abort();
        }
    }
}

void check_page_row(const DirEntry& entry) {
    static const char dir[] = "/srv/pelmar/wwwroot\\sub";
    const int prefix = 19;
    char row[DIRECTORY_ROW_CAP];
    format_directory_row(row, dir, prefix, entry);
    std::string text = row;
    // The page forms its rows from the directory's shared link: the same
    // row for every name.
    DirectoryRows rows;
    prepare_directory_rows(rows, dir, prefix);
    char page_row[DIRECTORY_ROW_CAP];
    if (format_page_row(page_row, rows, entry) != text.size() || text != page_row) {
        std::abort();
    }
    static const std::string open = "<TR><TD align=right>", close = "</A></TD></TR>\n";
    size_t link = text.find("<A href=\"");
    size_t name = text.find("\">", link);
    if (!text.starts_with(open) || !text.ends_with(close) || link == std::string::npos ||
        name == std::string::npos) {
        std::abort();
    }
    check_href(text.substr(link + 9, name - link - 9));
    if (unescape_html(text.substr(name + 2, text.size() - close.size() - name - 2)) != entry.name) {
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
