// The news client, the harvest and lumigrab-harvest against a server that
// misbehaves: lines and blocks that never end, a walk that does not move on,
// articles that are gone, damaged or cannot be saved.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "message/msmsg.h"
#include "news/harvest.h"
#include "news/msnntp.h"
#include "news/pictureorigin.h"
#include "nntp_test_support.h"
#include "post_test_support.h"
#include "tests/support/allocation_watch.h"
#include "tests/support/tiny_filesystem.h"
#include "tests/support/tls_test_server.h"

namespace lumigrab {
namespace {

using testing::ArticleCommandsIn;
using testing::FakeGroup;
using testing::FolderContent;
using testing::FolderEntries;
using testing::HeaderNumbers;
using testing::HostileServerTest;
using testing::PrintTo;
using testing::ReplyForever;
using testing::ReplyPause;
using Strings = std::vector<std::string>;
using Numbers = std::vector<TArticleNumber>;
namespace fs = std::filesystem;

// ---- lines and blocks that never end

struct EndlessCase {
    const char* name;
    const char* command;
    std::string reply;
    int64_t maxArticleSize;
    std::function<void(TmsNNTP&)> operation;
    std::string error;
    // The block's bound: the block is held at most once that, never beside
    // a copy that growing makes.
    size_t bound;
};

class EndlessTest : public HostileServerTest, public ::testing::WithParamInterface<EndlessCase> { };

TEST_P(EndlessTest, EndsAtTheLimitAndClosesTheConnection)
{
    const EndlessCase& c = GetParam();
    group->overrides[c.command] = c.reply;
    client.MaxArticleSize = c.maxArticleSize;
    client.SetNewsGroup(group->name);
    const std::optional<size_t> largest = testing::LargestAllocationDuring(
        [&] { ExpectRaises<ESocketError>([&] { c.operation(client); }, c.error); });
    if (largest) {
        EXPECT_LE(*largest, c.bound + c.bound / 16);
    }
    EXPECT_EQ(errors, Strings { c.error });
    EXPECT_FALSE(client.Connected());
    // Nothing of the article stays.
    EXPECT_EQ(article.Body().Count(), 0);
    EXPECT_EQ(article.Attachments().Count(), 0);
}

void FetchArticleOne(TmsNNTP& client)
{
    client.RetrieveArticleByNumber(1);
}

void TakeOneHeader(TmsNNTP& client)
{
    TmsNgInfoItem item;
    client.RetrieveHeader(item);
}

const std::string kFiller = "X-Filler: " + std::string(4000, 'x') + "\r\n";

INSTANTIATE_TEST_SUITE_P(Servers, EndlessTest,
    ::testing::Values(
        EndlessCase { "HeaderBlock", "HEAD", "221 1 <1@test>\r\n" + std::string(ReplyForever) + kFiller,
            TktSocket::DefaultMaxBlockSize, TakeOneHeader, "Data block larger than 4194304 bytes", 4194304 },
        EndlessCase { "HeaderBlockOfASmallerArticleLimit", "HEAD",
            "221 1 <1@test>\r\n" + std::string(ReplyForever) + kFiller, 65536, FetchArticleOne,
            "Data block larger than 65536 bytes", 65536 },
        EndlessCase { "ArticleBlock", "ARTICLE",
            "220 1 <1@test>\r\nSubject: x\r\n\r\n" + std::string(ReplyForever) + "M" + std::string(60, 'A')
                + "\r\n",
            100000, FetchArticleOne, "Data block larger than 100000 bytes", 100000 }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostileServerTest, UnansweredQuitHoldsTheCloseAFewSecondsAtMost)
{
    group->overrides["QUIT"] = "";
    client.TimeOut = 600;
    client.SetNewsGroup(group->name);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NO_THROW(client.Disconnect());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_FALSE(client.Connected());
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(client.TimeOut, 600);
}

// ---- one bad article does not end the walk

std::string UUBlock(const std::string& name, const std::string& bytes)
{
    return Join(Concat({ { "begin 644 " + name }, UULines(bytes), { "`", "end" } }));
}

std::string PictureArticle(const std::string& subject, const std::string& body)
{
    return "Subject: " + subject + "\r\nMessage-ID: <" + subject + "@test>\r\nLines: 200\r\n\r\n" + body;
}

// The picture the article numbered number holds, as N.jpg.
std::string NumberedPicture(int number)
{
    return RandomBytes(3000, uint32_t(number));
}

// Articles 1 to count of group hold the pictures 1.jpg, 2.jpg, ...
// Pictures 1.jpg to count.jpg in the group's articles from its first on.
void PostNumberedPictures(FakeGroup& group, int count)
{
    group.count = count;
    for (int number = 1; number <= count; ++number) {
        const std::string name = std::to_string(number) + ".jpg";
        group.texts[group.first + TArticleNumber(number) - 1]
            = PictureArticle(name, UUBlock(name, NumberedPicture(number)));
    }
}

// A folder whose path is so long that a picture name of 255 bytes makes the
// whole path longer than the file system takes, while short names fit.
fs::path DeepFolder(const fs::path& root)
{
    fs::path folder = root;
    while (folder.string().size() < 3900)
        folder /= std::string(std::min<size_t>(200, 3900 - folder.string().size()), 'd');
    fs::create_directories(folder);
    return folder;
}

struct Skipped {
    std::string subject;
    std::string reason;
    bool operator==(const Skipped&) const = default;
};

void PrintTo(const Skipped& s, std::ostream* os)
{
    *os << s.subject << ": " << s.reason;
}

class HarvestWalkTest : public HostileServerTest {
protected:
    ScratchFolder root;
    fs::path folder = DeepFolder(root.Path());
    THarvest harvest { client, folder.string() };
    Strings kept;
    std::vector<Skipped> skipped;

    // Each picture has bytes of its own: the folder keeps a picture once.
    static std::string PictureOf(const std::string& name)
    {
        return RandomBytes(3000, unsigned(std::hash<std::string>()(name)));
    }
    static std::string Block(const std::string& name) { return UUBlock(name, PictureOf(name)); }

    void SetUp() override
    {
        HostileServerTest::SetUp();
        harvest.OnPictureKept
            = [this](const std::string& path) { kept.push_back(fs::path(path).filename()); };
        harvest.OnArticleSkipped = [this](const std::string& subject, const std::string& reason) {
            skipped.push_back({ subject, reason });
        };
        group->count = 2;
        group->texts[1] = PictureArticle("one", Block("one.jpg"));
        group->texts[2] = PictureArticle("two", Block("two.jpg"));
    }

    void HarvestGroup()
    {
        client.SetNewsGroup(group->name);
        client.OnNextHeaderRetrieved
            = [this](TObject*, int num) { harvest.HarvestHeader(client.HeaderList.Entries(num)); };
        client.RetrieveHeaders(0, true);
    }
};

TEST_F(HarvestWalkTest, BadArticlesAreReportedAndTheWalkGoesOn)
{
    group->count = 6;
    // Gone between the walk's HEAD and the harvest's STAT, and after HEAD.
    group->overrides["STAT 2"] = "423 no such article number in this group\r\n";
    group->texts[3] = PictureArticle("three", Block("three.jpg"));
    group->articleReplies[3] = "430 no such article\r\n";
    group->texts[4] = PictureArticle("four",
        Block("four.jpg") + "begin 644 broken.jpg\r\nnot uuencoded at all\r\n`\r\nend\r\n");
    const std::string longName = std::string(251, 'n') + ".jpg";
    group->texts[5] = PictureArticle("five", Block(longName) + Block("five.jpg"));
    group->texts[6] = PictureArticle("six", Block("six.jpg"));

    EXPECT_NO_THROW(HarvestGroup());
    EXPECT_EQ(HeaderNumbers(client), (Numbers { 1, 2, 3, 4, 5, 6 }));
    EXPECT_TRUE(client.Connected());
    EXPECT_EQ(kept, (Strings { "one.jpg", "four.jpg", "five.jpg", "six.jpg" }));
    EXPECT_EQ(
        FolderEntries(folder), (Strings { ".lumigrab-index", "five.jpg", "four.jpg", "one.jpg", "six.jpg" }));
    for (const std::string& name : kept)
        EXPECT_EQ(ReadFileBytes(folder / name), PictureOf(name)) << name;
    EXPECT_EQ(skipped,
        (std::vector<Skipped> { { "two", "Gone from the server (423 no such article number in this group)" },
            { "three", "Gone from the server (430 no such article)" },
            { "four",
                "Damaged beyond decoding (Error decoding the attachment); the pictures before the damage are "
                "kept" },
            { "five", "Cannot create file " + (folder / longName).string() + ": File name too long" } }));
    // Gone articles and one with a picture that could not be written are
    // asked for again by the next walk.
    EXPECT_EQ(IndexArticleLines(folder / ".lumigrab-index"),
        "<one@test>\tone.jpg\n<four@test>\tfour.jpg\n<six@test>\tsix.jpg\n");
}

// The same bytes under another name, in another article, are kept once, also
// by a later harvest into the folder; the article is recorded all the same.
TEST_F(HarvestWalkTest, APicturePostedAgainUnderAnotherNameIsKeptOnce)
{
    group->count = 3;
    group->texts[2] = PictureArticle("two", UUBlock("two.jpg", PictureOf("one.jpg")));
    group->texts[3] = PictureArticle("three", Block("three.jpg"));
    HarvestGroup();
    EXPECT_EQ(kept, (Strings { "one.jpg", "three.jpg" }));
    EXPECT_EQ(FolderEntries(folder), (Strings { ".lumigrab-index", "one.jpg", "three.jpg" }));
    EXPECT_EQ(IndexArticleLines(folder / ".lumigrab-index"), "<one@test>\tone.jpg\n<two@test>\n<three@test>\tthree.jpg\n");
    // Where each picture came from, beside it.
    const std::optional<TPictureOrigin> origin = FindPictureOrigin(folder.string(), "three.jpg");
    ASSERT_TRUE(origin);
    EXPECT_EQ(origin->messageId, "<three@test>");
    EXPECT_EQ(origin->about.group, FakeGroup().name);
    EXPECT_EQ(origin->about.subject, "three");

    kept.clear();
    fs::remove(folder / "one.jpg");
    // Again under another name, and joined from two yEnc parts, as an NZB's
    // files are too.
    group->count = 6;
    group->texts[4] = PictureArticle("four", UUBlock("four.jpg", PictureOf("one.jpg")));
    const std::string again = PictureOf("one.jpg");
    const size_t half = again.size() / 2;
    for (int part = 1; part <= 2; ++part)
        group->texts[TArticleNumber(4 + part)] = testing::Article("\"joined.jpg\" yEnc (" + std::to_string(part) + "/2)",
            testing::YEncPart("joined.jpg", again, part, 2, part == 1 ? 0 : half, part == 1 ? half : again.size() - half));
    THarvest later(client, folder.string());
    later.OnPictureKept = harvest.OnPictureKept;
    client.OnNextHeaderRetrieved
        = [&](TObject*, int num) { later.HarvestHeader(client.HeaderList.Entries(num)); };
    client.RetrieveHeaders(0, true);
    EXPECT_EQ(kept, Strings {});
    EXPECT_EQ(FolderEntries(folder), (Strings { ".lumigrab-index", "three.jpg" }));
}

TEST_F(HarvestWalkTest, APictureAttachmentThatDecodesToNothingGivesNoFile)
{
    group->count = 1;
    group->texts[1]
        = "Subject: empty\r\nMessage-ID: <empty@test>\r\nLines: 200\r\nMIME-Version: 1.0\r\n"
          "Content-Type: image/jpeg; name=\"empty.jpg\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
          "!!!! ----\r\n";
    EXPECT_NO_THROW(HarvestGroup());
    EXPECT_TRUE(kept.empty());
    EXPECT_EQ(FolderEntries(folder), Strings { ".lumigrab-index" });
    EXPECT_EQ(skipped,
        (std::vector<Skipped> { { "empty", "Damaged beyond decoding (empty.jpg decodes to nothing)" } }));
    EXPECT_EQ(IndexArticleLines(folder / ".lumigrab-index"), "<empty@test>\n");
}

struct WalkEndCase {
    const char* name;
    std::optional<std::string> articleReply;
    std::string error;
};

class WalkEndTest : public HarvestWalkTest, public ::testing::WithParamInterface<WalkEndCase> { };

TEST_P(WalkEndTest, ConnectionFailuresStillEndTheWalk)
{
    const WalkEndCase& c = GetParam();
    group->articleReplies[2] = c.articleReply;
    client.TimeOut = 1;
    ExpectRaises<Exception>([&] { HarvestGroup(); }, c.error);
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(kept, Strings { "one.jpg" });
    EXPECT_EQ(FolderEntries(folder), (Strings { ".lumigrab-index", "one.jpg" }));
    EXPECT_TRUE(skipped.empty());
}

INSTANTIATE_TEST_SUITE_P(Failures, WalkEndTest,
    ::testing::Values(WalkEndCase { "HangUp", std::nullopt, "Connection closed by the server" },
        WalkEndCase { "Silence", "", "Operation timed out" }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HarvestWalkTest, PictureFolderThatIsGoneEndsTheWalk)
{
    harvest.OnPictureKept = [this](const std::string& path) {
        kept.push_back(fs::path(path).filename());
        fs::rename(folder, root.Path() / "moved");
    };
    // The next picture finds the folder gone.
    ExpectRaises<EFCreateError>([&] { HarvestGroup(); },
        "Cannot create file " + (folder / "two.jpg").string() + ": No such file or directory");
    EXPECT_EQ(kept, Strings { "one.jpg" });
    EXPECT_TRUE(skipped.empty());
}

// ---- replies out of step

// The reply the server gives to ARTICLE for that text: number, message-id,
// the dot-stuffed text and the end line.
std::string ArticleReply(int number, const std::string& text, const std::string& id = "")
{
    const std::string own = FakeGroup::FieldOf(text, "Message-ID");
    const std::string messageId = !id.empty() ? id
        : !own.empty()                        ? own
                                              : "<" + std::to_string(number) + "@test>";
    return "220 " + std::to_string(number) + " " + messageId + "\r\n" + FakeGroup::DotStuffed(text) + ".\r\n";
}

struct OutOfStepCase {
    const char* name;
    FakeGroup::Overview overview;
    // Changes the replies of a group whose articles 1 to 3 hold the
    // pictures 1.jpg to 3.jpg.
    std::function<void(FakeGroup&)> misbehave;
    Strings kept;
    std::string error;
};

class OutOfStepTest : public HarvestWalkTest, public ::testing::WithParamInterface<OutOfStepCase> { };

// Whatever answers for another article, nothing of it is kept under the one
// asked for, and the connection, out of step, is given up.
TEST_P(OutOfStepTest, EndsTheWalkAndKeepsNothingOfTheReply)
{
    const OutOfStepCase& c = GetParam();
    PostNumberedPictures(*group, 3);
    group->overview = c.overview;
    client.UseOverview = c.overview != FakeGroup::Overview::None;
    c.misbehave(*group);
    ExpectRaises<ESocketError>(
        [&] {
            HarvestGroup();
            client.Disconnect();
        },
        c.error);
    EXPECT_EQ(errors, Strings { c.error });
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(kept, c.kept);
    Strings pictures = FolderEntries(folder);
    std::erase(pictures, ".lumigrab-index");
    EXPECT_EQ(pictures, c.kept);
    for (const std::string& name : kept)
        EXPECT_EQ(ReadFileBytes(folder / name), NumberedPicture(std::stoi(name))) << name;
    EXPECT_TRUE(skipped.empty());
}

INSTANTIATE_TEST_SUITE_P(Servers, OutOfStepTest,
    ::testing::Values(
        // Article 1 twice: every later reply would be one behind.
        OutOfStepCase { "SurplusReplyInsidePipeline", FakeGroup::Overview::Over,
            [](FakeGroup& g) {
                g.overrides["ARTICLE 1"] = ArticleReply(1, g.texts[1]) + ArticleReply(1, g.texts[1]);
            },
            { "1.jpg" }, "Reply out of step: asked for article 2, the server answered for 1" },
        OutOfStepCase { "ArticleTwoAnsweredWithThree", FakeGroup::Overview::Over,
            [](FakeGroup& g) { g.overrides["ARTICLE 2"] = ArticleReply(3, g.texts[3]); }, { "1.jpg" },
            "Reply out of step: asked for article 2, the server answered for 3" },
        OutOfStepCase { "StatTwoAnsweredForThree", FakeGroup::Overview::None,
            [](FakeGroup& g) { g.overrides["STAT 2"] = "223 3 <3@test>\r\n"; }, { "1.jpg" },
            "Reply out of step: asked for article 2, the server answered for 3" },
        // The number is right, the message-id another header's.
        OutOfStepCase { "AnotherMessageId", FakeGroup::Overview::Over,
            [](FakeGroup& g) { g.overrides["ARTICLE 2"] = ArticleReply(2, g.texts[3], "<3.jpg@test>"); },
            { "1.jpg" },
            "Reply out of step: asked for article <2.jpg@test>, the server answered for <3.jpg@test>" },
        // Also when the overview lists no message-id to compare with.
        OutOfStepCase { "AnotherMessageIdWhereTheOverviewHasNone", FakeGroup::Overview::Over,
            [](FakeGroup& g) {
                std::string second = g.OverviewLine(2);
                second.erase(second.find("<2.jpg@test>"), 12);
                g.overrides["OVER 1-1001"]
                    = "224 overview\r\n" + g.OverviewLine(1) + second + g.OverviewLine(3) + ".\r\n";
                g.overrides["ARTICLE 2"] = ArticleReply(2, g.texts[3]);
            },
            { "1.jpg" }, "Reply out of step: asked for article 2, the server answered for <3.jpg@test>" },
        // A stale reply still queued when the walk ends.
        OutOfStepCase { "QuitAnsweredByAStaleReply", FakeGroup::Overview::Over,
            [](FakeGroup& g) { g.overrides["QUIT"] = "223 3 <3@test>\r\n205 bye\r\n"; },
            { "1.jpg", "2.jpg", "3.jpg" },
            "Reply out of step: asked to quit, the server answered 223 3 <3@test>" }),
    [](const auto& info) { return std::string(info.param.name); });

// ---- lumigrab-harvest

class HarvestToolTest : public HostileServerTest, protected testing::HarvestToolRunner {
protected:
    fs::path folder = scratch.Path() / "pictures";
    fs::path log = scratch.Path() / "nntp.log";

    std::string Arguments() const
    {
        return "--server " + server->Address() + " --group " + group->name + " --folder " + folder.string()
            + " --log " + log.string();
    }
};

// Go after a restart, or the tool run twice into one folder: the second
// walk goes on after the first one's last article, so it fetches nothing
// and writes nothing (not even article 3, whose header in the HEAD walk has
// no Message-ID for the index to know it by).
class HarvestTwiceTest : public HarvestToolTest,
                         public ::testing::WithParamInterface<FakeGroup::Overview> { };

TEST_P(HarvestTwiceTest, TheSecondRunFetchesNothingAndWritesNothing)
{
    group->overview = GetParam();
    group->count = 4;
    group->texts[1] = PictureArticle("one", UUBlock("one.jpg", RandomBytes(3000, 1)));
    group->texts[2] = PictureArticle("two", UUBlock("two.jpg", RandomBytes(3000, 2)));
    group->texts[3] = "Subject: three\r\nLines: 200\r\n\r\n" + UUBlock("three.jpg", RandomBytes(3000, 3));
    group->texts[4] = PictureArticle("words", Join(Lines(200, "just words")));
    RunTool(Arguments());
    ASSERT_EQ(exitCode, 0) << err;
    EXPECT_EQ(ArticleCommandsIn(log).size(), 4u);
    const auto firstContent = FolderContent(folder);
    EXPECT_EQ(firstContent.size(), 4u);

    RunTool(Arguments());
    EXPECT_EQ(exitCode, 0) << err;
    EXPECT_EQ(out, "");
    EXPECT_EQ(FolderContent(folder), firstContent);
    EXPECT_EQ(ArticleCommandsIn(log), Strings {});
}

INSTANTIATE_TEST_SUITE_P(Walks, HarvestTwiceTest,
    ::testing::Values(FakeGroup::Overview::None, FakeGroup::Overview::Over),
    [](const auto& info) { return info.param == FakeGroup::Overview::None ? "HeadWalk" : "OverviewWalk"; });

// The tool run again into the same folder goes on where the first run's
// walk stopped, on that server and group only; a server whose group ends
// before it (renumbered, restored) is walked as at a first run.
TEST_F(HarvestToolTest, ASecondRunGoesOnWhereTheFirstStopped)
{
    struct Case {
        const char* name;
        int secondCount; // the group's articles at the second run
        bool anotherServer;
        bool forget; // the kept position's file deleted between the runs
        Strings overviewAsked;
    };
    const Case cases[] = {
        { "new articles", 6, false, false, { "OVER 4-1004" } },
        { "none new: one empty range", 3, false, false, { "OVER 4-1004" } },
        { "renumbered below the kept position", 2, false, false, { "OVER 1-1001" } },
        { "another server", 6, true, false, { "OVER 1-1001" } },
        { "the file deleted", 6, false, true, { "OVER 1-1001" } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(folder);
        group->overview = FakeGroup::Overview::Over;
        group->count = 3;
        StartServer("200 ready\r\n");
        RunTool(Arguments());
        ASSERT_EQ(exitCode, 0) << err;
        ASSERT_TRUE(fs::exists(folder / ".lumigrab-walked"));

        group->count = c.secondCount;
        if (c.anotherServer)
            StartServer("200 ready\r\n");
        if (c.forget)
            fs::remove(folder / ".lumigrab-walked");
        RunTool(Arguments());
        EXPECT_EQ(exitCode, 0) << err;
        Strings asked;
        ForEachLine(ReadFileBytes(log), [&](std::string_view line) {
            if (line.starts_with("OVER "))
                asked.emplace_back(line);
        });
        EXPECT_EQ(asked, c.overviewAsked);
    }
}

// A post whose last part is posted after the first run: the second run
// walks again from its first part, which it has not seen, and joins it.
TEST_F(HarvestToolTest, APostStillBeingPostedIsJoinedByTheNextRun)
{
    const std::string file = RandomBytes(3000, 9);
    group->overview = FakeGroup::Overview::Over;
    group->count = 3;
    group->texts[1] = PictureArticle("one", UUBlock("one.jpg", RandomBytes(3000, 1)));
    group->texts[2] = testing::Article("\"late.jpg\" yEnc (1/2)", testing::YEncPart("late.jpg", file, 1, 2, 0, 1500));
    group->texts[3] = PictureArticle("three", UUBlock("three.jpg", RandomBytes(3000, 3)));
    RunTool(Arguments());
    ASSERT_EQ(exitCode, 3) << err; // the post is incomplete at the group's end
    group->count = 4;
    group->texts[4] = testing::Article("\"late.jpg\" yEnc (2/2)", testing::YEncPart("late.jpg", file, 2, 2, 1500, 1500));
    RunTool(Arguments());
    EXPECT_EQ(exitCode, 0) << err;
    EXPECT_EQ(ReadFileBytes(folder / "late.jpg"), file);
    EXPECT_EQ(ArticleCommandsIn(log), (Strings { "ARTICLE 2", "ARTICLE 4" }));
}

// A full disk ends the walk at once; the article that did not fit is not
// recorded, so the next run, with room again, fetches it and the rest.
TEST_F(HarvestToolTest, AFullDiskEndsTheWalkAndTheNextRunFetchesWhatWasLost)
{
    const std::string big = RandomBytes(200 * 1024, 5);
    group->count = 3;
    group->texts[1] = PictureArticle("small", UUBlock("small.jpg", "small picture"));
    group->texts[2] = PictureArticle("big", UUBlock("big.jpg", big));
    group->texts[3] = PictureArticle("after", UUBlock("after.jpg", "after the big one"));
    fs::create_directories(folder);
    const std::string run = testing::ToolPath("lumigrab-harvest").string() + " " + Arguments();
    // Both runs on one tmpfs of a private mount namespace, gone with it.
    // Seen: each run's exit status and the folder's entries after it; kept
    // aside: the index after each run and the first run's log.
    const auto outcome = testing::RunOnTinyFileSystem(folder, 64 * 1024, false, [&] {
        const auto runOnce = [&](const std::string& number) {
            const int status = std::system(
                (run + " >" + (scratch.Path() / ("out" + number)).string() + " 2>"
                    + (scratch.Path() / ("err" + number)).string())
                    .c_str());
            std::string seen = std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + "\n";
            for (const std::string& name : FolderEntries(folder))
                seen += name + "\n";
            fs::copy_file(folder / ".lumigrab-index", scratch.Path() / ("index" + number),
                fs::copy_options::overwrite_existing);
            return seen;
        };
        std::string seen = runOnce("1");
        fs::copy_file(log, scratch.Path() / "log1", fs::copy_options::overwrite_existing);
        // Room again for the second run.
        if (::mount("lumigrab-test", folder.c_str(), "tmpfs", MS_REMOUNT, "size=1m,mode=0777") != 0)
            return seen + "no room made";
        return seen + runOnce("2");
    });
    if (!outcome)
        GTEST_SKIP() << "no private mount namespace here";
    const std::string err1 = ReadFileBytes(scratch.Path() / "err1");
    EXPECT_NE(err1.find("Cannot write " + (folder / "big.jpg").string() + ": No space left on device\n"),
        std::string::npos)
        << err1;
    EXPECT_EQ(ReadFileBytes(scratch.Path() / "out1"), (folder / "small.jpg").string() + "\n");
    EXPECT_EQ(*outcome, "1\n.lumigrab-index\nsmall.jpg\n0\n.lumigrab-index\nafter.jpg\nbig.jpg\nsmall.jpg\n");
    EXPECT_EQ(IndexArticleLines(scratch.Path() / "index1"), "<small@test>\tsmall.jpg\n");
    EXPECT_EQ(IndexArticleLines(scratch.Path() / "index2"),
        "<small@test>\tsmall.jpg\n<big@test>\tbig.jpg\n<after@test>\tafter.jpg\n");
    EXPECT_EQ(ReadFileBytes(scratch.Path() / "out2"),
        (folder / "big.jpg").string() + "\n" + (folder / "after.jpg").string() + "\n");
    // The walk ended at the full disk: the third article was never asked for.
    EXPECT_EQ(ArticleCommandsIn(scratch.Path() / "log1"), (Strings { "ARTICLE 1", "ARTICLE 2" }));
    EXPECT_EQ(ArticleCommandsIn(log), (Strings { "ARTICLE 2", "ARTICLE 3" }));
}

// A harvest killed while it writes a picture (here by a file size limit,
// whose signal ends the tool with the file half written) leaves no picture
// cut short under the picture's name; the next run keeps the picture whole
// under that name, records that, and leaves nothing of the first run.
TEST_F(HarvestToolTest, AKillWhileAPictureIsWrittenLeavesNoPictureCutShort)
{
    const std::string picture = RandomBytes(1 << 20, 6);
    group->count = 1;
    group->texts[1] = PictureArticle("huge", UUBlock("huge.jpg", picture));
    const std::string arguments
        = "--server " + server->Address() + " --group " + group->name + " --folder " + folder.string();
    std::signal(SIGXFSZ, SIG_DFL);
    const testing::ToolRun killed
        = testing::RunCommand("bash -c 'ulimit -c 0; ulimit -f 256; exec \"$0\" \"$@\"' "
                + testing::ToolPath("lumigrab-harvest").string() + " " + arguments,
            scratch.Path());
    EXPECT_EQ(killed.exitCode, 128 + SIGXFSZ) << killed.err;
    Strings visible = FolderEntries(folder);
    std::erase_if(visible, [](const std::string& name) { return name.starts_with("."); });
    EXPECT_EQ(visible, Strings {});

    RunTool(arguments);
    EXPECT_EQ(exitCode, 0) << err;
    EXPECT_EQ(out, (folder / "huge.jpg").string() + "\n");
    EXPECT_EQ(FolderEntries(folder), (Strings { ".lumigrab-index", "huge.jpg" }));
    EXPECT_TRUE(ReadFileBytes(folder / "huge.jpg") == picture) << "not the picture's bytes";
    EXPECT_EQ(IndexArticleLines(folder / ".lumigrab-index"), "<huge@test>\thuge.jpg\n");
}

TEST_F(HarvestToolTest, ReportsSkippedArticlesAndEachPercentOnce)
{
    const std::string picture = RandomBytes(3000, 9);
    group->count = 2;
    // Many small chunks of an article estimated at 1000 lines: most of them
    // leave the percentage where it was.
    std::string reply = "220 1 <1@test>\r\n" + std::string(ReplyPause)
        + "Subject: one\r\nLines: 1000\r\n\r\nbegin 644 one.jpg\r\n";
    for (const std::string& line : UULines(picture))
        reply += line + "\r\n" + std::string(ReplyPause);
    reply += "`\r\nend\r\n.\r\n";
    group->texts[1] = "Subject: one\r\nLines: 1000\r\n\r\n";
    group->articleReplies[1] = reply;
    group->texts[2] = "Subject: gone \x1b]0;title\a now\r\nLines: 200\r\n\r\nbody\r\n";
    group->overrides["STAT 2"] = "423 no such article number in this group\r\n";
    group->overrides["ARTICLE 2"] = group->overrides["STAT 2"];

    RunTool(Arguments());
    EXPECT_EQ(exitCode, 3) << err;
    EXPECT_EQ(out, (folder / "one.jpg").string() + "\n");
    EXPECT_EQ(ReadFileBytes(folder / "one.jpg"), picture);
    EXPECT_NE(
        err.find(
            "Article \"gone \\x1B]0;title\\x07 now\": Gone from the server (423 no such article number in "
            "this group)\n"),
        std::string::npos)
        << err;
    Strings progress;
    ForEachLine(err, [&](std::string_view line) {
        if (line.ends_with("% retrieved"))
            progress.emplace_back(line);
    });
    ASSERT_FALSE(progress.empty()) << err;
    EXPECT_LT(progress.size(), UULines(picture).size() / 2);
    EXPECT_EQ(std::adjacent_find(progress.begin(), progress.end()), progress.end()) << err;
}

struct ToolCase {
    const char* name;
    std::map<std::string, std::optional<std::string>> overrides;
    std::string options;
    Strings printed;
    int exitCode;
    std::string reported;
    // A line the protocol log must hold, and the folder index as written;
    // empty: not checked.
    std::string logged = "";
    std::string index = "";
    // The group's first article.
    TArticleNumber first = 1;
};

class HarvestToolCaseTest : public HarvestToolTest, public ::testing::WithParamInterface<ToolCase> { };

TEST_P(HarvestToolCaseTest, ExitsAsTheWalkEnded)
{
    const ToolCase& c = GetParam();
    group->first = c.first;
    PostNumberedPictures(*group, 2);
    group->overview = FakeGroup::Overview::Over;
    group->overrides = c.overrides;
    RunTool(Arguments() + " " + c.options);
    EXPECT_EQ(exitCode, c.exitCode) << err;
    Strings printed;
    ForEachLine(out, [&](std::string_view line) { printed.push_back(fs::path(line).filename()); });
    EXPECT_EQ(printed, c.printed);
    EXPECT_NE(err.find(c.reported + "\n"), std::string::npos) << err;
    if (!c.logged.empty()) {
        EXPECT_NE(ReadFileBytes(log).find("\n" + c.logged + "\r\n"), std::string::npos) << ReadFileBytes(log);
    }
    if (!c.index.empty()) {
        EXPECT_EQ(IndexArticleLines(folder / ".lumigrab-index"), c.index);
    }
}

// A primary server that lost two bodies, a single picture and part 2 of a
// three-part yEnc post (the overview still lists both, ARTICLE answers
// 430), and a fill server asked for them by message-id.
struct FillCase {
    const char* name;
    // The fill server: holds the lost articles, wants a login, speaks TLS
    // with a certificate trusted by its fingerprint, or is down.
    bool holds;
    bool wantsLogin;
    bool tls;
    bool down;
    Strings printed;
    int exitCode;
    std::string reported;
};

class FillServerTest : public HarvestToolTest, public ::testing::WithParamInterface<FillCase> { };

TEST_P(FillServerTest, AsksTheFillServerForWhatThePrimaryLost)
{
    const FillCase& c = GetParam();
    const std::string post = RandomBytes(3000, 9);
    group->overview = FakeGroup::Overview::Over;
    group->count = 5;
    group->texts[1] = PictureArticle("one", UUBlock("one.jpg", RandomBytes(3000, 1)));
    group->texts[2] = PictureArticle("two", UUBlock("two.jpg", RandomBytes(3000, 2)));
    for (int part = 1; part <= 3; ++part)
        group->texts[TArticleNumber(2 + part)] = testing::Article("\"parts.jpg\" yEnc (" + std::to_string(part) + "/3)",
            testing::YEncPart("parts.jpg", post, part, 3, size_t(part - 1) * 1000, 1000));
    const std::map<std::string, std::string> held = { { "<two@test>", group->texts[2] }, { "<4@test>", group->texts[4] } };
    group->articleReplies[2] = "430 no such article\r\n";
    group->articleReplies[4] = "430 no such article\r\n";
    bool loggedIn = false;
    const testing::ReplyScript script = [&](const std::string& command) -> std::optional<std::string> {
            if (command == "AUTHINFO USER filler")
                return std::string("381 password\r\n");
            if (command == "AUTHINFO PASS secret") {
                loggedIn = true;
                return std::string("281 welcome\r\n");
            }
            if (command.starts_with("ARTICLE ") && c.wantsLogin && !loggedIn)
                return std::string("480 login first\r\n");
            const auto article = held.find(command.substr(8));
            if (command.starts_with("ARTICLE ") && c.holds && article != held.end())
                return "220 0 " + article->first + "\r\n" + FakeGroup::DotStuffed(article->second) + ".\r\n";
            if (command.starts_with("ARTICLE "))
                return std::string("430 no such article\r\n");
            if (command == "QUIT")
                return std::string("205 bye\r\n");
            return std::string("500 what\r\n");
    };
    const testing::TestIdentity identity = testing::TestIdentity::Authority("fill").Issue("IP:127.0.0.1");
    std::unique_ptr<testing::ScriptServer> plain;
    std::unique_ptr<testing::TlsScriptServer> secure;
    if (c.tls)
        secure = std::make_unique<testing::TlsScriptServer>(identity, script, "200 fill server\r\n");
    else
        plain = std::make_unique<testing::ScriptServer>(script, "200 fill server\r\n");
    std::string fill = " --fill " + (c.down ? "127.0.0.1:" + std::to_string(testing::UnusedLoopbackPort())
            : c.tls                       ? secure->Address()
                                          : plain->Address());
    if (c.tls)
        fill += " --fill-tls --fill-trust " + identity.Sha256Hex();
    if (c.wantsLogin)
        fill += " --fill-user filler";
    ScopedEnvironment password("LUMIGRAB_FILL_PASSWORD", "secret");
    RunTool(Arguments() + fill);
    EXPECT_EQ(exitCode, c.exitCode) << err;
    Strings printed;
    ForEachLine(out, [&](std::string_view line) { printed.push_back(fs::path(line).filename()); });
    EXPECT_EQ(printed, c.printed);
    EXPECT_NE(err.find(c.reported), std::string::npos) << err;
    if (c.holds && !c.down) {
        EXPECT_TRUE(ReadFileBytes(folder / "parts.jpg") == post);
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, FillServerTest,
    ::testing::Values(
        FillCase { "HoldsBoth", true, false, false, false, { "one.jpg", "two.jpg", "parts.jpg" }, 0, "" },
        FillCase { "HoldsBothBehindALogin", true, true, false, false, { "one.jpg", "two.jpg", "parts.jpg" }, 0, "" },
        FillCase { "HoldsBothOverTLSBehindALogin", true, true, true, false, { "one.jpg", "two.jpg", "parts.jpg" },
            0, "" },
        FillCase { "MissingEverywhere", false, false, false, false, { "one.jpg" }, 3,
            "Gone from the server (430 no such article); not on 127.0.0.1:" },
        FillCase { "Down", true, false, false, true, { "one.jpg" }, 3, "passed over: [10061] Connection refused" }),
    [](const auto& info) { return std::string(info.param.name); });

// An overview line of the two numbered pictures' group.
std::string PictureOverviewLine(int number, const std::string& id)
{
    const std::string name = std::to_string(number) + ".jpg";
    return std::to_string(number) + "\t" + name + "\tposter@test\tdate\t" + id + "\t\t100\t200\r\n";
}

INSTANTIATE_TEST_SUITE_P(Servers, HarvestToolCaseTest,
    ::testing::Values(
        ToolCase { "QuitAnsweredByAStaleReply", { { "QUIT", "223 2 <2@test>\r\n" } }, "",
            { "1.jpg", "2.jpg" }, 1, "Reply out of step: asked to quit, the server answered 223 2 <2@test>" },
        ToolCase { "ArticleAnsweredForAnother",
            { { "ARTICLE 1", "220 2 <2@test>\r\nSubject: x\r\n\r\n.\r\n" } }, "", {}, 1,
            "Reply out of step: asked for article 1, the server answered for 2" },
        ToolCase { "EmptyGroup", { { "GROUP lumigrab.test", "211 0 0 0 lumigrab.test\r\n" } }, "", {}, 0,
            "Last available header retrieved" },
        ToolCase { "NewestOne", {}, "--newest 1", { "2.jpg" }, 0, "Last available header retrieved" },
        // Counts and numbers past 32 bits.
        ToolCase { "NumbersPast32Bits", {}, "--newest 4294967297 --count 4294967297", { "1.jpg", "2.jpg" }, 0,
            "Last available header retrieved", "OVER 4294967296-4294968296", "", 4294967296u },
        // An overview out of date: the article is taken, and recorded
        // under its own message-id.
        ToolCase { "OverviewListsAnotherMessageId",
            { { "OVER 1-1001",
                "224 overview\r\n" + PictureOverviewLine(1, "<1.jpg@test>")
                    + PictureOverviewLine(2, "<old@test>") + ".\r\n" } },
            "", { "1.jpg", "2.jpg" }, 0, "Last available header retrieved",
            "Note: article 2 is <2.jpg@test>, its header said <old@test>",
            "<1.jpg@test>\t1.jpg\n<2.jpg@test>\t2.jpg\n<old@test>\t2.jpg\n" }),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace lumigrab
