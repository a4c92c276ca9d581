#include "mime/msyenc.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <memory>
#include <vector>

#include "base/sysutils.h"
#include "base/textline.h"
#include "mime/mscrc32.h"

#if defined(__x86_64__) || defined(__i386__)
#define LUMIGRAB_X86 1
#include <immintrin.h>
#endif

namespace lumigrab {

namespace {

constexpr unsigned char kOffset = 42;
constexpr unsigned char kEscapeOffset = 64;

// ===========================================================================
// Data lines

// One byte of the state machine that every decoder follows: the portable one
// for everything, the vector ones for the stretches they leave to it.
inline char* DecodeByte(unsigned char c, char* out, bool& escape)
{
    if (c == '\r' || c == '\n') {
        escape = false;
    } else if (escape) {
        *out++ = char(c - kOffset - kEscapeOffset);
        escape = false;
    } else if (c == '=') {
        escape = true;
    } else {
        *out++ = char(c - kOffset);
    }
    return out;
}

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
size_t DecodePortable(std::string_view src, char* dest, bool& escape)
{
    const auto* in = reinterpret_cast<const unsigned char*>(src.data());
    const auto* const end = in + src.size();
    char* out = dest;
    if constexpr (std::endian::native == std::endian::little) {
        while (end - in >= 8) {
            uint64_t word;
            std::memcpy(&word, in, 8);
            if (!escape && !(HasByte(word, '=') | HasByte(word, '\r') | HasByte(word, '\n'))) {
                word = SubtractFromBytes(word, kOffset);
                std::memcpy(out, &word, 8);
                out += 8;
                in += 8;
                continue;
            }
            for (const auto* stop = in + 8; in < stop; ++in)
                out = DecodeByte(*in, out, escape);
        }
    }
    for (; in < end; ++in)
        out = DecodeByte(*in, out, escape);
    return size_t(out - dest);
}

#ifdef LUMIGRAB_X86

// The vector decoders take the byte before each chunk to tell whether its
// first byte is escaped: an "=" there escapes it. That holds unless the "="
// was itself escaped ("=="), which valid yEnc never writes (an escaped byte
// is 64 above a critical one). Chunks with "==" go to the byte decoder, which
// then goes on until the rule holds again (at most one byte more).
inline const unsigned char* DecodeStretch(
    const unsigned char* in, size_t count, const unsigned char* end, char*& out, bool& escape)
{
    for (const auto* stop = in + count; in < stop; ++in)
        out = DecodeByte(*in, out, escape);
    while (in < end && escape != (in[-1] == '='))
        out = DecodeByte(*in++, out, escape);
    return in;
}

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

constexpr std::array<uint64_t, 256> kKeepOrder = MakeKeepOrder();
constexpr std::array<uint8_t, 256> kKeepCount = MakeKeepCount();

// Writes the bytes of a 16-byte vector whose bit is clear in drop, packed,
// as two 8-byte halves. Each store writes 8 bytes whatever it keeps: out must
// have room for 16 bytes even when fewer are kept.
__attribute__((target("ssse3"))) inline char* StoreKept16(__m128i bytes, unsigned drop, char* out)
{
    const unsigned low = drop & 0xFF;
    const unsigned high = (drop >> 8) & 0xFF;
    const __m128i order
        = _mm_set_epi64x(int64_t(kKeepOrder[high] + 0x0808080808080808), int64_t(kKeepOrder[low]));
    const __m128i packed = _mm_shuffle_epi8(bytes, order);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), packed);
    out += kKeepCount[low];
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_unpackhi_epi64(packed, packed));
    return out + kKeepCount[high];
}

// Output never runs ahead of input: a store at out covers at most the
// chunk's own 16 or 32 bytes, so dest needs no room beyond src.size().
__attribute__((target("ssse3"))) size_t DecodeSsse3(std::string_view src, char* dest, bool& escape)
{
    const auto* in = reinterpret_cast<const unsigned char*>(src.data());
    const auto* const end = in + src.size();
    char* out = dest;
    if (in == end)
        return 0;
    in = DecodeStretch(in, 1, end, out, escape);
    const __m128i equals = _mm_set1_epi8('=');
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i offset = _mm_set1_epi8(char(kOffset));
    const __m128i escapeOffset = _mm_set1_epi8(char(kEscapeOffset));
    while (end - in >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in - 1));
        const __m128i isEquals = _mm_cmpeq_epi8(v, equals);
        const __m128i escaped = _mm_cmpeq_epi8(before, equals);
        if (_mm_movemask_epi8(_mm_and_si128(isEquals, escaped))) {
            in = DecodeStretch(in, 16, end, out, escape);
            continue;
        }
        const __m128i lineBreak = _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf));
        const unsigned drop = unsigned(_mm_movemask_epi8(_mm_or_si128(isEquals, lineBreak)));
        const __m128i bytes = _mm_sub_epi8(v, _mm_add_epi8(offset, _mm_and_si128(escaped, escapeOffset)));
        // No branch on whether anything is dropped (see DecodeAvx2).
        out = StoreKept16(bytes, drop, out);
        in += 16;
        escape = in[-1] == '=';
    }
    for (; in < end; ++in)
        out = DecodeByte(*in, out, escape);
    return size_t(out - dest);
}

