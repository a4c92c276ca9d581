#include "mime/msmime.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <vector>

#include "base/messagepump.h"
#include "mime/sixbit_tables.h"

#if defined(__x86_64__) || defined(__i386__)
#define LUMIGRAB_X86 1
#include <immintrin.h>

#include "mime/sixbit_avx2.h"
#endif

namespace lumigrab {

namespace {

constexpr std::string_view kBase64Chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// "=" pads a cut group and counts as zero bits.
constexpr int Base64ValueOf(unsigned char c)
{
    if (c == '=')
        return 0;
    const size_t index = kBase64Chars.find(char(c));
    return index == std::string_view::npos ? -1 : int(index);
}

constexpr SixBitDecodeTables kBase64 = MakeSixBitDecodeTables(Base64ValueOf);

// The same without the pad: a clean line has none.
constexpr SixBitDecodeTables kBase64WithoutPad
    = MakeSixBitDecodeTables([](unsigned char c) { return c == '=' ? -1 : Base64ValueOf(c); });

const unsigned char* Bytes(std::string_view text)
{
    return reinterpret_cast<const unsigned char*>(text.data());
}

// True when text points into dest's buffer, so that resizing dest would
// pull the input away under the codec.
bool Overlaps(std::string_view text, const std::string& dest)
{
    const auto begin = reinterpret_cast<uintptr_t>(dest.data());
    const auto start = reinterpret_cast<uintptr_t>(text.data());
    return !text.empty() && start >= begin && start <= begin + dest.capacity();
}

bool AllBase64(std::string_view src)
{
    uint32_t seen = 0;
    for (const unsigned char c : src)
        seen |= kBase64.Value(c);
    return (seen & kInvalidSixBit) == 0;
}

size_t TrailingPads(std::string_view src)
{
    size_t pads = 0;
    while (pads < src.size() && src[src.size() - 1 - pads] == '=')
        ++pads;
    return pads;
}

// Decodes the first byteCount bytes of src (all of them valid) into out.
void DecodeValidBase64(std::string_view src, size_t byteCount, char* out)
{
    const unsigned char* in = Bytes(src);
    const size_t wholeGroups = std::min(byteCount / 3, src.size() / 4);
    for (size_t group = 0; group < wholeGroups; ++group, in += 4, out += 3)
        PutGroupBytes(kBase64.GroupValue(in), out, 3);
    if (const size_t rest = byteCount - wholeGroups * 3)
        PutGroupBytes(kBase64.PartialGroupValue(src, wholeGroups * 4), out, rest);
}

// Stores the group's three bytes with one four-byte write; the fourth byte
// is overwritten by the next group or lies in the caller's slack.
void PutGroupWithSlack(uint32_t value, char* out)
{
    if constexpr (std::endian::native == std::endian::little) {
        const uint32_t bigEndian = __builtin_bswap32(value << 8);
        std::memcpy(out, &bigEndian, 4);
    } else {
        PutGroupBytes(value, out, 3);
    }
}

// Decodes all of src into out (room for whole groups plus one byte needed)
// and returns the OR of the table entries, which carries kInvalidSixBit for a bad
// character.
uint32_t DecodeAndCheckBase64(std::string_view src, char* out)
{
    const unsigned char* in = Bytes(src);
    const size_t wholeGroups = src.size() / 4;
    uint32_t seen = 0;
    for (size_t group = 0; group < wholeGroups; ++group, in += 4, out += 3) {
        const uint32_t value = kBase64.GroupValue(in);
        seen |= value;
        PutGroupWithSlack(value, out);
    }
    if (src.size() % 4) {
        const uint32_t value = kBase64.PartialGroupValue(src, wholeGroups * 4);
        seen |= value;
        PutGroupBytes(value, out, 3);
    }
    return seen;
}

// Lines up to this size decode in one pass through a stack buffer, which
// keeps dest untouched until the whole line has proved valid.
constexpr size_t kStackDecodeBytes = 3 * 1024;

// Decodes src into dest when every character is in the alphabet (or "=");
// otherwise returns false and leaves dest unchanged.
bool TryDecodeBase64(std::string_view src, std::string& dest, size_t maxLen)
{
    // A group cut short after k characters still yields k bytes, the last
    // of them partly padding bits.
    const size_t decoded = src.size() / 4 * 3 + src.size() % 4;
    const size_t kept = std::min(decoded - std::min(decoded, TrailingPads(src)), maxLen);
    if (decoded <= kStackDecodeBytes) {
        char buffer[kStackDecodeBytes + 4];
        if (DecodeAndCheckBase64(src, buffer) & kInvalidSixBit)
            return false;
        dest.assign(buffer, kept);
        return true;
    }
    if (!AllBase64(src))
        return false;
    if (Overlaps(src, dest)) {
        const std::string copy(src);
        dest.resize(kept);
        DecodeValidBase64(copy, kept, dest.data());
        return true;
    }
    dest.resize(kept);
    DecodeValidBase64(src, kept, dest.data());
    return true;
}

// The length of the line break at in (LF or CR LF), 0 when none is there.
size_t LineBreakAt(const unsigned char* in, const unsigned char* end)
{
    if (in < end && in[0] == '\n')
        return 1;
    return end - in >= 2 && in[0] == '\r' && in[1] == '\n' ? 2 : 0;
}

// Clean lines a group at a time.
TBase64Lines DecodeLinesPortable(std::string_view text, char* out)
{
    const unsigned char* const begin = Bytes(text);
    const unsigned char* const end = begin + text.size();
    const unsigned char* in = begin;
    char* written = out;
    TBase64Lines taken;
    for (;;) {
        // Up to the first character that is no base64...
        for (; end - in >= 4; in += 4, written += 3) {
            const uint32_t value = kBase64WithoutPad.GroupValue(in);
            if (value & kInvalidSixBit)
                break;
            PutGroupWithSlack(value, written);
        }
        // ...which must be the line's end, at a group's start; anything
        // else leaves the whole line to the tolerant decoder.
        const size_t lineBreak = LineBreakAt(in, end);
        if (lineBreak == 0)
            return taken;
        in += lineBreak;
        taken = { size_t(in - begin), size_t(written - out) };
    }
}

#ifdef LUMIGRAB_X86

// 32 characters at a time, checked and translated by nibble look-ups: a
// character is in the alphabet when the bit its low nibble selects is clear
// in the mask its high nibble selects. "=" is not.
struct Base64Avx2 {
    __m256i lowNibbleBits;
    __m256i highNibbleBits;
    // What to add to a character to get its six bits, by its high nibble
    // ("/" moved to a slot of its own).
    __m256i shifts;
    // "/", which also masks a look-up index: the look-ups read bits 0 to 3
    // and ignore bit 5; bit 7, which would make them give zero, is cleared.
    __m256i slash;
    SixBitPackAvx2 pack;

