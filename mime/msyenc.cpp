#include "mime/msyenc.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <memory>
#include <vector>

#include "base/sysutils.h"
#include "base/textline.h"
#include "mime/crc32fold.h"
#include "mime/mscrc32.h"

#if defined(__x86_64__) || defined(__i386__)
#define LUMIGRAB_X86 1
#include <immintrin.h>
#endif

namespace lumigrab {

namespace {

constexpr unsigned char kOffset = 42;
constexpr unsigned char kEscapeOffset = 64;

// ===========================================================================
// Data lines

// One byte of the state machine that every decoder follows: the portable one
// for everything, the vector ones for the stretches they leave to it.
inline char* DecodeByte(unsigned char c, char* out, bool& escape)
{
    if (c == '\r' || c == '\n') {
        escape = false;
    } else if (escape) {
        *out++ = char(c - kOffset - kEscapeOffset);
        escape = false;
    } else if (c == '=') {
        escape = true;
    } else {
        *out++ = char(c - kOffset);
    }
    return out;
}

constexpr uint64_t kOnes = 0x0101010101010101;
constexpr uint64_t kHighBits = 0x8080808080808080;

// Non-zero when some byte of word equals value.
inline uint64_t HasByte(uint64_t word, unsigned char value)
{
    const uint64_t x = word ^ (kOnes * value);
    return (x - kOnes) & ~x & kHighBits;
}

// Subtracts value (below 128) from every byte of word, modulo 256 each: the
// high bits keep the borrows from crossing into the next byte.
inline uint64_t SubtractFromBytes(uint64_t word, unsigned char value)
{
    return ((word | kHighBits) - kOnes * value) ^ (~word & kHighBits);
}

// Where a decoder that stops at control lines stands: the start of its
// text, and whether that start begins a line.
struct TextStart {
    const unsigned char* begin;
    bool lineStart;
};

// True when the byte at `at` is the "y" of an "=y" that begins a line: the
// line after the data (yEnc data never begins a line with "=y").
inline bool ClosesData(const unsigned char* at, TextStart start)
{
    return *at == 'y' && at > start.begin && at[-1] == '='
        && (at - 1 == start.begin ? start.lineStart : at[-2] == '\n');
}

// Decodes the bytes in [in, stop); with kStop, stops at the "=" of a line
// that begins with "=y" and returns true, in pointing at that "=". The "="
// wrote nothing and followed a line break, so the escape state is clear.
template <bool kStop>
inline bool DecodeBytes(
    const unsigned char*& in, const unsigned char* stop, char*& out, bool& escape, TextStart start)
{
    for (; in < stop; ++in) {
        if (kStop && ClosesData(in, start)) {
            --in;
            escape = false;
            return true;
        }
        out = DecodeByte(*in, out, escape);
    }
    return false;
}

// Eight bytes at a time while they hold no "=", CR or LF, which is most of
// the time; byte by byte otherwise.
template <bool kStop>
YEncStep DecodePortableWith(std::string_view src, char* dest, bool& escape, bool lineStart)
{
    const auto* in = reinterpret_cast<const unsigned char*>(src.data());
    const auto* const end = in + src.size();
    const TextStart start { in, lineStart };
    char* out = dest;
    bool closed = false;
    if constexpr (std::endian::native == std::endian::little) {
        while (end - in >= 8 && !closed) {
            uint64_t word;
            std::memcpy(&word, in, 8);
            if (!escape && !(HasByte(word, '=') | HasByte(word, '\r') | HasByte(word, '\n'))) {
                word = SubtractFromBytes(word, kOffset);
                std::memcpy(out, &word, 8);
                out += 8;
                in += 8;
                continue;
            }
            closed = DecodeBytes<kStop>(in, in + 8, out, escape, start);
        }
    }
    if (!closed)
        closed = DecodeBytes<kStop>(in, end, out, escape, start);
    return { size_t(in - start.begin), size_t(out - dest), closed };
}

size_t DecodePortable(std::string_view src, char* dest, bool& escape)
{
    return DecodePortableWith<false>(src, dest, escape, false).written;
}

YEncStep DecodeDataPortable(std::string_view src, char* dest, bool& escape, bool lineStart)
{
    return DecodePortableWith<true>(src, dest, escape, lineStart);
}

#ifdef LUMIGRAB_X86

// The vector decoders take the byte before each chunk to tell whether its
// first byte is escaped: an "=" there escapes it. That holds unless the "="
// was itself escaped ("=="), which valid yEnc never writes (an escaped byte
// is 64 above a critical one). Chunks with "==" go to the byte decoder, which
// then goes on until the rule holds again (at most one byte more). So do
// chunks with "=y", which valid data never holds either, when the decoder
// looks out for the line that ends the data. Returns true when it found it.
template <bool kStop>
inline bool DecodeStretch(const unsigned char*& in, size_t count, const unsigned char* end, char*& out,
    bool& escape, TextStart start)
{
    if (DecodeBytes<kStop>(in, in + count, out, escape, start))
        return true;
    while (in < end && escape != (in[-1] == '=')) {
        if (DecodeBytes<kStop>(in, in + 1, out, escape, start))
            return true;
    }
    return false;
}

// For each 8-bit mask of dropped bytes: the positions of the kept bytes, in
// order, one per byte of the entry (the tail of an entry is never used).
constexpr std::array<uint64_t, 256> MakeKeepOrder()
{
    std::array<uint64_t, 256> table {};
    for (unsigned drop = 0; drop < 256; ++drop) {
        unsigned kept = 0;
        for (unsigned position = 0; position < 8; ++position) {
            if (!(drop & (1u << position)))
                table[drop] |= uint64_t(position) << (8 * kept++);
        }
    }
    return table;
}

constexpr std::array<uint8_t, 256> MakeKeepCount()
{
    std::array<uint8_t, 256> table {};
    for (unsigned drop = 0; drop < 256; ++drop)
        table[drop] = uint8_t(8 - std::popcount(drop));
    return table;
}

// The same for the high half of a 16-byte vector: positions 8 to 15.
constexpr std::array<uint64_t, 256> MakeKeepOrderHigh()
{
    std::array<uint64_t, 256> table = MakeKeepOrder();
    for (uint64_t& entry : table)
        entry += 0x0808080808080808;
    return table;
}

constexpr std::array<uint64_t, 256> kKeepOrder = MakeKeepOrder();
constexpr std::array<uint64_t, 256> kKeepOrderHigh = MakeKeepOrderHigh();
constexpr std::array<uint8_t, 256> kKeepCount = MakeKeepCount();

// Writes the bytes of a 16-byte vector whose bit is clear in drop, packed,
// as two 8-byte halves. Each store writes 8 bytes whatever it keeps: out must
// have room for 16 bytes even when fewer are kept.
__attribute__((target("ssse3"))) inline char* StoreKept16(__m128i bytes, unsigned drop, char* out)
{
    const unsigned low = drop & 0xFF;
    const unsigned high = (drop >> 8) & 0xFF;
    const __m128i order
        = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(&kKeepOrder[low])),
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&kKeepOrderHigh[high])));
    const __m128i packed = _mm_shuffle_epi8(bytes, order);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), packed);
    out += kKeepCount[low];
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_unpackhi_epi64(packed, packed));
    return out + kKeepCount[high];
}

