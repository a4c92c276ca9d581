#include "mime/msuucode.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace lumigrab {

const std::string_view UUTable = "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_";

namespace {

constexpr size_t kMaxLineBytes = 45;
constexpr size_t kFullLineChars = 60;

// See the base64 tables: six bits pre-shifted per group position, with a
// marker bit for invalid characters that survives OR-ing a group.
constexpr uint32_t kInvalid = 0x80000000u;

struct UUDecodeTables {
    std::array<std::array<uint32_t, 256>, 4> shifted {};
};

constexpr UUDecodeTables MakeUUDecodeTables()
{
    UUDecodeTables tables;
    for (auto& table : tables.shifted)
        table.fill(kInvalid);
    for (uint32_t c = ' '; c <= '`'; ++c) {
        // Older encoders write a blank for 0, newer ones a grave accent.
        const uint32_t value = (c == ' ' || c == '`') ? 0 : c - 32;
        for (int position = 0; position < 4; ++position)
            tables.shifted[position][c] = value << (18 - 6 * position);
    }
    return tables;
}

constexpr UUDecodeTables kUU = MakeUUDecodeTables();

[[noreturn]] void RaiseInvalidCharacter()
{
    throw EInOutError("Invalid Character");
}

size_t EncodedCharCount(size_t byteCount)
{
    return byteCount == kMaxLineBytes ? kFullLineChars : byteCount * 4 / 3 + 1;
}

// Decodes groupCount groups of chars into out; characters past the end
// count as zero bits. Returns the OR of the table entries used, which
// carries kInvalid when a character was invalid.
uint32_t DecodeGroups(std::string_view chars, size_t groupCount, unsigned char* out)
{
    const auto& t = kUU.shifted;
    const auto* in = reinterpret_cast<const unsigned char*>(chars.data());
    const size_t wholeGroups = std::min(groupCount, chars.size() / 4);
    uint32_t seen = 0;
    for (size_t group = 0; group < wholeGroups; ++group, in += 4, out += 3) {
        const uint32_t value = t[0][in[0]] | t[1][in[1]] | t[2][in[2]] | t[3][in[3]];
        seen |= value;
        out[0] = static_cast<unsigned char>(value >> 16);
        out[1] = static_cast<unsigned char>(value >> 8);
        out[2] = static_cast<unsigned char>(value);
    }
    for (size_t group = wholeGroups; group < groupCount; ++group, out += 3) {
        uint32_t value = 0;
        for (size_t k = 0; k < 4 && group * 4 + k < chars.size(); ++k)
            value |= t[k][static_cast<unsigned char>(chars[group * 4 + k])];
        seen |= value;
        out[0] = static_cast<unsigned char>(value >> 16);
        out[1] = static_cast<unsigned char>(value >> 8);
        out[2] = static_cast<unsigned char>(value);
    }
    return seen;
}

// OR of the table entries of the characters that carry no bytes but must
// still be valid.
uint32_t CheckRest(std::string_view chars)
{
    uint32_t seen = 0;
    for (const unsigned char c : chars)
        seen |= kUU.shifted[3][c];
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
    const uint32_t value = kUU.shifted[3][static_cast<unsigned char>(c)];
    if (value & kInvalid)
        RaiseInvalidCharacter();
    return int(value);
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
    unsigned char bytes[kMaxLineBytes + 3];
    uint32_t seen = DecodeGroups(chars, groupCount, bytes);
    if (chars.size() > groupCount * 4)
        seen |= CheckRest(chars.substr(groupCount * 4));
    if (seen & kInvalid)
        RaiseInvalidCharacter();
    dest.assign(reinterpret_cast<const char*>(bytes), std::min(byteCount, maxLen));
}

std::string DecodeUULine(std::string_view line, size_t maxLen)
{
    std::string dest;
    DecodeUULine(line, dest, maxLen);
    return dest;
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
    for (size_t group = 0; group < groupCount; ++group) {
        const unsigned char* in = bytes + group * 3;
        const uint32_t value = uint32_t(in[0]) << 16 | uint32_t(in[1]) << 8 | in[2];
        char* out = line + 1 + group * 4;
        out[0] = table[value >> 18];
        out[1] = table[(value >> 12) & 63];
        out[2] = table[(value >> 6) & 63];
        out[3] = table[value & 63];
    }
    dest.assign(line, std::min(1 + charCount, maxLen));
}

std::string EncodeUULine(std::string_view src, size_t maxLen)
{
    std::string dest;
    EncodeUULine(src, dest, maxLen);
    return dest;
}

} // namespace lumigrab