    __attribute__((target("avx2"))) Base64Avx2()
        : lowNibbleBits(_mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13,
            0x1A, 0x1B, 0x1B, 0x1B, 0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13,
            0x1A, 0x1B, 0x1B, 0x1B, 0x1A))
        , highNibbleBits(_mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10,
              0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10,
              0x10, 0x10, 0x10, 0x10, 0x10))
        , shifts(_mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 19, 4, -65,
              -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0))
        , slash(_mm256_set1_epi8('/'))
    {
    }

    // Hides the tables' values from the compiler, which then keeps them in
    // registers through a loop rather than building them again in it.
    __attribute__((target("avx2"))) void Pin()
    {
        asm("" : "+x"(lowNibbleBits), "+x"(highNibbleBits), "+x"(shifts), "+x"(slash));
        pack.Pin();
    }

    static __attribute__((target("avx2"))) __m256i Load(const unsigned char* in)
    {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
    }

    static __attribute__((target("avx2"))) __m128i LoadHalf(const unsigned char* in)
    {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    }

    __attribute__((target("avx2"))) __m256i High(__m256i chars) const
    {
        return _mm256_and_si256(_mm256_srli_epi32(chars, 4), slash);
    }

    // A byte other than zero for each character that is not in the
    // alphabet; these OR together, so that one test covers many blocks.
    __attribute__((target("avx2"))) __m256i StrangerBits(__m256i chars) const
    {
        return _mm256_and_si256(_mm256_shuffle_epi8(lowNibbleBits, _mm256_and_si256(chars, slash)),
            _mm256_shuffle_epi8(highNibbleBits, High(chars)));
    }

    // One bit per character that is not in the alphabet.
    __attribute__((target("avx2"))) uint32_t Strangers(__m256i chars) const
    {
        return ~uint32_t(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(StrangerBits(chars), _mm256_setzero_si256())));
    }

    // The same for 16 characters, with the tables' first halves.
    __attribute__((target("avx2"))) __m128i StrangerBits(__m128i chars) const
    {
        const __m128i mask = _mm256_castsi256_si128(slash);
        return _mm_and_si128(
            _mm_shuffle_epi8(_mm256_castsi256_si128(lowNibbleBits), _mm_and_si128(chars, mask)),
            _mm_shuffle_epi8(
                _mm256_castsi256_si128(highNibbleBits), _mm_and_si128(_mm_srli_epi32(chars, 4), mask)));
    }

    // Exactly the 12 bytes of 16 alphabet characters.
    __attribute__((target("avx2"))) void Decode(__m128i chars, char* out) const
    {
        const __m128i high = _mm_and_si128(_mm_srli_epi32(chars, 4), _mm256_castsi256_si128(slash));
        const __m128i shift = _mm_shuffle_epi8(_mm256_castsi256_si128(shifts),
            _mm_add_epi8(_mm_cmpeq_epi8(chars, _mm256_castsi256_si128(slash)), high));
        SixBitPackAvx2::Store(pack.Half(_mm_add_epi8(chars, shift)), out);
    }

    // The 24 bytes of 32 alphabet characters, 12 in each half: bytes 0 to
    // 11 and 16 to 27.
    __attribute__((target("avx2"))) __m256i DecodeHalves(__m256i chars) const
    {
        const __m256i shift
            = _mm256_shuffle_epi8(shifts, _mm256_add_epi8(_mm256_cmpeq_epi8(chars, slash), High(chars)));
        return pack.Halves(_mm256_add_epi8(chars, shift));
    }

    // Exactly the 24 bytes of 32 alphabet characters: no slack needed.
    __attribute__((target("avx2"))) void Decode(__m256i chars, char* out) const
    {
        pack.Store(DecodeHalves(chars), out);
    }

    // The same, quicker, with 4 bytes of slack: 28 bytes written.
    __attribute__((target("avx2"))) void DecodeWithSlack(__m256i chars, char* out) const
    {
        SixBitPackAvx2::StoreWithSlack(DecodeHalves(chars), out);
    }
};

