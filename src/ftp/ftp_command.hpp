#pragma once

#include <cstdint>

enum class FtpCommand {
    quit,
    user,
    pass,
    port,
    type,
    pwd,
    cwd,
    list,
    retr,
    unknown,
};

// Where LIST and RETR connect to; both fields in network byte order.
struct DataEndpoint {
    uint32_t address = 0;
    uint16_t port = 0;
};

[[nodiscard]] FtpCommand classify_ftp_command(const char* line);

// The argument of a command line: the text from index `from` on, or the
// empty text when the line is shorter. Points into `line`.
char* command_argument(char* line, int from);

// The six numbers of a PORT argument: four address bytes, then the port's
// high and low byte.
constexpr int PORT_NUMBER_COUNT = 6;
using PortNumbers = int32_t[PORT_NUMBER_COUNT];

// Reads up to six numbers "%d ,%d ,..." into `numbers`; those not reached
// keep their values. Returns how many were read.
int read_port_numbers(const char* argument, PortNumbers& numbers);

// The endpoint the six numbers name (low 8 bits of each).
DataEndpoint endpoint_from_numbers(const PortNumbers& numbers);
