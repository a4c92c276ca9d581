#include "mime/yenc_vector.h"

#ifdef LUMIGRAB_YENC_VECTOR

#include <algorithm>
#include <cstddef>

#include <immintrin.h>

#include "mime/crc32fold.h"
#include "mime/mscrc32.h"
#include "mime/yenc_bytes.h"
#include "mime/yenc_pack.h"

namespace lumigrab {

namespace {

// How far the CRC-32 stays behind the decoded bytes: far enough that the
// stores that wrote them have left the store buffer, so that its loads do
// not wait for them.
constexpr ptrdiff_t kCrcLag = 256;

// Writes the bytes of a 32-byte vector whose bit is clear in drop, packed,
// as four 8-byte quarters from one shuffle. Like StoreKept16
// (yenc_ssse3.cpp), each store writes 8 bytes whatever it keeps.
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
    const __m256i bytes = _mm256_sub_epi8(_mm256_sub_epi8(v, _mm256_set1_epi8(char(kYEncOffset))),
        _mm256_and_si256(escaped, _mm256_set1_epi8(char(kYEncEscapeOffset))));
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
    const YEncTextStart start { begin, lineStart };
    if (begin == end)
        return { 0, 0, false };
    Avx2State state { begin, dest, dest, _mm256_setzero_si256() };
    bool closed = DecodeYEncStretch<kStop>(state.in, 1, end, state.out, escape, start);
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
            closed = DecodeYEncStretch<kStop>(state.in, 64, end, state.out, escape, start);
    }
    if (!closed)
        closed = DecodeYEncBytes<kStop>(state.in, end, state.out, escape, start);
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

} // namespace

size_t DecodeYEncAvx2(std::string_view src, char* dest, bool& escape)
{
    uint32_t unused = 0;
    return DecodeAvx2With<false, false>(src, dest, escape, false, unused).written;
}

YEncStep DecodeYEncDataAvx2(std::string_view src, char* dest, bool& escape, bool lineStart, uint32_t& crc)
{
    return DecodeAvx2With<true, true>(src, dest, escape, lineStart, crc);
}

YEncStep DecodeYEncDataAvx2Alone(std::string_view src, char* dest, bool& escape, bool lineStart)
{
    uint32_t unused = 0;
    return DecodeAvx2With<true, false>(src, dest, escape, lineStart, unused);
}

} // namespace lumigrab

#endif // LUMIGRAB_YENC_VECTOR
