#include "mime/msmime.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <vector>

#include "base/messagepump.h"
#include "mime/base64_avx2.h"
#include "mime/base64_lines.h"
#include "mime/sixbit_tables.h"

namespace lumigrab {

namespace {

constexpr SixBitDecodeTables kBase64 = MakeSixBitDecodeTables(Base64ValueOf);

// True when text points into dest's buffer, so that resizing dest would
// pull the input away under the codec.
bool Overlaps(std::string_view text, const std::string& dest)
{
    const auto begin = reinterpret_cast<uintptr_t>(dest.data());
    const auto start = reinterpret_cast<uintptr_t>(text.data());
    return !text.empty() && start >= begin && start <= begin + dest.capacity();
}

bool AllBase64(std::string_view src)
{
    uint32_t seen = 0;
    for (const unsigned char c : src)
        seen |= kBase64.Value(c);
    return (seen & kInvalidSixBit) == 0;
}

size_t TrailingPads(std::string_view src)
{
    size_t pads = 0;
    while (pads < src.size() && src[src.size() - 1 - pads] == '=')
        ++pads;
    return pads;
}

// Decodes the first byteCount bytes of src (all of them valid) into out.
void DecodeValidBase64(std::string_view src, size_t byteCount, char* out)
{
    const unsigned char* in = UnsignedBytes(src);
    const size_t wholeGroups = std::min(byteCount / 3, src.size() / 4);
    for (size_t group = 0; group < wholeGroups; ++group, in += 4, out += 3)
        PutGroupBytes(kBase64.GroupValue(in), out, 3);
    if (const size_t rest = byteCount - wholeGroups * 3)
        PutGroupBytes(kBase64.PartialGroupValue(src, wholeGroups * 4), out, rest);
}

// Decodes all of src into out (room for whole groups plus one byte needed)
// and returns the OR of the table entries, which carries kInvalidSixBit for a bad
// character.
uint32_t DecodeAndCheckBase64(std::string_view src, char* out)
{
    const unsigned char* in = UnsignedBytes(src);
    const size_t wholeGroups = src.size() / 4;
    uint32_t seen = 0;
    for (size_t group = 0; group < wholeGroups; ++group, in += 4, out += 3) {
        const uint32_t value = kBase64.GroupValue(in);
        seen |= value;
        PutGroupWithSlack(value, out);
    }
    if (src.size() % 4) {
        const uint32_t value = kBase64.PartialGroupValue(src, wholeGroups * 4);
        seen |= value;
        PutGroupBytes(value, out, 3);
    }
    return seen;
}

// Lines up to this size decode in one pass through a stack buffer, which
// keeps dest untouched until the whole line has proved valid.
constexpr size_t kStackDecodeBytes = 3 * 1024;

// Decodes src into dest when every character is in the alphabet (or "=");
// otherwise returns false and leaves dest unchanged.
bool TryDecodeBase64(std::string_view src, std::string& dest, size_t maxLen)
{
    // A group cut short after k characters still yields k bytes, the last
    // of them partly padding bits.
    const size_t decoded = src.size() / 4 * 3 + src.size() % 4;
    const size_t kept = std::min(decoded - std::min(decoded, TrailingPads(src)), maxLen);
    if (decoded <= kStackDecodeBytes) {
        char buffer[kStackDecodeBytes + 4];
        if (DecodeAndCheckBase64(src, buffer) & kInvalidSixBit)
            return false;
        dest.assign(buffer, kept);
        return true;
    }
    if (!AllBase64(src))
        return false;
    if (Overlaps(src, dest)) {
        const std::string copy(src);
        dest.resize(kept);
        DecodeValidBase64(copy, kept, dest.data());
        return true;
    }
    dest.resize(kept);
    DecodeValidBase64(src, kept, dest.data());
    return true;
}

std::vector<TBase64BlockDecoder> AvailableBlockDecoders()
{
    std::vector<TBase64BlockDecoder> decoders;
#ifdef LUMIGRAB_BASE64_AVX2
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2"))
        decoders.push_back({ "avx2", DecodeBase64LinesAvx2 });
#endif
    decoders.push_back({ "portable", DecodeBase64LinesPortable });
    return decoders;
}

const std::vector<TBase64BlockDecoder>& BlockDecoders()
{
    static const std::vector<TBase64BlockDecoder> decoders = AvailableBlockDecoders();
    return decoders;
}

} // namespace

TBase64Lines DecodeBase64LinesPortable(std::string_view text, char* out)
{
    const unsigned char* const begin = UnsignedBytes(text);
    const unsigned char* const end = begin + text.size();
    const unsigned char* in = begin;
    char* written = out;
    TBase64Lines taken;
    for (;;) {
        // Up to the first character that is no base64...
        for (; end - in >= 4; in += 4, written += 3) {
            const uint32_t value = kBase64WithoutPad.GroupValue(in);
            if (value & kInvalidSixBit)
                break;
            PutGroupWithSlack(value, written);
        }
        // ...which must be the line's end, at a group's start; anything
        // else leaves the whole line to the tolerant decoder.
        const size_t lineBreak = LineBreakAt(in, end);
        if (lineBreak == 0)
            return taken;
        in += lineBreak;
        taken = { size_t(in - begin), size_t(written - out) };
    }
}

const std::string_view Base64Alphabet = kBase64Chars;

int Base64CharValue(char c)
{
    return SixBitValue(kBase64, c);
}

void DecodeBase64(std::string_view src, std::string& dest, size_t maxLen)
{
    if (!TryDecodeBase64(src, dest, maxLen))
        RaiseInvalidCharacter();
}

std::string DecodeBase64(std::string_view src, size_t maxLen)
{
    std::string dest;
    DecodeBase64(src, dest, maxLen);
    return dest;
}

void DecodeBase64DataLine(std::string_view src, std::string& dest, size_t maxLen)
{
    // Clean lines, nearly all of them, decode in one pass; only a line that
    // fails is copied without its stray characters and decoded again.
    if (TryDecodeBase64(src, dest, maxLen))
        return;
    DecodeBase64(WithoutStrayBase64Characters(src), dest, maxLen);
}

TBase64Lines DecodeCleanBase64Lines(std::string_view text, char* out)
{
    static const TBase64BlockDecoder& fastest = BlockDecoders().front();
    return DecodeCleanBase64Lines(text, out, fastest);
}

TBase64Lines DecodeCleanBase64Lines(std::string_view text, char* out, const TBase64BlockDecoder& blocks)
{
    return blocks.decode(text, out);
}

std::span<const TBase64BlockDecoder> Base64BlockDecoders()
{
    return BlockDecoders();
}

std::string WithoutStrayBase64Characters(std::string_view src)
{
    std::string kept;
    kept.reserve(src.size());
    std::copy_if(src.begin(), src.end(), std::back_inserter(kept),
        [](char c) { return (kBase64.Value(static_cast<unsigned char>(c)) & kInvalidSixBit) == 0; });
    return kept;
}

void EncodeBase64(std::string_view src, std::string& dest, size_t maxLen)
{
    if (Overlaps(src, dest)) {
        const std::string copy(src);
        EncodeBase64(copy, dest, maxLen);
        return;
    }
    const size_t wholeGroups = src.size() / 3;
    const size_t rest = src.size() % 3;
    dest.resize((wholeGroups + (rest ? 1 : 0)) * 4);
    const unsigned char* in = UnsignedBytes(src);
    char* out = dest.data();
    const char* alphabet = Base64Alphabet.data();
    for (size_t group = 0; group < wholeGroups; ++group, in += 3, out += 4)
        PutGroupChars(ByteGroupValue(in), alphabet, out);
    if (rest) {
        const uint32_t value = uint32_t(in[0]) << 16 | (rest == 2 ? uint32_t(in[1]) << 8 : 0);
        PutGroupChars(value, alphabet, out);
        if (rest == 1)
            out[2] = '=';
        out[3] = '=';
    }
    if (dest.size() > maxLen)
        dest.resize(maxLen);
}

std::string EncodeBase64(std::string_view src, size_t maxLen)
{
    std::string dest;
    EncodeBase64(src, dest, maxLen);
    return dest;
}

// ---------------------------------------------------------------------------
// Quoted-printable

namespace {

constexpr size_t kLineWidth = 65;
// The paragraph buffer holds the decoded text and its CR LF.
constexpr size_t kMaxDecodedParagraph = TQuotedPrintable::kMaxParagraph - 2;
constexpr size_t kMaxEncodedParagraph = TQuotedPrintable::kMaxParagraph - 1;
constexpr char kEndOfFile = 26;

[[noreturn]] void RaiseParagraphTooLarge()
{
    throw Exception("Paragraph is too large");
}

constexpr std::array<int8_t, 256> MakeHexValues()
{
    std::array<int8_t, 256> values {};
    values.fill(-1);
    for (int digit = 0; digit < 10; ++digit)
        values['0' + digit] = int8_t(digit);
    for (int digit = 0; digit < 6; ++digit) {
        values['A' + digit] = int8_t(10 + digit);
        values['a' + digit] = int8_t(10 + digit);
    }
    return values;
}

constexpr std::array<int8_t, 256> kHexValue = MakeHexValues();

int HexValue(char c)
{
    return kHexValue[static_cast<unsigned char>(c)];
}

// The byte of the escape whose digits start at line[index] (one digit when
// it is the last character), or nullopt with the number of digits used.
std::optional<char> EscapedByte(std::string_view line, size_t index, size_t& digits)
{
    digits = std::min<size_t>(2, line.size() - index);
    int value = 0;
    for (size_t k = 0; k < digits; ++k) {
        const int digit = HexValue(line[index + k]);
        if (digit < 0)
            return std::nullopt;
        value = value * 16 + digit;
    }
    return char(value);
}

// Appends the unescaped line to out; returns true when the line ends in a
// soft break. The last character never starts an escape, and only a raw
// final "=" is a soft break: a decoded "=3D" is text.
bool UnescapeLine(std::string_view line, std::string& out)
{
    if (line.empty())
        return false;
    const size_t last = line.size() - 1;
    size_t index = 0;
    while (index < last) {
        const void* found = std::memchr(line.data() + index, '=', last - index);
        const size_t equals = found ? size_t(static_cast<const char*>(found) - line.data()) : last;
        out.append(line.data() + index, equals - index);
        index = equals;
        if (!found)
            break;
        size_t digits = 0;
        if (const auto byte = EscapedByte(line, equals + 1, digits)) {
            out.push_back(*byte);
            index = equals + 1 + digits;
        } else {
            out.push_back('=');
            index = equals + 1;
        }
    }
    if (index == last) {
        if (line[last] == '=')
            return true;
        out.push_back(line[last]);
    }
    return false;
}

constexpr std::array<bool, 256> MakeNeedsEscape()
{
    std::array<bool, 256> escape {};
    for (int c = 0; c < 256; ++c)
        escape[c] = c < 32 || c == '=' || c >= 128;
    return escape;
}

constexpr std::array<bool, 256> kNeedsEscape = MakeNeedsEscape();

// Escapes one line of at most kLineWidth characters. A blank at the very
// end of an encoded line is escaped, since transports may strip trailing
// white space.
std::string EscapeLine(std::string_view text, bool softBreak)
{
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    char buffer[kLineWidth * 3 + 1];
    char* out = buffer;
    const bool escapeLastBlank = !softBreak && !text.empty() && text.back() == ' ';
    for (size_t index = 0; index < text.size(); ++index) {
        const auto c = static_cast<unsigned char>(text[index]);
        if (kNeedsEscape[c] || (escapeLastBlank && index + 1 == text.size())) {
            out[0] = '=';
            out[1] = kHexDigits[c >> 4];
            out[2] = kHexDigits[c & 15];
            out += 3;
        } else {
            *out++ = char(c);
        }
    }
    if (softBreak)
        *out++ = '=';
    return std::string(buffer, size_t(out - buffer));
}

// Length of the next line of a paragraph rest of at least kLineWidth
// characters: up to the last blank at offsets kLineWidth..1, else the
// full width.
size_t NextLineLength(std::string_view rest)
{
    for (size_t offset = std::min(kLineWidth, rest.size() - 1); offset >= 1; --offset) {
        if (rest[offset] == ' ')
            return offset;
    }
    return kLineWidth;
}

void AddParagraphLines(std::string_view paragraph, TStringList& lines)
{
    while (paragraph.size() >= kLineWidth) {
        const size_t length = NextLineLength(paragraph);
        lines.Add(EscapeLine(paragraph.substr(0, length), true));
        paragraph.remove_prefix(length);
    }
    lines.Add(EscapeLine(paragraph, false));
}

// Finds CR and LF in a block with one vectorised search per character,
// remembering the next hit of each so no byte is searched twice.
class LineBreakFinder {
public:
    LineBreakFinder(const char* data, size_t size)
        : data_(data)
        , size_(size)
    {
    }

