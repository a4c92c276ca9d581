#include "news/linestream.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace lumigrab {
namespace {

constexpr size_t kBlock = TLineStream::BlockSize;

void Load(TLineStream& stream, const std::string& text)
{
    stream.WriteString(text);
    stream.Reset();
}

// Every line up to the end marker; checks that Eof rises only with it.
std::vector<std::string> ReadAll(TLineStream& stream)
{
    std::vector<std::string> lines;
    std::string line;
    while (stream.ReadLine(line)) {
        EXPECT_FALSE(stream.Eof()) << "Eof before the end marker";
        lines.push_back(line);
    }
    EXPECT_EQ(line, TLineStream::EndMarker);
    EXPECT_TRUE(stream.Eof());
    return lines;
}

std::vector<std::string> ReadAll(const std::string& text)
{
    TLineStream stream;
    Load(stream, text);
    return ReadAll(stream);
}

using Lines = std::vector<std::string>;

struct TextCase {
    const char* name;
    std::string text;
    Lines expected;
};

class LineStreamText : public testing::TestWithParam<TextCase> { };

TEST_P(LineStreamText, GivesLinesThenEndMarker)
{
    EXPECT_EQ(ReadAll(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Breaks, LineStreamText,
    testing::Values(TextCase { "CrLf", "a\r\nb\r\n", { "a", "b" } }, TextCase { "Empty", "", {} },
        TextCase { "OnlyLineFeed", "\n", { "" } },
        TextCase { "EmptyLinesKept", "a\n\n\r\nb\n", { "a", "", "", "b" } },
        TextCase { "LoneCarriageReturns", "a\rb\r\nc\n", { "a", "b", "c" } },
        TextCase { "FinalLineWithoutBreak", "a\nb", { "a", "b" } },
        TextCase { "OnlyTextWithoutBreak", "abc", { "abc" } },
        TextCase { "FinalCarriageReturn", "a\r", { "a" } },
        TextCase { "ZeroBytesKeptInLine", std::string("ab\0cd\n\0\nef", 10),
            { std::string("ab\0cd", 5), std::string(1, '\0'), "ef" } },
        TextCase { "LineEqualToMarkerIsALine", "\xFF\xFF\xFF\xFF\nx\n", { "\xFF\xFF\xFF\xFF", "x" } }),
    [](const auto& info) { return std::string(info.param.name); });

// Lines of width characters plus LF, enough to fill bytes exactly.
std::string FixedLines(size_t width, size_t bytes, Lines& expected)
{
    std::string text;
    for (size_t i = 0; text.size() < bytes; ++i) {
        std::string line(width, char('a' + i % 26));
        text += line + "\n";
        expected.push_back(line);
    }
    return text;
}

TEST(LineStream, TextOfExactlyOneBlockEndingInLineFeed)
{
    Lines expected;
    const std::string text = FixedLines(63, kBlock, expected);
    ASSERT_EQ(text.size(), kBlock);
    EXPECT_EQ(ReadAll(text), expected);
}

TEST(LineStream, FinalLineWithoutBreakAfterFullBlock)
{
    Lines expected;
    const std::string text = FixedLines(63, kBlock, expected) + "tail";
    expected.push_back("tail");
    EXPECT_EQ(ReadAll(text), expected);
}

TEST(LineStream, LongestLineFittingTheBlockIsWhole)
{
    const std::string longest(kBlock - 1, 'x');
    EXPECT_EQ(ReadAll(longest + "\nnext\n"), (Lines { longest, "next" }));
}

struct LongLineCase {
    const char* name;
    size_t length;
    std::string breakAfter;
};

class LineStreamLongLine : public testing::TestWithParam<LongLineCase> { };

// A line longer than the block must not abort reading.
TEST_P(LineStreamLongLine, IsReturnedWhole)
{
    const std::string line(GetParam().length, 'q');
    const std::string text = "first\n" + line + GetParam().breakAfter + "after\n";
    EXPECT_EQ(ReadAll(text), (Lines { "first", line, "after" }));
}

INSTANTIATE_TEST_SUITE_P(Lengths, LineStreamLongLine,
    testing::Values(LongLineCase { "BlockSize", kBlock, "\n" },
        LongLineCase { "BlockPlusOne", kBlock + 1, "\r\n" },
        LongLineCase { "ThreeBlocks", 3 * kBlock + 17, "\n" },
        LongLineCase { "CarriageReturnOnly", 2 * kBlock, "\r" }),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LineStream, LongTextWithoutAnyLineFeed)
{
    const std::string a(kBlock, 'a'), b(kBlock + 5, 'b');
    EXPECT_EQ(ReadAll(a + "\r" + b), (Lines { a, b }));
    EXPECT_EQ(ReadAll(a + b), (Lines { a + b }));
}

// The CR of a CR LF is the last byte of a block and its LF the first byte of
// the next: still one line break, no empty line.
TEST(LineStream, CrLfSplitAcrossBlockBoundary)
{
    const std::string first(100, 'f');
    const std::string second(kBlock - 1 - (first.size() + 1), 's');
    const std::string text = first + "\n" + second + "\r\nthird\r\n";
    ASSERT_EQ(text[kBlock - 1], '\r');
    ASSERT_EQ(text[kBlock], '\n');
    EXPECT_EQ(ReadAll(text), (Lines { first, second, "third" }));
}

TEST(LineStream, LineFeedAsFirstByteOfBlock)
{
    const std::string first(kBlock - 1, 'f');
    const std::string tail(kBlock, 't');
    EXPECT_EQ(ReadAll(first + "\n\n" + tail), (Lines { first, "", tail }));
}

TEST(LineStream, EndMarkerRepeatsAndEofStays)
{
    TLineStream stream;
    Load(stream, "only\n");
    std::string line;
    ASSERT_TRUE(stream.ReadLine(line));
    EXPECT_EQ(line, "only");
    EXPECT_FALSE(stream.Eof());
    for (int i = 0; i < 3; ++i) {
        line = "junk";
        EXPECT_FALSE(stream.ReadLine(line));
        EXPECT_EQ(line, TLineStream::EndMarker);
        EXPECT_TRUE(stream.Eof());
    }
}

TEST(LineStream, ResetGivesTheSameLinesAgain)
{
    Lines expected;
    const std::string text = FixedLines(75, 3 * kBlock + 100, expected) + "last";
    expected.push_back("last");
    TLineStream stream;
    Load(stream, text);
    std::string line;
    for (int i = 0; i < 300; ++i)
        ASSERT_TRUE(stream.ReadLine(line));
    stream.Reset();
    EXPECT_FALSE(stream.Eof());
    EXPECT_EQ(ReadAll(stream), expected);
    stream.Reset();
    EXPECT_FALSE(stream.Eof());
    EXPECT_EQ(ReadAll(stream), expected);
}

TEST(LineStream, PositionAtZeroInsteadOfReset)
{
    TLineStream stream;
    stream.WriteString("x\ny\n");
    stream.SetPosition(0);
    EXPECT_EQ(ReadAll(stream), (Lines { "x", "y" }));
}

TEST(LineStream, ShrunkStreamIsNotReadPastItsEnd)
{
    TLineStream stream;
    Load(stream, "one\ntwo\nthree\n");
    std::string line;
    ASSERT_TRUE(stream.ReadLine(line));
    stream.SetSize(6);
    EXPECT_TRUE(stream.ReadLine(line));
    EXPECT_EQ(line, "tw");
    EXPECT_FALSE(stream.ReadLine(line));
}

// Random texts with lines around and beyond the block size must split as
// the string list splits the whole text at once.
TEST(LineStream, RandomTextsSplitLikeStringList)
{
    const std::string breaks[] = { "\n", "\r\n", "\r" };
    for (unsigned seed = 1; seed <= 40; ++seed) {
        std::mt19937 random(seed);
        std::string text;
        const size_t target = random() % (4 * kBlock);
        while (text.size() < target) {
            const size_t length = random() % 8 == 0 ? random() % (2 * kBlock) : random() % 120;
            for (size_t i = 0; i < length; ++i)
                text += char(32 + random() % 95);
            if (random() % 5 == 0)
                text += '\0';
            text += breaks[random() % 3];
        }
        if (seed % 2)
            text += "unterminated";
        TStringList reference;
        reference.SetText(text);
        EXPECT_EQ(ReadAll(text), reference.Lines()) << "seed " << seed;
    }
}

} // namespace
} // namespace lumigrab