template <size_t BreakBytes> bool IsLineBreak(const unsigned char* at)
{
    if constexpr (BreakBytes == 1)
        return at[0] == '\n';
    else
        return at[0] == '\r' && at[1] == '\n';
}

// Decodes lines of the given length (32 characters or more, whole groups),
// each ended by a line break of BreakBytes, for as long as they come clean;
// returns the start of the first other line. Encoders write all lines but
// the last alike, so where the next line starts is known before this one is
// checked: lines never wait for the search of their end, and the processor
// works on several at once. A line is decoded before it is checked; the
// bytes of one that fails lie beyond what is taken.
//
// A line is cut into blocks of 32 characters (FullBlocks of them, or as
// many as fit when it is kAnyBlocks) and a rest, decoded as the line's last
// 16 or 32 characters, again over bytes already written alike.
constexpr size_t kAnyBlocks = 0;

template <size_t BreakBytes, size_t FullBlocks>
__attribute__((target("avx2"), noinline)) const unsigned char* DecodeSameLinesAvx2(
    const unsigned char* line, const unsigned char* end, size_t length, char*& lineOut)
{
    Base64Avx2 codec;
    codec.Pin();
    const size_t blocks = FullBlocks == kAnyBlocks ? length / 32 : FullBlocks;
    const size_t rest = length % 32;
    const size_t lineBytes = length / 4 * 3;
    // A block's slack lies in the next block or in the line's rest, which
    // is written after it; only a rest of 8 characters or more holds the
    // last block's.
    const bool lastBlockSlack = rest >= 8;
    // A copy the stores cannot change, unlike lineOut.
    char* written = lineOut;
    while (size_t(end - line) >= length + BreakBytes && IsLineBreak<BreakBytes>(line + length)) {
        __m256i strangers = _mm256_setzero_si256();
        for (size_t block = 0; block < blocks; ++block) {
            const __m256i chars = Base64Avx2::Load(line + block * 32);
            strangers = _mm256_or_si256(strangers, codec.StrangerBits(chars));
            if (block + 1 < blocks || lastBlockSlack)
                codec.DecodeWithSlack(chars, written + block * 24);
            else
                codec.Decode(chars, written + block * 24);
        }
        if (rest > 16) {
            const __m256i chars = Base64Avx2::Load(line + length - 32);
            strangers = _mm256_or_si256(strangers, codec.StrangerBits(chars));
            codec.Decode(chars, written + lineBytes - 24);
        } else if (rest > 0) {
            const __m128i chars = Base64Avx2::LoadHalf(line + length - 16);
            strangers = _mm256_or_si256(strangers, _mm256_zextsi128_si256(codec.StrangerBits(chars)));
            codec.Decode(chars, written + lineBytes - 12);
        }
        if (!_mm256_testz_si256(strangers, strangers))
            break;
        line += length + BreakBytes;
        written += lineBytes;
    }
    lineOut = written;
    return line;
}

