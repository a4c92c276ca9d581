#include "mime/yenc_vector.h"

#ifdef LUMIGRAB_YENC_VECTOR

#include <immintrin.h>

#include "mime/yenc_bytes.h"

namespace lumigrab {

// The processor packs the kept bytes itself; the 64-byte store may write
// past the kept ones, but not past the chunk.
template <bool kStop>
__attribute__((target("avx512f,avx512bw,avx512vbmi2,popcnt"))) YEncStep DecodeYEncAvx512(
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
    const __m512i equals = _mm512_set1_epi8('=');
    const __m512i cr = _mm512_set1_epi8('\r');
    const __m512i lf = _mm512_set1_epi8('\n');
    const __m512i letterY = _mm512_set1_epi8('y');
    const __m512i offset = _mm512_set1_epi8(char(kYEncOffset));
    const __m512i escapeOffset = _mm512_set1_epi8(char(kYEncEscapeOffset));
    while (end - in >= 64 && !closed) {
        const __m512i v = _mm512_loadu_si512(in);
        const __mmask64 isEquals = _mm512_cmpeq_epi8_mask(v, equals);
        const __mmask64 escaped = (isEquals << 1) | __mmask64(in[-1] == '=');
        const __mmask64 unusual = kStop ? isEquals | _mm512_cmpeq_epi8_mask(v, letterY) : isEquals;
        if (unusual & escaped) {
            closed = DecodeYEncStretch<kStop>(in, 64, end, out, escape, start);
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
        closed = DecodeYEncBytes<kStop>(in, end, out, escape, start);
    escapePending = escape;
    return { size_t(in - start.begin), size_t(out - dest), closed };
}

template YEncStep DecodeYEncAvx512<false>(std::string_view, char*, bool&, bool);
template YEncStep DecodeYEncAvx512<true>(std::string_view, char*, bool&, bool);

} // namespace lumigrab

#endif // LUMIGRAB_YENC_VECTOR
