#include "mime/msuucode.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "mime/sixbit_tables.h"

#if defined(__x86_64__) || defined(__i386__)
#define LUMIGRAB_X86 1
#include <immintrin.h>

#include "mime/sixbit_avx2.h"
#endif

namespace lumigrab {

const std::string_view UUTable = "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_";

namespace {

constexpr size_t kMaxLineBytes = 45;
constexpr size_t kFullLineChars = 60;

// Older encoders write a blank for 0, newer ones a grave accent.
constexpr int UUValueOf(unsigned char c)
{
    if (c < ' ' || c > '`')
        return -1;
    return c == '`' ? 0 : c - ' ';
}

constexpr SixBitDecodeTables kUU = MakeSixBitDecodeTables(UUValueOf);

size_t EncodedCharCount(size_t byteCount)
{
    return byteCount == kMaxLineBytes ? kFullLineChars : byteCount * 4 / 3 + 1;
}

// Decodes groupCount groups of chars into out; characters past the end
// count as zero bits. Returns the OR of the table entries used, which
// carries kInvalidSixBit when a character was invalid.
uint32_t DecodeGroups(std::string_view chars, size_t groupCount, char* out)
{
    const auto* in = reinterpret_cast<const unsigned char*>(chars.data());
    const size_t wholeGroups = std::min(groupCount, chars.size() / 4);
    uint32_t seen = 0;
    for (size_t group = 0; group < wholeGroups; ++group, in += 4, out += 3) {
        const uint32_t value = kUU.GroupValue(in);
        seen |= value;
        PutGroupBytes(value, out, 3);
    }
    for (size_t group = wholeGroups; group < groupCount; ++group, out += 3) {
        const uint32_t value = kUU.PartialGroupValue(chars, group * 4);
        seen |= value;
        PutGroupBytes(value, out, 3);
    }
    return seen;
}

// OR of the table entries of the characters that carry no bytes but must
// still be valid.
uint32_t CheckRest(std::string_view chars)
{
    uint32_t seen = 0;
    for (const unsigned char c : chars)
        seen |= kUU.Value(c);
    return seen;
}

} // namespace

bool IsUUBeginLine(std::string_view line)
{
    if (line.size() < 9 || !SameText(line.substr(0, 5), "BEGIN"))
        return false;
    const std::string_view mode = TrimView(line.substr(5)).substr(0, 3);
    return TryStrToInt(mode).has_value();
}

std::string GetUUFileName(std::string_view line)
{
    constexpr size_t kPrefixLength = 10; // "begin", blank, three-digit mode, blank
    if (line.size() <= kPrefixLength)
        return {};
    std::string_view rest = line.substr(kPrefixLength);
    if (rest.front() == '"') {
        rest.remove_prefix(1);
        const size_t quote = rest.find('"');
        return quote == std::string_view::npos ? std::string() : std::string(rest.substr(0, quote));
    }
    return std::string(rest.substr(0, rest.find(' ')));
}

int UUCharValue(char c)
{
    return SixBitValue(kUU, c);
}

void DecodeUULine(std::string_view line, std::string& dest, size_t maxLen)
{
    if (line.empty()) {
        dest.clear();
        return;
    }
    // A length beyond 45 cannot be honoured by the line format; cut to 45.
    const size_t announced = size_t(UUCharValue(line[0]));
    const size_t byteCount = std::min(announced, kMaxLineBytes);
    std::string_view chars = line.substr(1);
    if (announced == kMaxLineBytes)
        chars = chars.substr(0, kFullLineChars);
    const size_t groupCount = (byteCount + 2) / 3;
    char bytes[kMaxLineBytes + 3];
    uint32_t seen = DecodeGroups(chars, groupCount, bytes);
    if (chars.size() > groupCount * 4)
        seen |= CheckRest(chars.substr(groupCount * 4));
    if (seen & kInvalidSixBit)
        RaiseInvalidCharacter();
    dest.assign(bytes, std::min(byteCount, maxLen));
}

std::string DecodeUULine(std::string_view line, size_t maxLen)
{
    std::string dest;
    DecodeUULine(line, dest, maxLen);
    return dest;
}

namespace {

constexpr size_t kFullLineText = 1 + kFullLineChars; // the length character, then the groups

// Decodes the 60 characters of a full line into its 45 bytes, each group
// stored with one four-byte write whose last byte the next group (or the
// caller's slack) takes. False when a character is not in the table.
bool DecodeFullLinePortable(const unsigned char* in, char* out)
{
    uint32_t seen = 0;
    for (size_t group = 0; group < kFullLineChars / 4; ++group, in += 4, out += 3) {
        const uint32_t value = kUU.GroupValue(in);
        seen |= value;
        if constexpr (std::endian::native == std::endian::little) {
            const uint32_t bigEndian = __builtin_bswap32(value << 8);
            std::memcpy(out, &bigEndian, 4);
        } else {
            PutGroupBytes(value, out, 3);
        }
    }
    return (seen & kInvalidSixBit) == 0;
}

// The length of the line break after the full line at text[at], LF or CR
// LF; 0 when there is none or the line is no full line.
size_t FullLineBreak(std::string_view text, size_t at)
{
    if (text.size() - at <= kFullLineText || text[at] != 'M')
        return 0;
    const size_t lineEnd = at + kFullLineText;
    if (text[lineEnd] == '\n')
        return 1;
    return text[lineEnd] == '\r' && lineEnd + 1 < text.size() && text[lineEnd + 1] == '\n' ? 2 : 0;
}

TBase64Lines DecodeFullLinesPortable(std::string_view text, char* out)
{
    TBase64Lines taken;
    while (const size_t lineBreak = FullLineBreak(text, taken.consumed)) {
        const auto* in = reinterpret_cast<const unsigned char*>(text.data() + taken.consumed + 1);
        if (!DecodeFullLinePortable(in, out + taken.written))
            break;
        taken.written += kMaxLineBytes;
        taken.consumed += kFullLineText + lineBreak;
    }
    return taken;
}

#ifdef LUMIGRAB_X86

// 32 characters (" " to "`") at a time, with the tables in registers.
struct UUAvx2 {
    __m256i blank;
    __m256i lastValue;
    __m256i sixBits;
    SixBitPackAvx2 pack;

