// What the decoders of clean base64 lines share (DecodeCleanBase64Lines):
// the alphabet's table without the pad, the store of one group, the line
// break, and the portable decoder in msmime.cpp, which the vector one in
// base64_avx2.cpp leaves the text's last characters to.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "mime/msmime.h"
#include "mime/sixbit_tables.h"

namespace lumigrab {

inline constexpr std::string_view kBase64Chars
    = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// "=" pads a cut group and counts as zero bits.
constexpr int Base64ValueOf(unsigned char c)
{
    if (c == '=')
        return 0;
    const size_t index = kBase64Chars.find(char(c));
    return index == std::string_view::npos ? -1 : int(index);
}

// The same without the pad: a clean line has none.
inline constexpr SixBitDecodeTables kBase64WithoutPad
    = MakeSixBitDecodeTables([](unsigned char c) { return c == '=' ? -1 : Base64ValueOf(c); });

inline const unsigned char* UnsignedBytes(std::string_view text)
{
    return reinterpret_cast<const unsigned char*>(text.data());
}

// Stores the group's three bytes with one four-byte write; the fourth byte
// is overwritten by the next group or lies in the caller's slack.
inline void PutGroupWithSlack(uint32_t value, char* out)
{
    if constexpr (std::endian::native == std::endian::little) {
        const uint32_t bigEndian = __builtin_bswap32(value << 8);
        std::memcpy(out, &bigEndian, 4);
    } else {
        PutGroupBytes(value, out, 3);
    }
}

// The length of the line break at in (LF or CR LF), 0 when none is there.
inline size_t LineBreakAt(const unsigned char* in, const unsigned char* end)
{
    if (in < end && in[0] == '\n')
        return 1;
    return end - in >= 2 && in[0] == '\r' && in[1] == '\n' ? 2 : 0;
}

// Clean lines a group at a time: the "portable" entry of
// Base64BlockDecoders, for every processor.
TBase64Lines DecodeBase64LinesPortable(std::string_view text, char* out);

} // namespace lumigrab
