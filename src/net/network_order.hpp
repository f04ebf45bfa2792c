#pragma once

// Addresses and ports as they travel: the most significant byte first,
// whatever the host's own order.

#include <cstdint>
#include <cstring>

// The address of the dotted form a.b.c.d, in network order.
inline uint32_t address_from_bytes(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t address;
    std::memcpy(&address, bytes, sizeof address);
    return address;
}

// The port `number` in network order.
inline uint16_t port_to_network_order(uint16_t number) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(number >> 8), static_cast<uint8_t>(number)};
    uint16_t port;
    std::memcpy(&port, bytes, sizeof port);
    return port;
}

// The number of a port given in network order.
inline uint16_t port_in_host_order(uint16_t port) {
    uint8_t bytes[2];
    std::memcpy(bytes, &port, sizeof bytes);
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

// True for any address of 127.0.0.0/8 (network order).
inline bool is_loopback_address(uint32_t address) {
    uint8_t first;
    std::memcpy(&first, &address, 1);
    return first == 127;
}