// Lines of 32 to 95 characters, among them the 64 and 76 that encoders
// write, take versions with the number of blocks fixed; longer lines the one
// for any number.
template <size_t BreakBytes>
__attribute__((target("avx2"))) const unsigned char* DecodeSameLinesAvx2(
    const unsigned char* line, const unsigned char* end, size_t length, char*& lineOut)
{
    switch (length / 32) {
    case 1:
        return DecodeSameLinesAvx2<BreakBytes, 1>(line, end, length, lineOut);
    case 2:
        return DecodeSameLinesAvx2<BreakBytes, 2>(line, end, length, lineOut);
    default:
        return DecodeSameLinesAvx2<BreakBytes, kAnyBlocks>(line, end, length, lineOut);
    }
}

// Clean lines 32 characters at a time. A line's last characters, short of
// 32, are decoded as the 32 that end the line, again over bytes already
// written alike, so that lines of 32 characters and more never take the
// group-at-a-time way; only the text's last 31 characters do. Once a line
// has shown the length and line break of the lines to come, the lines that
// share them take the way of DecodeSameLinesAvx2.
__attribute__((target("avx2"))) TBase64Lines DecodeLinesAvx2(std::string_view text, char* out)
{
    const Base64Avx2 codec;
    const unsigned char* const begin = Bytes(text);
    const unsigned char* const end = begin + text.size();
    const unsigned char* line = begin;
    char* lineOut = out;
    TBase64Lines taken;
    size_t sameLength = 0;
    size_t sameBreak = 0;
    for (;;) {
        if (sameLength >= 32) {
            line = sameBreak == 1 ? DecodeSameLinesAvx2<1>(line, end, sameLength, lineOut)
                                  : DecodeSameLinesAvx2<2>(line, end, sameLength, lineOut);
            taken = { size_t(line - begin), size_t(lineOut - out) };
        }
        const unsigned char* in = line;
        char* written = lineOut;
        uint32_t strangers = 0;
        for (; end - in >= 32; in += 32, written += 24) {
            const __m256i chars = Base64Avx2::Load(in);
            strangers = codec.Strangers(chars);
            if (strangers != 0)
                break;
            codec.Decode(chars, written);
        }
        if (strangers == 0) {
            // Too near the text's end for whole blocks.
            const TBase64Lines rest = DecodeLinesPortable(text.substr(size_t(line - begin)), lineOut);
            return rest.consumed == 0
                ? taken
                : TBase64Lines { size_t(line - begin) + rest.consumed, size_t(lineOut - out) + rest.written };
        }
        const unsigned run = unsigned(std::countr_zero(strangers));
        if (run % 4 != 0)
            return taken;
        const unsigned char* const lineEnd = in + run;
        if (lineEnd - line >= 32) {
            const unsigned char* const last = lineEnd - 32;
            codec.Decode(Base64Avx2::Load(last), lineOut + (last - line) / 4 * 3);
        } else {
            for (; in < lineEnd; in += 4, written += 3)
                PutGroupWithSlack(kBase64WithoutPad.GroupValue(in), written);
        }
        const size_t lineBreak = LineBreakAt(lineEnd, end);
        if (lineBreak == 0)
            return taken;
        sameLength = size_t(lineEnd - line);
        sameBreak = lineBreak;
        lineOut += sameLength / 4 * 3;
        line = lineEnd + lineBreak;
        taken = { size_t(line - begin), size_t(lineOut - out) };
    }
}

