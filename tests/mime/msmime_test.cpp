#include "mime/msmime.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>

#include "tests/support/test_util.h"

namespace lumigrab {
namespace {

using namespace std::string_literals;

void ExpectParagraphTooLarge(const std::function<void()>& call)
{
    ExpectRaises<Exception>(call, "Paragraph is too large");
}

Lines EncodeQP(std::string_view bytes)
{
    TMemoryStream stream;
    stream.Assign(std::string(bytes));
    TStringList lines;
    TQuotedPrintable(stream, lines).Encode();
    return lines.Lines();
}

std::string DecodeQP(const Lines& encoded)
{
    TStringList lines = StringListOf(encoded);
    TMemoryStream stream;
    TQuotedPrintable(stream, lines).Decode();
    return std::string(stream.View());
}

// --- base64 -----------------------------------------------------------------

TEST(Base64CharValue, MapsAlphabetAndPadAndRejectsEverythingElse)
{
    for (size_t value = 0; value < Base64Alphabet.size(); ++value)
        EXPECT_EQ(Base64CharValue(Base64Alphabet[value]), int(value));
    EXPECT_EQ(Base64CharValue('='), 0);
    for (const char c : " \r\n\t\0-_.*~"s)
        ExpectInvalidCharacter([c] { Base64CharValue(c); });
    ExpectInvalidCharacter([] { Base64CharValue(char(0xC3)); });
}

TEST(DecodeBase64, DecodesTable)
{
    const std::vector<CodecCase> cases = {
        { "", "" },
        { "QUJD", "ABC" },
        { "QUI=", "AB" },
        { "QQ==", "A" },
        { "QUI", "AB\0"s }, // unpadded: the padding bits make a whole byte
        { "Q", "@" },
        { "Zm9vYmFy", "foobar" },
        { "Zm9vYg==", "foob" },
        { "/+/+", "\xFF\xEF\xFE" },
        { "====", "" }, // more pads than bytes must not underflow
        { "QUJD", "AB", 2 },
        { "QUI=", "A", 1 }, // pads count against the whole text, not the cut one
        { "QUJDREVG", "", 0 },
    };
    for (const auto& c : cases) {
        std::string dest = "old";
        DecodeBase64(c.encoded, dest, c.maxLen);
        EXPECT_EQ(dest, c.decoded) << c.encoded << " max " << c.maxLen;
    }
}

TEST(DecodeBase64, ReadsNothingBeyondTheView)
{
    const std::string text = "QUJ/QUJDQUJ/";
    EXPECT_EQ(DecodeBase64(std::string_view(text).substr(0, 3)), "AB\x40");
    EXPECT_EQ(DecodeBase64(std::string_view(text).substr(4, 7)), "ABCAB\x40");
}

TEST(DecodeBase64, InvalidCharacterLeavesDestUnchanged)
{
    for (const std::string& bad :
        { "QU JD"s, "QUJD\r\n"s, "QUJ\n"s, "QU\0D"s, "QUJ-"s, "QUJD" + std::string(300, 'A') + "!" }) {
        std::string dest = "unchanged";
        ExpectInvalidCharacter([&] { DecodeBase64(bad, dest); });
        EXPECT_EQ(dest, "unchanged");
    }
}

TEST(DecodeBase64, LongLinesDecodeWholeWithLargeLimit)
{
    for (size_t size : { 750u, 3072u, 3073u, 6001u }) { // 1000 characters and beyond the one-pass size
        const std::string bytes = RandomBytes(size, 11 + unsigned(size));
        std::string line = EncodeBase64(bytes, std::string::npos);
        ASSERT_EQ(line.size(), (size + 2) / 3 * 4);
        EXPECT_EQ(DecodeBase64(line, std::string::npos), bytes) << size;
        EXPECT_EQ(DecodeBase64(line), bytes.substr(0, kShortTextMax)) << size;

        std::string dest = "unchanged";
        line.back() = '-';
        ExpectInvalidCharacter([&] { DecodeBase64(line, dest, std::string::npos); });
        EXPECT_EQ(dest, "unchanged");

        line.back() = '=';
        DecodeBase64(line, line, std::string::npos);
        EXPECT_EQ(line.size(), size - (size % 3 == 0 ? 1 : 0)) << size;
    }
}

TEST(DecodeBase64, ReusesDestCapacityAndToleratesAliasing)
{
    std::string dest;
    dest.reserve(100);
    const char* buffer = dest.data();
    DecodeBase64("Zm9vYmFy", dest);
    EXPECT_EQ(dest, "foobar");
    EXPECT_EQ(dest.data(), buffer);

    std::string same = "Zm9vYmFy";
    DecodeBase64(same, same);
    EXPECT_EQ(same, "foobar");
    EncodeBase64(same, same);
    EXPECT_EQ(same, "Zm9vYmFy");
}

// Data lines as mail gateways leave them; DecodeBase64 itself refuses each.
TEST(DecodeBase64DataLine, SkipsWhatIsNotBase64)
{
    const std::vector<CodecCase> cases = {
        { "aGVsbG8=", "hello" },
        { "aGVsbG8= ", "hello" },
        { "aGVsbG8=\t\r", "hello" },
        { " aG Vs\tbG 8= ", "hello" },
        { "aGVs#bG8=!", "hello" },
        { "aGVs\xFF\0bG8="s, "hello" },
        { "QUJD.REVG", "ABCDEF" },
        { " \t ", "" },
        { "aGV sbG8=", "hel", 3 },
    };
    for (const auto& c : cases) {
        std::string dest = "old";
        DecodeBase64DataLine(c.encoded, dest, c.maxLen);
        EXPECT_EQ(dest, c.decoded) << c.encoded;
    }
    ExpectInvalidCharacter([] { DecodeBase64("aGVsbG8= "); });
}

// The characters the tolerant path keeps, found without the codec's tables.
std::string Base64CharactersOf(std::string_view text)
{
    std::string kept;
    std::copy_if(text.begin(), text.end(), std::back_inserter(kept),
        [](char c) { return c == '=' || Base64Alphabet.find(c) != std::string_view::npos; });
    return kept;
}

// Clean lines take a fast path, dirty ones the tolerant path; both must give
// the bytes of the line's base64 characters alone, at every length (short
// lines decode through a stack buffer, long ones in place) and limit.
TEST(DecodeBase64DataLine, FastPathAndTolerantPathAgree)
{
    std::mt19937 random(20261208);
    const std::string strays = " \t\r#.-!\x80\xFF"s + '\0';
    for (size_t length : { 1u, 3u, 4u, 76u, 77u, 4095u, 4096u, 5000u }) {
        for (int dirty = 0; dirty < 2; ++dirty) {
            std::string line
                = EncodeBase64(RandomBytes(length, unsigned(length)), std::string::npos).substr(0, length);
            if (line.size() > 2 && random() % 2)
                line.replace(line.size() - 2, 2, "==");
            if (dirty)
                line.insert(random() % (line.size() + 1), 1, strays[random() % strays.size()]);
            const std::string kept = Base64CharactersOf(line);
            ASSERT_EQ(WithoutStrayBase64Characters(line), kept);
            for (size_t maxLen : { size_t(0), size_t(2), kShortTextMax, std::string::npos }) {
                SCOPED_TRACE(
                    ::testing::Message() << "length " << length << " dirty " << dirty << " max " << maxLen);
                std::string fast = "old";
                DecodeBase64DataLine(line, fast, maxLen);
                EXPECT_EQ(fast, DecodeBase64(kept, maxLen));
                std::string aliased = line;
                DecodeBase64DataLine(aliased, aliased, maxLen);
                EXPECT_EQ(aliased, fast);
            }
        }
    }
}

// Clean lines of many lengths (runs of 32 characters and the groups after
// them), most in runs of one length and line break, then a line the
// tolerant decoder must have, met inside a run of 76-character lines: each
// implementation takes exactly the clean lines before it, with the bytes the
// line decoder gives them, and writes nothing beyond its room.
TEST(DecodeCleanBase64Lines, TakesTheCleanLinesBeforeTheFirstOther)
{
    std::mt19937 random(20261208);
    std::vector<std::string> clean;
    for (size_t length : { 76u, 76u, 76u, 0u, 4u, 32u, 32u, 36u, 36u, 36u, 40u, 40u, 44u, 52u, 52u, 64u, 64u,
             68u, 68u, 96u, 100u, 100u, 1000u, 1000u, 28u, 76u, 76u, 76u })
        clean.push_back(
            EncodeBase64(RandomBytes(length / 4 * 3, unsigned(length + clean.size())), std::string::npos));
    const std::string line = clean.front();
    // Each spoils a 76-character line: a stray character, a pad, a line cut
    // short, a lone CR, a last line without its line break.
    std::vector<std::string> others;
    for (size_t at : { 0u, 1u, 31u, 32u, 33u, 59u, 60u, 63u, 64u, 75u })
        others.push_back(line.substr(0, at) + "\x80" + line.substr(at + 1) + "\n");
    others.push_back(line.substr(0, 10) + "=" + line.substr(11) + "\n");
    others.push_back(line.substr(0, 74) + "==\n");
    others.push_back(line.substr(0, 75) + "\r\n");
    others.push_back(line.substr(0, 40) + "\r" + line.substr(40) + "\n");
    others.push_back(line + "\r\r\n");
    others.push_back(line);
    others.push_back(".\r\n");
    for (const TBase64BlockDecoder& blocks : Base64BlockDecoders()) {
        for (const std::string& other : others) {
            SCOPED_TRACE(::testing::Message() << blocks.name << " before " << other);
            std::string text;
            std::string expected;
            bool crlf = false;
            for (const std::string& each : clean) {
                crlf ^= random() % 4 == 0;
                text += each + (crlf ? "\r\n" : "\n");
                std::string bytes;
                DecodeBase64DataLine(each, bytes, std::string::npos);
                expected += bytes;
            }
            const size_t cleanSize = text.size();
            text += other;
            if (other.ends_with('\n'))
                text += clean[2] + "\n";
            // Exactly the room promised, so that the address sanitizer sees
            // a write beyond it.
            std::vector<char> out(text.size() / 4 * 3 + 1);
            const TBase64Lines taken = DecodeCleanBase64Lines(text, out.data(), blocks);
            EXPECT_EQ(taken.consumed, cleanSize);
            EXPECT_EQ(std::string(out.data(), taken.written), expected);
        }
    }
}

// Every implementation takes what the portable one takes from text, byte
// for byte, within exactly the room promised.
void ExpectAllBlockDecodersAgree(std::string_view text)
{
    const auto decoders = Base64BlockDecoders();
    std::vector<char> expected(text.size() / 4 * 3 + 1);
    const TBase64Lines portable = DecodeCleanBase64Lines(text, expected.data(), decoders.back());
    for (const TBase64BlockDecoder& blocks : decoders) {
        SCOPED_TRACE(blocks.name);
        std::vector<char> out(text.size() / 4 * 3 + 1);
        const TBase64Lines taken = DecodeCleanBase64Lines(text, out.data(), blocks);
        ASSERT_EQ(taken.consumed, portable.consumed);
        ASSERT_EQ(std::string(out.data(), taken.written), std::string(expected.data(), portable.written));
    }
}

// Runs of lines of one length (every multiple of 4 up to 200 characters:
// blocks of 32 with every rest) and one line break: a text of one short run
// alone, whose room has least to spare, and long texts of many runs, here
// and there a line spoilt by a stray character or cut at the text's end.
TEST(DecodeCleanBase64Lines, AllImplementationsAgreeOnRunsOfLines)
{
    std::mt19937 random(20261209);
    for (size_t length = 32; length <= 200; length += 4) {
        for (const char* lineBreak : { "\n", "\r\n" }) {
            std::string text;
            for (int lines = 0; lines < 3; ++lines) {
                text += EncodeBase64(RandomBytes(length / 4 * 3, unsigned(random())), std::string::npos)
                    + lineBreak;
                SCOPED_TRACE(::testing::Message() << "length " << length << ", " << lines + 1 << " lines");
                ExpectAllBlockDecodersAgree(text);
            }
        }
    }
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE(::testing::Message() << "round " << round);
        std::string text;
        while (text.size() < 2000) {
            const size_t length = random() % 51 * 4;
            const char* lineBreak = random() % 3 ? "\n" : "\r\n";
            for (size_t lines = 1 + random() % 6; lines > 0; --lines) {
                std::string line
                    = EncodeBase64(RandomBytes(length / 4 * 3, unsigned(random())), std::string::npos);
                if (!line.empty() && random() % 40 == 0)
                    line[random() % line.size()] = "=!\x80 "[random() % 4];
                text += line + lineBreak;
            }
        }
        text.resize(text.size() - random() % 100);
        ExpectAllBlockDecodersAgree(text);
    }
}

TEST(EncodeBase64, EncodesTable)
{
    const std::vector<CodecCase> cases = {
        { "", "" },
        { "Zg==", "f" },
        { "Zm8=", "fo" },
        { "Zm9v", "foo" },
        { "Zm9vYmFy", "foobar" },
        { "AA==", "\0"s },
        { "////", "\xFF\xFF\xFF" },
        { "Zm9v", "foobar", 4 },
        { "Zg", "f", 2 },
        { Repeat("eHh4", 19), std::string(57, 'x') }, // a mail line: 76 characters, no pad
        { "fw==", "\x7F" },
    };
    for (const auto& c : cases)
        EXPECT_EQ(EncodeBase64(c.decoded, c.maxLen), c.encoded) << c.encoded;
}

TEST(Base64RoundTrip, RandomBinaryIn57ByteLines)
{
    for (size_t size : { 0u, 1u, 2u, 3u, 56u, 57u, 58u, 114u, 1000u, 65536u }) {
        const std::string bytes = RandomBytes(size, unsigned(size));
        std::string decoded, line, part;
        for (size_t offset = 0; offset < bytes.size(); offset += 57) {
            EncodeBase64(std::string_view(bytes).substr(offset, 57), line);
            ASSERT_LE(line.size(), 76u);
            DecodeBase64(line, part);
            decoded += part;
        }
        EXPECT_EQ(decoded, bytes) << "size " << size;
    }
}

// --- header words -------------------------------------------------------------

TEST(DecodeHeaderText, DecodesTable)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        { "=?iso-8859-1?Q?Caf=E9_au_lait?=", "Caf\xE9 au lait" },
        { "=?iso-8859-1?q?=E9t=E9?=", "\xE9t\xE9" }, // escape right after the letter
        { "=?us-ascii?B?SGVsbG8=?=", "Hello" },
        { "=?us-ascii?b?SGVsbG8=?= world", "Hello world" }, // blank before plain text kept
        { "Re: =?x?Q?a?=", "Re: a" },
        { "=?x?Q?a?= =?x?Q?b?=", "ab" }, // white space between words dropped
        { "=?x?B?SGk=?=\r\n\t=?x?Q?!?=", "Hi!" },
        { "=?x?Q?a?=  ", "a" },
        { "=?x?Q?a_?=", "a " },
        { "=?x?Q?a=5Fb?=", "a_b" }, // an escaped underscore is text
        { "=?x?B?X18=?=", "__" },
        { "my_pic =?x?Q?a_b?= x_y", "my_pic a b x_y" },
        { "file_name here", "file_name here" },
        { "Re: =?iso?Q?abc", "Re: =?iso?Q?abc" },
        { "a=?=b", "a=?=b" },
        { "=?x?B?"
          "?=",
            "" }, // split literal: no trigraph
        { "=?x?Q?a=0Db?=", "a" }, // no line break gets into a header value
        { "=?x?Q?=3D=3Fx=3FQ=3Fy=3F=3D?=", "=?x?Q?y?=" }, // decoded text is not decoded again
        { "=?x?X?abc?= =?x?Q?d?=", "=?x?X?abc?= d" },
        { "=?x?B?**?= =?x?Q?d?=", "=?x?B?**?= d" },
        { "=?broken?= tail", "=?broken?= tail" },
        { "", "" },
    };
    for (const auto& [encoded, decoded] : cases)
        EXPECT_EQ(DecodeHeaderText(encoded), decoded) << encoded;
}

