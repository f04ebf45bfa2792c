#include "platform/socket.hpp"

// What both hosts do alike, on top of socket_endpoint.

uint32_t peer_address_of(Socket socket) {
    SocketEndpoint peer;
    return socket_endpoint(socket, false, peer) ? peer.address : 0;
}

uint32_t local_address_of(Socket socket) {
    SocketEndpoint own;
    return socket_endpoint(socket, true, own) ? own.address : 0;
}

bool connected_to_itself(Socket socket) {
    SocketEndpoint own;
    SocketEndpoint peer;
    return socket_endpoint(socket, true, own) && socket_endpoint(socket, false, peer) &&
           own.address == peer.address && own.port == peer.port;
}
