#include "mime/mscrc32.h"

#include "mime/crc32fold.h"

#include <array>
#include <bit>
#include <cstring>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#define LUMIGRAB_X86 1
#include <immintrin.h>
#endif

namespace lumigrab {

namespace {

// Reflected polynomial 0xEDB88320. The functions below work on the
// inverted register, as the polynomial arithmetic does; Crc32 inverts on the
// way in and out.

using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

// tables[0] is the byte-at-a-time table; tables[k] advances a byte that is
// followed by k more bytes, so eight bytes take eight look-ups and no shifts
// from one to the next.
constexpr CrcTables MakeCrcTables()
{
    CrcTables tables {};
    for (uint32_t byte = 0; byte < 256; ++byte) {
        uint32_t crc = byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0);
        tables[0][byte] = crc;
    }
    for (size_t k = 1; k < 8; ++k) {
        for (size_t byte = 0; byte < 256; ++byte) {
            const uint32_t previous = tables[k - 1][byte];
            tables[k][byte] = (previous >> 8) ^ tables[0][previous & 0xFF];
        }
    }
    return tables;
}

constexpr CrcTables kCrcTables = MakeCrcTables();

uint32_t CrcBytewise(uint32_t state, const unsigned char* in, size_t size)
{
    for (size_t i = 0; i < size; ++i)
        state = (state >> 8) ^ kCrcTables[0][(state ^ in[i]) & 0xFF];
    return state;
}

uint32_t CrcSlicing(uint32_t state, const unsigned char* in, size_t size)
{
    if constexpr (std::endian::native == std::endian::little) {
        const auto& t = kCrcTables;
        for (; size >= 8; size -= 8, in += 8) {
            uint64_t word;
            std::memcpy(&word, in, 8);
            word ^= state;
            state = t[7][word & 0xFF] ^ t[6][(word >> 8) & 0xFF] ^ t[5][(word >> 16) & 0xFF]
                ^ t[4][(word >> 24) & 0xFF] ^ t[3][(word >> 32) & 0xFF] ^ t[2][(word >> 40) & 0xFF]
                ^ t[1][(word >> 48) & 0xFF] ^ t[0][word >> 56];
        }
    }
    return CrcBytewise(state, in, size);
}

uint32_t Crc32Portable(uint32_t crc, std::string_view bytes)
{
    return ~CrcSlicing(~crc, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

#ifdef LUMIGRAB_X86

// Carry-less multiplication folding: eight independent 16-byte lanes are
// folded forward 128 bytes at a time, then into one lane, which a Barrett
// reduction turns into the 32-bit remainder. The constants are x^(d+32) and
// x^(d-32) modulo the polynomial, bit-reflected, for a fold over d bits
// (2048, 1024, 512, 128); x^64 for the last 32 bits; and the polynomial with
// its Barrett quotient.
constexpr int64_t kFold2048Low = 0x011542778a;
constexpr int64_t kFold2048High = 0x01322d1430;
constexpr int64_t kFold1024Low = 0x01e88ef372;
constexpr int64_t kFold1024High = 0x014a7fe880;
constexpr int64_t kFold512Low = 0x0154442bd4;
constexpr int64_t kFold512High = 0x01c6e41596;
constexpr int64_t kFold128Low = 0x01751997d0;
constexpr int64_t kFold128High = 0x00ccaa009e;
constexpr int64_t kFold32 = 0x0163cd6124;
constexpr int64_t kPolynomial = 0x01db710641;
constexpr int64_t kBarrettQuotient = 0x01f7011641;
constexpr size_t kLanes = 8;

__attribute__((target("pclmul,sse4.1"))) inline __m128i Fold(__m128i lane, __m128i constants, __m128i next)
{
    const __m128i low = _mm_clmulepi64_si128(lane, constants, 0x00);
    const __m128i high = _mm_clmulepi64_si128(lane, constants, 0x11);
    return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i Load16(const unsigned char* in)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
}

// Folds the remaining whole 16-byte blocks into lane and reduces it to the
// 32-bit remainder.
__attribute__((target("pclmul,sse4.1"))) uint32_t FinishFolding(
    __m128i lane, const unsigned char* in, size_t size)
{
    const __m128i fold128 = _mm_set_epi64x(kFold128High, kFold128Low);
    for (; size >= 16; size -= 16, in += 16)
        lane = Fold(lane, fold128, Load16(in));

    // 128 bits to 64, then to the 32-bit remainder.
    const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
    lane = _mm_xor_si128(_mm_srli_si128(lane, 8), _mm_clmulepi64_si128(lane, fold128, 0x10));
    const __m128i fold32 = _mm_set_epi64x(0, kFold32);
    lane = _mm_xor_si128(
        _mm_srli_si128(lane, 4), _mm_clmulepi64_si128(_mm_and_si128(lane, low32), fold32, 0x00));
    const __m128i barrett = _mm_set_epi64x(kBarrettQuotient, kPolynomial);
    __m128i quotient = _mm_clmulepi64_si128(_mm_and_si128(lane, low32), barrett, 0x10);
    quotient = _mm_clmulepi64_si128(_mm_and_si128(quotient, low32), barrett, 0x00);
    return uint32_t(_mm_extract_epi32(_mm_xor_si128(lane, quotient), 1));
}

// Folds the eight lanes into one, then finishes with the rest of the bytes.
__attribute__((target("pclmul,sse4.1"))) uint32_t FinishLanes(
    __m128i (&lanes)[kLanes], const unsigned char* in, size_t size)
{
    const __m128i fold512 = _mm_set_epi64x(kFold512High, kFold512Low);
    for (size_t i = 0; i < kLanes / 2; ++i)
        lanes[i] = Fold(lanes[i], fold512, lanes[i + kLanes / 2]);
    const __m128i fold128 = _mm_set_epi64x(kFold128High, kFold128Low);
    __m128i lane = lanes[0];
    for (size_t i = 1; i < kLanes / 2; ++i)
        lane = Fold(lane, fold128, lanes[i]);
    return FinishFolding(lane, in, size);
}

// At least 128 bytes, a multiple of 16.
__attribute__((target("pclmul,sse4.1"))) uint32_t CrcFolding(
    uint32_t state, const unsigned char* in, size_t size)
{
    __m128i lanes[kLanes];
    for (size_t i = 0; i < kLanes; ++i)
        lanes[i] = Load16(in + 16 * i);
    lanes[0] = _mm_xor_si128(lanes[0], _mm_cvtsi32_si128(int(state)));
    in += 16 * kLanes;
    size -= 16 * kLanes;
    const __m128i fold1024 = _mm_set_epi64x(kFold1024High, kFold1024Low);
    for (; size >= 16 * kLanes; size -= 16 * kLanes, in += 16 * kLanes) {
        for (size_t i = 0; i < kLanes; ++i)
            lanes[i] = Fold(lanes[i], fold1024, Load16(in + 16 * i));
    }
    return FinishLanes(lanes, in, size);
}

// The same eight lanes in four 32-byte registers, each multiply working on
// two lanes at once. At least 128 bytes, a multiple of 16.
__attribute__((target("avx2,vpclmulqdq,pclmul,sse4.1"))) inline __m256i FoldPairs(
    __m256i lanes, __m256i constants, __m256i next)
{
    const __m256i low = _mm256_clmulepi64_epi128(lanes, constants, 0x00);
    const __m256i high = _mm256_clmulepi64_epi128(lanes, constants, 0x11);
    return _mm256_xor_si256(_mm256_xor_si256(low, high), next);
}

__attribute__((target("avx2,vpclmulqdq,pclmul,sse4.1"))) uint32_t CrcFoldingPairs(
    uint32_t state, const unsigned char* in, size_t size)
{
    constexpr size_t kRound = 16 * kLanes;
    __m256i pairs[kLanes / 2];
    for (size_t i = 0; i < kLanes / 2; ++i)
        pairs[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 32 * i));
    pairs[0] = _mm256_xor_si256(pairs[0], _mm256_zextsi128_si256(_mm_cvtsi32_si128(int(state))));
    in += kRound;
    size -= kRound;
    const __m256i fold1024 = _mm256_set_epi64x(kFold1024High, kFold1024Low, kFold1024High, kFold1024Low);
    for (; size >= kRound; size -= kRound, in += kRound) {
        for (size_t i = 0; i < kLanes / 2; ++i)
            pairs[i] = FoldPairs(
                pairs[i], fold1024, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 32 * i)));
    }
    // Back to eight 16-byte lanes, reduced as CrcFolding does.
    __m128i lanes[kLanes];
    for (size_t i = 0; i < kLanes / 2; ++i) {
        lanes[2 * i] = _mm256_castsi256_si128(pairs[i]);
        lanes[2 * i + 1] = _mm256_extracti128_si256(pairs[i], 1);
    }
    return FinishLanes(lanes, in, size);
}

