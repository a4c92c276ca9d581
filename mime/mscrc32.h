// CRC-32, the checksum of zip, gzip and yEnc, at memory speed where the
// processor multiplies without carries, table-driven elsewhere.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace lumigrab {

// The CRC-32 of bytes following earlier bytes whose CRC-32 is crc (0 for
// none): Crc32(Crc32(0, a), b) == Crc32(0, a + b).
uint32_t Crc32(uint32_t crc, std::string_view bytes);

// The CRC-32 of a + b from crcA = Crc32(0, a), crcB = Crc32(0, b) and the
// length of b, without the bytes: the pieces of a file that arrive apart
// (the parts of a multi-part post) are checked whole without reading it
// back.
uint32_t Crc32Combine(uint32_t crcA, uint32_t crcB, uint64_t lengthB);

struct Crc32Implementation {
    const char* name;
    uint32_t (*update)(uint32_t crc, std::string_view bytes);
};

// The implementations this processor runs, fastest first; the last one is
// the portable one.
std::span<const Crc32Implementation> Crc32Implementations();

} // namespace lumigrab