TEST(DecodeHeaderText, CutsToShortTextAndToleratesAliasing)
{
    EXPECT_EQ(DecodeHeaderText(std::string(300, 'x')).size(), kShortTextMax);
    const std::string decoded = DecodeHeaderText("=?x?Q?" + std::string(280, 'y') + "?=");
    EXPECT_EQ(decoded, std::string(kShortTextMax, 'y'));
    std::string value = "=?x?Q?a_b?=";
    DecodeHeaderText(value, value);
    EXPECT_EQ(value, "a b");
}

// --- quoted-printable -----------------------------------------------------------

TEST(DecodeQuotedPrintable, DecodesTable)
{
    const std::vector<std::tuple<std::string, std::string, size_t>> cases = {
        { "", "", kShortTextMax },
        { "abc", "abc", kShortTextMax },
        { "abc=", "abc", kShortTextMax },
        { "=", "", kShortTextMax },
        { "=3d=4", "=\x04", kShortTextMax }, // one digit at the end still decodes
        { "=4", "\x04", kShortTextMax },
        { "=ZZ", "=ZZ", kShortTextMax },
        { "=4Z", "=4Z", kShortTextMax },
        { "==41", "=A", kShortTextMax },
        { "=a9=C3", "\xA9\xC3", kShortTextMax },
        { "a=3D", "a=", kShortTextMax },
        { "a_b", "a_b", kShortTextMax },
        { "a=0D=0Ab", "a", kShortTextMax },
        { "a=0Ab", "a", kShortTextMax },
        { "abcdef", "abc", 3 },
    };
    for (const auto& [encoded, decoded, maxLen] : cases)
        EXPECT_EQ(DecodeQuotedPrintable(encoded, maxLen), decoded) << encoded;
}

