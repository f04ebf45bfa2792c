// The header loop takes the last "Content-length:" in any ASCII case, with
// the value read like atoi but wrapping at 32 bits.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "http/http_request.hpp"

namespace {

bool names_content_length(const std::string& line) {
    static const char name[] = "content-length:";
    if (line.size() < 15) {
        return false;
    }
    for (int i = 0; i < 15; ++i) {
        char c = line[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != name[i]) {
            return false;
        }
    }
    return true;
}

// Reference reading with wide arithmetic, then the wrap.
int32_t reference_value(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    uint64_t value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        value = (value * 10 + static_cast<uint64_t>(text[i] - '0')) & 0xFFFFFFFFu;
        ++i;
    }
    uint32_t low = static_cast<uint32_t>(value);
    return static_cast<int32_t>(negative ? 0u - low : low);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string block(reinterpret_cast<const char*>(data), size);
    int32_t length = 0;
    int32_t expected = 0;
    size_t start = 0;
    while (start <= block.size()) {
        size_t end = block.find('\n', start);
        if (end == std::string::npos) {
            end = block.size();
        }
        std::string line = block.substr(start, end - start);
        line = line.substr(0, line.find('\0'));
        bool matched = read_content_length(line.c_str(), length);
        if (matched != names_content_length(line)) {
            std::abort();
        }
        if (matched) {
            expected = reference_value(line.substr(15));
        }
        if (length != expected) {
            std::abort();
        }
        start = end + 1;
    }
    return 0;
}