// Output never runs ahead of input: a store at out covers at most the
// chunk's own 16 or 64 bytes, so dest needs no room beyond src.size().
template <bool kStop>
__attribute__((target("ssse3"))) YEncStep DecodeSsse3With(
    std::string_view src, char* dest, bool& escapePending, bool lineStart)
{
    // A copy of its own, which the stores through out cannot touch.
    bool escape = escapePending;
    const auto* in = reinterpret_cast<const unsigned char*>(src.data());
    const auto* const end = in + src.size();
    const TextStart start { in, lineStart };
    char* out = dest;
    if (in == end)
        return { 0, 0, false };
    bool closed = DecodeStretch<kStop>(in, 1, end, out, escape, start);
    const __m128i equals = _mm_set1_epi8('=');
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i letterY = _mm_set1_epi8('y');
    const __m128i offset = _mm_set1_epi8(char(kOffset));
    const __m128i escapeOffset = _mm_set1_epi8(char(kEscapeOffset));
    while (end - in >= 16 && !closed) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in - 1));
        const __m128i isEquals = _mm_cmpeq_epi8(v, equals);
        const __m128i escaped = _mm_cmpeq_epi8(before, equals);
        const __m128i unusual = kStop ? _mm_or_si128(isEquals, _mm_cmpeq_epi8(v, letterY)) : isEquals;
        if (_mm_movemask_epi8(_mm_and_si128(unusual, escaped))) {
            closed = DecodeStretch<kStop>(in, 16, end, out, escape, start);
            continue;
        }
        const __m128i lineBreak = _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf));
        const unsigned drop = unsigned(_mm_movemask_epi8(_mm_or_si128(isEquals, lineBreak)));
        const __m128i bytes = _mm_sub_epi8(v, _mm_add_epi8(offset, _mm_and_si128(escaped, escapeOffset)));
        // No branch on whether anything is dropped (see PackChunks).
        out = StoreKept16(bytes, drop, out);
        in += 16;
        escape = in[-1] == '=';
    }
    if (!closed)
        closed = DecodeBytes<kStop>(in, end, out, escape, start);
    escapePending = escape;
    return { size_t(in - start.begin), size_t(out - dest), closed };
}

