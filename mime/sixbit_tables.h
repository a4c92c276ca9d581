// Decode tables shared by the base64 and uuencode codecs, whose characters
// each carry six bits of a three-byte group.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "base/sysutils.h"

namespace lumigrab {

// Any table entry with this bit set marks an invalid character; OR-ing the
// entries of a whole group keeps it, so one test covers four characters.
constexpr uint32_t kInvalidSixBit = 0x80000000u;

// One table per position in a group of four: the character's six bits
// already shifted to their place in the 24-bit group value.
struct SixBitDecodeTables {
    std::array<std::array<uint32_t, 256>, 4> shifted {};

    // The unshifted value of c, or kInvalidSixBit.
    uint32_t Value(unsigned char c) const { return shifted[3][c]; }

    uint32_t GroupValue(const unsigned char* in) const
    {
        return shifted[0][in[0]] | shifted[1][in[1]] | shifted[2][in[2]] | shifted[3][in[3]];
    }

    // Value of the group starting at index; characters past the end are
    // zero bits.
    uint32_t PartialGroupValue(std::string_view chars, size_t index) const
    {
        uint32_t value = 0;
        for (size_t k = 0; k < 4 && index + k < chars.size(); ++k)
            value |= shifted[k][static_cast<unsigned char>(chars[index + k])];
        return value;
    }
};

// valueOf(c) gives the six-bit value of character c, or -1 when c is not
// part of the alphabet.
template <typename ValueOf> constexpr SixBitDecodeTables MakeSixBitDecodeTables(ValueOf valueOf)
{
    SixBitDecodeTables tables;
    for (int c = 0; c < 256; ++c) {
        const int value = valueOf(static_cast<unsigned char>(c));
        for (int position = 0; position < 4; ++position)
            tables.shifted[position][c] = value < 0 ? kInvalidSixBit : uint32_t(value) << (18 - 6 * position);
    }
    return tables;
}

// The 24-bit value of the three bytes at in.
inline uint32_t ByteGroupValue(const unsigned char* in)
{
    return uint32_t(in[0]) << 16 | uint32_t(in[1]) << 8 | in[2];
}

// Writes the first count (at most 3) bytes of a 24-bit group value.
inline void PutGroupBytes(uint32_t value, char* out, size_t count)
{
    const char bytes[3] = { char(value >> 16), char(value >> 8), char(value) };
    std::memcpy(out, bytes, count);
}

// Writes the four characters of a 24-bit group value.
inline void PutGroupChars(uint32_t value, const char* alphabet, char* out)
{
    out[0] = alphabet[value >> 18];
    out[1] = alphabet[(value >> 12) & 63];
    out[2] = alphabet[(value >> 6) & 63];
    out[3] = alphabet[value & 63];
}

[[noreturn]] inline void RaiseInvalidCharacter()
{
    throw EInOutError("Invalid Character");
}

// The six-bit value of c; a character outside the alphabet raises
// EInOutError("Invalid Character").
inline int SixBitValue(const SixBitDecodeTables& tables, char c)
{
    const uint32_t value = tables.Value(static_cast<unsigned char>(c));
    if (value & kInvalidSixBit)
        RaiseInvalidCharacter();
    return int(value);
}

} // namespace lumigrab
