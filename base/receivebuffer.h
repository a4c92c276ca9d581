// Bytes received from a server and not yet handed out, taken either as
// reply lines or as the lines of a data block that ends with a line holding
// a single ".".
//
// A server decides how long its lines are, so two things are kept in check
// here: every byte is searched for a line end once, however slowly a long
// line trickles in, and a reply line may not outgrow the limit its reader
// gives. The size of a data block is the reader's to bound, with
// PendingDataBytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace lumigrab {

class TReceiveBuffer {
public:
    enum class TTake {
        Taken,
        // No whole line yet; more bytes are needed.
        Incomplete,
        // The line, its line end included, is longer than the limit; it
        // stays in the buffer.
        TooLong,
    };

    // Room for count more bytes at the end, to be received into; Commit
    // then keeps the first arrived of them.
    char* Prepare(size_t count);
    void Commit(size_t arrived);
    void Append(std::string_view bytes);

    // Bytes received and not yet taken.
    size_t Size() const { return bytes_.size() - start_; }
    std::string_view Pending() const { return std::string_view(bytes_).substr(start_); }
    void Clear();

    // Takes the next line into line, without its line end (every trailing
    // CR and LF), when the whole line is there and has at most maxLine
    // bytes with its line end.
    TTake TakeLine(std::string& line, size_t maxLine);

    // Appends the whole lines of a data block to out as they are, line ends
    // included, with the dot-stuffing undone and zero bytes turned into
    // blanks. Returns true once the terminating "." line has been taken
    // (it is not appended); bytes after it stay for the next reply.
    bool TakeDataLines(std::string& out);
    // After TakeDataLines has found no end: how many of the bytes held (the
    // unfinished last line) will be block data for certain, that is, all
    // but a stuffing dot, and none while they may still be the terminating
    // line. A block's size so far is what was taken plus this.
    size_t PendingDataBytes() const;

private:
    std::string bytes_;
    // The first byte not yet taken.
    size_t start_ = 0;
    // Bytes from start_ on that are known to hold no line feed.
    size_t scanned_ = 0;
    // Where the room given out by Prepare begins.
    size_t prepared_ = 0;

    // Offset from start_ of the next line feed, or npos.
    size_t FindLineFeed();
    void Consume(size_t count);
};

} // namespace lumigrab
