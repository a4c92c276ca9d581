// yEnc: decoding the data lines of a block, and the framing of one block in
// a plain-text article (the "=ybegin" line, an optional "=ypart" line, the
// data lines and the "=yend" line, whose CRC-32 checks the data).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/classes.h"

namespace lumigrab {

// ---- data lines

// Decodes yEnc text into dest: every byte minus 42; "=" escapes the byte
// after it, which loses a further 64. CR and LF are line breaks and are
// dropped. An escape "=" directly before a line break escapes nothing (an
// encoder never splits an escape pair; such a line is damaged, which the
// block's CRC-32 tells). escapePending carries an "=" that ends src into the
// next call. dest needs room for src.size() bytes and must not overlap src.
// Returns the number of bytes written.
size_t DecodeYEnc(std::string_view src, char* dest, bool& escapePending);

// What DecodeYEncData did: the characters of src it took, the bytes it
// wrote, and whether it stopped at a line that begins with "=y".
struct YEncStep {
    size_t consumed;
    size_t written;
    bool controlLine;
};

// DecodeYEnc, stopping before the first line of src that begins with "=y"
// (the "=yend" line, or any other: yEnc data never begins a line so); in
// the same pass over the text, not a search and then a decoding. lineStart
// tells whether src itself begins a line. A "=y" pair split between two
// calls is not seen: src must not end in the "=" of a line's start while
// more text follows. crc goes in as the CRC-32 of the bytes decoded before
// and comes out as that of those and the bytes written now: the bytes are
// checked while they are still in the cache.
YEncStep DecodeYEncData(std::string_view src, char* dest, bool& escapePending, bool lineStart, uint32_t& crc);

// One implementation of DecodeYEnc and DecodeYEncData. All give the same
// bytes; the fastest that this processor runs is chosen once.
struct YEncDecoder {
    const char* name;
    size_t (*decode)(std::string_view src, char* dest, bool& escapePending);
    YEncStep (*decodeData)(
        std::string_view src, char* dest, bool& escapePending, bool lineStart, uint32_t& crc);
};

// The implementations this processor runs, fastest first; the last one is
// the portable one.
std::span<const YEncDecoder> YEncDecoders();

// ---- blocks

// A line that opens a block: "=ybegin" followed by a blank.
bool IsYEncBeginLine(std::string_view line);

// True for the "=ybegin" line of one part of a multi-part post: "total=" is
// above 1, or (without "total=") "part=" is above 1. Such a part holds only
// a piece of its file.
bool IsYEncPartOfMany(std::string_view beginLine);

// What one block announced and what its data gave.
struct YEncBlock {
    // "=ybegin": the name is the rest of the line after "name=", blanks
    // inside kept, leading and trailing blanks dropped.
    std::string name;
    std::optional<uint64_t> size;
    std::optional<uint64_t> part;
    std::optional<uint64_t> total;
    // "=ypart"
    std::optional<uint64_t> partBegin;
    std::optional<uint64_t> partEnd;
    // "=yend"
    bool ended = false;
    std::optional<uint64_t> endSize;
    std::optional<uint32_t> crc32;
    std::optional<uint32_t> partCrc32;
    // The data.
    uint64_t decodedSize = 0;
    uint32_t decodedCrc32 = 0;
    // Bytes of the text after the "=ybegin" line that the block takes:
    // through the "=yend" line and its line break, or, without one, up to
    // the line that ended the data (a line beginning with "=y", which yEnc
    // data never does) or the end of the text.
    size_t consumed = 0;
};

// Reads the announcements of an "=ybegin" line.
YEncBlock ReadYEncBegin(std::string_view beginLine);

// Reads one block whose "=ybegin" line is beginLine; text is what follows
// that line. The decoded bytes are appended to out. Never raises for bad
// input: what did not match is in the result (see YEncDamage).
YEncBlock DecodeYEncBlock(std::string_view beginLine, std::string_view text, TMemoryStream& out);

// The same, handing the decoded bytes to sink piece by piece (a megabyte
// at most each) instead of keeping them: a part of a large post goes to its
// file without a copy in memory. The sink sees the block as read so far:
// its "=ybegin" and "=ypart" announcements, and decodedSize before the
// piece.
using YEncSink = std::function<void(const YEncBlock& block, std::string_view bytes)>;
YEncBlock DecodeYEncBlock(std::string_view beginLine, std::string_view text, const YEncSink& sink);

// Why the block's bytes cannot be trusted, or empty when it arrived whole:
// a missing "=yend" line, a decoded size or CRC-32 other than announced.
std::string YEncDamage(const YEncBlock& block);

// The same for one part of a multi-part post, whose "=ybegin size=" and
// "=yend crc32=" speak of the whole file: a missing "=yend" line, a
// decoded size other than the "=ypart" range or "=yend size=", a CRC-32
// other than "pcrc32=".
std::string YEncPartDamage(const YEncBlock& block);

} // namespace lumigrab
