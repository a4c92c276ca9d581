#include "mime/msyenc.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <memory>
#include <vector>

#include "base/sysutils.h"
#include "base/textline.h"
#include "mime/crc32fold.h"
#include "mime/mscrc32.h"
#include "mime/yenc_bytes.h"
#include "mime/yenc_vector.h"

namespace lumigrab {

namespace {

// ===========================================================================
// Data lines

constexpr uint64_t kOnes = 0x0101010101010101;
constexpr uint64_t kHighBits = 0x8080808080808080;

// Non-zero when some byte of word equals value.
inline uint64_t HasByte(uint64_t word, unsigned char value)
{
    const uint64_t x = word ^ (kOnes * value);
    return (x - kOnes) & ~x & kHighBits;
}

// Subtracts value (below 128) from every byte of word, modulo 256 each: the
// high bits keep the borrows from crossing into the next byte.
inline uint64_t SubtractFromBytes(uint64_t word, unsigned char value)
{
    return ((word | kHighBits) - kOnes * value) ^ (~word & kHighBits);
}

// Eight bytes at a time while they hold no "=", CR or LF, which is most of
// the time; byte by byte otherwise.
template <bool kStop>
YEncStep DecodePortableWith(std::string_view src, char* dest, bool& escape, bool lineStart)
{
    const auto* in = reinterpret_cast<const unsigned char*>(src.data());
    const auto* const end = in + src.size();
    const YEncTextStart start { in, lineStart };
    char* out = dest;
    bool closed = false;
    if constexpr (std::endian::native == std::endian::little) {
        while (end - in >= 8 && !closed) {
            uint64_t word;
            std::memcpy(&word, in, 8);
            if (!escape && !(HasByte(word, '=') | HasByte(word, '\r') | HasByte(word, '\n'))) {
                word = SubtractFromBytes(word, kYEncOffset);
                std::memcpy(out, &word, 8);
                out += 8;
                in += 8;
                continue;
            }
            closed = DecodeYEncBytes<kStop>(in, in + 8, out, escape, start);
        }
    }
    if (!closed)
        closed = DecodeYEncBytes<kStop>(in, end, out, escape, start);
    return { size_t(in - start.begin), size_t(out - dest), closed };
}

size_t DecodePortable(std::string_view src, char* dest, bool& escape)
{
    return DecodePortableWith<false>(src, dest, escape, false).written;
}

YEncStep DecodeDataPortable(std::string_view src, char* dest, bool& escape, bool lineStart)
{
    return DecodePortableWith<true>(src, dest, escape, lineStart);
}

template <YEncStep (*Decode)(std::string_view, char*, bool&, bool)>
size_t DecodeAll(std::string_view src, char* dest, bool& escape)
{
    return Decode(src, dest, escape, false).written;
}

// A decoder that leaves the CRC-32 to a pass of its own over what it wrote.
template <YEncStep (*Decode)(std::string_view, char*, bool&, bool)>
YEncStep DecodeThenCheck(std::string_view src, char* dest, bool& escape, bool lineStart, uint32_t& crc)
{
    const YEncStep step = Decode(src, dest, escape, lineStart);
    crc = Crc32(crc, std::string_view(dest, step.written));
    return step;
}

std::vector<YEncDecoder> AvailableDecoders()
{
    std::vector<YEncDecoder> decoders;
#ifdef LUMIGRAB_YENC_VECTOR
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi2")
        && __builtin_cpu_supports("popcnt"))
        decoders.push_back(
            { "avx512vbmi2", DecodeAll<DecodeYEncAvx512<false>>, DecodeThenCheck<DecodeYEncAvx512<true>> });
    // The CRC-32 goes along with the decoding where VPCLMULQDQ is there too.
    if (__builtin_cpu_supports("avx2"))
        decoders.push_back({ "avx2", DecodeYEncAvx2,
            Crc32FoldAvailable() ? DecodeYEncDataAvx2 : DecodeThenCheck<DecodeYEncDataAvx2Alone> });
    if (__builtin_cpu_supports("ssse3"))
        decoders.push_back(
            { "ssse3", DecodeAll<DecodeYEncSsse3<false>>, DecodeThenCheck<DecodeYEncSsse3<true>> });
#endif
    decoders.push_back({ "portable", DecodePortable, DecodeThenCheck<DecodeDataPortable> });
    return decoders;
}

const std::vector<YEncDecoder>& Decoders()
{
    static const std::vector<YEncDecoder> decoders = AvailableDecoders();
    return decoders;
}

// ===========================================================================
// Blocks

constexpr std::string_view kBegin = "=ybegin";
constexpr std::string_view kPart = "=ypart";
constexpr std::string_view kEnd = "=yend";
constexpr std::string_view kName = "name=";
// Encoded text is decoded and checked in pieces of this size, so that each
// piece is still in the cache when it is checked and copied.
constexpr size_t kPieceSize = 64 * 1024;
// What a sink gets at once: fewer, larger writes of a part to its file.
constexpr size_t kSinkPieceSize = 1024 * 1024;

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

// keyword followed by a blank or the end of the line.
bool StartsWithKeyword(std::string_view line, std::string_view keyword)
{
    return line.starts_with(keyword) && (line.size() == keyword.size() || IsBlank(line[keyword.size()]));
}

std::optional<uint64_t> ReadNumber(std::string_view text, int base = 10)
{
    uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value, base);
    if (text.empty() || result.ec != std::errc() || result.ptr != end)
        return std::nullopt;
    return value;
}

