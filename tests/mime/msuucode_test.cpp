#include "mime/msuucode.h"

#include <gtest/gtest.h>

#include <random>

#include "tests/support/test_util.h"

namespace lumigrab {
namespace {

using namespace std::string_literals;

TEST(UUCharValue, MapsTableAndBlankAndRejectsEverythingElse)
{
    for (size_t value = 0; value < UUTable.size(); ++value)
        EXPECT_EQ(UUCharValue(UUTable[value]), int(value));
    EXPECT_EQ(UUCharValue(' '), 0);
    EXPECT_EQ(UUCharValue('M'), 45);
    for (const char c : "az{~\x7F\r\n\t\0"s)
        ExpectInvalidCharacter([c] { UUCharValue(c); });
    ExpectInvalidCharacter([] { UUCharValue(char(0xA0)); });
}

TEST(EncodeUULine, EncodesTable)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        { "Cat", "#0V%T`" },
        { "", "``" },
        { "\0"s, "!``" },
        { std::string(45, '\0'), "M" + std::string(60, '`') },
        { "\xFF\xFF\xFF", "#____`" },
    };
    for (const auto& [bytes, line] : cases)
        EXPECT_EQ(EncodeUULine(bytes), line) << line;
}

TEST(EncodeUULine, LengthCharacterWidthAndLimits)
{
    const std::vector<std::tuple<size_t, char, size_t>> cases = {
        { 45, 'M', 60 },
        { 1, '!', 2 },
        { 2, '"', 3 },
        { 3, '#', 5 },
        { 10, '*', 14 },
        { 0, '`', 1 },
        { 44, 'L', 59 },
    };
    EXPECT_EQ(EncodeUULine("Cat", 3), "#0V");
    EXPECT_THROW(EncodeUULine(std::string(46, 'x')), Exception);
    for (const auto& [bytes, lengthChar, chars] : cases) {
        const std::string line = EncodeUULine(std::string(bytes, 'q'));
        ASSERT_FALSE(line.empty());
        EXPECT_EQ(line[0], lengthChar) << bytes;
        EXPECT_EQ(line.size(), 1 + chars) << bytes;
    }
}

// Full lines are taken in one pass up to the first other line, met inside a
// run of lines with one line break: one cut short or long, a bad character
// in either block of 32 characters, another length character, a lone CR, a
// last line without its line break. Nothing is written beyond the room.
TEST(DecodeFullUULines, TakesTheFullLinesBeforeTheFirstOther)
{
    const std::string bytes = RandomBytes(45 * 3, 11);
    std::string full[3];
    for (int i = 0; i < 3; ++i)
        full[i] = EncodeUULine(std::string_view(bytes).substr(45 * size_t(i), 45));
    const std::string& line = full[0];
    const std::vector<std::string> others
        = { line.substr(0, 60) + "\n", line + "!\n", line.substr(0, 30) + "\x7F" + line.substr(31) + "\n",
              line.substr(0, 5) + "\x80" + line.substr(6) + "\n",
              line.substr(0, 50) + "\x1F" + line.substr(51) + "\n", line.substr(0, 60) + "a" + "\n",
              "L" + line.substr(1) + "\n", line.substr(0, 30) + "\r" + line.substr(31) + "\n",
              line + "\r\r\n", line, "end\n" };
    const std::string clean = full[0] + "\r\n" + full[1] + "\r\n" + full[2] + "\n" + full[0] + "\n" + full[1]
        + "\n" + full[2] + "\n";
    const std::string expected = bytes + bytes;
    for (const TUULineDecoder& lines : FullUULineDecoders()) {
        for (const std::string& other : others) {
            SCOPED_TRACE(::testing::Message() << lines.name << " before " << other);
            const std::string text = clean + other + full[0] + "\n";
            std::vector<char> out(text.size() / 61 * 45 + 1);
            const TBase64Lines taken = DecodeFullUULines(text, out.data(), lines);
            EXPECT_EQ(taken.consumed, clean.size());
            EXPECT_EQ(std::string(out.data(), taken.written), expected);
        }
    }
}

// Full lines with line breaks changing now and then, here and there one
// spoilt or the text cut: every implementation takes what the portable one
// takes, byte for byte, within exactly the room promised.
TEST(DecodeFullUULines, AllImplementationsAgreeOnRunsOfLines)
{
    std::mt19937 random(20261209);
    const auto decoders = FullUULineDecoders();
    for (int round = 0; round < 300; ++round) {
        std::string text;
        bool crlf = false;
        while (text.size() < 2000) {
            crlf ^= random() % 5 == 0;
            std::string line = EncodeUULine(RandomBytes(45, unsigned(random())));
            if (random() % 30 == 0)
                line[random() % line.size()] = "a\x1F\x80 "[random() % 4];
            text += line + (crlf ? "\r\n" : "\n");
        }
        text.resize(text.size() - random() % 100);
        std::vector<char> expected(text.size() / 61 * 45 + 1);
        const TBase64Lines portable = DecodeFullUULines(text, expected.data(), decoders.back());
        for (const TUULineDecoder& lines : decoders) {
            SCOPED_TRACE(::testing::Message() << lines.name << " in round " << round);
            std::vector<char> out(text.size() / 61 * 45 + 1);
            const TBase64Lines taken = DecodeFullUULines(text, out.data(), lines);
            ASSERT_EQ(taken.consumed, portable.consumed);
            ASSERT_EQ(std::string(out.data(), taken.written), std::string(expected.data(), portable.written));
        }
    }
}