// The same with four 64-byte registers, each multiply working on four
// 16-byte lanes at once: 256 bytes a round. At least 256 bytes, a multiple
// of 16.
__attribute__((target("avx512f,avx512bw,vpclmulqdq,pclmul,sse4.1"))) inline __m512i FoldWide(
    __m512i lanes, __m512i constants, __m512i next)
{
    const __m512i low = _mm512_clmulepi64_epi128(lanes, constants, 0x00);
    const __m512i high = _mm512_clmulepi64_epi128(lanes, constants, 0x11);
    return _mm512_ternarylogic_epi64(low, high, next, 0x96);
}

__attribute__((target("avx512f"))) inline __m512i Repeat4(int64_t high, int64_t low)
{
    return _mm512_set_epi64(high, low, high, low, high, low, high, low);
}

__attribute__((target("avx512f,avx512bw,vpclmulqdq,pclmul,sse4.1"))) uint32_t CrcFoldingWide(
    uint32_t state, const unsigned char* in, size_t size)
{
    constexpr size_t kRound = 256;
    __m512i lanes[4];
    for (size_t i = 0; i < 4; ++i)
        lanes[i] = _mm512_loadu_si512(in + 64 * i);
    lanes[0] = _mm512_xor_si512(lanes[0], _mm512_zextsi128_si512(_mm_cvtsi32_si128(int(state))));
    in += kRound;
    size -= kRound;
    const __m512i fold2048 = Repeat4(kFold2048High, kFold2048Low);
    for (; size >= kRound; size -= kRound, in += kRound) {
        for (size_t i = 0; i < 4; ++i)
            lanes[i] = FoldWide(lanes[i], fold2048, _mm512_loadu_si512(in + 64 * i));
    }
    const __m512i fold512 = Repeat4(kFold512High, kFold512Low);
    __m512i wide = FoldWide(lanes[0], fold512, lanes[1]);
    wide = FoldWide(wide, fold512, lanes[2]);
    wide = FoldWide(wide, fold512, lanes[3]);
    const __m128i fold128 = _mm_set_epi64x(kFold128High, kFold128Low);
    __m128i lane = Fold(_mm512_maskz_extracti32x4_epi32(0xF, wide, 0), fold128,
        _mm512_maskz_extracti32x4_epi32(0xF, wide, 1));
    lane = Fold(lane, fold128, _mm512_maskz_extracti32x4_epi32(0xF, wide, 2));
    lane = Fold(lane, fold128, _mm512_maskz_extracti32x4_epi32(0xF, wide, 3));
    return FinishFolding(lane, in, size);
}