// How far the CRC-32 stays behind the decoded bytes: far enough that the
// stores that wrote them have left the store buffer, so that its loads do
// not wait for them.
constexpr ptrdiff_t kCrcLag = 256;

// Writes the bytes of a 32-byte vector whose bit is clear in drop, packed,
// as four 8-byte quarters from one shuffle. Like StoreKept16, each store
// writes 8 bytes whatever it keeps.
__attribute__((target("avx2"))) inline char* StoreKept32(__m256i bytes, uint32_t drop, char* out)
{
    const auto order = [](unsigned lowDrop, unsigned highDrop) {
        return _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(&kKeepOrder[lowDrop])),
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&kKeepOrderHigh[highDrop])));
    };
    const unsigned quarters[4] = { drop & 0xFF, (drop >> 8) & 0xFF, (drop >> 16) & 0xFF, drop >> 24 };
    const __m256i packed = _mm256_shuffle_epi8(bytes,
        _mm256_inserti128_si256(
            _mm256_castsi128_si256(order(quarters[0], quarters[1])), order(quarters[2], quarters[3]), 1));
    const __m128i low = _mm256_castsi256_si128(packed);
    const __m128i high = _mm256_extracti128_si256(packed, 1);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), low);
    out += kKeepCount[quarters[0]];
    _mm_storeh_pi(reinterpret_cast<__m64*>(out), _mm_castsi128_ps(low));
    out += kKeepCount[quarters[1]];
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), high);
    out += kKeepCount[quarters[2]];
    _mm_storeh_pi(reinterpret_cast<__m64*>(out), _mm_castsi128_ps(high));
    return out + kKeepCount[quarters[3]];
}

// CR and LF by one table lookup: the byte the low half of each byte must
// stand for; bytes from 0x80 look up zero, which they never equal.
__attribute__((target("avx2"))) inline __m256i IsLineBreak(__m256i v)
{
    const __m256i table
        = _mm256_setr_epi8(char(0x80), char(0x80), char(0x80), char(0x80), char(0x80), char(0x80), char(0x80),
            char(0x80), char(0x80), char(0x80), '\n', char(0x80), char(0x80), '\r', char(0x80), char(0x80),
            char(0x80), char(0x80), char(0x80), char(0x80), char(0x80), char(0x80), char(0x80), char(0x80),
            char(0x80), char(0x80), '\n', char(0x80), char(0x80), '\r', char(0x80), char(0x80));
    return _mm256_cmpeq_epi8(v, _mm256_shuffle_epi8(table, v));
}

// One 32-byte half of a chunk: what it drops, its bytes decoded, and
// whether it holds what the byte decoder must see ("==", or "=y" when the
// data's end is looked for).
struct Avx2Half {
    __m256i bytes;
    __m256i unusual;
    uint32_t drop;
};

