// Clean base64 lines 32 characters at a time with AVX2: the "avx2" entry of
// Base64BlockDecoders, which runs it only where the processor has AVX2.
// x86 only: LUMIGRAB_BASE64_AVX2 says it is there.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#define LUMIGRAB_BASE64_AVX2 1

#include <string_view>

#include "mime/msmime.h"

namespace lumigrab {

// DecodeCleanBase64Lines, the same bytes and the same text taken.
__attribute__((target("avx2"))) TBase64Lines DecodeBase64LinesAvx2(std::string_view text, char* out);

} // namespace lumigrab

#endif