__attribute__((target("avx2"))) size_t DecodeAvx2(std::string_view src, char* dest, bool& escape)
{
    const auto* in = reinterpret_cast<const unsigned char*>(src.data());
    const auto* const end = in + src.size();
    char* out = dest;
    if (in == end)
        return 0;
    in = DecodeStretch(in, 1, end, out, escape);
    const __m256i equals = _mm256_set1_epi8('=');
    const __m256i cr = _mm256_set1_epi8('\r');
    const __m256i lf = _mm256_set1_epi8('\n');
    const __m256i offset = _mm256_set1_epi8(char(kOffset));
    const __m256i escapeOffset = _mm256_set1_epi8(char(kEscapeOffset));
    while (end - in >= 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
        const __m256i before = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in - 1));
        const __m256i isEquals = _mm256_cmpeq_epi8(v, equals);
        const __m256i escaped = _mm256_cmpeq_epi8(before, equals);
        if (!_mm256_testz_si256(isEquals, escaped)) {
            in = DecodeStretch(in, 32, end, out, escape);
            continue;
        }
        const __m256i lineBreak = _mm256_or_si256(_mm256_cmpeq_epi8(v, cr), _mm256_cmpeq_epi8(v, lf));
        const auto drop = uint32_t(_mm256_movemask_epi8(_mm256_or_si256(isEquals, lineBreak)));
        const __m256i bytes
            = _mm256_sub_epi8(v, _mm256_add_epi8(offset, _mm256_and_si256(escaped, escapeOffset)));
        // Without a branch on whether anything is dropped: in binary data
        // that is close to a coin toss, and a mispredicted branch costs more
        // than the packing.
        out = StoreKept16(_mm256_castsi256_si128(bytes), drop & 0xFFFF, out);
        out = StoreKept16(_mm256_extracti128_si256(bytes, 1), drop >> 16, out);
        in += 32;
        escape = in[-1] == '=';
    }
    for (; in < end; ++in)
        out = DecodeByte(*in, out, escape);
    return size_t(out - dest);
}

// The processor packs the kept bytes itself; the 64-byte store may write
// past the kept ones, but not past the chunk.
__attribute__((target("avx512f,avx512bw,avx512vbmi2,popcnt"))) size_t DecodeAvx512(
    std::string_view src, char* dest, bool& escape)
{
    const auto* in = reinterpret_cast<const unsigned char*>(src.data());
    const auto* const end = in + src.size();
    char* out = dest;
    if (in == end)
        return 0;
    in = DecodeStretch(in, 1, end, out, escape);
    const __m512i equals = _mm512_set1_epi8('=');
    const __m512i cr = _mm512_set1_epi8('\r');
    const __m512i lf = _mm512_set1_epi8('\n');
    const __m512i offset = _mm512_set1_epi8(char(kOffset));
    const __m512i escapeOffset = _mm512_set1_epi8(char(kEscapeOffset));
    while (end - in >= 64) {
        const __m512i v = _mm512_loadu_si512(in);
        const __mmask64 isEquals = _mm512_cmpeq_epi8_mask(v, equals);
        const __mmask64 escaped = (isEquals << 1) | __mmask64(in[-1] == '=');
        if (isEquals & escaped) {
            in = DecodeStretch(in, 64, end, out, escape);
            continue;
        }
        const __mmask64 drop = isEquals | _mm512_cmpeq_epi8_mask(v, cr) | _mm512_cmpeq_epi8_mask(v, lf);
        __m512i bytes = _mm512_sub_epi8(v, offset);
        bytes = _mm512_mask_sub_epi8(bytes, escaped, bytes, escapeOffset);
        _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(~drop, bytes));
        out += 64 - __builtin_popcountll(drop);
        in += 64;
        escape = in[-1] == '=';
    }
    for (; in < end; ++in)
        out = DecodeByte(*in, out, escape);
    return size_t(out - dest);
}

#endif // LUMIGRAB_X86

std::vector<YEncDecoder> AvailableDecoders()
{
    std::vector<YEncDecoder> decoders;
#ifdef LUMIGRAB_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi2")
        && __builtin_cpu_supports("popcnt"))
        decoders.push_back({ "avx512vbmi2", DecodeAvx512 });
    if (__builtin_cpu_supports("avx2"))
        decoders.push_back({ "avx2", DecodeAvx2 });
    if (__builtin_cpu_supports("ssse3"))
        decoders.push_back({ "ssse3", DecodeSsse3 });