    __attribute__((target("avx2"))) UUAvx2()
        : blank(_mm256_set1_epi8(' '))
        , lastValue(_mm256_set1_epi8('`' - ' '))
        , sixBits(_mm256_set1_epi8(63))
    {
    }

    // Hides the tables' values from the compiler, which then keeps them in
    // registers through a loop rather than building them again in it.
    __attribute__((target("avx2"))) void Pin()
    {
        asm("" : "+x"(blank), "+x"(lastValue), "+x"(sixBits));
        pack.Pin();
    }

    static __attribute__((target("avx2"))) __m256i Load(const unsigned char* in)
    {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
    }

    // Each character's distance from the blank: 0 to 64 in the table (the
    // grave accent, 64, stands for 0), wrapped round or above for others.
    __attribute__((target("avx2"))) __m256i Distances(__m256i chars) const
    {
        return _mm256_sub_epi8(chars, blank);
    }

    // A byte other than zero for each distance outside the table; these OR
    // together, so that one test covers a line.
    __attribute__((target("avx2"))) __m256i Strangers(__m256i distances) const
    {
        return _mm256_subs_epu8(distances, lastValue);
    }

    // The 24 bytes, 12 in each half: bytes 0 to 11 and 16 to 27.
    __attribute__((target("avx2"))) __m256i DecodeHalves(__m256i distances) const
    {
        return pack.Halves(_mm256_and_si256(distances, sixBits));
    }

    // 24 bytes and 4 of slack.
    __attribute__((target("avx2"))) void DecodeWithSlack(__m256i distances, char* out) const
    {
        SixBitPackAvx2::StoreWithSlack(DecodeHalves(distances), out);
    }

