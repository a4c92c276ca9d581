// Multi-part posts: the subject's part marker, the bookkeeping of parts and
// what it foresees, the joining of yEnc and uuencoded parts into a file, and
// the harvest of posts against a scripted server: a part gone, then posted
// again; parts sent for ahead like single-part pictures, none fetched twice.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "message/msmsg.h"
#include "mime/mscrc32.h"
#include "mime/msuucode.h"
#include "news/harvest.h"
#include "news/msnntp.h"
#include "news/overview.h"
#include "news/partmarker.h"
#include "news/pooledjoin.h"
#include "news/postcollector.h"
#include "news/postharvest.h"
#include "news/postjoin.h"
#include "nntp_test_support.h"

namespace lumigrab {
namespace {

using testing::FakeGroup;
using testing::FolderEntries;
using testing::WriteFileBytes;
using Strings = std::vector<std::string>;
using Numbers = std::vector<int32_t>;
namespace fs = std::filesystem;

// ---- an independent writer of the parts

std::string Hex(uint32_t value)
{
    return Format("%08x", value);
}

// One yEnc part of data (bytes begin..begin+size of the file), CR LF lines.
std::string YEncPart(const std::string& name, const std::string& file, int part, int total, size_t begin,
    size_t size, const std::string& pcrcOverride = "")
{
    const std::string piece = file.substr(begin, size);
    std::string text = "=ybegin part=" + std::to_string(part) + " total=" + std::to_string(total)
        + " line=128 size=" + std::to_string(file.size()) + " name=" + name + "\r\n";
    text += "=ypart begin=" + std::to_string(begin + 1) + " end=" + std::to_string(begin + size) + "\r\n";
    std::string line;
    for (const char byte : piece) {
        const auto c = static_cast<unsigned char>(static_cast<unsigned char>(byte) + 42);
        if (c == 0 || c == '\n' || c == '\r' || c == '=' || (line.empty() && c == '.')) {
            line += '=';
            line += char(c + 64);
        } else {
            line += char(c);
        }
        if (line.size() >= 128) {
            text += line + "\r\n";
            line.clear();
        }
    }
    if (!line.empty())
        text += line + "\r\n";
    const std::string pcrc = pcrcOverride.empty() ? Hex(Crc32(0, piece)) : pcrcOverride;
    text += "=yend size=" + std::to_string(size) + " part=" + std::to_string(part) + " pcrc32=" + pcrc
        + " crc32=" + Hex(Crc32(0, file)) + "\r\n";
    return text;
}

std::string Article(const std::string& subject, const std::string& body)
{
    return "Subject: " + subject + "\r\nFrom: poster@test\r\nLines: 200\r\n\r\n" + body;
}

// ---- the part marker

struct MarkerCase {
    const char* subject;
    int part;
    int total;
    const char* rest;
};

TEST(PartMarker, ReadsTheLastMarkerAndTakesItOut)
{
    const MarkerCase cases[] = {
        { "\"harbour.jpg\" yEnc (1/5)", 1, 5, "\"harbour.jpg\" yEnc " },
        { "[3/12] - \"a.jpg\" yEnc (2/7)", 2, 7, "[3/12] - \"a.jpg\" yEnc " },
        { "sunset [10/12] part", 10, 12, "sunset  part" },
        { "(0/5)", 0, 5, "" },
        { "x (1/1)", 1, 1, "x " },
        { "x (2/3) y (z/4)", 2, 3, "x  y (z/4)" },
    };
    for (const MarkerCase& c : cases) {
        const auto marker = ReadPartMarker(c.subject);
        ASSERT_TRUE(marker) << c.subject;
        EXPECT_EQ(marker->part, c.part) << c.subject;
        EXPECT_EQ(marker->total, c.total) << c.subject;
        EXPECT_EQ(marker->subject, c.rest) << c.subject;
    }
    for (const char* subject :
        { "", "sunset.jpg", "(1/)", "(/3)", "(1/3]", "1/3", "(1 /3)", "(1234567890/2)" })
        EXPECT_FALSE(ReadPartMarker(subject)) << subject;
    EXPECT_EQ(PostDisplayName("\"harbour.jpg\" yEnc "), "harbour.jpg");
    EXPECT_EQ(PostDisplayName("  big series "), "big series");
}

// ---- the bookkeeping

TPartMarker Marker(int part, int total, const std::string& subject = "\"a.jpg\" yEnc ")
{
    return { part, total, subject };
}

using TWhat = TPostCollector::TAdded::TWhat;

TEST(PostCollector, CompleteOnceEveryPartIsKnownWhateverTheOrder)
{
    TPostCollector posts;
    EXPECT_EQ(posts.Add(Marker(3, 3), "p", 10).what, TWhat::Noted);
    EXPECT_EQ(posts.Add(Marker(1, 3), "p", 11).what, TWhat::Noted);
    // Same subject, another poster or another count: other posts.
    EXPECT_EQ(posts.Add(Marker(2, 3), "q", 12).what, TWhat::Noted);
    EXPECT_EQ(posts.Add(Marker(2, 4), "p", 13).what, TWhat::Noted);
    const auto added = posts.Add(Marker(2, 3), "p", 14);
    ASSERT_EQ(added.what, TWhat::Complete);
    EXPECT_EQ(added.post->articles, (std::vector<std::vector<int32_t>> { { 11 }, { 14 }, { 10 } }));
    // A part posted twice is noted as a copy, and completes nothing again.
    EXPECT_EQ(posts.Add(Marker(2, 3), "p", 15).what, TWhat::Noted);
    EXPECT_EQ(added.post->articles[1], (std::vector<int32_t> { 14, 15 }));
    posts.ForgetArticle(*added.post, 2);
    EXPECT_EQ(added.post->articles[1], (std::vector<int32_t> { 15 }));
    posts.ForgetArticle(*added.post, 2);
    EXPECT_EQ(added.post->IncompleteReport(), "Incomplete: a.jpg, parts 2 of 3 missing");
    EXPECT_EQ(posts.Add(Marker(2, 3), "p", 16).what, TWhat::Complete);
}

TEST(PostCollector, RefusesHugePostsAndDropsTheOldestWaitingOne)
{
    TPostCollector posts(2);
    EXPECT_EQ(posts.Add(Marker(1, MaxPostParts + 1), "p", 1).what, TWhat::Refused);
    EXPECT_EQ(posts.Add(Marker(2, MaxPostParts + 1), "p", 2).what, TWhat::Noted);
    // The refused post goes quietly to make room.
    const auto first = posts.Add(Marker(1, 2, "first"), "p", 3);
    EXPECT_FALSE(first.dropped);
    const auto second = posts.Add(Marker(1, 2, "second"), "p", 4);
    EXPECT_FALSE(second.dropped);
    const auto third = posts.Add(Marker(1, 2, "third"), "p", 5);
    ASSERT_TRUE(third.dropped);
    EXPECT_EQ(third.dropped->subject, "first");
    EXPECT_EQ(posts.Count(), 2u);
}

struct TrackedCase {
    const char* name;
    // The first of two parts of each post: its subject without the marker,
    // its poster.
    std::vector<std::pair<std::string, std::string>> parts;
    // The names of the posts followed, oldest first.
    Strings names;
};

// Subjects as long as a header line may be are told apart to their last
// byte, but what is kept of each for reports is short.
TEST(PostCollector, KeepsPostsApartHoweverLongTheirSubjectsAndLittleOfEach)
{
    const std::string filler(MaxOverviewValue - 10, 'x');
    const std::string shortName(MaxFileNameBytes, 'x');
    const TrackedCase cases[] = {
        { "subjects alike up to their last byte", { { filler + "a", "p" }, { filler + "b", "p" } },
            { shortName, shortName } },
        { "subject and poster that join into the same text",
            { { filler + "ab", "c" }, { filler + "a", "bc" }, { filler + "ab", "c" } },
            { shortName, shortName } },
        { "a quoted name longer than a file name keeps its extension",
            { { "\"" + std::string(400, 'n') + ".jpg\" yEnc " + filler, "p" } },
            { std::string(MaxFileNameBytes - 4, 'n') + ".jpg" } },
    };
    for (const TrackedCase& c : cases) {
        SCOPED_TRACE(c.name);
        TPostCollector posts;
        int32_t number = 0;
        for (const auto& [subject, from] : c.parts)
            posts.Add(Marker(1, 2, subject), from, ++number);
        const std::vector<TPost*> waiting = posts.Waiting();
        Strings names;
        for (const TPost* post : waiting)
            names.push_back(post->name);
        EXPECT_EQ(names, c.names);
        for (size_t index = 0; index < waiting.size(); ++index)
            EXPECT_EQ(waiting[index]->subject, c.parts[index].first.substr(0, MaxShortString));
    }
}

TEST(PostCollector, ForeseesTheCompletingPartWithoutRecordingIt)
{
    TPostCollector posts;
    posts.Add(Marker(3, 3), "p", 10);
    // Headers of one batch, foreseen in walk order before any is added.
    EXPECT_EQ(posts.Foresee(Marker(1, 3), "p", 11), Numbers {});
    EXPECT_EQ(posts.Foresee(Marker(1, 3), "q", 12), Numbers {});
    EXPECT_EQ(posts.Foresee(Marker(1, 3), "p", 13), Numbers {});
    EXPECT_EQ(posts.Foresee(Marker(2, 3), "p", 14), (Numbers { 11, 14, 10 }));
    // Complete already: a later copy completes nothing.
    EXPECT_EQ(posts.Foresee(Marker(2, 3), "p", 15), Numbers {});
    // Nothing was recorded: the events then add the headers one by one.
    ASSERT_EQ(posts.Waiting().size(), 1u);
    EXPECT_EQ(posts.Waiting().front()->MissingParts(), (std::vector<int> { 1, 2 }));
    posts.Add(Marker(1, 3), "p", 11);
    posts.Add(Marker(1, 3), "p", 13);
    EXPECT_EQ(posts.Add(Marker(2, 3), "p", 14).what, TWhat::Complete);
}

TEST(PostCollector, ANewWalkForgetsWhatWasForeseenAndNotAdded)
{
    TPostCollector posts;
    EXPECT_EQ(posts.Foresee(Marker(1, 2), "p", 20), Numbers {});
    // A walk that ended before 20 was added; the next starts lower.
    EXPECT_EQ(posts.Foresee(Marker(2, 2), "p", 5), Numbers {});
    EXPECT_EQ(posts.Foresee(Marker(1, 2), "p", 6), (Numbers { 6, 5 }));
    // Huge or already refused posts are never fetched.
    EXPECT_EQ(posts.Foresee(Marker(1, MaxPostParts + 1), "p", 7), Numbers {});
}

// ---- the joining

class PostJoinerTest : public ::testing::Test {
protected:
    ScratchFolder root;
    std::string partial = (root.Path() / "post.part").string();
    std::string file = RandomBytes(10000, 7);
};

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

// Parts brought by several threads at once, in any order, join into the
// file that part order gives: uuencoded bodies follow one another.
TEST_F(PostJoinerTest, PooledJoinWritesEachPartInTurnFromAnyThread)
{
    const Strings lines = UULines(file);
    constexpr int Parts = 6;
    std::vector<std::string> articles(Parts);
    for (size_t index = 0; index < lines.size(); ++index)
        articles[std::min<size_t>(index * Parts / lines.size(), Parts - 1)] += lines[index] + "\r\n";
    articles.front() = "begin 644 six.gif\r\n" + articles.front();
    articles.back() += "`\r\nend\r\n";
    for (std::string& article : articles)
        article = Article("x", article);
    for (unsigned seed = 0; seed < 20; ++seed) {
        SCOPED_TRACE(seed);
        TPooledJoin join(std::make_unique<TPostJoiner>(partial, 1 << 20), Parts);
        std::vector<int> order { 1, 2, 3, 4, 5, 6 };
        std::shuffle(order.begin(), order.end(), std::mt19937(seed));
        std::vector<TPooledJoin::TProgress> progress(Parts);
        std::vector<std::thread> threads;
        for (int index = 0; index < Parts; ++index)
            threads.emplace_back([&, index] {
                const int part = order[size_t(index)];
                progress[size_t(index)] = join.Add(part, articles[size_t(part - 1)]);
            });
        for (std::thread& thread : threads)
            thread.join();
        EXPECT_EQ(
            std::count_if(progress.begin(), progress.end(), [](const auto& one) { return one.finished; }), 1);
        join.Take([&](TPostJoiner& joiner) {
            EXPECT_EQ(joiner.FileName(), "six.gif");
            EXPECT_EQ(joiner.Damage(), "");
            EXPECT_EQ(ReadFileBytes(partial), file);
        });
        EXPECT_FALSE(fs::exists(partial));
    }
}

// A part that cannot be joined, or a first part naming no picture, ends the
// join: the partial file goes and the parts after it are dropped.
TEST_F(PostJoinerTest, PooledJoinEndsAtAFailureOrAFileThatIsNoPicture)
{
    const std::string first = Article("x", YEncPart("a.jpg", file, 1, 3, 0, 4000));
    const std::string second = Article("x", YEncPart("a.jpg", file, 2, 3, 4000, 4000));
    {
        TPooledJoin join(std::make_unique<TPostJoiner>(partial, 1 << 20), 3);
        EXPECT_EQ(join.Add(2, second).written, 0);
        const TPooledJoin::TProgress failed = join.Add(1, Article("x", "just text\r\n"));
        EXPECT_TRUE(failed.failure);
        EXPECT_THROW(std::rethrow_exception(failed.failure), EPostJoinError);
        EXPECT_FALSE(fs::exists(partial));
        const TPooledJoin::TProgress dropped
            = join.Add(3, Article("x", YEncPart("a.jpg", file, 3, 3, 8000, 2000)));
        EXPECT_EQ(dropped.written, 0);
        EXPECT_FALSE(dropped.finished || dropped.failure);
    }
    TPooledJoin join(std::make_unique<TPostJoiner>(partial, 1 << 20), 3);
    EXPECT_EQ(join.Add(1, first).written, 1);
    EXPECT_TRUE(fs::exists(partial));
    join.End();
    EXPECT_FALSE(fs::exists(partial));
    EXPECT_EQ(join.Add(2, second).written, 0);
    TPooledJoin text(std::make_unique<TPostJoiner>(partial, 1 << 20), 2);
    const TPooledJoin::TProgress notes
        = text.Add(1, Article("x", YEncPart("notes.txt", file, 1, 2, 0, 5000)));
    EXPECT_TRUE(notes.noPicture);
    EXPECT_FALSE(fs::exists(partial));
}

TEST(UUDataLine, TellsDataFromText)
{
    EXPECT_TRUE(IsUUDataLine(EncodeUULine(std::string(45, 'x'))));
    EXPECT_TRUE(IsUUDataLine(EncodeUULine("abc")));
    for (const char* line : { "", "`", "end", "Part two follows", "begin 644 a.jpg", "Mshort" })
        EXPECT_FALSE(IsUUDataLine(line)) << line;
}

// ---- the harvest against a scripted server

// A harvest into root/TEMP of a scripted group with an overview, whose
// articles each test posts; records what the harvest reports.
class PostHarvestTest : public testing::ScriptedNewsTest {
protected:
    ScratchFolder root;
    fs::path folder = root.Path() / "TEMP";
    std::unique_ptr<THarvest> harvest;
    Strings kept, incomplete, skipped;