    size_t Next(size_t from) { return std::min(NextOf('\r', nextCR_, from), NextOf('\n', nextLF_, from)); }

private:
    size_t NextOf(char c, size_t& cached, size_t from)
    {
        if (cached < from || cached == kUnknown) {
            const void* hit = std::memchr(data_ + from, c, size_ - from);
            cached = hit ? size_t(static_cast<const char*>(hit) - data_) : size_;
        }
        return cached;
    }

    static constexpr size_t kUnknown = size_t(-1);
    const char* data_;
    size_t size_;
    size_t nextCR_ = kUnknown;
    size_t nextLF_ = kUnknown;
};

// Cuts a byte stream, fed block by block, into paragraphs at CR LF, CR or
// LF and appends their encoded lines. A paragraph lying within one block is
// encoded in place; only one spanning blocks is collected.
class ParagraphEncoder {
public:
    explicit ParagraphEncoder(TStringList& lines)
        : lines_(lines)
    {
    }

    void Feed(std::string_view block)
    {
        LineBreakFinder lineBreaks(block.data(), block.size());
        size_t index = 0;
        if (afterCR_ && !block.empty() && block.front() == '\n')
            index = 1;
        afterCR_ = false;
        while (index < block.size()) {
            const size_t lineBreak = lineBreaks.Next(index);
            const std::string_view piece = block.substr(index, lineBreak - index);
            if (lineBreak == block.size()) {
                Collect(piece);
                afterCR_ = false;
                return;
            }
            EndParagraph(piece);
            afterCR_ = block[lineBreak] == '\r';
            index = lineBreak + 1;
            if (afterCR_ && index < block.size() && block[index] == '\n') {
                afterCR_ = false;
                ++index;
            }
        }
    }

