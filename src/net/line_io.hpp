#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/socket.hpp"

enum ReceiveLineResult { LINE_OK = 0, LINE_FAILED = 1, LINE_CLOSED = 2 };

// Reads LF-ended lines from a socket. CR and LF are never stored; a line of
// `cap` characters or more is still read to its LF but reported as
// LINE_FAILED. It looks at what has arrived without taking it, and takes
// from the socket exactly the bytes of the lines it has handed out (at the
// latest when it is destroyed), so whatever follows the last line, such as
// a request body, stays in the socket for the next reader.
class LineReader {
  public:
    explicit LineReader(Socket socket) : socket_(socket) {}
    ~LineReader() { release(); }
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // Reads one line into buffer (cap characters plus terminator).
    ReceiveLineResult next(char* buffer, int cap);
    // Takes the bytes of the lines handed out so far from the socket.
    void release();

  private:
    Socket socket_;
    char seen_[4096];
    size_t seen_length_ = 0; // bytes looked at, still in the socket
    size_t handed_out_ = 0;  // of those, the bytes of lines handed out
};

// Reads one line, and nothing after its LF.
ReceiveLineResult receive_line(Socket socket, char* buffer, int cap);

// Sends the text in one call and echoes it on the console. A failed send is
// ignored: the peer may have gone, and that must not end anything.
void send_text(Socket socket, const char* text);

// Collects the texts of one response (head pieces, page rows, listing
// lines) and sends them, with their console echo, in few calls: the same
// bytes in the same order, each text printed whole. Once a send fails,
// nothing more is sent.
class TextBatch {
  public:
    enum Echo {
        ECHO_ALL,      // every text is logged, sent or not
        ECHO_DELIVERED // only the texts that went out whole are logged
    };

    explicit TextBatch(Socket socket, Echo echo = ECHO_ALL) : socket_(socket), echo_(echo) {}
    ~TextBatch() { flush(); }
    TextBatch(const TextBatch&) = delete;
    TextBatch& operator=(const TextBatch&) = delete;

    // Both return false once a send has failed.
    bool add(const char* text);
    // `more_follows`: the next bytes (a file body) come right after, so the
    // kernel may hold these back to fill a segment with them.
    bool flush(bool more_follows = false);

  private:
    static constexpr int MAX_TEXTS = 256;

    void send_alone(const char* text, size_t length);

    Socket socket_;
    Echo echo_;
    bool peer_gone_ = false;
    size_t used_ = 0;
    int texts_ = 0;
    uint16_t ends_[MAX_TEXTS]; // where each text in the buffer ends
    char buffer_[8192];
};
