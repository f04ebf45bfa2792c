#pragma once

// The exact bytes of the web side's answers, shared by the end-to-end tests.

#include <cstdint>
#include <string>

inline std::string http_file_head(std::uintmax_t size, const std::string& type) {
    return "HTTP/1.0 200 OK\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(size) + "\r\nConnection: close\r\n\r\n";
}

inline std::string http_file_response(const std::string& body, const std::string& type) {
    return http_file_head(body.size(), type) + body;
}

// What comes before the table of a directory page.
inline const std::string HTTP_PAGE_HEAD =
    "HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nConnection: close\r\n\r\n";