TEST(QuotedPrintableEncode, EncodesTable)
{
    const std::vector<std::pair<std::string, Lines>> cases = {
        { "", {} }, { "\r\n", { "" } }, { "abc", { "abc" } },
        { "line one\r\nline two\r\n", { "line one", "line two" } }, { "a\tb=c\xE9", { "a=09b=3Dc=E9" } },
        { "a b ", { "a b=20" } }, // a blank ending a line would not survive transport
        { "a\n\nb", { "a", "", "b" } }, { "a\r\rb", { "a", "", "b" } },
        { "a\r\n\r\nb\r\n", { "a", "", "b" } }, { "a\n", { "a" } }, { "a\r", { "a" } },
        { "\x01\x1F\x7F\x80", { "=01=1F\x7F=80" } },
        { std::string(100, 'x'), { std::string(65, 'x') + "=", std::string(35, 'x') } },
        { std::string(65, 'x'), { std::string(65, 'x') + "=", "" } },
        { std::string(60, 'x') + " " + std::string(10, 'y'),
            { std::string(60, 'x') + "=", " " + std::string(10, 'y') } },
        { " " + std::string(70, 'x'), { " " + std::string(64, 'x') + "=", std::string(6, 'x') } },
        { std::string(64, 'x') + " y", { std::string(64, 'x') + "=", " y" } },
        { std::string(65, '='), { Repeat("=3D", 65) + "=", "" } }, // width counts source characters
    };
    for (const auto& [bytes, lines] : cases)
        EXPECT_EQ(EncodeQP(bytes), lines) << bytes;
}