template <bool kStop> __attribute__((target("avx2"))) inline Avx2Half DecodeHalf(const unsigned char* in)
{
    const __m256i equals = _mm256_set1_epi8('=');
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
    const __m256i isEquals = _mm256_cmpeq_epi8(v, equals);
    const __m256i escaped
        = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in - 1)), equals);
    const __m256i suspect
        = kStop ? _mm256_or_si256(isEquals, _mm256_cmpeq_epi8(v, _mm256_set1_epi8('y'))) : isEquals;
    const __m256i bytes = _mm256_sub_epi8(_mm256_sub_epi8(v, _mm256_set1_epi8(char(kOffset))),
        _mm256_and_si256(escaped, _mm256_set1_epi8(char(kEscapeOffset))));
    return { bytes, _mm256_and_si256(suspect, escaped),
        uint32_t(_mm256_movemask_epi8(_mm256_or_si256(isEquals, IsLineBreak(v)))) };
}

__attribute__((target("avx2"))) inline __m256i LoadWritten(const char*& checked)
{
    const __m256i written = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(checked));
    checked += 32;
    return written;
}

// Where the vector loop stands: the text before in is decoded into the
// bytes before out, and with the CRC-32, the bytes before checked are
// folded into folded.
struct Avx2State {
    const unsigned char* in;
    char* out;
    const char* checked;
    __m256i folded;
};

// Packs chunks of 64 bytes, whose two halves share one test for what only
// the byte decoder handles, while at least 64 bytes are left. With kFold,
// folds the bytes written kCrcLag behind; without, stops once out is
// unfoldedUpTo. Returns true at a chunk for the byte decoder. A loop
// without calls, which keeps its state in registers.
template <bool kStop, bool kFold>
__attribute__((target("avx2,vpclmulqdq"))) inline bool PackChunks(
    Avx2State& state, const unsigned char* end, const char* unfoldedUpTo)
{
    const unsigned char* in = state.in;
    char* out = state.out;
    const char* checked = state.checked;
    __m256i folded = state.folded;
    bool unusualChunk = false;
    while (end - in >= 64 && (kFold || out < unfoldedUpTo)) {
        if (kFold && out - checked >= kCrcLag + 64) {
            folded = Crc32FoldNext(folded, LoadWritten(checked));
            folded = Crc32FoldNext(folded, LoadWritten(checked));
        }
        const Avx2Half first = DecodeHalf<kStop>(in);
        const Avx2Half second = DecodeHalf<kStop>(in + 32);
        const __m256i unusual = _mm256_or_si256(first.unusual, second.unusual);
        if (!_mm256_testz_si256(unusual, unusual)) {
            unusualChunk = true;
            break;
        }
        // Without a branch on whether anything is dropped: in binary data
        // that is close to a coin toss, and a mispredicted branch costs more
        // than the packing.
        out = StoreKept32(first.bytes, first.drop, out);
        out = StoreKept32(second.bytes, second.drop, out);
        in += 64;
    }
    state = { in, out, checked, folded };
    return unusualChunk;
}