std::optional<uint32_t> ReadCrc(std::string_view text)
{
    if (text.size() > 8)
        return std::nullopt;
    const auto value = ReadNumber(text, 16);
    return value ? std::optional<uint32_t>(uint32_t(*value)) : std::nullopt;
}

// Calls take(key, value) for every key=value word; words are separated by
// blanks.
template <typename Take> void ForEachKeyword(std::string_view text, Take take)
{
    size_t position = 0;
    while (position < text.size()) {
        while (position < text.size() && IsBlank(text[position]))
            ++position;
        size_t wordEnd = position;
        while (wordEnd < text.size() && !IsBlank(text[wordEnd]))
            ++wordEnd;
        const std::string_view word = text.substr(position, wordEnd - position);
        const size_t equals = word.find('=');
        if (equals != std::string_view::npos)
            take(word.substr(0, equals), word.substr(equals + 1));
        position = wordEnd;
    }
}

// The first "name=" that begins a word.
size_t FindNameKeyword(std::string_view keywords)
{
    for (size_t at = keywords.find(kName); at != std::string_view::npos; at = keywords.find(kName, at + 1)) {
        if (at > 0 && IsBlank(keywords[at - 1]))
            return at;
    }
    return std::string_view::npos;
}

void ReadYEncPart(std::string_view line, YEncBlock& block)
{
    ForEachKeyword(line.substr(kPart.size()), [&](std::string_view key, std::string_view value) {
        if (key == "begin")
            block.partBegin = ReadNumber(value);
        else if (key == "end")
            block.partEnd = ReadNumber(value);
    });
}

void ReadYEncEnd(std::string_view line, YEncBlock& block)
{
    block.ended = true;
    ForEachKeyword(line.substr(kEnd.size()), [&](std::string_view key, std::string_view value) {
        if (key == "size")
            block.endSize = ReadNumber(value);
        else if (key == "crc32")
            block.crc32 = ReadCrc(value);
        else if (key == "pcrc32")
            block.partCrc32 = ReadCrc(value);
    });
}

// Decodes the data from the start of text up to its first "=y" line (or
// its end), handing the bytes to sink. The text is read once: the end is
// looked for by the decoder as it goes. It is decoded in pieces of
// kPieceSize, each checked while it is still in the cache, and gathered
// into sink pieces of up to kSinkPieceSize. Returns where the data ends.
size_t DecodeDataUntilControlLine(std::string_view text, YEncBlock& block, const YEncSink& sink)
{
    if (text.empty())
        return 0;
    const size_t room = std::min(text.size(), kSinkPieceSize);
    const std::unique_ptr<char[]> gathered(new char[room]);
    size_t filled = 0;
    bool escape = false;
    uint32_t crc = 0;
    size_t offset = 0;
    bool ended = false;
    while (offset < text.size() && !ended) {
        size_t limit = std::min(text.size(), offset + kPieceSize);
        // The "=y" that begins a line is never split between two pieces.
        if (limit < text.size() && text[limit - 1] == '=')
            ++limit;
        // A piece never decodes to more bytes than it has characters.
        if (room - filled < limit - offset) {
            sink(block, std::string_view(gathered.get(), filled));
            block.decodedSize += filled;
            filled = 0;
        }
        const bool lineStart = offset == 0 || text[offset - 1] == '\n';
        const YEncStep step = DecodeYEncData(
            text.substr(offset, limit - offset), gathered.get() + filled, escape, lineStart, crc);
        filled += step.written;
        offset += step.consumed;
        ended = step.controlLine;
    }
    sink(block, std::string_view(gathered.get(), filled));
    block.decodedSize += filled;
    block.decodedCrc32 = crc;
    return offset;
}

std::string Mismatch(const char* what, uint64_t announced, uint64_t found, const char* how)
{
    return Format("%s %llu announced, %llu %s", what, static_cast<unsigned long long>(announced),
        static_cast<unsigned long long>(found), how);
}

std::string CrcMismatch(uint32_t announced, uint32_t computed)
{
    return Format("CRC-32 %08x announced, %08x computed", announced, computed);
}

} // namespace

size_t DecodeYEnc(std::string_view src, char* dest, bool& escapePending)
{
    static const auto decode = Decoders().front().decode;
    return decode(src, dest, escapePending);
}