// Encoding reads the whole stream whatever its position and appends lines;
// decoding writes at the stream position.
TEST(QuotedPrintable, AppendsToExistingContent)
{
    TMemoryStream stream;
    stream.Assign("one\r\ntwo");
    stream.Seek(0, TSeekOrigin::End);
    TStringList lines;
    lines.Add("kept");
    TQuotedPrintable(stream, lines).Encode();
    EXPECT_EQ(lines.Lines(), (Lines { "kept", "one", "two" }));

    TStringList body = StringListOf({ "body" });
    stream.Seek(0, TSeekOrigin::End);
    TQuotedPrintable(stream, body).Decode();
    EXPECT_EQ(stream.View(), "one\r\ntwobody\r\n");
}

TEST(QuotedPrintableEncode, LineBreaksAtReadBlockBoundaries)
{
    constexpr size_t kBlock = 64 * 1024;
    auto textUpTo = [](size_t size) {
        std::string text;
        while (text.size() + 102 < size)
            text += std::string(100, 'z') + "\r\n";
        return text + std::string(size - text.size(), 'q');
    };
    // CR as the last byte of one block, its LF the first of the next.
    const std::string split = textUpTo(kBlock - 1) + "\r\nlast\r\n";
    const Lines splitLines = EncodeQP(split);
    EXPECT_EQ(std::count(splitLines.begin(), splitLines.end(), ""), 0);
    EXPECT_EQ(DecodeQP(splitLines), split);

    // A lone CR earlier in the block does not swallow the next block's LF.
    const std::string lone = textUpTo(kBlock - 6) + "\ryyyyy\nzzz";
    const Lines loneLines = EncodeQP(lone);
    ASSERT_GE(loneLines.size(), 2u);
    EXPECT_EQ(Lines(loneLines.end() - 2, loneLines.end()), (Lines { "yyyyy", "zzz" }));
}