#endif // LUMIGRAB_X86

std::vector<TBase64BlockDecoder> AvailableBlockDecoders()
{
    std::vector<TBase64BlockDecoder> decoders;
#ifdef LUMIGRAB_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2"))
        decoders.push_back({ "avx2", DecodeLinesAvx2 });
#endif
    decoders.push_back({ "portable", DecodeLinesPortable });
    return decoders;
}

const std::vector<TBase64BlockDecoder>& BlockDecoders()
{
    static const std::vector<TBase64BlockDecoder> decoders = AvailableBlockDecoders();
    return decoders;
}

} // namespace

const std::string_view Base64Alphabet = kBase64Chars;

int Base64CharValue(char c)
{
    return SixBitValue(kBase64, c);
}

void DecodeBase64(std::string_view src, std::string& dest, size_t maxLen)
{
    if (!TryDecodeBase64(src, dest, maxLen))
        RaiseInvalidCharacter();
}

std::string DecodeBase64(std::string_view src, size_t maxLen)
{
    std::string dest;
    DecodeBase64(src, dest, maxLen);
    return dest;
}

void DecodeBase64DataLine(std::string_view src, std::string& dest, size_t maxLen)
{
    // Clean lines, nearly all of them, decode in one pass; only a line that
    // fails is copied without its stray characters and decoded again.
    if (TryDecodeBase64(src, dest, maxLen))
        return;
    DecodeBase64(WithoutStrayBase64Characters(src), dest, maxLen);
}

TBase64Lines DecodeCleanBase64Lines(std::string_view text, char* out)
{
    static const TBase64BlockDecoder& fastest = BlockDecoders().front();
    return DecodeCleanBase64Lines(text, out, fastest);
}

TBase64Lines DecodeCleanBase64Lines(std::string_view text, char* out, const TBase64BlockDecoder& blocks)
{
    return blocks.decode(text, out);
}

std::span<const TBase64BlockDecoder> Base64BlockDecoders()
{
    return BlockDecoders();
}

std::string WithoutStrayBase64Characters(std::string_view src)
{
    std::string kept;
    kept.reserve(src.size());
    std::copy_if(src.begin(), src.end(), std::back_inserter(kept),
        [](char c) { return (kBase64.Value(static_cast<unsigned char>(c)) & kInvalidSixBit) == 0; });
    return kept;
}

void EncodeBase64(std::string_view src, std::string& dest, size_t maxLen)
{
    if (Overlaps(src, dest)) {
        const std::string copy(src);
        EncodeBase64(copy, dest, maxLen);
        return;
    }
    const size_t wholeGroups = src.size() / 3;
    const size_t rest = src.size() % 3;
    dest.resize((wholeGroups + (rest ? 1 : 0)) * 4);
    const unsigned char* in = Bytes(src);
    char* out = dest.data();
    const char* alphabet = Base64Alphabet.data();
    for (size_t group = 0; group < wholeGroups; ++group, in += 3, out += 4)
        PutGroupChars(ByteGroupValue(in), alphabet, out);
    if (rest) {
        const uint32_t value = uint32_t(in[0]) << 16 | (rest == 2 ? uint32_t(in[1]) << 8 : 0);
        PutGroupChars(value, alphabet, out);
        if (rest == 1)
            out[2] = '=';
        out[3] = '=';
    }
    if (dest.size() > maxLen)
        dest.resize(maxLen);
}

std::string EncodeBase64(std::string_view src, size_t maxLen)
{
    std::string dest;
    EncodeBase64(src, dest, maxLen);
    return dest;
}

// ---------------------------------------------------------------------------
// Quoted-printable

