#include "http/content_type.hpp"

#include "fs/path.hpp"
#include "text/ascii.hpp"

namespace {

struct TypeByExtension {
    const char* extension;
    const char* type;
};

constexpr TypeByExtension TYPES[] = {
    {"html", "text/html"},        {"htm", "text/html"},         {"txt", "text/plain"},
    {"css", "text/css"},          {"js", "text/javascript"},    {"mjs", "text/javascript"},
    {"json", "application/json"}, {"xml", "application/xml"},   {"svg", "image/svg+xml"},
    {"png", "image/png"},         {"jpg", "image/jpeg"},        {"jpeg", "image/jpeg"},
    {"gif", "image/gif"},         {"webp", "image/webp"},       {"ico", "image/x-icon"},
    {"pdf", "application/pdf"},   {"zip", "application/zip"},   {"gz", "application/gzip"},
    {"tar", "application/x-tar"}, {"mp3", "audio/mpeg"},        {"mp4", "video/mp4"},
    {"webm", "video/webm"},       {"wasm", "application/wasm"}, {"md", "text/markdown"},
};

// The text after the last "." of the last name, or nullptr without one.
const char* extension_of(const char* path) {
    const char* extension = nullptr;
    for (const char* p = path; *p != '\0'; ++p) {
        if (is_path_separator(*p)) {
            extension = nullptr;
        } else if (*p == '.') {
            extension = p + 1;
        }
    }
    return extension;
}

} // namespace

const char* content_type_for(const char* path) {
    const char* extension = extension_of(path);
    if (extension != nullptr) {
        for (const TypeByExtension& entry : TYPES) {
            if (equals_ignoring_ascii_case(extension, entry.extension)) {
                return entry.type;
            }
        }
    }
    return "application/octet-stream";
}