TEST(QuotedPrintableEncode, ParagraphLimit)
{
    EXPECT_NO_THROW(EncodeQP(std::string(24575, 'a')));
    TMemoryStream stream;
    stream.Assign("first\r\n" + std::string(24576, 'a') + "\r\n");
    TStringList lines;
    ExpectParagraphTooLarge([&] { TQuotedPrintable(stream, lines).Encode(); });
    EXPECT_EQ(lines.Lines(), Lines { "first" });
}

TEST(QuotedPrintableDecode, DecodesTable)
{
    const std::vector<std::pair<Lines, std::string>> cases = {
        { {}, "" },
        { { "" }, "\r\n" },
        { { "abc=", "def" }, "abcdef\r\n" },
        { { "=3d=4" }, "=\x04\r\n" },
        { { "=ZZ" }, "=ZZ\r\n" },
        { { "a=3D" }, "a=\r\n" },
        { { "a=3D", "b" }, "a=\r\nb\r\n" },
        { { "abc=" }, "abc" },
        { { "abc=", "" }, "abc\r\n" },
        { { "end=1A" }, "end\x1A" },
        { { "a=1A", "b" }, "a\x1A\r\nb\r\n" }, // the end-of-file mark counts only at the end
        { { "a=1A", "" }, "a\x1A\r\n\r\n" },
        { { "a=1A=", "" }, "a\x1A" }, // the text ends in the mark, whatever line carries it
        { { std::string(300, 'x') }, std::string(300, 'x') + "\r\n" },
        { { "a", "", "b" }, "a\r\n\r\nb\r\n" },
    };
    for (const auto& [lines, bytes] : cases)
        EXPECT_EQ(DecodeQP(lines), bytes) << (lines.empty() ? "" : lines.front());
}

