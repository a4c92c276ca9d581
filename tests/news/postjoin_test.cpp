// The joining of the yEnc and uuencoded parts of a multi-part post into one
// file, and what it takes for uuencoded data.
#include "news/postjoin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "mime/msuucode.h"
#include "nntp_test_support.h"
#include "post_test_support.h"

namespace lumigrab {
namespace {

using testing::Article;
using testing::WriteFileBytes;
using testing::YEncPart;
using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

class PostJoinerTest : public testing::PostFileTest { };

TEST_F(PostJoinerTest, YEncPartsLandAtTheirOffsetsInAnyOrder)
{
    for (const bool reversed : { false, true }) {
        TPostJoiner joiner(partial, 1 << 20);
        const size_t starts[] = { 0, 4000, 8000 };
        for (int index = 0; index < 3; ++index) {
            const int part = reversed ? 3 - index : index + 1;
            const size_t begin = starts[part - 1];
            joiner.AddPart(part,
                Article("x",
                    "text before\r\n"
                        + YEncPart(
                            "a b.jpg", file, part, 3, begin, std::min<size_t>(4000, file.size() - begin))));
        }
        joiner.Finish();
        EXPECT_EQ(joiner.FileName(), "a b.jpg");
        EXPECT_EQ(joiner.Damage(), "") << reversed;
        EXPECT_EQ(ReadFileBytes(partial), file) << reversed;
    }
}

// Whatever stands at the partial path beforehand, a link planted there or a
// file left behind, is replaced by a file of its own: the link's target is
// never written or cut short.
TEST_F(PostJoinerTest, ReplacesWhatStandsAtThePartialPathWithoutFollowingIt)
{
    const std::string outside = (root.Path() / "outside.dat").string();
    for (const bool link : { true, false }) {
        SCOPED_TRACE(link ? "link" : "file");
        WriteFileBytes(outside, "keep me");
        fs::remove(partial);
        if (link)
            fs::create_symlink(outside, partial);
        else
            WriteFileBytes(partial, "a partial file left behind, longer than the post");
        TPostJoiner joiner(partial, 1 << 20);
        joiner.AddPart(1, Article("x", YEncPart("a.jpg", file, 1, 2, 0, 6000)));
        joiner.AddPart(2, Article("x", YEncPart("a.jpg", file, 2, 2, 6000, 4000)));
        joiner.Finish();
        EXPECT_EQ(joiner.Damage(), "");
        EXPECT_TRUE(ReadFileBytes(outside) == "keep me");
        EXPECT_FALSE(fs::is_symlink(partial));
        EXPECT_TRUE(ReadFileBytes(partial) == file);
    }
}

TEST_F(PostJoinerTest, DamageIsToldPerPartAndForTheWholeFile)
{
    TPostJoiner joiner(partial, 1 << 20);
    joiner.AddPart(1, Article("x", YEncPart("a.jpg", file, 1, 2, 0, 5000, "00000000")));
    // Part 2 comes one byte short: the file's size and CRC do not match.
    joiner.AddPart(2, Article("x", YEncPart("a.jpg", file.substr(0, 9999), 2, 2, 5000, 4999)));
    joiner.Finish();
    EXPECT_NE(joiner.Damage().find("part 1: CRC-32 00000000 announced"), std::string::npos)
        << joiner.Damage();
    EXPECT_NE(joiner.Damage().find("size 10000 announced, 9999 decoded"), std::string::npos)
        << joiner.Damage();
    // The file holds what was decoded, whatever room the announced size took.
    EXPECT_EQ(fs::file_size(partial), 9999u);
}

TEST_F(PostJoinerTest, RefusesWhatItCannotJoinAndRemovesItsFile)
{
    {
        TPostJoiner joiner(partial, 5000);
        EXPECT_THROW(joiner.AddPart(1, Article("x", YEncPart("a.jpg", file, 1, 2, 0, 5000))), EPostJoinError);
    }
    EXPECT_FALSE(fs::exists(partial));
    TPostJoiner joiner(partial, 1 << 20);
    EXPECT_THROW(joiner.AddPart(1, Article("x", "just text\r\n")), EPostJoinError);
}

TEST_F(PostJoinerTest, UUEncodeAcrossThreeArticlesSkipsWhatIsNoData)
{
    const Strings lines = UULines(file);
    const size_t third = lines.size() / 3;
    std::string bodies[3]
        = { "A picture in three parts\r\n\r\nbegin 644 three.gif\r\n", "Part two follows\r\n", "" };
    for (size_t index = 0; index < lines.size(); ++index)
        bodies[std::min<size_t>(index / third, 2)] += lines[index] + "\r\n";
    bodies[2] += "`\r\nend\r\nA signature line\r\n";
    TPostJoiner joiner(partial, 1 << 20);
    for (int part = 1; part <= 3; ++part)
        joiner.AddPart(part, Article("x", bodies[part - 1]));
    joiner.Finish();
    EXPECT_EQ(joiner.FileName(), "three.gif");
    EXPECT_EQ(joiner.Damage(), "");
    EXPECT_EQ(ReadFileBytes(partial), file);
}

TEST(UUDataLine, TellsDataFromText)
{
    EXPECT_TRUE(IsUUDataLine(EncodeUULine(std::string(45, 'x'))));
    EXPECT_TRUE(IsUUDataLine(EncodeUULine("abc")));
    for (const char* line : { "", "`", "end", "Part two follows", "begin 644 a.jpg", "Mshort" })
        EXPECT_FALSE(IsUUDataLine(line)) << line;
}

} // namespace
} // namespace lumigrab
