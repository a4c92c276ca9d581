// The tables with which the SSSE3 and AVX2 yEnc decoders pack the bytes they
// keep of a vector with one shuffle.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

namespace lumigrab {

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

inline constexpr std::array<uint64_t, 256> kKeepOrder = MakeKeepOrder();
inline constexpr std::array<uint64_t, 256> kKeepOrderHigh = MakeKeepOrderHigh();
inline constexpr std::array<uint8_t, 256> kKeepCount = MakeKeepCount();

} // namespace lumigrab