namespace {

constexpr size_t kLineWidth = 65;
// The paragraph buffer holds the decoded text and its CR LF.
constexpr size_t kMaxDecodedParagraph = TQuotedPrintable::kMaxParagraph - 2;
constexpr size_t kMaxEncodedParagraph = TQuotedPrintable::kMaxParagraph - 1;
constexpr char kEndOfFile = 26;

[[noreturn]] void RaiseParagraphTooLarge()
{
    throw Exception("Paragraph is too large");
}

constexpr std::array<int8_t, 256> MakeHexValues()
{
    std::array<int8_t, 256> values {};
    values.fill(-1);
    for (int digit = 0; digit < 10; ++digit)
        values['0' + digit] = int8_t(digit);
    for (int digit = 0; digit < 6; ++digit) {
        values['A' + digit] = int8_t(10 + digit);
        values['a' + digit] = int8_t(10 + digit);
    }
    return values;
}

constexpr std::array<int8_t, 256> kHexValue = MakeHexValues();

int HexValue(char c)
{
    return kHexValue[static_cast<unsigned char>(c)];
}

// The byte of the escape whose digits start at line[index] (one digit when
// it is the last character), or nullopt with the number of digits used.
std::optional<char> EscapedByte(std::string_view line, size_t index, size_t& digits)
{
    digits = std::min<size_t>(2, line.size() - index);
    int value = 0;
    for (size_t k = 0; k < digits; ++k) {
        const int digit = HexValue(line[index + k]);
        if (digit < 0)
            return std::nullopt;
        value = value * 16 + digit;
    }
    return char(value);
}

// Appends the unescaped line to out; returns true when the line ends in a
// soft break. The last character never starts an escape, and only a raw
// final "=" is a soft break: a decoded "=3D" is text.
bool UnescapeLine(std::string_view line, std::string& out)
{
    if (line.empty())
        return false;
    const size_t last = line.size() - 1;
    size_t index = 0;
    while (index < last) {
        const void* found = std::memchr(line.data() + index, '=', last - index);
        const size_t equals = found ? size_t(static_cast<const char*>(found) - line.data()) : last;
        out.append(line.data() + index, equals - index);
        index = equals;
        if (!found)
            break;
        size_t digits = 0;
        if (const auto byte = EscapedByte(line, equals + 1, digits)) {
            out.push_back(*byte);
            index = equals + 1 + digits;
        } else {
            out.push_back('=');
            index = equals + 1;
        }
    }
    if (index == last) {
        if (line[last] == '=')
            return true;
        out.push_back(line[last]);
    }
    return false;
}

constexpr std::array<bool, 256> MakeNeedsEscape()
{
    std::array<bool, 256> escape {};
    for (int c = 0; c < 256; ++c)
        escape[c] = c < 32 || c == '=' || c >= 128;
    return escape;
}

constexpr std::array<bool, 256> kNeedsEscape = MakeNeedsEscape();

// Escapes one line of at most kLineWidth characters. A blank at the very
// end of an encoded line is escaped, since transports may strip trailing
// white space.
std::string EscapeLine(std::string_view text, bool softBreak)
{
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    char buffer[kLineWidth * 3 + 1];
    char* out = buffer;
    const bool escapeLastBlank = !softBreak && !text.empty() && text.back() == ' ';
    for (size_t index = 0; index < text.size(); ++index) {
        const auto c = static_cast<unsigned char>(text[index]);
        if (kNeedsEscape[c] || (escapeLastBlank && index + 1 == text.size())) {
            out[0] = '=';
            out[1] = kHexDigits[c >> 4];
            out[2] = kHexDigits[c & 15];
            out += 3;
        } else {
            *out++ = char(c);
        }
    }
    if (softBreak)
        *out++ = '=';
    return std::string(buffer, size_t(out - buffer));
}

// Length of the next line of a paragraph rest of at least kLineWidth
// characters: up to the last blank at offsets kLineWidth..1, else the
// full width.
size_t NextLineLength(std::string_view rest)
{
    for (size_t offset = std::min(kLineWidth, rest.size() - 1); offset >= 1; --offset) {
        if (rest[offset] == ' ')
            return offset;
    }
    return kLineWidth;
}

void AddParagraphLines(std::string_view paragraph, TStringList& lines)
{
    while (paragraph.size() >= kLineWidth) {
        const size_t length = NextLineLength(paragraph);
        lines.Add(EscapeLine(paragraph.substr(0, length), true));
        paragraph.remove_prefix(length);
    }
    lines.Add(EscapeLine(paragraph, false));
}

// Finds CR and LF in a block with one vectorised search per character,
// remembering the next hit of each so no byte is searched twice.
class LineBreakFinder {
public:
    LineBreakFinder(const char* data, size_t size)
        : data_(data)
        , size_(size)
    {
    }