    void SetUp() override
    {
        fs::create_directory(folder);
        group->overview = FakeGroup::Overview::Over;
        group->count = 0;
        client.UseOverview = true;
        StartServer("200 ready\r\n");
    }

    void StartHarvest()
    {
        harvest = std::make_unique<THarvest>(client, folder.string());
        harvest->OnPictureKept = [this](const std::string& path) { kept.push_back(path); };
        harvest->OnPostIncomplete = [this](const std::string& report) { incomplete.push_back(report); };
        harvest->OnArticleSkipped
            = [this](const std::string&, const std::string& reason) { skipped.push_back(reason); };
        client.OnNextHeaderRetrieved
            = [this](TObject*, int num) { harvest->HarvestHeader(client.HeaderList.Entries(num)); };
        client.OnLastHeaderRetrieved = [this](TObject*) { harvest->ReportIncompletePosts(); };
    }

    void Walk()
    {
        client.SetNewsGroup(group->name);
        client.RetrieveHeaders(0, true);
    }
};

class YEncPostHarvestTest : public PostHarvestTest {
protected:
    std::string file = RandomBytes(9000, 11);

    void Post(int part)
    {
        const size_t begin = size_t(part - 1) * 3000;
        group->texts[++group->count] = Article("\"bay.jpg\" yEnc (" + std::to_string(part) + "/3)",
            YEncPart("bay.jpg", file, part, 3, begin, 3000));
    }
};

TEST_F(YEncPostHarvestTest, PartGoneIsReportedOnceThenARepostCompletesThePost)
{
    // Left by a harvest that crashed: gone when the next one starts.
    fs::create_directory(folder / PartialFolderName);
    WriteFileBytes(folder / PartialFolderName / "post-1.part", "stale");
    StartHarvest();
    EXPECT_FALSE(fs::exists(folder / PartialFolderName));
    for (int part : { 1, 2, 3 })
        Post(part);
    group->articleReplies[2] = "430 No such article\r\n";
    Walk();
    EXPECT_EQ(kept, Strings {});
    EXPECT_EQ(incomplete, Strings { "Incomplete: bay.jpg, parts 2 of 3 missing" });
    EXPECT_EQ(FolderEntries(folder), Strings {});

    Post(2);
    Walk();
    ASSERT_EQ(kept, Strings { (folder / "bay.jpg").string() });
    EXPECT_EQ(ReadFileBytes(folder / "bay.jpg"), file);
    EXPECT_EQ(incomplete.size(), 1u);
    EXPECT_EQ(skipped, Strings {});
}

TEST_F(YEncPostHarvestTest, WithoutJoiningPartsArePassedOver)
{
    StartHarvest();
    harvest->JoinParts = false;
    for (int part : { 1, 2, 3 })
        Post(part);
    Walk();
    EXPECT_EQ(kept, Strings {});
    EXPECT_EQ(incomplete, Strings {});
    EXPECT_EQ(FolderEntries(folder), Strings {});
}

// ---- parts through the client's pipeline: named ahead by the harvest when
// the header that completes the post is read ahead, sent for in part order,
// and nothing on its way dropped and fetched again

// One group: single pictures ("s"), the parts of a three-part uuencoded post
// ("1".."3"), a second copy of a part ("2c") and the post's description
// ("0", a picture itself, its "(0/3)" beyond the first 255 characters of a
// long subject), in walk order.
struct GroupShape {
    const char* name;
    Strings articles;
    // Overview range size: 1 makes batches of PipelineDepth headers.
    int rangeSize = 1000;
    // The first copies of these parts are gone when fetched.
    Strings gone;
};

using testing::PrintTo;

class PartsAheadTest : public PostHarvestTest, public ::testing::WithParamInterface<GroupShape> {
protected:
    std::string post = RandomBytes(9000, 21);
    std::map<std::string, std::string> singles;
    // What the client did, in order: "sent N" (an ARTICLE command) and "got N".
    Strings events;
    std::map<std::string, int> numbers;

