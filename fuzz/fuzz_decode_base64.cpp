#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/expected_failures.h"
#include "fuzz/one_pass_lines.h"
#include "mime/msmime.h"

using namespace lumigrab;

namespace {

// A line the one-pass decoder must take: whole groups of alphabet
// characters, no "=".
bool IsCleanLine(std::string_view line)
{
    return line.size() % 4 == 0 && line.find_first_not_of(Base64Alphabet) == std::string_view::npos;
}

// The one-pass decoder takes the clean lines at the start of text.
void CheckCleanLines(std::string_view text)
{
    CheckOnePassLines(
        text, IsCleanLine,
        [](std::string_view line) {
            std::string bytes;
            DecodeBase64DataLine(line, bytes, std::string::npos);
            return bytes;
        },
        Base64BlockDecoders(), text.size() / 4 * 3 + 1,
        [](std::string_view all, char* out, const TBase64BlockDecoder& blocks) {
            return DecodeCleanBase64Lines(all, out, blocks);
        });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view src(reinterpret_cast<const char*>(data), size);
    RunExpectingOnlyCodecErrors([&] {
        const std::string whole = DecodeKeepingDestOnError(
            [&](std::string& dest) { DecodeBase64(src, dest, std::string::npos); });
        std::string shortText;
        DecodeBase64(src, shortText);
        Require(shortText.size() <= kShortTextMax);
        Require(whole.compare(0, shortText.size(), shortText) == 0);
        Require(whole.size() <= (size * 6 + 7) / 8);
        const std::string again = EncodeBase64(whole, std::string::npos);
        Require(DecodeBase64(again, std::string::npos) == whole);
    });
    // Data lines skip whatever is not base64, and never fail.
    std::string kept;
    for (const char c : src) {
        if (c == '=' || Base64Alphabet.find(c) != std::string_view::npos)
            kept += c;
    }
    Require(WithoutStrayBase64Characters(src) == kept);
    // The fast path for clean lines and the tolerant path must agree: both
    // are measured against decoding the kept characters strictly.
    std::string lenient;
    DecodeBase64DataLine(src, lenient, std::string::npos);
    Require(lenient == DecodeBase64(kept, std::string::npos));
    std::string shortLenient = lenient;
    DecodeBase64DataLine(src, shortLenient);
    Require(shortLenient == DecodeBase64(kept));
    if (kept.size() == src.size())
        Require(lenient == DecodeBase64(src, std::string::npos));
    CheckCleanLines(src);
    return 0;
}