    void Finish()
    {
        if (!collected_.empty())
            AddParagraphLines(collected_, lines_);
    }

private:
    static void CheckSize(size_t size)
    {
        if (size > kMaxEncodedParagraph)
            RaiseParagraphTooLarge();
    }

    void Collect(std::string_view piece)
    {
        CheckSize(collected_.size() + piece.size());
        collected_.append(piece);
    }

    void EndParagraph(std::string_view piece)
    {
        if (collected_.empty()) {
            CheckSize(piece.size());
            AddParagraphLines(piece, lines_);
        } else {
            Collect(piece);
            AddParagraphLines(collected_, lines_);
            collected_.clear();
        }
        ProcessMessagesSometimes();
    }

    TStringList& lines_;
    std::string collected_;
    bool afterCR_ = false; // the last block ended in CR; an LF next is part of that break
};

} // namespace

void DecodeQuotedPrintable(std::string_view src, std::string& dest, size_t maxLen)
{
    std::string decoded;
    UnescapeLine(src, decoded);
    const size_t lineEnd = decoded.find_first_of("\r\n");
    if (lineEnd != std::string::npos)
        decoded.resize(lineEnd);
    if (decoded.size() > maxLen)
        decoded.resize(maxLen);
    dest = std::move(decoded);
}

std::string DecodeQuotedPrintable(std::string_view src, size_t maxLen)
{
    std::string dest;
    DecodeQuotedPrintable(src, dest, maxLen);
    return dest;
}

TQuotedPrintable::TQuotedPrintable(TStream& stream, TStringList& lines)
    : Stream(stream)
    , Lines(lines)
{
}

void TQuotedPrintable::Encode()
{
    Stream.SetPosition(0);
    ParagraphEncoder encoder(Lines);
    std::string block(64 * 1024, '\0');
    while (const size_t count = Stream.Read(block.data(), block.size()))
        encoder.Feed(std::string_view(block).substr(0, count));
    encoder.Finish();
}

void TQuotedPrintable::Decode()
{
    std::string paragraph;
    paragraph.reserve(kMaxParagraph);
    const int count = Lines.Count();
    for (int index = 0; index < count; ++index) {
        const bool softBreak = UnescapeLine(Lines[index], paragraph);
        if (paragraph.size() > kMaxDecodedParagraph)
            RaiseParagraphTooLarge();
        if (softBreak)
            continue;
        // Only the text's very end keeps a DOS end-of-file mark unterminated.
        const bool endOfFile = index == count - 1 && !paragraph.empty() && paragraph.back() == kEndOfFile;
        if (!endOfFile)
            paragraph.append("\r\n");
        Stream.WriteBuffer(paragraph.data(), paragraph.size());
        paragraph.clear();
        ProcessMessagesSometimes();
    }
    if (!paragraph.empty())
        Stream.WriteBuffer(paragraph.data(), paragraph.size());
}

// ---------------------------------------------------------------------------
// Encoded words in header values

namespace {

// The parts of an encoded word "=?charset?letter?text?=".
struct EncodedWord {
    char letter = 0;
    size_t textStart = 0;
    size_t close = std::string_view::npos; // position of the closing "?="
};

// Reads the structure of the word opened at open. The closing "?=" is
// searched only behind the letter, so a text that begins with "=" or has a
// single character still closes right.
std::optional<EncodedWord> ParseWord(std::string_view text, size_t open)
{
    const size_t charsetEnd = text.find('?', open + 2);
    if (charsetEnd == std::string_view::npos || charsetEnd + 2 >= text.size() || text[charsetEnd + 2] != '?')
        return std::nullopt;
    EncodedWord word;
    word.letter = UpChar(text[charsetEnd + 1]);
    word.textStart = charsetEnd + 3;
    word.close = text.find("?=", word.textStart);
    return word;
}

// The word's bytes; nullopt for an unknown letter or invalid base64.
std::optional<std::string> DecodeWordText(char letter, std::string_view text)
{
    if (letter == 'B') {
        if (!AllBase64(text))
            return std::nullopt;
        return DecodeBase64(text, std::string::npos);
    }
    if (letter == 'Q') {
        std::string spaced(text);
        std::replace(spaced.begin(), spaced.end(), '_', ' ');
        return DecodeQuotedPrintable(spaced, std::string::npos);
    }
    return std::nullopt;
}

} // namespace

void DecodeHeaderText(std::string_view src, std::string& dest, size_t maxLen)
{
    std::string out;
    out.reserve(src.size());
    bool lastWasWord = false;
    size_t decodedEnd = std::string::npos; // end of the last decoded word in out
    size_t scan = 0;
    while (scan < src.size()) {
        const size_t open = src.find("=?", scan);
        const auto word = open == std::string_view::npos ? std::nullopt : ParseWord(src, open);
        if (open == std::string_view::npos || (word && word->close == std::string_view::npos)) {
            out.append(src.substr(scan)); // an unclosed word ends decoding
            break;
        }
        const std::string_view between = src.substr(scan, open - scan);
        if (!word) {
            out.append(between).append("=?");
            lastWasWord = false;
            scan = open + 2;
            continue;
        }
        const std::string_view text = src.substr(word->textStart, word->close - word->textStart);
        const auto decoded = DecodeWordText(word->letter, text);
        if (!(lastWasWord && decoded && TrimView(between).empty()))
            out.append(between);
        out.append(decoded ? std::string_view(*decoded) : src.substr(open, word->close + 2 - open));
        if (decoded)
            decodedEnd = out.size();
        lastWasWord = decoded.has_value();
        scan = word->close + 2;
    }
    if (decodedEnd != std::string::npos) {
        while (out.size() > decodedEnd && IsBlankOrControl(out.back()))
            out.pop_back();
    }
    if (out.size() > maxLen)
        out.resize(maxLen);
    dest = std::move(out);
}

std::string DecodeHeaderText(std::string_view src, size_t maxLen)
{
    std::string dest;
    DecodeHeaderText(src, dest, maxLen);
    return dest;
}

} // namespace lumigrab