    size_t Next(size_t from) { return std::min(NextOf('\r', nextCR_, from), NextOf('\n', nextLF_, from)); }

private:
    size_t NextOf(char c, size_t& cached, size_t from)
    {
        if (cached < from || cached == kUnknown) {
            const void* hit = std::memchr(data_ + from, c, size_ - from);
            cached = hit ? size_t(static_cast<const char*>(hit) - data_) : size_;
        }
        return cached;
    }

    static constexpr size_t kUnknown = size_t(-1);
    const char* data_;
    size_t size_;
    size_t nextCR_ = kUnknown;
    size_t nextLF_ = kUnknown;
};

// Cuts a byte stream, fed block by block, into paragraphs at CR LF, CR or
// LF and appends their encoded lines. A paragraph lying within one block is
// encoded in place; only one spanning blocks is collected.
class ParagraphEncoder {
public:
    explicit ParagraphEncoder(TStringList& lines)
        : lines_(lines)
    {
    }

    void Feed(std::string_view block)
    {
        LineBreakFinder lineBreaks(block.data(), block.size());
        size_t index = 0;
        if (afterCR_ && !block.empty() && block.front() == '\n')
            index = 1;
        afterCR_ = false;
        while (index < block.size()) {
            const size_t lineBreak = lineBreaks.Next(index);
            const std::string_view piece = block.substr(index, lineBreak - index);
            if (lineBreak == block.size()) {
                Collect(piece);
                afterCR_ = false;
                return;
            }
            EndParagraph(piece);
            afterCR_ = block[lineBreak] == '\r';
            index = lineBreak + 1;
            if (afterCR_ && index < block.size() && block[index] == '\n') {
                afterCR_ = false;
                ++index;
            }
        }
    }

    void Finish()
    {
        if (!collected_.empty())
            AddParagraphLines(collected_, lines_);
    }

private:
    static void CheckSize(size_t size)
    {
        if (size > kMaxEncodedParagraph)
            RaiseParagraphTooLarge();
    }

    void Collect(std::string_view piece)
    {
        CheckSize(collected_.size() + piece.size());
        collected_.append(piece);
    }

    void EndParagraph(std::string_view piece)
    {
        if (collected_.empty()) {
            CheckSize(piece.size());
            AddParagraphLines(piece, lines_);
        } else {
            Collect(piece);
            AddParagraphLines(collected_, lines_);
            collected_.clear();
        }
        ProcessMessagesSometimes();
    }

    TStringList& lines_;
    std::string collected_;
    bool afterCR_ = false; // the last block ended in CR; an LF next is part of that break
};

} // namespace

void DecodeQuotedPrintable(std::string_view src, std::string& dest, size_t maxLen)
{
    std::string decoded;
    UnescapeLine(src, decoded);
    const size_t lineEnd = decoded.find_first_of("\r\n");
    if (lineEnd != std::string::npos)
        decoded.resize(lineEnd);
    if (decoded.size() > maxLen)
        decoded.resize(maxLen);
    dest = std::move(decoded);
}

std::string DecodeQuotedPrintable(std::string_view src, size_t maxLen)
{
    std::string dest;
    DecodeQuotedPrintable(src, dest, maxLen);
    return dest;
}

TQuotedPrintable::TQuotedPrintable(TStream& stream, TStringList& lines)
    : Stream(stream)
    , Lines(lines)
{
}

void TQuotedPrintable::Encode()
{
    Stream.SetPosition(0);
    ParagraphEncoder encoder(Lines);
    std::string block(64 * 1024, '\0');
    while (const size_t count = Stream.Read(block.data(), block.size()))
        encoder.Feed(std::string_view(block).substr(0, count));
    encoder.Finish();
}