    void SetUp() override
    {
        PostHarvestTest::SetUp();
        for (const std::string& label : GetParam().articles)
            Post(label);
        for (const std::string& label : GetParam().gone)
            group->articleReplies[numbers.at(label)] = "430 No such article\r\n";
        client.OverviewRangeSize = GetParam().rangeSize;
        client.OnLineSent = [this](TObject*, const std::string& line) {
            if (line.starts_with("ARTICLE "))
                events.push_back("sent " + line.substr(8));
        };
        client.OnArticleRetrieved
            = [this](TObject*) { events.push_back("got " + std::to_string(client.CurrentArticle())); };
        StartHarvest();
    }

    void Post(const std::string& label)
    {
        const int number = ++group->count;
        numbers[label] = number;
        if (label == "s") {
            const std::string name = "s" + std::to_string(number) + ".jpg";
            singles[name] = RandomBytes(2000, uint32_t(number));
            group->texts[number]
                = Article(name, "begin 644 " + name + "\r\n" + Join(UULines(singles[name])) + "`\r\nend\r\n");
            return;
        }
        if (label == "0") {
            group->texts[number] = Article(std::string(300, '-') + " \"bay.jpg\" (0/3)",
                "begin 644 about.jpg\r\n" + Join(UULines(RandomBytes(2000, 99))) + "`\r\nend\r\n");
            return;
        }
        // The post uuencoded across its three articles, 3000 bytes each.
        const int part = label[0] - '0';
        const std::string body = Join(UULines(std::string_view(post).substr(size_t(part - 1) * 3000, 3000)));
        group->texts[number] = Article("\"bay.jpg\" (" + std::to_string(part) + "/3)",
            (part == 1 ? "begin 644 bay.jpg\r\n" : "") + body + (part == 3 ? "`\r\nend\r\n" : ""));
    }