    // Exactly 24 bytes.
    __attribute__((target("avx2"))) void Decode(__m256i distances, char* out) const
    {
        pack.Store(DecodeHalves(distances), out);
    }
};

template <size_t BreakBytes> bool IsLineBreak(const char* at)
{
    if constexpr (BreakBytes == 1)
        return at[0] == '\n';
    else
        return at[0] == '\r' && at[1] == '\n';
}

// Full lines ended by a line break of BreakBytes, from taken on, for as long
// as they come clean. Where the next line starts is known before this one is
// checked, so the processor works on several lines at once. Characters 1 to
// 32 and 29 to 60 of a line make its two blocks; the group they share is
// written twice, alike. A line is decoded before it is checked; the bytes of
// one that fails lie beyond what is taken.
template <size_t BreakBytes>
__attribute__((target("avx2"), noinline)) TBase64Lines DecodeSameFullLinesAvx2(
    std::string_view text, char* out, TBase64Lines taken)
{
    UUAvx2 codec;
    codec.Pin();
    const char* line = text.data() + taken.consumed;
    const char* const end = text.data() + text.size();
    char* written = out + taken.written;
    while (size_t(end - line) >= kFullLineText + BreakBytes && line[0] == 'M'
        && IsLineBreak<BreakBytes>(line + kFullLineText)) {
        const auto* in = reinterpret_cast<const unsigned char*>(line + 1);
        const __m256i first = codec.Distances(UUAvx2::Load(in));
        const __m256i second = codec.Distances(UUAvx2::Load(in + 28));
        codec.DecodeWithSlack(first, written);
        codec.Decode(second, written + 21);
        const __m256i strangers = _mm256_or_si256(codec.Strangers(first), codec.Strangers(second));
        if (!_mm256_testz_si256(strangers, strangers))
            break;
        line += kFullLineText + BreakBytes;
        written += kMaxLineBytes;
    }
    return { size_t(line - text.data()), size_t(written - out) };
}

// Each run of lines with one line break takes the way made for it.
__attribute__((target("avx2"))) TBase64Lines DecodeFullLinesAvx2(std::string_view text, char* out)
{
    TBase64Lines taken;
    for (;;) {
        const size_t lineBreak = FullLineBreak(text, taken.consumed);
        if (lineBreak == 0)
            return taken;
        const size_t before = taken.consumed;
        taken = lineBreak == 1 ? DecodeSameFullLinesAvx2<1>(text, out, taken)
                               : DecodeSameFullLinesAvx2<2>(text, out, taken);
        if (taken.consumed == before)
            return taken;
    }
}

#endif // LUMIGRAB_X86

std::vector<TUULineDecoder> AvailableLineDecoders()
{
    std::vector<TUULineDecoder> decoders;
#ifdef LUMIGRAB_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2"))
        decoders.push_back({ "avx2", DecodeFullLinesAvx2 });
#endif
    decoders.push_back({ "portable", DecodeFullLinesPortable });
    return decoders;
}

const std::vector<TUULineDecoder>& LineDecoders()
{
    static const std::vector<TUULineDecoder> decoders = AvailableLineDecoders();
    return decoders;
}

} // namespace

std::span<const TUULineDecoder> FullUULineDecoders()
{
    return LineDecoders();
}

TBase64Lines DecodeFullUULines(std::string_view text, char* out)
{
    static const TUULineDecoder& fastest = LineDecoders().front();
    return DecodeFullUULines(text, out, fastest);
}

TBase64Lines DecodeFullUULines(std::string_view text, char* out, const TUULineDecoder& lines)
{
    return lines.decode(text, out);
}

void EncodeUULine(std::string_view src, std::string& dest, size_t maxLen)
{
    if (src.size() > kMaxLineBytes)
        throw Exception(Format("A uuencoded line holds at most 45 bytes, not %zu", src.size()));
    unsigned char bytes[kMaxLineBytes] = {};
    std::memcpy(bytes, src.data(), src.size());
    char line[1 + kFullLineChars];
    line[0] = UUTable[src.size()];
    const char* table = UUTable.data();
    const size_t charCount = EncodedCharCount(src.size());
    const size_t groupCount = (charCount + 3) / 4;
    for (size_t group = 0; group < groupCount; ++group)
        PutGroupChars(ByteGroupValue(bytes + group * 3), table, line + 1 + group * 4);
    dest.assign(line, std::min(1 + charCount, maxLen));
}

std::string EncodeUULine(std::string_view src, size_t maxLen)
{
    std::string dest;
    EncodeUULine(src, dest, maxLen);
    return dest;
}

} // namespace lumigrab
