// SHA-256 (FIPS 180-4), for keys that stand for long texts: two texts with
// the same digest are not to be found. The codecs use the standard library
// only, so this is the well-known algorithm written out, not a library's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace lumigrab {

using TSha256Digest = std::array<uint8_t, 32>;

// The digest of bytes given in pieces: Update(a), Update(b) digests a + b.
class TSha256 {
public:
    TSha256& Update(std::string_view bytes);
    // The digest of everything given; the object is spent.
    TSha256Digest Finish();

private:
    std::array<uint32_t, 8> state_ { 0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c,
        0x1f83d9ab, 0x5be0cd19 };
    std::array<uint8_t, 64> block_ {};
    size_t blockUsed_ = 0;
    uint64_t totalBytes_ = 0;

    void Compress(const uint8_t* block);
};

TSha256Digest Sha256(std::string_view bytes);

} // namespace lumigrab