YEncStep DecodeYEncData(std::string_view src, char* dest, bool& escapePending, bool lineStart, uint32_t& crc)
{
    static const auto decode = Decoders().front().decodeData;
    return decode(src, dest, escapePending, lineStart, crc);
}

std::span<const YEncDecoder> YEncDecoders()
{
    return Decoders();
}

bool IsYEncBeginLine(std::string_view line)
{
    return line.size() > kBegin.size() && line.starts_with(kBegin) && IsBlank(line[kBegin.size()]);
}

bool IsYEncPartOfMany(std::string_view beginLine)
{
    const YEncBlock block = ReadYEncBegin(beginLine);
    if (block.total)
        return *block.total > 1;
    return block.part && *block.part > 1;
}

YEncBlock ReadYEncBegin(std::string_view beginLine)
{
    YEncBlock block;
    std::string_view keywords = beginLine.substr(std::min(kBegin.size(), beginLine.size()));
    // The name is the rest of the line, blanks and equals signs included.
    const size_t name = FindNameKeyword(keywords);
    if (name != std::string_view::npos) {
        block.name = TrimView(keywords.substr(name + kName.size()));
        keywords = keywords.substr(0, name);
    }
    ForEachKeyword(keywords, [&](std::string_view key, std::string_view value) {
        if (key == "size")
            block.size = ReadNumber(value);
        else if (key == "part")
            block.part = ReadNumber(value);
        else if (key == "total")
            block.total = ReadNumber(value);
    });
    return block;
}

namespace {

template <typename Decode>
YEncBlock DecodeBlockWith(std::string_view beginLine, std::string_view text, Decode decode)
{
    YEncBlock block = ReadYEncBegin(beginLine);
    size_t dataStart = 0;
    if (const TTextLine first = LineAt(text, 0); StartsWithKeyword(first.text, kPart)) {
        ReadYEncPart(first.text, block);
        dataStart = first.next;
    }
    const size_t dataEnd = dataStart + decode(text.substr(dataStart), block);
    block.consumed = dataEnd;
    if (dataEnd < text.size()) {
        const TTextLine control = LineAt(text, dataEnd);
        if (StartsWithKeyword(control.text, kEnd)) {
            ReadYEncEnd(control.text, block);
            block.consumed = control.next;
        }
    }
    return block;
}

} // namespace

YEncBlock DecodeYEncBlock(std::string_view beginLine, std::string_view text, TMemoryStream& out)
{
    return DecodeBlockWith(beginLine, text, [&out](std::string_view data, YEncBlock& block) {
        // The announced size is a stranger's number: never more room than
        // the data can fill.
        const size_t room = size_t(std::min<uint64_t>(block.size.value_or(data.size()), data.size()));
        out.Reserve(size_t(out.Size()) + room);
        return DecodeDataUntilControlLine(data, block, [&out](const YEncBlock&, std::string_view bytes) {
            out.WriteBuffer(bytes.data(), bytes.size());
        });
    });
}

YEncBlock DecodeYEncBlock(std::string_view beginLine, std::string_view text, const YEncSink& sink)
{
    return DecodeBlockWith(beginLine, text, [&sink](std::string_view data, YEncBlock& block) {
        return DecodeDataUntilControlLine(data, block, sink);
    });
}

namespace {

std::string JoinFaults(const std::vector<std::string>& faults)
{
    std::string damage;
    for (const std::string& fault : faults)
        damage += (damage.empty() ? "" : "; ") + fault;
    return damage;
}

} // namespace

std::string YEncPartDamage(const YEncBlock& block)
{
    std::vector<std::string> faults;
    if (!block.ended)
        faults.push_back("no =yend line");
    std::optional<uint64_t> size = block.endSize;
    if (!size && block.partBegin && block.partEnd && *block.partEnd >= *block.partBegin)
        size = *block.partEnd - *block.partBegin + 1;
    if (size && *size != block.decodedSize)
        faults.push_back(Mismatch("size", *size, block.decodedSize, "decoded"));
    if (block.partCrc32 && *block.partCrc32 != block.decodedCrc32)
        faults.push_back(CrcMismatch(*block.partCrc32, block.decodedCrc32));
    return JoinFaults(faults);
}

std::string YEncDamage(const YEncBlock& block)
{
    std::vector<std::string> faults;
    if (!block.ended)
        faults.push_back("no =yend line");
    for (const auto& size : { block.endSize, block.size }) {
        if (size && *size != block.decodedSize) {
            faults.push_back(Mismatch("size", *size, block.decodedSize, "decoded"));
            break;
        }
    }
    for (const auto& crc : { block.partCrc32, block.crc32 }) {
        if (crc && *crc != block.decodedCrc32) {
            faults.push_back(CrcMismatch(*crc, block.decodedCrc32));
            break;
        }
    }
    return JoinFaults(faults);
}

} // namespace lumigrab
