#include "mime/mscrc32.h"
#include "mime/msyenc.h"

#include <gtest/gtest.h>

#include <random>

#include "tests/support/test_util.h"

namespace lumigrab {
namespace {

using namespace std::string_literals;

std::string Decode(const YEncDecoder& decoder, std::string_view text, bool& escape)
{
    std::string out(text.size(), '\0');
    out.resize(decoder.decode(text, out.data(), escape));
    return out;
}

struct DecodeCase {
    std::string text;
    std::string bytes;
    bool escapeBefore = false;
    bool escapeAfter = false;
};

// Every implementation, on inputs short enough for the byte path and long
// enough for the vector paths.
TEST(DecodeYEnc, EveryImplementationDecodesTheTable)
{
    const std::vector<DecodeCase> cases = {
        { "kl", "AB" },
        { "k\r\nl\n\rm", "ABC" }, // line breaks are dropped
        { "=}=@=J=M", "\x13\xD6\xE0\xE3"s }, // escapes: minus 64, minus 42
        { "==", "\xD3" }, // an escaped "=" (never written, but defined)
        { "k=\r\nl", "AB" }, // an escape never reaches over a line break
        { "kl=", "AB", false, true },
        { "}k",
            "\x13"
            "A",
            true, false },
        { "\r\nk", "A", true, false },
        { "", "", true, true },
        { std::string(100, 'k') + "=}" + std::string(100, 'l'),
            std::string(100, 'A') + "\x13" + std::string(100, 'B') },
    };
    for (const YEncDecoder& decoder : YEncDecoders()) {
        for (const DecodeCase& c : cases) {
            bool escape = c.escapeBefore;
            EXPECT_EQ(Decode(decoder, c.text, escape), c.bytes) << decoder.name << ": " << c.text;
            EXPECT_EQ(escape, c.escapeAfter) << decoder.name << ": " << c.text;
        }
    }
}

// The vector implementations work in chunks of 16, 32 and 64 bytes and look
// at the byte before each: every special sequence at every offset.
TEST(DecodeYEnc, SpecialSequencesAtEveryOffset)
{
    const std::vector<std::pair<std::string, std::string>> sequences = { { "=}", "\x13" }, { "\r\n", "" },
        { "=\r\n", "" }, { "==", "\xD3" }, { "===}", "\xD3\x13" }, { "=I", "\xDF" } };
    constexpr size_t kLength = 200;
    for (const YEncDecoder& decoder : YEncDecoders()) {
        for (const auto& [sequence, bytes] : sequences) {
            for (size_t offset = 0; offset < kLength; ++offset) {
                const std::string text
                    = std::string(offset, 'k') + sequence + std::string(kLength - offset, 'l');
                bool escape = false;
                ASSERT_EQ(Decode(decoder, text, escape),
                    std::string(offset, 'A') + bytes + std::string(kLength - offset, 'B'))
                    << decoder.name << ": " << sequence << " at " << offset;
            }
        }
    }
}

// Random text rich in "=", CR and LF, decoded whole and in pieces.
TEST(DecodeYEnc, ImplementationsAgreeWholeAndInPieces)
{
    std::mt19937 random(11);
    const std::string special = "=\r\n==k";
    const YEncDecoder& portable = YEncDecoders().back();
    for (int round = 0; round < 300; ++round) {
        std::string text(random() % 600, '\0');
        for (char& c : text)
            c = random() % 3 ? char(random()) : special[random() % special.size()];
        bool expectedEscape = round % 2;
        const std::string expected = Decode(portable, text, expectedEscape);
        for (const YEncDecoder& decoder : YEncDecoders()) {
            bool escape = round % 2;
            ASSERT_EQ(Decode(decoder, text, escape), expected) << decoder.name << " round " << round;
            EXPECT_EQ(escape, expectedEscape);
            const size_t cut = text.empty() ? 0 : random() % text.size();
            escape = round % 2;
            std::string pieces = Decode(decoder, std::string_view(text).substr(0, cut), escape);
            pieces += Decode(decoder, std::string_view(text).substr(cut), escape);
            ASSERT_EQ(pieces, expected) << decoder.name << " cut at " << cut;
        }
    }
}

// Where the data ends by a plain search: the first line that begins with
// "=y"; npos when there is none.
size_t ControlLineAt(std::string_view text, bool lineStart)
{
    if (lineStart && text.starts_with("=y"))
        return 0;
    const size_t at = text.find("\n=y");
    return at == std::string_view::npos ? at : at + 1;
}

// Texts for the decoders that stop at the data's end: every special
// sequence at every offset around the 16, 32 and 64-byte chunks, early and
// late in the text, then random text rich in "=", "y" and line breaks.
std::vector<std::string> DataTexts()
{
    const std::vector<std::string> sequences = { "\r\n=yend size=1\r\n", "\n=ypart begin=1\r\n", "\r=y",
        "k=yk", "\n==y", "\n=}=y", "=\n=y", "\r\n", "=\r\n", "==", "=}", "\n=" };
    std::vector<std::string> texts;
    // Near the start, and where a long stretch has been decoded and the
    // CRC-32 already goes along with the decoding.
    for (const std::string& sequence : sequences) {
        for (const size_t from : { 0, 600 }) {
            for (size_t offset = from; offset < from + 140; ++offset)
                texts.push_back(std::string(offset, 'k') + sequence + std::string(140 - offset % 140, 'l'));
        }
    }
    std::mt19937 random(5);
    const std::string special = "=y\r\n";
    for (int round = 0; round < 200; ++round) {
        std::string text(random() % 400, '\0');
        for (char& c : text)
            c = random() % 4 ? char(random()) : special[random() % special.size()];
        texts.push_back(text);
    }
    return texts;
}

// Stopping at the line that ends the data, in the same pass: the same end,
// bytes, escape state and CRC-32 as a search followed by the portable
// decoder, for every implementation, whole and in two pieces cut where a
// caller may cut (never right after an "=").
TEST(DecodeYEncData, StopsWhereASearchFindsTheEnd)
{
    const YEncDecoder& portable = YEncDecoders().back();
    size_t round = 0;
    for (const std::string& text : DataTexts()) {
        for (const bool lineStart : { true, false }) {
            const size_t control = ControlLineAt(text, lineStart);
            const std::string_view data = std::string_view(text).substr(0, control);
            bool expectedEscape = false;
            const std::string expected = Decode(portable, data, expectedEscape);
            const size_t cut = ++round % (text.size() + 1);
            for (const YEncDecoder& decoder : YEncDecoders()) {
                SCOPED_TRACE(::testing::Message() << decoder.name << ": " << ::testing::PrintToString(text)
                                                  << (lineStart ? " at a line start" : ""));
                std::string dest(text.size(), '\0');
                bool escape = false;
                uint32_t crc = 0;
                const YEncStep step = decoder.decodeData(text, dest.data(), escape, lineStart, crc);
                ASSERT_EQ(step.consumed, data.size());
                EXPECT_EQ(step.controlLine, control != std::string_view::npos);
                EXPECT_EQ(dest.substr(0, step.written), expected);
                EXPECT_EQ(escape, expectedEscape);
                EXPECT_EQ(crc, Crc32(0, expected));
                if (cut > 0 && text[cut - 1] == '=')
                    continue;
                escape = false;
                crc = 0;
                YEncStep first = decoder.decodeData(
                    std::string_view(text).substr(0, cut), dest.data(), escape, lineStart, crc);
                if (!first.controlLine) {
                    const YEncStep second
                        = decoder.decodeData(std::string_view(text).substr(cut), dest.data() + first.written,
                            escape, cut == 0 ? lineStart : text[cut - 1] == '\n', crc);
                    first = { first.consumed + second.consumed, first.written + second.written,
                        second.controlLine };
                }
                EXPECT_EQ(first.consumed, data.size()) << "cut at " << cut;
                EXPECT_EQ(dest.substr(0, first.written), expected) << "cut at " << cut;
                EXPECT_EQ(crc, Crc32(0, expected)) << "cut at " << cut;
            }
        }
    }
}

// Long data decoded in one call: the CRC-32 that folds along with the
// decoding runs ahead of any stretch of escapes and line breaks.
TEST(DecodeYEncData, ChecksLongDataAsItDecodes)
{
    std::mt19937 random(3);
    for (const size_t size : { 31u, 32u, 300u, 4096u, 70001u }) {
        std::string text;
        std::string bytes;
        while (text.size() < size) {
            const auto byte = char(random());
            const auto encoded = char(byte + 42);
            const bool critical = encoded == 0 || encoded == '\n' || encoded == '\r' || encoded == '=';
            text += critical ? std::string { '=', char(encoded + 64) } : std::string(1, encoded);
            bytes += byte;
            if (random() % 100 == 0)
                text += "\r\n";
        }
        for (const YEncDecoder& decoder : YEncDecoders()) {
            std::string dest(text.size(), '\0');
            bool escape = false;
            uint32_t crc = Crc32(0, "before");
            const YEncStep step = decoder.decodeData(text + "\r\n=yend", dest.data(), escape, true, crc);
            EXPECT_TRUE(step.controlLine) << decoder.name;
            EXPECT_TRUE(dest.substr(0, step.written) == bytes) << decoder.name << " " << size;
            EXPECT_EQ(crc, Crc32(0, "before" + bytes)) << decoder.name << " " << size;
        }
    }
}

struct BeginCase {
    std::string line;
    std::string name;
    std::optional<uint64_t> size, part, total;
    bool partOfMany;
};

TEST(YEncBegin, ReadsTheKeywordsAndTheNameToTheEndOfTheLine)
{
    const std::vector<BeginCase> cases = {
        { "=ybegin line=128 size=1000 name=a.jpg", "a.jpg", 1000, {}, {}, false },
        { "=ybegin line=128 size=5 name=  two  blanks.jpg  ", "two  blanks.jpg", 5, {}, {}, false },
        { "=ybegin name=first.jpg size=9", "first.jpg size=9", {}, {}, {}, false },
        { "=ybegin part=1 total=1 line=128 size=7 name=x=y.gif", "x=y.gif", 7, 1, 1, false },
        { "=ybegin part=2 total=3 line=128 size=7 name=p.jpg", "p.jpg", 7, 2, 3, true },
        { "=ybegin part=1 total=2 size=7 name=p.jpg", "p.jpg", 7, 1, 2, true },
        { "=ybegin part=2 size=7 name=old.jpg", "old.jpg", 7, 2, {}, true },
        { "=ybegin part=1 size=7 name=old.jpg", "old.jpg", 7, 1, {}, false },
        { "=ybegin size=-1 line=x filename=no.jpg", "", {}, {}, {}, false },
        { "=ybegin\tsize=3\tname=tab.jpg", "tab.jpg", 3, {}, {}, false },
    };
    for (const BeginCase& c : cases) {
        EXPECT_TRUE(IsYEncBeginLine(c.line)) << c.line;
        const YEncBlock block = ReadYEncBegin(c.line);
        EXPECT_EQ(block.name, c.name) << c.line;
        EXPECT_EQ(block.size, c.size) << c.line;
        EXPECT_EQ(block.part, c.part) << c.line;
        EXPECT_EQ(block.total, c.total) << c.line;
        EXPECT_EQ(IsYEncPartOfMany(c.line), c.partOfMany) << c.line;
    }
    for (const char* line :
        { "=ybegin", "=ybeginx size=1", " =ybegin size=1", "=YBEGIN size=1", "=ypart begin=1" })
        EXPECT_FALSE(IsYEncBeginLine(line)) << line;
}

struct BlockCase {
    const char* what;
    std::string begin;
    std::string text;
    std::string bytes;
    std::string rest; // what follows the block
    std::string damage;
};

TEST(DecodeYEncBlock, FramingAndDamage)
{
    const std::string crcOfAB = Format("%08x", Crc32(0, "AB"));
    const std::string crcOfA = Format("%08x", Crc32(0, "A"));
    const std::string endAB = "=yend size=2 crc32=" + crcOfAB + "\r\n";
    const std::vector<BlockCase> cases = {
        { "whole", "=ybegin size=2 name=a", "kl\r\n" + endAB + "after\r\n", "AB", "after\r\n", "" },
        { "no CRC announced", "=ybegin size=2 name=a", "kl\r\n=yend size=2\r\n", "AB", "", "" },
        { "part line", "=ybegin part=1 total=1 size=2 name=a",
            "=ypart begin=1 end=2\r\nk\r\nl\r\n=yend size=2 part=1 pcrc32=" + crcOfAB + " crc32=" + crcOfAB
                + "\r\n\r\n",
            "AB", "\r\n", "" },
        { "no data, short CRC", "=ybegin size=0 name=a", "=yend size=0 crc32=0\r\n", "", "", "" },
        { "upper-case CRC, LF, no final line break", "=ybegin size=1 name=a",
            "k\n=yend size=1 crc32=" + UpperCase(crcOfA), "A", "", "" },
        { "escape at a line start", "=ybegin size=2 name=a", "=}k\r\n=yend size=2\r\n",
            "\x13"
            "A",
            "", "" },
        { "wrong CRC", "=ybegin size=2 name=a", "kl\r\n=yend size=2 crc32=" + crcOfA + "\r\n", "AB", "",
            "CRC-32 " + crcOfA + " announced, " + crcOfAB + " computed" },
        { "wrong part CRC", "=ybegin size=2 name=a", "kl\r\n=yend size=2 pcrc32=1 crc32=" + crcOfAB + "\r\n",
            "AB", "", "CRC-32 00000001 announced, " + crcOfAB + " computed" },
        { "short", "=ybegin size=3 name=a", "kl\r\n" + endAB, "AB", "", "size 3 announced, 2 decoded" },
        { "=yend size differs", "=ybegin size=2 name=a", "kl\r\n=yend size=5\r\n", "AB", "",
            "size 5 announced, 2 decoded" },
        { "cut off", "=ybegin size=3 name=a", "kl\r\n", "AB", "",
            "no =yend line; size 3 announced, 2 decoded" },
        { "next block instead of =yend", "=ybegin size=2 name=a", "kl\r\n=ybegin size=1 name=b\r\nk\r\n",
            "AB", "=ybegin size=1 name=b\r\nk\r\n", "no =yend line" },
        { "a stray control line ends the data", "=ybegin size=2 name=a", "kl\r\n=yfoo\r\n=yend size=2\r\n",
            "AB", "=yfoo\r\n=yend size=2\r\n", "no =yend line" },
    };
    for (const BlockCase& c : cases) {
        TMemoryStream out;
        const YEncBlock block = DecodeYEncBlock(c.begin, c.text, out);
        EXPECT_EQ(out.View(), c.bytes) << c.what;
        EXPECT_EQ(c.text.substr(block.consumed), c.rest) << c.what;
        EXPECT_EQ(YEncDamage(block), c.damage) << c.what;
        // Handed out piece by piece, the same bytes and the same findings.
        std::string pieces;
        const YEncBlock streamed = DecodeYEncBlock(
            c.begin, c.text, [&](const YEncBlock&, std::string_view bytes) { pieces += bytes; });
        EXPECT_EQ(pieces, c.bytes) << c.what;
        EXPECT_EQ(streamed.consumed, block.consumed) << c.what;
        EXPECT_EQ(YEncDamage(streamed), c.damage) << c.what;
    }
}

// The data's end is looked for piece by piece (64 KB of text, 16 places at
// a time) as the data is decoded: a "=y" line just before, across and just
// after a piece's edge ends the data there, and a line that begins with an
// escape does not.
TEST(DecodeYEncBlock, FindsTheEndOfLongDataAtEveryEdge)
{
    constexpr size_t kPiece = 64 * 1024;
    for (size_t lineFeedAt = kPiece - 20; lineFeedAt <= kPiece + 20; ++lineFeedAt) {
        // Lines of 100 "k" (decoded "A"), every seventh beginning with an
        // escape, "=J" (decoded 0xE0), cut so that the last line feed lies
        // at lineFeedAt.
        std::string text;
        std::string bytes;
        while (text.size() + 102 < lineFeedAt) {
            const bool escaped = text.size() / 102 % 7 == 3;
            text += escaped ? "=J" + std::string(98, 'k') + "\r\n" : std::string(100, 'k') + "\r\n";
            bytes += escaped ? "\xE0" + std::string(98, 'A') : std::string(100, 'A');
        }
        const size_t rest = lineFeedAt - text.size();
        text += std::string(rest, 'k') + "\n";
        bytes += std::string(rest, 'A');
        const std::string end = "=yend size=" + std::to_string(bytes.size()) + "\r\n";
        const std::string all = text + end + "after\r\n";
        SCOPED_TRACE(::testing::Message() << "line feed at " << lineFeedAt);
        ASSERT_EQ(all.find("\n=y"), lineFeedAt);
        TMemoryStream out;
        const YEncBlock block = DecodeYEncBlock("=ybegin name=a", all, out);
        std::string pieces;
        const YEncBlock streamed = DecodeYEncBlock(
            "=ybegin name=a", all, [&](const YEncBlock&, std::string_view piece) { pieces += piece; });
        for (const YEncBlock* each : { &block, &streamed }) {
            EXPECT_TRUE(each->ended);
            EXPECT_EQ(each->consumed, text.size() + end.size());
            EXPECT_EQ(each->decodedSize, bytes.size());
            EXPECT_EQ(YEncDamage(*each), "");
        }
        EXPECT_TRUE(out.View() == bytes);
        EXPECT_TRUE(pieces == bytes);
    }
}

// A part's own checks: its range, "=yend size=" and "pcrc32=", never the
// whole file's "size=" and "crc32=".
TEST(DecodeYEncBlock, PartDamage)
{
    const std::string crcOfAB = Format("%08x", Crc32(0, "AB"));
    const std::string begin = "=ybegin part=2 total=3 line=128 size=100 name=a.jpg";
    const struct {
        const char* what;
        std::string text;
        std::string damage;
    } cases[] = {
        { "whole",
            "=ypart begin=3 end=4\r\nkl\r\n=yend size=2 part=2 pcrc32=" + crcOfAB + " crc32=deadbeef\r\n",
            "" },
        { "range longer than the data",
            "=ypart begin=3 end=5\r\nkl\r\n=yend part=2 pcrc32=" + crcOfAB + "\r\n",
            "size 3 announced, 2 decoded" },
        { "wrong part CRC", "=ypart begin=3 end=4\r\nkl\r\n=yend size=2 part=2 pcrc32=00000001\r\n",
            "CRC-32 00000001 announced, " + crcOfAB + " computed" },
        { "cut off", "=ypart begin=3 end=4\r\nkl\r\n", "no =yend line" },
    };
    for (const auto& c : cases) {
        TMemoryStream out;
        EXPECT_EQ(YEncPartDamage(DecodeYEncBlock(begin, c.text, out)), c.damage) << c.what;
    }
}

} // namespace
} // namespace lumigrab
