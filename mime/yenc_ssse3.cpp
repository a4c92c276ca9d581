#include "mime/yenc_vector.h"

#ifdef LUMIGRAB_YENC_VECTOR

#include <immintrin.h>

#include "mime/yenc_bytes.h"
#include "mime/yenc_pack.h"

namespace lumigrab {

namespace {

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

} // namespace

// Output never runs ahead of input: a store at out covers at most the
// chunk's own 16 or 64 bytes, so dest needs no room beyond src.size().
template <bool kStop>
__attribute__((target("ssse3"))) YEncStep DecodeYEncSsse3(
    std::string_view src, char* dest, bool& escapePending, bool lineStart)
{
    // A copy of its own, which the stores through out cannot touch.
    bool escape = escapePending;
    const auto* in = reinterpret_cast<const unsigned char*>(src.data());
    const auto* const end = in + src.size();
    const YEncTextStart start { in, lineStart };
    char* out = dest;
    if (in == end)
        return { 0, 0, false };
    bool closed = DecodeYEncStretch<kStop>(in, 1, end, out, escape, start);
    const __m128i equals = _mm_set1_epi8('=');
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i letterY = _mm_set1_epi8('y');
    const __m128i offset = _mm_set1_epi8(char(kYEncOffset));
    const __m128i escapeOffset = _mm_set1_epi8(char(kYEncEscapeOffset));
    while (end - in >= 16 && !closed) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in - 1));
        const __m128i isEquals = _mm_cmpeq_epi8(v, equals);
        const __m128i escaped = _mm_cmpeq_epi8(before, equals);
        const __m128i unusual = kStop ? _mm_or_si128(isEquals, _mm_cmpeq_epi8(v, letterY)) : isEquals;
        if (_mm_movemask_epi8(_mm_and_si128(unusual, escaped))) {
            closed = DecodeYEncStretch<kStop>(in, 16, end, out, escape, start);
            continue;
        }
        const __m128i lineBreak = _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf));
        const unsigned drop = unsigned(_mm_movemask_epi8(_mm_or_si128(isEquals, lineBreak)));
        const __m128i bytes = _mm_sub_epi8(v, _mm_add_epi8(offset, _mm_and_si128(escaped, escapeOffset)));
        // No branch on whether anything is dropped (see PackChunks in
        // yenc_avx2.cpp).
        out = StoreKept16(bytes, drop, out);
        in += 16;
        escape = in[-1] == '=';
    }
    if (!closed)
        closed = DecodeYEncBytes<kStop>(in, end, out, escape, start);
    escapePending = escape;
    return { size_t(in - start.begin), size_t(out - dest), closed };
}

template YEncStep DecodeYEncSsse3<false>(std::string_view, char*, bool&, bool);
template YEncStep DecodeYEncSsse3<true>(std::string_view, char*, bool&, bool);

} // namespace lumigrab

#endif // LUMIGRAB_YENC_VECTOR
