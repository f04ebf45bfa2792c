#pragma once

#include <cstdint>

#include "config/settings.hpp"
#include "fs/path.hpp"
#include "ftp/ftp_command.hpp"
#include "platform/socket.hpp"

constexpr int FTP_LINE_CAP = 256;

struct FtpSession {
    Socket control = NO_SOCKET;
    uint32_t peer_address = 0;  // network byte order
    uint32_t local_address = 0; // ours on the control connection, network byte order
    char line[FTP_LINE_CAP + 1] = {};
    char root[PATH_CAP] = {};
    int root_length = 0;
    char cwd[PATH_CAP] = {};
    PortNumbers port_numbers = {};
    DataEndpoint endpoint;
    ListeningPorts own_ports;
};

// Serves one FTP control connection until QUIT, a failed line or the close,
// and closes it. `own_ports` are the server's listening ports, where no
// data connection may go.
void ftp_session(Socket socket, ListeningPorts own_ports);