template <uint32_t (*Folding)(uint32_t, const unsigned char*, size_t), size_t kMinimum>
uint32_t Crc32Folded(uint32_t crc, std::string_view bytes)
{
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t size = bytes.size();
    uint32_t state = ~crc;
    if (size >= kMinimum) {
        const size_t folded = size & ~size_t(15);
        state = Folding(state, in, folded);
        in += folded;
        size -= folded;
    }
    return ~CrcSlicing(state, in, size);
}

#endif // LUMIGRAB_X86

std::vector<Crc32Implementation> AvailableCrcs()
{
    std::vector<Crc32Implementation> crcs;
#ifdef LUMIGRAB_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("vpclmulqdq") && __builtin_cpu_supports("avx512bw"))
        crcs.push_back({ "vpclmulqdq", Crc32Folded<CrcFoldingWide, 256> });
    if (__builtin_cpu_supports("vpclmulqdq") && __builtin_cpu_supports("avx2"))
        crcs.push_back({ "vpclmulqdq-avx2", Crc32Folded<CrcFoldingPairs, 16 * kLanes> });
    if (__builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1"))
        crcs.push_back({ "pclmul", Crc32Folded<CrcFolding, 16 * kLanes> });
#endif
    crcs.push_back({ "slicing-by-8", Crc32Portable });
    return crcs;
}

const std::vector<Crc32Implementation>& Crcs()
{
    static const std::vector<Crc32Implementation> crcs = AvailableCrcs();
    return crcs;
}

} // namespace