void TQuotedPrintable::Decode()
{
    std::string paragraph;
    paragraph.reserve(kMaxParagraph);
    const int count = Lines.Count();
    for (int index = 0; index < count; ++index) {
        const bool softBreak = UnescapeLine(Lines[index], paragraph);
        if (paragraph.size() > kMaxDecodedParagraph)
            RaiseParagraphTooLarge();
        if (softBreak)
            continue;
        // Only the text's very end keeps a DOS end-of-file mark unterminated.
        const bool endOfFile = index == count - 1 && !paragraph.empty() && paragraph.back() == kEndOfFile;
        if (!endOfFile)
            paragraph.append("\r\n");
        Stream.WriteBuffer(paragraph.data(), paragraph.size());
        paragraph.clear();
        ProcessMessagesSometimes();
    }
    if (!paragraph.empty())
        Stream.WriteBuffer(paragraph.data(), paragraph.size());
}

// ---------------------------------------------------------------------------
// Encoded words in header values

namespace {

// The parts of an encoded word "=?charset?letter?text?=".
struct EncodedWord {
    char letter = 0;
    size_t textStart = 0;
    size_t close = std::string_view::npos; // position of the closing "?="
};

// Reads the structure of the word opened at open. The closing "?=" is
// searched only behind the letter, so a text that begins with "=" or has a
// single character still closes right.
std::optional<EncodedWord> ParseWord(std::string_view text, size_t open)
{
    const size_t charsetEnd = text.find('?', open + 2);
    if (charsetEnd == std::string_view::npos || charsetEnd + 2 >= text.size() || text[charsetEnd + 2] != '?')
        return std::nullopt;
    EncodedWord word;
    word.letter = UpChar(text[charsetEnd + 1]);
    word.textStart = charsetEnd + 3;
    word.close = text.find("?=", word.textStart);
    return word;
}

// The word's bytes; nullopt for an unknown letter or invalid base64.
std::optional<std::string> DecodeWordText(char letter, std::string_view text)
{
    if (letter == 'B') {
        if (!AllBase64(text))
            return std::nullopt;
        return DecodeBase64(text, std::string::npos);
    }
    if (letter == 'Q') {
        std::string spaced(text);
        std::replace(spaced.begin(), spaced.end(), '_', ' ');
        return DecodeQuotedPrintable(spaced, std::string::npos);
    }
    return std::nullopt;
}

} // namespace

void DecodeHeaderText(std::string_view src, std::string& dest, size_t maxLen)
{
    std::string out;
    out.reserve(src.size());
    bool lastWasWord = false;
    size_t decodedEnd = std::string::npos; // end of the last decoded word in out
    size_t scan = 0;
    while (scan < src.size()) {
        const size_t open = src.find("=?", scan);
        const auto word = open == std::string_view::npos ? std::nullopt : ParseWord(src, open);
        if (open == std::string_view::npos || (word && word->close == std::string_view::npos)) {
            out.append(src.substr(scan)); // an unclosed word ends decoding
            break;
        }
        const std::string_view between = src.substr(scan, open - scan);
        if (!word) {
            out.append(between).append("=?");
            lastWasWord = false;
            scan = open + 2;
            continue;
        }
        const std::string_view text = src.substr(word->textStart, word->close - word->textStart);
        const auto decoded = DecodeWordText(word->letter, text);
        if (!(lastWasWord && decoded && TrimView(between).empty()))
            out.append(between);
        out.append(decoded ? std::string_view(*decoded) : src.substr(open, word->close + 2 - open));
        if (decoded)
            decodedEnd = out.size();
        lastWasWord = decoded.has_value();
        scan = word->close + 2;
    }
    if (decodedEnd != std::string::npos) {
        while (out.size() > decodedEnd && IsBlankOrControl(out.back()))
            out.pop_back();
    }
    if (out.size() > maxLen)
        out.resize(maxLen);
    dest = std::move(out);
}

std::string DecodeHeaderText(std::string_view src, size_t maxLen)
{
    std::string dest;
    DecodeHeaderText(src, dest, maxLen);
    return dest;
}

} // namespace lumigrab