TEST(QuotedPrintableDecode, ParagraphLimit)
{
    auto softLines = [](size_t bytes) {
        Lines lines = { "first" };
        for (; bytes > 100; bytes -= 100)
            lines.push_back(std::string(100, 'p') + "=");
        lines.push_back(std::string(bytes, 'p'));
        return StringListOf(lines);
    };
    {
        TStringList lines = softLines(24574);
        TMemoryStream stream;
        TQuotedPrintable(stream, lines).Decode();
        EXPECT_EQ(stream.Size(), 7 + 24576);
    }
    TStringList lines = softLines(24575);
    TMemoryStream stream;
    ExpectParagraphTooLarge([&] { TQuotedPrintable(stream, lines).Decode(); });
    EXPECT_EQ(stream.View(), "first\r\n");
}

std::string RandomText(std::mt19937& random, size_t lineCount)
{
    const std::string alphabet = "abc XYZ 019=\t\x01\x7F\xE9\xFF._-?";
    std::uniform_int_distribution<size_t> length(0, 300);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::string text;
    for (size_t line = 0; line < lineCount; ++line) {
        for (size_t n = length(random); n > 0; --n)
            text += alphabet[pick(random)];
        text += "\r\n";
    }
    return text;
}

TEST(QuotedPrintableRoundTrip, CrLfTextComesBackExactly)
{
    std::mt19937 random(7);
    for (int run = 0; run < 20; ++run) {
        const std::string text = RandomText(random, 50);
        EXPECT_EQ(DecodeQP(EncodeQP(text)), text) << "run " << run;
    }
}

TEST(QuotedPrintableRoundTrip, BinaryWithoutLineBreaksGainsFinalCrLf)
{
    for (size_t size : { 1u, 64u, 65u, 66u, 130u, 1000u, 24574u }) {
        std::string bytes = RandomBytes(size, 8 + unsigned(size));
        for (char& c : bytes) {
            if (c == '\r' || c == '\n')
                c = ' ';
        }
        const bool endOfFile = bytes.back() == '\x1A';
        EXPECT_EQ(DecodeQP(EncodeQP(bytes)), bytes + (endOfFile ? "" : "\r\n")) << "size " << size;
    }
    const std::string fullWidthWithMark = std::string(64, 'x') + "\x1A"; // ends in an empty line
    EXPECT_EQ(DecodeQP(EncodeQP(fullWidthWithMark)), fullWidthWithMark);
}

} // namespace
} // namespace lumigrab