namespace {

// a * b modulo the polynomial, both reflected (bit 31 is x^0).
uint32_t MultiplyModP(uint32_t a, uint32_t b)
{
    uint32_t product = 0;
    for (uint32_t bit = 1u << 31; bit != 0; bit >>= 1) {
        if (a & bit)
            product ^= b;
        b = (b & 1) ? (b >> 1) ^ 0xEDB88320u : b >> 1;
    }
    return product;
}

// x^(2^k) modulo the polynomial for k = 0..63.
std::array<uint32_t, 64> MakePowersOfTwo()
{
    std::array<uint32_t, 64> powers {};
    uint32_t power = 1u << 30; // x^1
    for (uint32_t& entry : powers) {
        entry = power;
        power = MultiplyModP(power, power);
    }
    return powers;
}

// x^(8 * bytes) modulo the polynomial: what appending bytes zero bytes does
// to a register.
uint32_t ShiftOfBytes(uint64_t bytes)
{
    static const std::array<uint32_t, 64> powers = MakePowersOfTwo();
    uint32_t shift = 1u << 31; // x^0
    for (size_t k = 3; bytes != 0 && k < powers.size(); ++k, bytes >>= 1) {
        if (bytes & 1)
            shift = MultiplyModP(powers[k], shift);
    }
    return shift;
}

} // namespace

#ifdef LUMIGRAB_X86

bool Crc32FoldAvailable()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("vpclmulqdq") && __builtin_cpu_supports("avx2");
}

__attribute__((target("avx2,vpclmulqdq,pclmul,sse4.1"))) uint32_t Crc32FoldFinish(
    const __m256i& folded, const unsigned char* rest, size_t size)
{
    const __m128i fold128 = _mm_set_epi64x(kFold128High, kFold128Low);
    const __m128i lane = Fold(_mm256_castsi256_si128(folded), fold128, _mm256_extracti128_si256(folded, 1));
    const size_t whole = size & ~size_t(15);
    return ~CrcSlicing(FinishFolding(lane, rest, whole), rest + whole, size - whole);
}

#endif // LUMIGRAB_X86

uint32_t Crc32Combine(uint32_t crcA, uint32_t crcB, uint64_t lengthB)
{
    return MultiplyModP(ShiftOfBytes(lengthB), crcA) ^ crcB;
}

uint32_t Crc32(uint32_t crc, std::string_view bytes)
{
    static const auto update = Crcs().front().update;
    return update(crc, bytes);
}

std::span<const Crc32Implementation> Crc32Implementations()
{
    return Crcs();
}

} // namespace lumigrab