// With kCrc, checks the bytes it writes as it goes (crc32fold.h), each 32
// bytes some chunks after they were written; crc is the CRC-32 of the bytes
// before dest, and after the call of those up to the end.
template <bool kStop, bool kCrc>
__attribute__((target("avx2,vpclmulqdq"))) YEncStep DecodeAvx2With(
    std::string_view src, char* dest, bool& escapePending, bool lineStart, uint32_t& crc)
{
    // Copies of their own, which the stores through out cannot touch.
    bool escape = escapePending;
    const uint32_t crcBefore = crc;
    const auto* const begin = reinterpret_cast<const unsigned char*>(src.data());
    const auto* const end = begin + src.size();
    const TextStart start { begin, lineStart };
    if (begin == end)
        return { 0, 0, false };
    Avx2State state { begin, dest, dest, _mm256_setzero_si256() };
    bool closed = DecodeStretch<kStop>(state.in, 1, end, state.out, escape, start);
    // Nothing is folded until enough is written to stay kCrcLag behind.
    bool folding = false;
    const char* const unfoldedUpTo = dest + (kCrc ? std::min(src.size(), size_t(kCrcLag + 64)) : src.size());
    while (!closed && end - state.in >= 64) {
        if (kCrc && !folding && state.out >= unfoldedUpTo) {
            state.folded = Crc32FoldStart(crcBefore, LoadWritten(state.checked));
            state.folded = Crc32FoldNext(state.folded, LoadWritten(state.checked));
            folding = true;
        }
        const unsigned char* const from = state.in;
        const bool unusual = folding ? PackChunks<kStop, true>(state, end, unfoldedUpTo)
                                     : PackChunks<kStop, false>(state, end, unfoldedUpTo);
        // After packed chunks the last byte tells the escape state: an
        // escaped "=" ("==") always goes to the byte decoder.
        if (state.in != from)
            escape = state.in[-1] == '=';
        if (unusual)
            closed = DecodeStretch<kStop>(state.in, 64, end, state.out, escape, start);
    }
    if (!closed)
        closed = DecodeBytes<kStop>(state.in, end, state.out, escape, start);
    escapePending = escape;
    if (kCrc) {
        const char* const out = state.out;
        if (folding) {
            while (out - state.checked >= 32)
                state.folded = Crc32FoldNext(state.folded, LoadWritten(state.checked));
            crc = Crc32FoldFinish(state.folded, reinterpret_cast<const unsigned char*>(state.checked),
                size_t(out - state.checked));
        } else {
            crc = Crc32(crcBefore, std::string_view(dest, size_t(out - dest)));
        }
    }
    return { size_t(state.in - begin), size_t(state.out - dest), closed };
}

// The processor packs the kept bytes itself; the 64-byte store may write
// past the kept ones, but not past the chunk.
template <bool kStop>
__attribute__((target("avx512f,avx512bw,avx512vbmi2,popcnt"))) YEncStep DecodeAvx512With(
    std::string_view src, char* dest, bool& escapePending, bool lineStart)
{
    // A copy of its own, which the stores through out cannot touch.
    bool escape = escapePending;
    const auto* in = reinterpret_cast<const unsigned char*>(src.data());
    const auto* const end = in + src.size();
    const TextStart start { in, lineStart };
    char* out = dest;
    if (in == end)
        return { 0, 0, false };
    bool closed = DecodeStretch<kStop>(in, 1, end, out, escape, start);
    const __m512i equals = _mm512_set1_epi8('=');
    const __m512i cr = _mm512_set1_epi8('\r');
    const __m512i lf = _mm512_set1_epi8('\n');
    const __m512i letterY = _mm512_set1_epi8('y');
    const __m512i offset = _mm512_set1_epi8(char(kOffset));
    const __m512i escapeOffset = _mm512_set1_epi8(char(kEscapeOffset));
    while (end - in >= 64 && !closed) {
        const __m512i v = _mm512_loadu_si512(in);
        const __mmask64 isEquals = _mm512_cmpeq_epi8_mask(v, equals);
        const __mmask64 escaped = (isEquals << 1) | __mmask64(in[-1] == '=');
        const __mmask64 unusual = kStop ? isEquals | _mm512_cmpeq_epi8_mask(v, letterY) : isEquals;
        if (unusual & escaped) {
            closed = DecodeStretch<kStop>(in, 64, end, out, escape, start);
            continue;
        }
        const __mmask64 drop = isEquals | _mm512_cmpeq_epi8_mask(v, cr) | _mm512_cmpeq_epi8_mask(v, lf);
        __m512i bytes = _mm512_sub_epi8(v, offset);
        bytes = _mm512_mask_sub_epi8(bytes, escaped, bytes, escapeOffset);
        _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(~drop, bytes));
        out += 64 - __builtin_popcountll(drop);
        in += 64;
        escape = in[-1] == '=';
    }
    if (!closed)
        closed = DecodeBytes<kStop>(in, end, out, escape, start);
    escapePending = escape;
    return { size_t(in - start.begin), size_t(out - dest), closed };
}

template <YEncStep (*Decode)(std::string_view, char*, bool&, bool)>
size_t DecodeAll(std::string_view src, char* dest, bool& escape)
{
    return Decode(src, dest, escape, false).written;
}

