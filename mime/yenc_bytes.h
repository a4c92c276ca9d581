// What every yEnc decoder shares (the portable one in msyenc.cpp, the vector
// ones of yenc_vector.h): the offsets, the byte-at-a-time state machine that
// stops at the line after the data, and the vector decoders' way back to it.
#pragma once

#include <cstddef>

namespace lumigrab {

constexpr unsigned char kYEncOffset = 42;
constexpr unsigned char kYEncEscapeOffset = 64;

// One byte of the state machine that every decoder follows: the portable one
// for everything, the vector ones for the stretches they leave to it.
inline char* DecodeYEncByte(unsigned char c, char* out, bool& escape)
{
    if (c == '\r' || c == '\n') {
        escape = false;
    } else if (escape) {
        *out++ = char(c - kYEncOffset - kYEncEscapeOffset);
        escape = false;
    } else if (c == '=') {
        escape = true;
    } else {
        *out++ = char(c - kYEncOffset);
    }
    return out;
}

// Where a decoder that stops at control lines stands: the start of its
// text, and whether that start begins a line.
struct YEncTextStart {
    const unsigned char* begin;
    bool lineStart;
};

// True when the byte at `at` is the "y" of an "=y" that begins a line: the
// line after the data (yEnc data never begins a line with "=y").
inline bool ClosesYEncData(const unsigned char* at, YEncTextStart start)
{
    return *at == 'y' && at > start.begin && at[-1] == '='
        && (at - 1 == start.begin ? start.lineStart : at[-2] == '\n');
}

// Decodes the bytes in [in, stop); with kStop, stops at the "=" of a line
// that begins with "=y" and returns true, in pointing at that "=". The "="
// wrote nothing and followed a line break, so the escape state is clear.
template <bool kStop>
inline bool DecodeYEncBytes(
    const unsigned char*& in, const unsigned char* stop, char*& out, bool& escape, YEncTextStart start)
{
    for (; in < stop; ++in) {
        if (kStop && ClosesYEncData(in, start)) {
            --in;
            escape = false;
            return true;
        }
        out = DecodeYEncByte(*in, out, escape);
    }
    return false;
}

// The vector decoders take the byte before each chunk to tell whether its
// first byte is escaped: an "=" there escapes it. That holds unless the "="
// was itself escaped ("=="), which valid yEnc never writes (an escaped byte
// is 64 above a critical one). Chunks with "==" go to the byte decoder, which
// then goes on until the rule holds again (at most one byte more). So do
// chunks with "=y", which valid data never holds either, when the decoder
// looks out for the line that ends the data. Returns true when it found it.
template <bool kStop>
inline bool DecodeYEncStretch(const unsigned char*& in, size_t count, const unsigned char* end, char*& out,
    bool& escape, YEncTextStart start)
{
    if (DecodeYEncBytes<kStop>(in, in + count, out, escape, start))
        return true;
    while (in < end && escape != (in[-1] == '=')) {
        if (DecodeYEncBytes<kStop>(in, in + 1, out, escape, start))
            return true;
    }
    return false;
}

} // namespace lumigrab
