#pragma once

#include <cstddef>

enum ReceiveLineResult { LINE_OK = 0, LINE_FAILED = 1, LINE_CLOSED = 2 };

// Reads LF-ended lines from a socket. CR and LF are never stored; a line of
// `cap` characters or more is still read to its LF but reported as
// LINE_FAILED. It looks at what has arrived without taking it, and takes
// from the socket exactly the bytes of the lines it has handed out (at the
// latest when it is destroyed), so whatever follows the last line, such as
// a request body, stays in the socket for the next reader.
class LineReader {
  public:
    explicit LineReader(int socket) : socket_(socket) {}
    ~LineReader() { release(); }
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // Reads one line into buffer (cap characters plus terminator).
    ReceiveLineResult next(char* buffer, int cap);
    // Takes the bytes of the lines handed out so far from the socket.
    void release();

  private:
    int socket_;
    char seen_[4096];
    size_t seen_length_ = 0; // bytes looked at, still in the socket
    size_t handed_out_ = 0;  // of those, the bytes of lines handed out
};

// Reads one line, and nothing after its LF.
ReceiveLineResult receive_line(int socket, char* buffer, int cap);

// Sends the text in one call and echoes it on the console. A failed send is
// ignored: the peer may have gone, and that must not end anything.
void send_text(int socket, const char* text);

// Sends raw bytes (file contents) without echo; returns 0, or 1 once the
// peer can no longer take them. `flags` are added to the send's own.
int send_bytes(int socket, const char* data, long length, int flags = 0);

// Collects the texts of one response (head pieces, page rows, listing
// lines) and sends them, with their console echo, in few calls: the same
// bytes in the same order, each text printed whole.
class TextBatch {
  public:
    explicit TextBatch(int socket) : socket_(socket) {}
    ~TextBatch() { flush(); }
    TextBatch(const TextBatch&) = delete;
    TextBatch& operator=(const TextBatch&) = delete;

    void add(const char* text);
    // `more_follows`: the next bytes (a file body) come right after, so the
    // kernel may hold these back to fill a segment with them.
    void flush(bool more_follows = false);

  private:
    int socket_;
    size_t used_ = 0;
    bool peer_gone_ = false;
    char buffer_[8192];
};