size_t DecodeAvx2(std::string_view src, char* dest, bool& escape)
{
    uint32_t unused = 0;
    return DecodeAvx2With<false, false>(src, dest, escape, false, unused).written;
}

YEncStep DecodeDataAvx2(std::string_view src, char* dest, bool& escape, bool lineStart, uint32_t& crc)
{
    return DecodeAvx2With<true, true>(src, dest, escape, lineStart, crc);
}

YEncStep DecodeDataAvx2Alone(std::string_view src, char* dest, bool& escape, bool lineStart)
{
    uint32_t unused = 0;
    return DecodeAvx2With<true, false>(src, dest, escape, lineStart, unused);
}

#endif // LUMIGRAB_X86

// A decoder that leaves the CRC-32 to a pass of its own over what it wrote.
template <YEncStep (*Decode)(std::string_view, char*, bool&, bool)>
YEncStep DecodeThenCheck(std::string_view src, char* dest, bool& escape, bool lineStart, uint32_t& crc)
{
    const YEncStep step = Decode(src, dest, escape, lineStart);
    crc = Crc32(crc, std::string_view(dest, step.written));
    return step;
}

std::vector<YEncDecoder> AvailableDecoders()
{
    std::vector<YEncDecoder> decoders;
#ifdef LUMIGRAB_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi2")
        && __builtin_cpu_supports("popcnt"))
        decoders.push_back(
            { "avx512vbmi2", DecodeAll<DecodeAvx512With<false>>, DecodeThenCheck<DecodeAvx512With<true>> });
    // The CRC-32 goes along with the decoding where VPCLMULQDQ is there too.
    if (__builtin_cpu_supports("avx2"))
        decoders.push_back({ "avx2", DecodeAvx2,
            Crc32FoldAvailable() ? DecodeDataAvx2 : DecodeThenCheck<DecodeDataAvx2Alone> });
    if (__builtin_cpu_supports("ssse3"))
        decoders.push_back(
            { "ssse3", DecodeAll<DecodeSsse3With<false>>, DecodeThenCheck<DecodeSsse3With<true>> });
#endif
    decoders.push_back({ "portable", DecodePortable, DecodeThenCheck<DecodeDataPortable> });
    return decoders;
}

const std::vector<YEncDecoder>& Decoders()
{
    static const std::vector<YEncDecoder> decoders = AvailableDecoders();
    return decoders;
}

// ===========================================================================
// Blocks

constexpr std::string_view kBegin = "=ybegin";
constexpr std::string_view kPart = "=ypart";
constexpr std::string_view kEnd = "=yend";
constexpr std::string_view kName = "name=";
// Encoded text is decoded and checked in pieces of this size, so that each
// piece is still in the cache when it is checked and copied.
constexpr size_t kPieceSize = 64 * 1024;
// What a sink gets at once: fewer, larger writes of a part to its file.
constexpr size_t kSinkPieceSize = 1024 * 1024;

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

// keyword followed by a blank or the end of the line.
bool StartsWithKeyword(std::string_view line, std::string_view keyword)
{
    return line.starts_with(keyword) && (line.size() == keyword.size() || IsBlank(line[keyword.size()]));
}

std::optional<uint64_t> ReadNumber(std::string_view text, int base = 10)
{
    uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value, base);
    if (text.empty() || result.ec != std::errc() || result.ptr != end)
        return std::nullopt;
    return value;
}

std::optional<uint32_t> ReadCrc(std::string_view text)
{
    if (text.size() > 8)
        return std::nullopt;
    const auto value = ReadNumber(text, 16);
    return value ? std::optional<uint32_t>(uint32_t(*value)) : std::nullopt;
}

// Calls take(key, value) for every key=value word; words are separated by
// blanks.
template <typename Take> void ForEachKeyword(std::string_view text, Take take)
{
    size_t position = 0;
    while (position < text.size()) {
        while (position < text.size() && IsBlank(text[position]))
            ++position;
        size_t wordEnd = position;
        while (wordEnd < text.size() && !IsBlank(text[wordEnd]))
            ++wordEnd;
        const std::string_view word = text.substr(position, wordEnd - position);
        const size_t equals = word.find('=');
        if (equals != std::string_view::npos)
            take(word.substr(0, equals), word.substr(equals + 1));
        position = wordEnd;
    }
}

