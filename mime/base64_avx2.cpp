#include "mime/base64_avx2.h"

#ifdef LUMIGRAB_BASE64_AVX2

#include <bit>
#include <cstdint>

#include <immintrin.h>

#include "mime/base64_lines.h"
#include "mime/sixbit_avx2.h"

namespace lumigrab {

namespace {

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

} // namespace

// Clean lines 32 characters at a time. A line's last characters, short of
// 32, are decoded as the 32 that end the line, again over bytes already
// written alike, so that lines of 32 characters and more never take the
// group-at-a-time way; only the text's last 31 characters do. Once a line
// has shown the length and line break of the lines to come, the lines that
// share them take the way of DecodeSameLinesAvx2.
__attribute__((target("avx2"))) TBase64Lines DecodeBase64LinesAvx2(std::string_view text, char* out)
{
    const Base64Avx2 codec;
    const unsigned char* const begin = UnsignedBytes(text);
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
            const TBase64Lines rest = DecodeBase64LinesPortable(text.substr(size_t(line - begin)), lineOut);
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

} // namespace lumigrab

#endif // LUMIGRAB_BASE64_AVX2
