#pragma once

#include <cstdint>

// True when the connected socket's local and remote endpoints are the same:
// TCP connected it to itself.
bool connected_to_itself(int socket);

// True for any address of 127.0.0.0/8 (network byte order).
bool is_loopback_address(uint32_t address);

// The local address of a connected socket (network byte order), or 0.
uint32_t local_address_of(int socket);