// The first "name=" that begins a word.
size_t FindNameKeyword(std::string_view keywords)
{
    for (size_t at = keywords.find(kName); at != std::string_view::npos; at = keywords.find(kName, at + 1)) {
        if (at > 0 && IsBlank(keywords[at - 1]))
            return at;
    }
    return std::string_view::npos;
}

void ReadYEncPart(std::string_view line, YEncBlock& block)
{
    ForEachKeyword(line.substr(kPart.size()), [&](std::string_view key, std::string_view value) {
        if (key == "begin")
            block.partBegin = ReadNumber(value);
        else if (key == "end")
            block.partEnd = ReadNumber(value);
    });
}

void ReadYEncEnd(std::string_view line, YEncBlock& block)
{
    block.ended = true;
    ForEachKeyword(line.substr(kEnd.size()), [&](std::string_view key, std::string_view value) {
        if (key == "size")
            block.endSize = ReadNumber(value);
        else if (key == "crc32")
            block.crc32 = ReadCrc(value);
        else if (key == "pcrc32")
            block.partCrc32 = ReadCrc(value);
    });
}

// Decodes the data from the start of text up to its first "=y" line (or
// its end), handing the bytes to sink. The text is read once: the end is
// looked for by the decoder as it goes. It is decoded in pieces of
// kPieceSize, each checked while it is still in the cache, and gathered
// into sink pieces of up to kSinkPieceSize. Returns where the data ends.
size_t DecodeDataUntilControlLine(std::string_view text, YEncBlock& block, const YEncSink& sink)
{
    if (text.empty())
        return 0;
    const size_t room = std::min(text.size(), kSinkPieceSize);
    const std::unique_ptr<char[]> gathered(new char[room]);
    size_t filled = 0;
    bool escape = false;
    uint32_t crc = 0;
    size_t offset = 0;
    bool ended = false;
    while (offset < text.size() && !ended) {
        size_t limit = std::min(text.size(), offset + kPieceSize);
        // The "=y" that begins a line is never split between two pieces.
        if (limit < text.size() && text[limit - 1] == '=')
            ++limit;
        // A piece never decodes to more bytes than it has characters.
        if (room - filled < limit - offset) {
            sink(block, std::string_view(gathered.get(), filled));
            block.decodedSize += filled;
            filled = 0;
        }
        const bool lineStart = offset == 0 || text[offset - 1] == '\n';
        const YEncStep step = DecodeYEncData(
            text.substr(offset, limit - offset), gathered.get() + filled, escape, lineStart, crc);
        filled += step.written;
        offset += step.consumed;
        ended = step.controlLine;
    }
    sink(block, std::string_view(gathered.get(), filled));
    block.decodedSize += filled;
    block.decodedCrc32 = crc;
    return offset;
}

std::string Mismatch(const char* what, uint64_t announced, uint64_t found, const char* how)
{
    return Format("%s %llu announced, %llu %s", what, static_cast<unsigned long long>(announced),
        static_cast<unsigned long long>(found), how);
}

std::string CrcMismatch(uint32_t announced, uint32_t computed)
{
    return Format("CRC-32 %08x announced, %08x computed", announced, computed);
}

} // namespace

size_t DecodeYEnc(std::string_view src, char* dest, bool& escapePending)
{
    static const auto decode = Decoders().front().decode;
    return decode(src, dest, escapePending);
}

YEncStep DecodeYEncData(std::string_view src, char* dest, bool& escapePending, bool lineStart, uint32_t& crc)
{
    static const auto decode = Decoders().front().decodeData;
    return decode(src, dest, escapePending, lineStart, crc);
}

std::span<const YEncDecoder> YEncDecoders()
{
    return Decoders();
}

bool IsYEncBeginLine(std::string_view line)
{
    return line.size() > kBegin.size() && line.starts_with(kBegin) && IsBlank(line[kBegin.size()]);
}

bool IsYEncPartOfMany(std::string_view beginLine)
{
    const YEncBlock block = ReadYEncBegin(beginLine);
    if (block.total)
        return *block.total > 1;
    return block.part && *block.part > 1;
}