#endif
    decoders.push_back({ "portable", DecodePortable });
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

// The first "\n=y" whose line feed lies in [from, limit), as the offset
// of the "=y" line; npos when there is none.
size_t FindControlLineBefore(std::string_view text, size_t from, size_t limit)
{
#ifdef __SSE2__
    // Sixteen places at a time: a search that stops at every line feed
    // costs a call per line of a multi-megabyte block.
    const __m128i lineFeed = _mm_set1_epi8('\n');
    const __m128i equals = _mm_set1_epi8('=');
    const __m128i letter = _mm_set1_epi8('y');
    for (; from + 16 <= limit && from + 18 <= text.size(); from += 16) {
        const char* at = text.data() + from;
        const __m128i first = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), lineFeed);
        const __m128i second
            = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 1)), equals);
        const __m128i third
            = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 2)), letter);
        if (const int found = _mm_movemask_epi8(_mm_and_si128(_mm_and_si128(first, second), third)))
            return from + size_t(std::countr_zero(unsigned(found))) + 1;
    }
#endif
    const size_t found = text.substr(0, std::min(text.size(), limit + 2)).find("\n=y", from);
    return found == std::string_view::npos || found >= limit ? std::string_view::npos : found + 1;
}

// Where the data that starts at from ends: at the first line that begins
// with "=y", or at the end of the text.
size_t FindControlLine(std::string_view text, size_t from)
{
    if (text.substr(from).starts_with("=y"))
        return from;
    const size_t found = FindControlLineBefore(text, from, text.size());
    return found == std::string_view::npos ? text.size() : found;
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

// Decodes the piece of data in [from, to) and hands it to sink.
void DecodePiece(std::string_view text, size_t from, size_t to, char* piece, bool& escape, uint32_t& crc,
    YEncBlock& block, const YEncSink& sink)
{
    const size_t count = DecodeYEnc(text.substr(from, to - from), piece, escape);
    crc = Crc32(crc, std::string_view(piece, count));
    sink(block, std::string_view(piece, count));
    block.decodedSize += count;
}

void DecodeDataTo(std::string_view data, YEncBlock& block, const YEncSink& sink)
{
    if (data.empty())
        return;
    const auto piece = std::make_unique<char[]>(std::min(data.size(), kPieceSize));
    bool escape = false;
    uint32_t crc = 0;
    for (size_t offset = 0; offset < data.size(); offset += kPieceSize)
        DecodePiece(
            data, offset, std::min(data.size(), offset + kPieceSize), piece.get(), escape, crc, block, sink);
    block.decodedCrc32 = crc;
}

// The same for the data from the start of text up to its first "=y" line
// (or its end), which each piece looks for as it goes: the text is read
// from memory once, not once for the search and again for decoding. Pieces
// are gathered into sink pieces of up to kSinkPieceSize, each checked while
// it is still in the cache. Returns where the data ends.
size_t DecodeDataUntilControlLine(std::string_view text, YEncBlock& block, const YEncSink& sink)
{
    if (text.empty() || text.starts_with("=y"))
        return 0;
    const size_t room = std::min(text.size(), kSinkPieceSize);
    const std::unique_ptr<char[]> gathered(new char[room]);
    size_t filled = 0;
    bool escape = false;
    uint32_t crc = 0;
    size_t offset = 0;
    bool ended = false;
    while (offset < text.size() && !ended) {
        const size_t limit = std::min(text.size(), offset + kPieceSize);
        const size_t control = FindControlLineBefore(text, offset, limit);
        ended = control != std::string_view::npos;
        const size_t end = ended ? control : limit;
        // A piece never decodes to more bytes than it has characters.
        if (room - filled < end - offset) {
            sink(block, std::string_view(gathered.get(), filled));
            block.decodedSize += filled;
            filled = 0;
        }
        const size_t count = DecodeYEnc(text.substr(offset, end - offset), gathered.get() + filled, escape);
        crc = Crc32(crc, std::string_view(gathered.get() + filled, count));
        filled += count;
        offset = end;
    }
    sink(block, std::string_view(gathered.get(), filled));
    block.decodedSize += filled;
    block.decodedCrc32 = crc;
    return offset;
}

void DecodeData(std::string_view data, YEncBlock& block, TMemoryStream& out)
{
    if (data.empty())
        return;
    // The announced size is a stranger's number: never more room than the
    // data can fill.
    const size_t room = size_t(std::min<uint64_t>(block.size.value_or(data.size()), data.size()));
    out.Reserve(size_t(out.Size()) + room);
    DecodeDataTo(data, block,
        [&out](const YEncBlock&, std::string_view bytes) { out.WriteBuffer(bytes.data(), bytes.size()); });
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
        const size_t dataEnd = FindControlLine(data, 0);
        DecodeData(data.substr(0, dataEnd), block, out);
        return dataEnd;
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