    size_t EventIndex(const std::string& event) const
    {
        return size_t(std::find(events.begin(), events.end(), event) - events.begin());
    }
};

TEST_P(PartsAheadTest, PartsArePipelinedAndNoArticleIsFetchedTwice)
{
    Walk();

    Strings expectedKept { (folder / "bay.jpg").string() };
    for (const auto& [name, bytes] : singles)
        expectedKept.push_back((folder / name).string());
    std::sort(kept.begin(), kept.end());
    std::sort(expectedKept.begin(), expectedKept.end());
    EXPECT_EQ(kept, expectedKept);
    EXPECT_EQ(ReadFileBytes(folder / "bay.jpg"), post);
    for (const auto& [name, bytes] : singles)
        EXPECT_EQ(ReadFileBytes(folder / name), bytes) << name;
    EXPECT_EQ(skipped, Strings {});
    EXPECT_EQ(incomplete, Strings {});

    // Every article the harvest uses, and a gone one, asked for once.
    for (const std::string& event : events) {
        if (event.starts_with("sent ")) {
            EXPECT_EQ(std::count(events.begin(), events.end(), event), 1) << event;
        }
    }
    // The third part is on its way before the first one is read.
    EXPECT_LT(EventIndex("sent " + std::to_string(numbers["3"])),
        EventIndex("got " + std::to_string(numbers["1"])));
}

INSTANTIATE_TEST_SUITE_P(GroupShapes, PartsAheadTest,
    ::testing::Values(
        GroupShape { "PostInsideOneBatch", { "s", "1", "s", "2", "s", "3", "s", "s" }, 1000, {} },
        GroupShape { "PartsOutOfOrder", { "s", "3", "s", "1", "s", "2", "s", "s" }, 1000, {} },
        GroupShape {
            "PostSpanningBatches", { "1", "s", "s", "s", "s", "2", "s", "s", "s", "3", "s", "s" }, 1, {} },
        GroupShape {
            "FirstCopyOfAPartGone", { "s", "1", "2", "s", "2c", "s", "3", "s", "s", "s" }, 1000, { "2" } },
        GroupShape { "DescriptionMarkedFarIntoItsSubject", { "s", "0", "1", "s", "2", "3", "s" }, 1000, {} }),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace lumigrab
