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

#ifdef LUMIGRAB_X86

// 32 characters (" " to "`") to 24 bytes; false when one is not in the
// table.
__attribute__((target("avx2"))) inline bool DecodeBlockAvx2(const unsigned char* in, char* out)
{
    const __m256i chars = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
    // Signed compares: bytes from 128 on are negative, below the blank.
    const __m256i inTable = _mm256_and_si256(_mm256_cmpgt_epi8(chars, _mm256_set1_epi8(' ' - 1)),
        _mm256_cmpgt_epi8(_mm256_set1_epi8('`' + 1), chars));
    if (uint32_t(_mm256_movemask_epi8(inTable)) != 0xFFFFFFFFu)
        return false;
    const __m256i values
        = _mm256_and_si256(_mm256_sub_epi8(chars, _mm256_set1_epi8(' ')), _mm256_set1_epi8(63));
    const __m256i groups = _mm256_madd_epi16(
        _mm256_maddubs_epi16(values, _mm256_set1_epi32(0x01400140)), _mm256_set1_epi32(0x00011000));
    const __m256i byteOrder = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1,
        0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m256i bytes = _mm256_permutevar8x32_epi32(
        _mm256_shuffle_epi8(groups, byteOrder), _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(bytes));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_extracti128_si256(bytes, 1));
    return true;
}

// Characters 0 to 31 and 28 to 59: the group they share is written twice,
// alike.
__attribute__((target("avx2"))) bool DecodeFullLineAvx2(const unsigned char* in, char* out)
{
    return DecodeBlockAvx2(in, out) && DecodeBlockAvx2(in + 28, out + 21);
}

#endif // LUMIGRAB_X86

std::vector<TUULineDecoder> AvailableLineDecoders()
{
    std::vector<TUULineDecoder> decoders;
#ifdef LUMIGRAB_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2"))
        decoders.push_back({ "avx2", DecodeFullLineAvx2 });
#endif
    decoders.push_back({ "portable", DecodeFullLinePortable });
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
    constexpr size_t kLineChars = 1 + kFullLineChars;
    TBase64Lines taken;
    for (size_t at = 0; text.size() - at > kLineChars && text[at] == 'M';) {
        const size_t lineEnd = at + kLineChars;
        size_t next = lineEnd + 1;
        if (text[lineEnd] == '\r' && next < text.size() && text[next] == '\n')
            ++next;
        else if (text[lineEnd] != '\n')
            break;
        if (!lines.decode(reinterpret_cast<const unsigned char*>(text.data() + at + 1), out + taken.written))
            break;
        taken.written += kMaxLineBytes;
        taken.consumed = at = next;
    }
    return taken;
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
