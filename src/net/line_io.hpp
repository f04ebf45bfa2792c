#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/socket.hpp"

enum class ReceiveLineResult { ok, failed, closed };

// Reads LF-ended lines from a socket. CR and LF are never stored; a line
// that fills its buffer is still read to its LF but reported as
// ReceiveLineResult::failed. One receive takes whatever has arrived, a whole request head
// or several FTP commands, and the lines are handed out from there; what
// follows the last line handed out (a request body, the next command) stays
// with the reader for the next call or for take().
class LineReader {
  public:
    explicit LineReader(Socket socket) : socket_(socket) {}
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // Reads one line into `line`, as many characters as it holds with the
    // terminator.
    [[nodiscard]] ReceiveLineResult next(std::span<char> line);
    // As many of the bytes after the lines handed out as `out` holds: those
    // received already or, when none are left, what one receive gives.
    // Returns how many, 0 when the peer has closed, -1 on an error.
    long take(std::span<char> out);
    // Bytes received and not handed out yet.
    size_t buffered() const { return received_ - handed_out_; }

  private:
    static constexpr size_t BUFFER_SIZE = 4096;

    // Refills the buffer once all of it has been handed out.
    long receive();

    Socket socket_;
    size_t received_ = 0;
    size_t handed_out_ = 0;
    char buffer_[BUFFER_SIZE];
};

// Sends the text in one call and echoes it on the console. A failed send is
// ignored: the peer may have gone, and that must not end anything.
void send_text(Socket socket, const char* text);

// Collects the texts of one response (head pieces, page rows, listing
// lines) and sends them, with their console echo, in few calls: the same
// bytes in the same order, each text printed whole. Once a send fails,
// nothing more is sent.
class TextBatch {
  public:
    enum class Echo {
        all,      // every text is logged, sent or not
        delivered // only the texts that went out whole are logged
    };

    explicit TextBatch(Socket socket, Echo echo = Echo::all) : socket_(socket), echo_(echo) {}
    ~TextBatch() { flush(); }
    TextBatch(const TextBatch&) = delete;
    TextBatch& operator=(const TextBatch&) = delete;

    // Both return false once a send has failed.
    bool add(const char* text);
    bool add(const char* text, size_t length);
    // `more_follows`: the next bytes (a file body) come right after, or the
    // end of sending, so the kernel may hold these back until then to fill
    // a segment with them.
    bool flush(bool more_follows = false);
    // The room after the texts, for bytes that are not texts (a small
    // file's body): they go out with the texts in one send, unechoed.
    std::span<char> room();
    // Sends the texts and the first `extra` bytes of room().
    bool flush_with_room(size_t extra, bool more_follows = false);

  private:
    static constexpr int MAX_TEXTS = 256;

    void send_alone(const char* text, size_t length);
    bool send_batch(size_t extra, bool more_follows);

    Socket socket_;
    Echo echo_;
    bool peer_gone_ = false;
    size_t used_ = 0;
    int texts_ = 0;
    uint16_t ends_[MAX_TEXTS]; // where each text in the buffer ends
    char buffer_[8192];
};
