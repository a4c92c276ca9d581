// CRC-32 folding for a loop that writes the bytes it checks: it folds each
// 32 bytes it has written into one register while they are still in the
// first-level cache, in the same pass, and reduces the register once at its
// end. For processors with AVX2 and VPCLMULQDQ (Crc32FoldAvailable).
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace lumigrab {

bool Crc32FoldAvailable();

// Two 16-byte lanes folded forward over 256 bits: x^(256+32) and x^(256-32)
// modulo the polynomial, bit-reflected.
constexpr int64_t kCrcFold256Low = 0x00f1da05aa;
constexpr int64_t kCrcFold256High = 0x015a546366;

// The register for the first 32 bytes after bytes whose CRC-32 is crc.
__attribute__((target("avx2"))) inline __m256i Crc32FoldStart(uint32_t crc, __m256i first)
{
    return _mm256_xor_si256(first, _mm256_zextsi128_si256(_mm_cvtsi32_si128(int(~crc))));
}

// The register after 32 more bytes.
__attribute__((target("avx2,vpclmulqdq"))) inline __m256i Crc32FoldNext(__m256i folded, __m256i next)
{
    const __m256i constants
        = _mm256_set_epi64x(kCrcFold256High, kCrcFold256Low, kCrcFold256High, kCrcFold256Low);
    const __m256i low = _mm256_clmulepi64_epi128(folded, constants, 0x00);
    const __m256i high = _mm256_clmulepi64_epi128(folded, constants, 0x11);
    return _mm256_xor_si256(_mm256_xor_si256(low, high), next);
}

// The CRC-32 of the bytes folded into folded followed by the size bytes at
// rest.
uint32_t Crc32FoldFinish(const __m256i& folded, const unsigned char* rest, size_t size);

} // namespace lumigrab

#endif
