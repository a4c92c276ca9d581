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

struct Crc32Implementation {
    const char* name;
    uint32_t (*update)(uint32_t crc, std::string_view bytes);
};

// The implementations this processor runs, fastest first; the last one is
// the portable one.
std::span<const Crc32Implementation> Crc32Implementations();

} // namespace lumigrab