YEncBlock ReadYEncBegin(std::string_view beginLine)
{
    YEncBlock block;
    std::string_view keywords = beginLine.substr(std::min(kBegin.size(), beginLine.size()));
    // The name is the rest of the line, blanks and equals signs included.
    const size_t name = FindNameKeyword(keywords);
    if (name != std::string_view::npos) {
        block.name = TrimView(keywords.substr(name + kName.size()));
        keywords = keywords.substr(0, name);
    }
    ForEachKeyword(keywords, [&](std::string_view key, std::string_view value) {
        if (key == "size")
            block.size = ReadNumber(value);
        else if (key == "part")
            block.part = ReadNumber(value);
        else if (key == "total")
            block.total = ReadNumber(value);
    });
    return block;
}

namespace {

template <typename Decode>
YEncBlock DecodeBlockWith(std::string_view beginLine, std::string_view text, Decode decode)
{
    YEncBlock block = ReadYEncBegin(beginLine);
    size_t dataStart = 0;
    if (const TTextLine first = LineAt(text, 0); StartsWithKeyword(first.text, kPart)) {
        ReadYEncPart(first.text, block);
        dataStart = first.next;
    }
    const size_t dataEnd = dataStart + decode(text.substr(dataStart), block);
    block.consumed = dataEnd;
    if (dataEnd < text.size()) {
        const TTextLine control = LineAt(text, dataEnd);
        if (StartsWithKeyword(control.text, kEnd)) {
            ReadYEncEnd(control.text, block);
            block.consumed = control.next;
        }
    }
    return block;
}

} // namespace

YEncBlock DecodeYEncBlock(std::string_view beginLine, std::string_view text, TMemoryStream& out)
{
    return DecodeBlockWith(beginLine, text, [&out](std::string_view data, YEncBlock& block) {
        // The announced size is a stranger's number: never more room than
        // the data can fill.
        const size_t room = size_t(std::min<uint64_t>(block.size.value_or(data.size()), data.size()));
        out.Reserve(size_t(out.Size()) + room);
        return DecodeDataUntilControlLine(data, block, [&out](const YEncBlock&, std::string_view bytes) {
            out.WriteBuffer(bytes.data(), bytes.size());
        });
    });
}

YEncBlock DecodeYEncBlock(std::string_view beginLine, std::string_view text, const YEncSink& sink)
{
    return DecodeBlockWith(beginLine, text, [&sink](std::string_view data, YEncBlock& block) {
        return DecodeDataUntilControlLine(data, block, sink);
    });
}

namespace {

std::string JoinFaults(const std::vector<std::string>& faults)
{
    std::string damage;
    for (const std::string& fault : faults)
        damage += (damage.empty() ? "" : "; ") + fault;
    return damage;
}

} // namespace

std::string YEncPartDamage(const YEncBlock& block)
{
    std::vector<std::string> faults;
    if (!block.ended)
        faults.push_back("no =yend line");
    std::optional<uint64_t> size = block.endSize;
    if (!size && block.partBegin && block.partEnd && *block.partEnd >= *block.partBegin)
        size = *block.partEnd - *block.partBegin + 1;
    if (size && *size != block.decodedSize)
        faults.push_back(Mismatch("size", *size, block.decodedSize, "decoded"));
    if (block.partCrc32 && *block.partCrc32 != block.decodedCrc32)
        faults.push_back(CrcMismatch(*block.partCrc32, block.decodedCrc32));
    return JoinFaults(faults);
}

std::string YEncDamage(const YEncBlock& block)
{
    std::vector<std::string> faults;
    if (!block.ended)
        faults.push_back("no =yend line");
    for (const auto& size : { block.endSize, block.size }) {
        if (size && *size != block.decodedSize) {
            faults.push_back(Mismatch("size", *size, block.decodedSize, "decoded"));
            break;
        }
    }
    for (const auto& crc : { block.partCrc32, block.crc32 }) {
        if (crc && *crc != block.decodedCrc32) {
            faults.push_back(CrcMismatch(*crc, block.decodedCrc32));
            break;
        }
    }
    return JoinFaults(faults);
}

} // namespace lumigrab
