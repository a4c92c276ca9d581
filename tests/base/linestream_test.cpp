#include "base/linestream.h"

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

// Test listings show the case name instead of a byte dump.
void PrintTo(const TextCase& c, std::ostream* out)
{
    *out << c.name;
}

class LineStreamText : public testing::TestWithParam<TextCase> { };

TEST_P(LineStreamText, GivesLinesThenEndMarker)
{
    EXPECT_EQ(ReadAll(GetParam().text), GetParam().expected);
}

// Lines of width characters plus LF filling bytes exactly, then tail.
TextCase FixedLines(const char* name, size_t width, size_t bytes, const std::string& tail = "")
{
    TextCase c { name, "", {} };
    for (size_t i = 0; c.text.size() < bytes; ++i) {
        c.expected.emplace_back(width, char('a' + i % 26));
        c.text += c.expected.back() + "\n";
    }
    c.text += tail;
    if (!tail.empty())
        c.expected.push_back(tail);
    return c;
}

// A line longer than the block must not abort reading.
TextCase LongLine(const char* name, size_t length, const std::string& lineBreak)
{
    const std::string line(length, 'q');
    return { name, "first\n" + line + lineBreak + "after\n", { "first", line, "after" } };
}

const std::string kLongest(kBlock - 1, 'x');
const std::string kFull(kBlock, 'a'), kFullPlus(kBlock + 5, 'b');
const std::string kBeforeSplit(100, 'f'), kSplit(kBlock - 2 - kBeforeSplit.size(), 's');

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

INSTANTIATE_TEST_SUITE_P(Blocks, LineStreamText,
    testing::Values(FixedLines("ExactlyOneBlockEndingInLineFeed", 63, kBlock),
        FixedLines("FinalLineWithoutBreakAfterFullBlock", 63, kBlock, "tail"),
        TextCase { "LongestLineFittingTheBlock", kLongest + "\nnext\n", { kLongest, "next" } },
        LongLine("LineOfBlockSize", kBlock, "\n"), LongLine("LineOfBlockPlusOne", kBlock + 1, "\r\n"),
        LongLine("LineOfThreeBlocks", 3 * kBlock + 17, "\n"),
        LongLine("LongLineEndingInCarriageReturn", 2 * kBlock, "\r"),
        TextCase { "LongTextsBrokenByCarriageReturnOnly", kFull + "\r" + kFullPlus, { kFull, kFullPlus } },
        TextCase { "LongTextWithoutAnyBreak", kFull + kFullPlus, { kFull + kFullPlus } },
        // CR the last byte of the first block, its LF the first of the next:
        // one line break, no empty line.
        TextCase { "CrLfSplitAcrossBlockBoundary", kBeforeSplit + "\n" + kSplit + "\r\nthird\r\n",
            { kBeforeSplit, kSplit, "third" } },
        TextCase { "LineFeedAsFirstByteOfBlock", kLongest + "\n\n" + kFull, { kLongest, "", kFull } }),
    [](const auto& info) { return std::string(info.param.name); });

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
    const TextCase c = FixedLines("", 75, 3 * kBlock + 100, "last");
    const Lines& expected = c.expected;
    TLineStream stream;
    Load(stream, c.text);
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

// The decoder sizes attachment buffers from the offset where the next line
// begins; it must not run ahead to the block end, also across blocks.
TEST(LineStream, NextLineStartFollowsTheLinesRead)
{
    const std::string breaks[] = { "\n", "\r\n", "\r" };
    std::mt19937 random(7);
    std::string text;
    std::vector<size_t> starts;
    while (text.size() < 3 * kBlock) {
        starts.push_back(text.size());
        // Never empty: a CR break and an empty LF-ended line would merge.
        text += std::string(1 + (random() % 8 == 0 ? random() % (2 * kBlock) : random() % 120), 'x');
        text += breaks[random() % 3];
    }
    TLineStream stream;
    Load(stream, text);
    std::string line;
    for (size_t start : starts) {
        ASSERT_EQ(stream.NextLineStart(), int64_t(start));
        ASSERT_TRUE(stream.ReadLine(line));
    }
    EXPECT_EQ(stream.NextLineStart(), int64_t(text.size()));
    EXPECT_FALSE(stream.ReadLine(line));
    EXPECT_EQ(stream.NextLineStart(), int64_t(text.size()));
}

// A reader that took a stretch of text in one piece goes on at a line
// start of its choosing, inside the current block, beyond it or at the end.
TEST(LineStream, SkipToGoesOnAtAnyLineStart)
{
    std::string text;
    std::vector<size_t> starts;
    for (int i = 0; text.size() < 3 * kBlock; ++i) {
        starts.push_back(text.size());
        text += "line " + std::to_string(i) + "\r\n";
    }
    TLineStream stream;
    Load(stream, text);
    std::string line;
    for (const size_t index : { size_t(3), size_t(1), starts.size() / 2, starts.size() - 1 }) {
        ASSERT_TRUE(stream.ReadLine(line));
        stream.SkipTo(int64_t(starts[index]));
        EXPECT_EQ(stream.NextLineStart(), int64_t(starts[index]));
        ASSERT_TRUE(stream.ReadLine(line));
        EXPECT_EQ(line, "line " + std::to_string(index));
    }
    stream.SkipTo(int64_t(text.size()));
    EXPECT_FALSE(stream.ReadLine(line));
    EXPECT_TRUE(stream.Eof());
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
