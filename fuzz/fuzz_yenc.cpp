// yEnc: the block reader on a first line and the text after it, and every
// data decoder and CRC-32 implementation this processor runs on the whole
// input. The vector decoders must give the portable one's bytes and escape
// state, whole and in two pieces, without writing beyond the input's size.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz/expected_failures.h"
#include "mime/mscrc32.h"
#include "mime/msyenc.h"

using namespace lumigrab;

namespace {

std::string Decode(const YEncDecoder& decoder, std::string_view text, bool& escape)
{
    // Exactly the room the contract asks for, so that the address sanitizer
    // sees any store beyond it.
    const auto dest = std::make_unique<char[]>(text.size());
    const size_t count = decoder.decode(text, dest.get(), escape);
    Require(count <= text.size());
    return std::string(dest.get(), count);
}

void CheckDecoders(std::string_view text, size_t cut)
{
    for (const bool escapeBefore : { false, true }) {
        bool expectedEscape = escapeBefore;
        const std::string expected = Decode(YEncDecoders().back(), text, expectedEscape);
        for (const YEncDecoder& decoder : YEncDecoders()) {
            bool escape = escapeBefore;
            Require(Decode(decoder, text, escape) == expected && escape == expectedEscape);
            escape = escapeBefore;
            std::string pieces = Decode(decoder, text.substr(0, cut), escape);
            pieces += Decode(decoder, text.substr(cut), escape);
            Require(pieces == expected && escape == expectedEscape);
        }
    }
}

void CheckCrcs(std::string_view bytes, size_t cut)
{
    const uint32_t expected = Crc32Implementations().back().update(0, bytes);
    for (const Crc32Implementation& crc : Crc32Implementations()) {
        Require(crc.update(0, bytes) == expected);
        Require(crc.update(crc.update(0, bytes.substr(0, cut)), bytes.substr(cut)) == expected);
    }
}

void CheckBlock(std::string_view input)
{
    const size_t lineEnd = input.find('\n');
    const std::string_view beginLine = input.substr(0, lineEnd);
    const std::string_view text
        = lineEnd == std::string_view::npos ? std::string_view() : input.substr(lineEnd + 1);
    (void)IsYEncBeginLine(beginLine);
    (void)IsYEncPartOfMany(beginLine);
    TMemoryStream out;
    const YEncBlock block = DecodeYEncBlock(beginLine, text, out);
    Require(block.consumed <= text.size());
    Require(block.decodedSize == uint64_t(out.Size()));
    Require(block.decodedCrc32 == Crc32(0, out.View()));
    const std::string damage = YEncDamage(block);
    Require(damage.empty() || !block.ended || block.size || block.endSize || block.crc32 || block.partCrc32);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t cut = size == 0 ? 0 : data[0] % (size + 1);
    CheckDecoders(input, cut);
    CheckCrcs(input, cut);
    CheckBlock(input);
    return 0;
}
