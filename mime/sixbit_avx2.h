// Six-bit values to bytes with AVX2, shared by the base64 and uuencode
// decoders: each codec finds the values its own way, then packs them alike.
// x86 only; include after <immintrin.h>.
#pragma once

#include <cstdint>
#include <cstring>

namespace lumigrab {

struct SixBitPackAvx2 {
    // Pairs of values to 12 bits, pairs of those to 24, then the three bytes
    // of each group in order.
    __m256i mergePairs;
    __m256i mergeQuads;
    __m256i byteOrder;
    // The two halves' 12 bytes side by side.
    __m256i laneOrder;

    __attribute__((target("avx2"))) SixBitPackAvx2()
        : mergePairs(_mm256_set1_epi32(0x01400140))
        , mergeQuads(_mm256_set1_epi32(0x00011000))
        , byteOrder(_mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6, 5, 4,
              10, 9, 8, 14, 13, 12, -1, -1, -1, -1))
        , laneOrder(_mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7))
    {
    }

    // Hides the tables' values from the compiler, which then keeps them in
    // registers through a loop rather than building them again in it.
    __attribute__((target("avx2"))) void Pin()
    {
        asm("" : "+x"(mergePairs), "+x"(mergeQuads), "+x"(byteOrder), "+x"(laneOrder));
    }

    // The 24 bytes of 32 values, 12 in each half: bytes 0 to 11 and 16 to 27.
    __attribute__((target("avx2"))) __m256i Halves(__m256i values) const
    {
        const __m256i groups = _mm256_madd_epi16(_mm256_maddubs_epi16(values, mergePairs), mergeQuads);
        return _mm256_shuffle_epi8(groups, byteOrder);
    }

    // The 12 bytes of 16 values, in bytes 0 to 11.
    __attribute__((target("avx2"))) __m128i Half(__m128i values) const
    {
        const __m128i groups = _mm_madd_epi16(_mm_maddubs_epi16(values, _mm256_castsi256_si128(mergePairs)),
            _mm256_castsi256_si128(mergeQuads));
        return _mm_shuffle_epi8(groups, _mm256_castsi256_si128(byteOrder));
    }

    // Halves' 24 bytes and 4 of slack after them.
    static __attribute__((target("avx2"))) void StoreWithSlack(__m256i halves, char* out)
    {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(halves));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm256_extracti128_si256(halves, 1));
    }

    // Exactly halves' 24 bytes.
    __attribute__((target("avx2"))) void Store(__m256i halves, char* out) const
    {
        const __m256i bytes = _mm256_permutevar8x32_epi32(halves, laneOrder);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(bytes));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_extracti128_si256(bytes, 1));
    }

    // Exactly half's 12 bytes.
    static __attribute__((target("avx2"))) void Store(__m128i half, char* out)
    {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), half);
        const uint32_t last = uint32_t(_mm_extract_epi32(half, 2));
        std::memcpy(out + 8, &last, 4);
    }
};

} // namespace lumigrab
