// yEnc: the block reader on a first line and the text after it, and every
// data decoder and CRC-32 implementation this processor runs on the whole
// input. The vector decoders must give the portable one's bytes and escape
// state, whole and in two pieces, without writing beyond the input's size;
// those that stop at the line ending the data must stop where a search
// finds it, with the CRC-32 of what they wrote.
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

// The first line that begins with "=y"; npos when there is none.
size_t ControlLineAt(std::string_view text, bool lineStart)
{
    if (lineStart && text.starts_with("=y"))
        return 0;
    const size_t at = text.find("\n=y");
    return at == std::string_view::npos ? at : at + 1;
}

void CheckDataDecoders(std::string_view text, bool lineStart)
{
    const size_t control = ControlLineAt(text, lineStart);
    const std::string_view data = text.substr(0, control);
    bool expectedEscape = false;
    const std::string expected = Decode(YEncDecoders().back(), data, expectedEscape);
    for (const YEncDecoder& decoder : YEncDecoders()) {
        const auto dest = std::make_unique<char[]>(text.size());
        bool escape = false;
        uint32_t crc = 0;
        const YEncStep step = decoder.decodeData(text, dest.get(), escape, lineStart, crc);
        Require(step.consumed == data.size() && step.controlLine == (control != std::string_view::npos));
        Require(std::string_view(dest.get(), step.written) == expected && escape == expectedEscape);
        Require(crc == Crc32(0, expected));
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
    CheckDataDecoders(input, cut % 2 == 0);
    CheckCrcs(input, cut);
    CheckBlock(input);
    return 0;
}
