#pragma once

// Serves one HTTP/1.0 request on the connection and closes it.
int http_session(int socket);