TEST(DecodeUULine, DecodesTable)
{
    const std::vector<CodecCase> cases = {
        { "#0V%T`", "Cat" },
        { "#0V%T", "Cat" },
        { "#0V%T` ", "Cat" }, // superfluous valid characters add nothing
        { "#0V", "C`\0"s }, // missing characters count as zero bits
        { "#", "\0\0\0"s },
        { "M" + std::string(60, ' '), std::string(45, '\0') },
        { "M" + std::string(60, '`'), std::string(45, '\0') },
        { "M" + std::string(60, '`') + "abc", std::string(45, '\0') }, // only 60 characters count
        { "!``", "\0"s },
        { "!86", "a" },
        { "`", "" },
        { " ", "" },
        { "", "" },
        { "N" + std::string(62, '!'), Repeat("\x04\x10\x41", 15) }, // more than 45 announced: cut to 45
        { "#0V%T`", "Ca", 2 },
    };
    for (const auto& c : cases) {
        std::string dest = "old";
        DecodeUULine(c.encoded, dest, c.maxLen);
        EXPECT_EQ(dest, c.decoded) << c.encoded;
    }
}

TEST(DecodeUULine, InvalidCharacterLeavesDestUnchangedAndAliasingWorks)
{
    for (const std::string& bad :
        { "#0v%T`"s, "a0V%T`"s, "#0V%T`a"s, "M" + std::string(59, '`') + "~", "!8\r"s }) {
        std::string dest = "unchanged";
        ExpectInvalidCharacter([&] { DecodeUULine(bad, dest); });
        EXPECT_EQ(dest, "unchanged") << bad;
    }
    std::string aliased = "#0V%T`";
    DecodeUULine(aliased, aliased);
    EXPECT_EQ(aliased, "Cat");
}

TEST(IsUUBeginLine, RecognisesBeginLines)
{
    const std::vector<std::pair<std::string, bool>> cases = {
        { "begin 644 pic.jpg", true },
        { "BEGIN 600 pic.jpg", true },
        { "Begin 644 pic.jpg", true },
        { "begin 0644 pic.jpg", true }, // "064" reads as a number
        { "begin 644", true },
        { "begin   755   x", true },
        { "begin $1F x", true },
        { "begin 64 pic.jpg", false },
        { "beginning of the end", false },
        { "begin abc x", false },
        { "begin 6", false },
        { "begin", false },
        { "", false },
        { "the begin 644 x", false },
    };
    for (const auto& [line, expected] : cases)
        EXPECT_EQ(IsUUBeginLine(line), expected) << line;
}

TEST(GetUUFileName, TakesNameFromBeginLine)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        { "begin 644 pic.jpg", "pic.jpg" },
        { "begin 600 \"my holiday pic.jpg\"", "my holiday pic.jpg" },
        { "begin 600 \"my holiday pic.jpg\" trailing", "my holiday pic.jpg" },
        { "begin 600 \"unclosed name.jpg", "" },
        { "begin 644 two words.jpg", "two" },
        { "begin 0644 pic.jpg", "" },
        { "begin 644 ", "" },
        { "begin 644", "" },
        { "", "" },
    };
    for (const auto& [line, name] : cases)
        EXPECT_EQ(GetUUFileName(line), name) << line;
}

TEST(UURoundTrip, RandomBinaryIn45ByteBlocks)
{
    for (size_t size : { 0u, 1u, 2u, 3u, 44u, 45u, 46u, 90u, 1000u, 4500u }) {
        const std::string bytes = RandomBytes(size, 4545 + unsigned(size));
        Lines lines;
        std::string line;
        for (size_t offset = 0;; offset += 45) { // a full block is always followed by one more
            const std::string_view block = std::string_view(bytes).substr(offset, 45);
            EncodeUULine(block, line);
            lines.push_back(line);
            if (block.size() < 45)
                break;
        }
        EXPECT_EQ(lines.back().size() == 2, size % 45 == 0);
        std::string decoded, part;
        for (const auto& encoded : lines) {
            DecodeUULine(encoded, part);
            decoded += part;
        }
        EXPECT_EQ(decoded, bytes) << "size " << size;
    }
}

} // namespace
} // namespace lumigrab
