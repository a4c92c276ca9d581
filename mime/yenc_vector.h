// The vector yEnc decoders, one unit for each instruction set:
// yenc_ssse3.cpp, yenc_avx2.cpp (with the CRC-32 folded in as it goes where
// VPCLMULQDQ is there too) and yenc_avx512.cpp. Each gives the bytes the
// portable decoder gives (DecodeYEnc, DecodeYEncData); YEncDecoders
// (msyenc.cpp) chooses among them by what the processor runs. x86 only:
// LUMIGRAB_YENC_VECTOR says they are there.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#define LUMIGRAB_YENC_VECTOR 1

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mime/msyenc.h"

namespace lumigrab {

// DecodeYEncData without the CRC-32, stopping at the line after the data;
// without kStop, DecodeYEnc (src never begins a line then).
template <bool kStop>
__attribute__((target("ssse3"))) YEncStep DecodeYEncSsse3(
    std::string_view src, char* dest, bool& escapePending, bool lineStart);
template <bool kStop>
__attribute__((target("avx512f,avx512bw,avx512vbmi2,popcnt"))) YEncStep DecodeYEncAvx512(
    std::string_view src, char* dest, bool& escapePending, bool lineStart);

// DecodeYEnc, and DecodeYEncData without the CRC-32.
size_t DecodeYEncAvx2(std::string_view src, char* dest, bool& escapePending);
YEncStep DecodeYEncDataAvx2Alone(std::string_view src, char* dest, bool& escapePending, bool lineStart);
// DecodeYEncData itself, the CRC-32 folded in as the bytes are written: for
// processors with VPCLMULQDQ as well (Crc32FoldAvailable).
YEncStep DecodeYEncDataAvx2(
    std::string_view src, char* dest, bool& escapePending, bool lineStart, uint32_t& crc);

} // namespace lumigrab

#endif
