// Base64, quoted-printable and encoded-word (RFC 2047) codecs.
//
// Line-level operations take a maximum output length: header texts keep the
// classic 255-byte short-text limit, while the message decoder passes a
// larger one so that long body lines decode whole.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "base/classes.h"
#include "base/sysutils.h"

namespace lumigrab {

// Capacity of a short text (header values, single decoded lines).
constexpr size_t kShortTextMax = 255;

extern const std::string_view Base64Alphabet;

// The 6-bit value of a base64 character; the pad "=" counts as 0. Any
// other character raises EInOutError("Invalid Character").
int Base64CharValue(char c);

// Decodes one base64 line into dest (replaced; its capacity is reused).
// Unpadded input is accepted (a last partial group yields a whole byte);
// each trailing "=" drops one byte. At most maxLen bytes are kept. An
// invalid character raises EInOutError("Invalid Character") and leaves dest
// unchanged.
void DecodeBase64(std::string_view src, std::string& dest, size_t maxLen = kShortTextMax);
std::string DecodeBase64(std::string_view src, size_t maxLen = kShortTextMax);

// Decodes one base64 line of message data as DecodeBase64 does, but skips
// every character outside the alphabet and "=" (RFC 2045 section 6.8):
// blanks at a line's end or stray characters between the characters, as
// mail gateways leave them, do not lose the data. Never raises.
void DecodeBase64DataLine(std::string_view src, std::string& dest, size_t maxLen = kShortTextMax);
// Where DecodeCleanBase64Lines stopped: the text it took and the bytes it
// wrote.
struct TBase64Lines {
    size_t consumed = 0;
    size_t written = 0;
};

// Decodes the lines at the start of text that need no tolerance, in one
// pass: whole groups of four alphabet characters without "=", each line
// ended by LF or CR LF (empty lines give nothing). Stops before the first
// other line, a last line without its line break included, and leaves it to
// DecodeBase64DataLine; each line taken gives the bytes that function gives
// it. out needs room for text.size() / 4 * 3 + 1 bytes: one byte of slack.
TBase64Lines DecodeCleanBase64Lines(std::string_view text, char* out);
// One way of decoding clean lines, as DecodeCleanBase64Lines does: the
// portable one a group of four characters at a time, others many at once.
struct TBase64BlockDecoder {
    const char* name;
    TBase64Lines (*decode)(std::string_view text, char* out);
};

// The implementations this processor runs, fastest first; the last one is
// the portable one.
std::span<const TBase64BlockDecoder> Base64BlockDecoders();
// DecodeCleanBase64Lines with the given implementation.
TBase64Lines DecodeCleanBase64Lines(std::string_view text, char* out, const TBase64BlockDecoder& blocks);

// The characters of src that DecodeBase64DataLine decodes: the alphabet and
// "=", in their order. Decoding them strictly gives the same bytes.
std::string WithoutStrayBase64Characters(std::string_view src);

// Encodes src (up to 57 bytes make one 76-character mail line) into dest,
// padded with "="; output longer than maxLen is cut.
void EncodeBase64(std::string_view src, std::string& dest, size_t maxLen = kShortTextMax);
std::string EncodeBase64(std::string_view src, size_t maxLen = kShortTextMax);

// Replaces the encoded words "=?charset?B?text?=" and "=?charset?Q?text?="
// of a header value with their bytes (no charset conversion). White space
// between two adjacent words is dropped, plain text stays as it is (white
// space after the last decoded word aside), and words that cannot be
// decoded stay as they are. The result is cut to maxLen.
void DecodeHeaderText(std::string_view src, std::string& dest, size_t maxLen = kShortTextMax);
std::string DecodeHeaderText(std::string_view src, size_t maxLen = kShortTextMax);

// Decodes the quoted-printable escapes of one line up to its first decoded
// line break; a final "=" (soft break) is dropped and a malformed escape is
// kept literally. Never raises.
void DecodeQuotedPrintable(std::string_view src, std::string& dest, size_t maxLen = kShortTextMax);
std::string DecodeQuotedPrintable(std::string_view src, size_t maxLen = kShortTextMax);

// Converts between a byte stream and quoted-printable lines, paragraph by
// paragraph (the text between two line breaks), each held in a buffer of
// kMaxParagraph bytes. A paragraph of more than 24,575 bytes to encode, or
// of more than 24,574 decoded bytes (the buffer also takes its CR LF),
// raises Exception("Paragraph is too large"); earlier paragraphs stay
// written.
class TQuotedPrintable {
public:
    static constexpr size_t kMaxParagraph = 24576;

    TQuotedPrintable(TStream& stream, TStringList& lines);

    // Encodes the whole stream (from its start) and appends the lines.
    // Each line break (CR LF, CR or LF) ends a paragraph; a paragraph is cut
    // into lines of at most 65 source characters, preferably before a
    // blank, joined by soft breaks.
    void Encode();
    // Decodes all lines and writes the bytes at the stream's position;
    // every paragraph ends with CR LF, except a last one ending in byte 26.
    void Decode();

    // Both belong to the caller.
    TStream& Stream;
    TStringList& Lines;
};

} // namespace lumigrab
