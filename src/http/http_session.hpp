#pragma once

#include "platform/socket.hpp"

// Serves one HTTP/1.0 request on the connection and closes it.
void http_session(Socket socket);
