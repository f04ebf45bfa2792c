#pragma once

enum ReceiveLineResult { LINE_OK = 0, LINE_FAILED = 1, LINE_CLOSED = 2 };

// Reads one LF-ended line into buffer (cap characters plus terminator). CR
// and LF are never stored; a line of cap characters or more is still consumed
// to its LF but reported as LINE_FAILED. Never reads past the LF.
ReceiveLineResult receive_line(int socket, char* buffer, int cap);

// Sends the text in one call and echoes it on the console. A failed send is
// ignored: the peer may have gone, and that must not end anything.
void send_text(int socket, const char* text);

// Sends raw bytes (file contents) without echo; returns 0, or 1 once the
// peer can no longer take them.
int send_bytes(int socket, const char* data, long length);
