// The news client, the harvest and lumigrab-harvest against a real INN2 on
// 127.0.0.1, started by the CTest fixture (tests/news/inn). The fixture
// passes LUMIGRAB_NNTP_PORT and LUMIGRAB_INN_DIR; the pictures the harvest
// must keep are in LUMIGRAB_INN_DIR/expected/<group>.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "inn_test_support.h"
#include "news/harvest.h"
#include "news/partmarker.h"
#include "news/postharvest.h"

#include <unistd.h>

namespace lumigrab {
namespace {

using testing::Environment;
using testing::FolderContent;
using testing::FolderEntries;
using testing::HeaderNumbers;
using testing::WriteFileBytes;
using testing::RecordSentLines;
namespace fs = std::filesystem;

const char* const PictureGroup = "lumigrab.test.pictures";
const char* const HostileGroup = "lumigrab.test.pictures.more";
const char* const TextGroup = "lumigrab.test.text";
const char* const EmptyGroup = "lumigrab.test.empty";
const char* const OverviewGroup = "lumigrab.test.overview";
const char* const MultiPartGroup = "lumigrab.test.multipart";
// Only the test that posts to it while it runs walks it.
const char* const LateGroup = "lumigrab.test.multipart.late";
constexpr int TextArticles = 30;

class InnTest : public testing::InnClientTest {
protected:
    std::string server;

    void SetUp() override
    {
        SetUpClient("LUMIGRAB_NNTP_PORT", "INN2 test server");
        if (Stopped())
            return;
        server = "127.0.0.1:" + port;
        client.Server = server;
    }

    // Harvests group into root/TEMP, batch headers a walk (0: all at once),
    // and checks that exactly the expected pictures were kept there, in
    // order, the expected posts reported incomplete at the group's end, and
    // nothing else was written.
    void HarvestAndCheck(const std::string& group, int batch = 0)
    {
        SCOPED_TRACE(group);
        ScratchFolder root;
        const fs::path folder = root.Path() / "TEMP";
        fs::create_directory(folder);
        THarvest harvest(client, folder.string());
        std::vector<std::string> kept, damaged, incomplete;
        harvest.OnPictureKept = [&](const std::string& path) { kept.push_back(fs::path(path).filename()); };
        harvest.OnPictureDamaged = [&](const std::string& path, const std::string&) {
            damaged.push_back(fs::path(path).filename());
        };
        harvest.OnPostIncomplete = [&](const std::string& report) { incomplete.push_back(report); };
        bool ended = false;
        client.OnLastHeaderRetrieved = [&](TObject*) {
            ended = true;
            harvest.ReportIncompletePosts();
        };
        client.OnNextHeaderRetrieved
            = [&](TObject*, int num) { harvest.HarvestHeader(client.HeaderList.Entries(num)); };
        client.SetNewsGroup(group);
        for (int walks = 0; !ended && walks < 1000; ++walks)
            client.RetrieveHeaders(batch, true);
        EXPECT_EQ(kept, ExpectedOrder(group));
        EXPECT_EQ(damaged, ExpectedOrder(group, ".damaged"));
        EXPECT_EQ(incomplete, ExpectedOrder(group, ".incomplete"));
        ExpectExactlyThePictures(folder, group);
        EXPECT_EQ(FolderEntries(root.Path()), std::vector<std::string> { "TEMP" });
    }
};

// An unknown group fails with the server's reply; an empty one is walked
// to its end at once, in both walks.
TEST_F(InnTest, UnknownGroupFailsAndEmptyGroupEndsAtOnce)
{
    EXPECT_THROW(client.SetNewsGroup("lumigrab.no.such.group"), ESocketError);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].substr(0, 4), "411 ");
    EXPECT_EQ(client.NewsGroup(), "");

    int lastSignals = 0;
    client.OnLastHeaderRetrieved = [&](TObject*) { ++lastSignals; };
    client.SetNewsGroup(EmptyGroup);
    EXPECT_EQ(client.ArticleCount(), 0);
    for (const bool overview : { false, true }) {
        client.UseOverview = overview;
        client.RetrieveHeaders(0, true);
    }
    EXPECT_EQ(lastSignals, 2);
    EXPECT_EQ(client.HeaderList.Count(), 0);
    EXPECT_EQ(errors.size(), 1u);
}

// A first walk starts StartBeforeEnd articles before the group's last, in
// both walks; the next goes on after it.
TEST_F(InnTest, FirstWalkStartsBeforeTheEnd)
{
    for (const bool overview : { false, true }) {
        SCOPED_TRACE(overview);
        client.Disconnect();
        client.UseOverview = overview;
        client.StartBeforeEnd = 3;
        client.SetNewsGroup(TextGroup);
        client.RetrieveHeaders(2, false);
        EXPECT_EQ(HeaderNumbers(client), (std::vector<TArticleNumber> { TextArticles - 2, TextArticles - 1 }));
        client.RetrieveHeaders(0, true);
        EXPECT_EQ(HeaderNumbers(client),
            (std::vector<TArticleNumber> { TextArticles - 2, TextArticles - 1, TextArticles }));
    }
    EXPECT_TRUE(errors.empty());
}

TEST_F(InnTest, BatchesContinueWhereTheLastStopped)
{
    int lastSignals = 0;
    client.OnLastHeaderRetrieved = [&](TObject*) { ++lastSignals; };
    client.SetNewsGroup(TextGroup);
    EXPECT_EQ(client.ArticleCount(), TextArticles);
    EXPECT_EQ(client.FirstArticle(), 1);
    EXPECT_EQ(client.LastArticle(), TextArticles);
    client.RetrieveHeaders(10, true);
    const auto sent = RecordSentLines(client);
    client.SetNewsGroup("LUMIGRAB.TEST.Text");
    EXPECT_TRUE(sent->empty());
    client.RetrieveHeaders(10, true);
    EXPECT_EQ(sent->front(), "STAT 10");
    EXPECT_EQ(lastSignals, 0);
    client.RetrieveHeaders(0, true);
    EXPECT_EQ(lastSignals, 1);

    std::vector<TArticleNumber> all;
    for (int i = 1; i <= TextArticles; ++i)
        all.push_back(i);
    EXPECT_EQ(HeaderNumbers(client), all);
    EXPECT_EQ(client.HeaderList.Entries(16).GetFieldValue("Subject"), "text article 17");
    EXPECT_EQ(client.LastHeaderNumber(), TextArticles);

    // At the end: STAT, NEXT, 421, nothing added.
    sent->clear();
    client.RetrieveHeaders(0, true);
    EXPECT_EQ(*sent, (std::vector<std::string> { "STAT 30", "NEXT" }));
    EXPECT_EQ(client.HeaderList.Count(), TextArticles);
    EXPECT_EQ(lastSignals, 2);

    sent->clear();
    client.Disconnect();
    EXPECT_EQ(*sent, std::vector<std::string> { "QUIT" });
    EXPECT_EQ(client.LastReply.substr(0, 3), "205");
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(client.NewsGroup(), "");
}

TEST_F(InnTest, FetchesAndDecodesArticlesWithProgress)
{
    std::vector<int> percents;
    client.OnProgress = [&](TObject*, int perc) { percents.push_back(perc); };
    client.SetNewsGroup(PictureGroup);
    // Article 5 has dot-stuffed lines, which must arrive with a single dot.
    for (const auto& [number, picture] : { std::pair { 3, "single.gif" }, std::pair { 5, "dotted.jpg" } }) {
        SCOPED_TRACE(picture);
        percents.clear();
        client.RetrieveArticleByNumber(number);
        EXPECT_EQ(client.CurrentArticle(), number);
        EXPECT_FALSE(percents.empty());
        ASSERT_EQ(article.Attachments().Count(), 1);
        EXPECT_EQ(article.Attachments().Items(0).FileName(), picture);
        EXPECT_EQ(std::string(article.Attachments().Items(0).Stream.View()),
            ReadFileBytes(Expected(PictureGroup) / picture));
    }
    ASSERT_GT(article.Body().Count(), 0);
    EXPECT_EQ(article.Body()[0], ".A text line that begins with a dot.");
}

TEST_F(InnTest, NewsGroupListFromListAndItsFile)
{
    int retrieved = 0;
    client.OnNewsGroupListRetrieved = [&](TObject*) { ++retrieved; };
    client.RetrieveNewsGroupList();
    EXPECT_EQ(retrieved, 1);
    int textGroups = 0;
    for (int i = 0; i < client.NewsGroupList.Count(); ++i) {
        const auto& entry = client.NewsGroupList.Groups(i);
        if (entry.GroupName == TextGroup) {
            ++textGroups;
            EXPECT_EQ(entry.LastArticle, TextArticles);
            EXPECT_EQ(entry.FirstArticle, 1);
            EXPECT_EQ(entry.PostingFlag, 'y');
        }
    }
    EXPECT_EQ(textGroups, 1);

    ScratchFolder folder;
    const std::string file = (folder.Path() / "Lumigrab.Dat").string();
    client.SaveNewsGroupList(file);
    TmsNNTP reader;
    reader.LoadNewsGroupList(file);
    ASSERT_EQ(reader.NewsGroupList.Count(), client.NewsGroupList.Count());
    for (int i = 0; i < reader.NewsGroupList.Count(); ++i)
        EXPECT_EQ(reader.NewsGroupList.Groups(i), client.NewsGroupList.Groups(i));
}

TEST_F(InnTest, CancelFromAHandlerStopsTheWalk)
{
    client.OnNextHeaderRetrieved = [&](TObject*, int num) {
        if (num == 4)
            client.Cancel();
    };
    client.SetNewsGroup(TextGroup);
    EXPECT_THROW(client.RetrieveHeaders(0, true), ECanceledError);
    EXPECT_EQ(client.HeaderList.Count(), 5);
    EXPECT_EQ(client.LastHeaderNumber(), 5);
    EXPECT_EQ(client.NewsGroup(), TextGroup);
    EXPECT_FALSE(client.Connected());
    EXPECT_TRUE(errors.empty());

    // A different group reconnects and starts at its first article.
    client.OnNextHeaderRetrieved = nullptr;
    client.SetNewsGroup(PictureGroup);
    client.RetrieveHeaders(1, false);
    EXPECT_EQ(HeaderNumbers(client), std::vector<TArticleNumber> { 1 });
}

TEST_F(InnTest, HarvestKeepsExactlyTheSelectedPictures)
{
    HarvestAndCheck(PictureGroup);
}

// Parts out of order, a part posted twice, one subject from two posters, a
// part with a bad CRC, uuencode across three articles, a part never posted;
// walked in batches of three headers, every post spans batches.
TEST_F(InnTest, MultiPartPostsAreJoinedByteExact)
{
    for (const bool overview : { false, true }) {
        SCOPED_TRACE(overview ? "overview walk" : "HEAD walk");
        client.Disconnect();
        client.UseOverview = overview;
        HarvestAndCheck(MultiPartGroup, 3);
    }
}

// Posts parts (comma-separated) of a yEnc post of total parts named name.
void PostLateParts(const std::string& name, int total, const std::string& parts)
{
    const std::string command = "python3 " LUMIGRAB_SOURCE_DIR "/tests/news/inn/post-articles.py --port "
        + Environment("LUMIGRAB_NNTP_PORT") + " --late " + name + " 77 " + std::to_string(total) + " "
        + parts;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// INN stores an article's overview a moment after accepting it: waits until
// a new session's GROUP counts every article of group (none is cancelled
// there).
void AwaitOverview(const std::string& server, const std::string& group)
{
    for (int tries = 0; tries < 100; ++tries) {
        TmsNNTP probe;
        probe.SetWinsockLoaded(true);
        probe.Server = server;
        probe.SetNewsGroup(group);
        const bool stored = probe.ArticleCount() == probe.LastArticle() - probe.FirstArticle() + 1;
        probe.Disconnect();
        if (stored)
            return;
        ::usleep(100 * 1000);
    }
}

TEST_F(InnTest, MissingPartPostedLaterCompletesThePostOnTheNextWalk)
{
    ScratchFolder root;
    THarvest harvest(client, root.Path().string());
    std::vector<std::string> kept, damaged, incomplete;
    harvest.OnPictureKept = [&](const std::string& path) { kept.push_back(fs::path(path).filename()); };
    harvest.OnPictureDamaged
        = [&](const std::string& path, const std::string&) { damaged.push_back(fs::path(path).filename()); };
    harvest.OnPostIncomplete = [&](const std::string& report) { incomplete.push_back(report); };
    client.OnLastHeaderRetrieved = [&](TObject*) { harvest.ReportIncompletePosts(); };
    client.OnNextHeaderRetrieved
        = [&](TObject*, int num) { harvest.HarvestHeader(client.HeaderList.Entries(num)); };
    client.UseOverview = true;
    // A later Go, as after a new start: a session of its own (INN's reader
    // may not see articles that arrived in a group it already read), which
    // selects the group anew and so walks it from its start.
    const auto walk = [&] {
        client.Disconnect();
        client.SetNewsGroup(TextGroup);
        client.SetNewsGroup(LateGroup);
        client.RetrieveHeaders(0, true);
    };
    walk();
    kept.clear();
    damaged.clear();
    incomplete.clear();

    // Unique per run: the server keeps what earlier runs posted.
    const std::string name
        = "late-" + std::to_string(::getpid()) + "-" + std::to_string(::time(nullptr)) + ".jpg";
    PostLateParts(name, 3, "1,2");
    AwaitOverview(server, LateGroup);
    walk();
    EXPECT_EQ(kept, std::vector<std::string> {});
    EXPECT_EQ(incomplete, std::vector<std::string> { "Incomplete: " + name + ", parts 3 of 3 missing" });

    PostLateParts(name, 3, "3");
    AwaitOverview(server, LateGroup);
    walk();
    EXPECT_EQ(kept, std::vector<std::string> { name });
    EXPECT_EQ(damaged, std::vector<std::string> {});
    EXPECT_EQ(fs::file_size(root.Path() / name), 40000u);
    EXPECT_EQ(incomplete.size(), 1u);
    EXPECT_FALSE(fs::exists(root.Path() / PartialFolderName));
}

TEST_F(InnTest, HarvestOfHostileNamesStaysInItsFolder)
{
    std::remove("/tmp/lumigrab-evil.gif");
    HarvestAndCheck(HostileGroup);
    EXPECT_FALSE(fs::exists("/tmp/lumigrab-evil.gif"));
}

// The same fields, whichever walk took them.
TEST_F(InnTest, OverviewWalkTakesWhatTheHeadWalkTakes)
{
    const auto walk = [&](bool useOverview) {
        client.UseOverview = useOverview;
        client.SetNewsGroup(EmptyGroup);
        client.SetNewsGroup(TextGroup);
        client.RetrieveHeaders(0, false);
        std::vector<std::vector<std::string>> fields;
        for (int i = 0; i < client.HeaderList.Count(); ++i) {
            const TmsNgInfoItem& entry = client.HeaderList.Entries(i);
            fields.push_back({ std::to_string(entry.Number) });
            for (const char* name : { "Subject", "From", "Date", "Message-ID", "Lines" })
                fields.back().push_back(entry.GetFieldValue(name));
        }
        return fields;
    };
    const auto byHead = walk(false);
    const auto sent = RecordSentLines(client);
    EXPECT_EQ(walk(true), byHead);
    EXPECT_EQ(byHead.size(), size_t(TextArticles));
    EXPECT_EQ(*sent,
        (std::vector<std::string> { "GROUP lumigrab.test.empty", "GROUP lumigrab.test.text", "CAPABILITIES",
            "LIST OVERVIEW.FMT", "OVER 1-1001" }));
}

TEST_F(InnTest, OverviewHarvestKeepsWhatTheHeadWalkKeeps)
{
    client.UseOverview = true;
    const auto sent = RecordSentLines(client);
    HarvestAndCheck(PictureGroup);
    HarvestAndCheck(HostileGroup);
    for (const std::string& line : *sent)
        EXPECT_TRUE(line.starts_with("GROUP ") || line.starts_with("ARTICLE ") || line.starts_with("OVER ")
            || line == "CAPABILITIES" || line == "LIST OVERVIEW.FMT")
            << line;
}

// A group with gaps in its numbering and an article its overview lists
// although its file is gone, walked in ranges of four.
class InnOverviewTest : public InnTest {
protected:
    std::vector<TArticleNumber> listed;
    // "> command" and "< reply" in the order sent and received.
    std::vector<std::string> transcript;

    void SetUp() override
    {
        InnTest::SetUp();
        if (Stopped())
            return;
        client.UseOverview = true;
        client.OverviewRangeSize = 4;
        for (const std::string& number : ExpectedOrder(OverviewGroup, ".numbers"))
            listed.push_back(std::stoi(number));
        client.OnLineSent = [this](TObject*, const std::string& line) { transcript.push_back("> " + line); };
        client.OnLineReceived
            = [this](TObject*, const std::string& line) { transcript.push_back("< " + line); };
    }

    void TearDown() override
    {
        client.OnLineSent = nullptr;
        client.OnLineReceived = nullptr;
    }

    // Whether an ARTICLE command went out while the reply to an earlier
    // one was still to come.
    bool ArticlesWereSentAhead() const
    {
        int articlesAwaited = 0;
        for (const std::string& line : transcript) {
            if (line.starts_with("> ARTICLE ") && articlesAwaited++ > 0)
                return true;
            if (line.starts_with("< 220 ") || line.starts_with("< 423 "))
                --articlesAwaited;
        }
        return false;
    }
};

TEST_F(InnOverviewTest, BatchesOfAnyCountTakeEveryListedHeaderOnce)
{
    int lastSignals = 0;
    client.OnLastHeaderRetrieved = [&](TObject*) { ++lastSignals; };
    for (const int count : { 1, 3, 4, 7, 0 }) {
        SCOPED_TRACE(count);
        client.SetNewsGroup(TextGroup);
        client.SetNewsGroup(OverviewGroup);
        lastSignals = 0;
        client.HeaderList.Clear();
        for (int walk = 0; lastSignals == 0 && walk <= int(listed.size()); ++walk) {
            const int before = client.HeaderList.Count();
            client.RetrieveHeaders(count, true);
            if (lastSignals == 0) {
                EXPECT_EQ(client.HeaderList.Count() - before, count);
            }
        }
        EXPECT_EQ(HeaderNumbers(client), listed);
        EXPECT_EQ(lastSignals, 1);
    }
    EXPECT_TRUE(errors.empty());
}

TEST_F(InnOverviewTest, HarvestAsksAheadAndGoesOnPastAMissingArticle)
{
    ScratchFolder folder;
    THarvest harvest(client, folder.Path().string());
    std::vector<std::string> kept, skipped;
    harvest.OnPictureKept = [&](const std::string& path) { kept.push_back(fs::path(path).filename()); };
    harvest.OnArticleSkipped = [&](const std::string& subject, const std::string& reason) {
        skipped.push_back(subject + ": " + reason);
    };
    client.OnNextHeaderRetrieved
        = [&](TObject*, int num) { harvest.HarvestHeader(client.HeaderList.Entries(num)); };
    client.SetNewsGroup(OverviewGroup);
    client.RetrieveHeaders(0, true);
    EXPECT_EQ(kept, ExpectedOrder(OverviewGroup));
    ExpectExactlyThePictures(folder.Path(), OverviewGroup);
    ASSERT_EQ(skipped.size(), 1u);
    EXPECT_TRUE(skipped[0].starts_with("ov12.jpg (1/1): Gone from the server (423 ")) << skipped[0];
    EXPECT_TRUE(ArticlesWereSentAhead());
    EXPECT_TRUE(client.Connected());
}

TEST_F(InnOverviewTest, CancelWhileArticlesAreOnTheirWay)
{
    ScratchFolder folder;
    THarvest harvest(client, folder.Path().string());
    std::vector<std::string> kept;
    harvest.OnPictureKept = [&](const std::string& path) {
        kept.push_back(fs::path(path).filename());
        if (kept.size() == 2)
            client.Cancel();
    };
    client.OnNextHeaderRetrieved
        = [&](TObject*, int num) { harvest.HarvestHeader(client.HeaderList.Entries(num)); };
    client.SetNewsGroup(OverviewGroup);
    EXPECT_THROW(client.RetrieveHeaders(0, true), ECanceledError);
    const std::vector<std::string> expected = ExpectedOrder(OverviewGroup);
    EXPECT_EQ(kept, std::vector<std::string>(expected.begin(), expected.begin() + 2));
    EXPECT_TRUE(ArticlesWereSentAhead());
    EXPECT_FALSE(client.Connected());
    EXPECT_TRUE(errors.empty());

    // The next connection starts clean.
    client.OnNextHeaderRetrieved = nullptr;
    client.SetNewsGroup(TextGroup);
    client.RetrieveHeaders(3, false);
    EXPECT_EQ(HeaderNumbers(client), (std::vector<TArticleNumber> { 1, 2, 3 }));
}

// lumigrab-harvest, run as a command.
class ToolTest : public InnTest, protected testing::HarvestToolRunner {
protected:
    const fs::path folder = scratch.Path() / "pictures";
    const fs::path log = scratch.Path() / "protocol.log";

    // The printed paths of the kept pictures.
    std::vector<std::string> Printed() const
    {
        std::vector<std::string> lines;
        ForEachLine(out, [&](std::string_view line) { lines.emplace_back(line); });
        return lines;
    }

    std::string Harvesting(const std::string& group) const
    {
        return "--server " + server + " --group " + group + " --folder " + folder.string() + " --log "
            + log.string();
    }
};

TEST_F(ToolTest, HarvestsTheGroup)
{
    RunTool(Harvesting(PictureGroup));
    // The group holds parts of posts that never complete.
    EXPECT_EQ(exitCode, 3) << err;
    for (const std::string& report : ExpectedOrder(PictureGroup, ".incomplete"))
        EXPECT_NE(err.find(report + "\n"), std::string::npos) << report;
    std::vector<std::string> expectedPaths;
    for (const std::string& name : ExpectedOrder(PictureGroup))
        expectedPaths.push_back((folder / name).string());
    EXPECT_EQ(Printed(), expectedPaths);
    ExpectExactlyThePictures(folder, PictureGroup);
    EXPECT_NE(err.find("Total articles: 15"), std::string::npos) << err;
    EXPECT_NE(
        err.find("Damaged picture " + (folder / "damaged.jpg").string() + ": CRC-32 "), std::string::npos)
        << err;
    EXPECT_NE(err.find("Last available header retrieved"), std::string::npos);
    const std::string protocol = ReadFileBytes(log);
    EXPECT_NE(protocol.find(std::string("GROUP ") + PictureGroup), std::string::npos);
    EXPECT_NE(protocol.find("QUIT"), std::string::npos);
}

// INN2 answers COMPRESS DEFLATE with 206; --no-compress sends no COMPRESS.
// The pictures are byte-exact either way.
TEST_F(ToolTest, CompressesTheWalkUnlessToldNotTo)
{
    for (const bool compress : { true, false }) {
        SCOPED_TRACE(compress ? "compressed" : "--no-compress");
        fs::remove_all(folder);
        RunTool(Harvesting(PictureGroup) + (compress ? "" : " --no-compress"));
        EXPECT_EQ(exitCode, 3) << err;
        ExpectExactlyThePictures(folder, PictureGroup);
        const std::string protocol = ReadFileBytes(log);
        EXPECT_EQ(protocol.find("COMPRESS DEFLATE") != std::string::npos, compress);
        EXPECT_EQ(protocol.find("\n206 ") != std::string::npos, compress);
    }
}

// Every article INN2 holds has a message-id: a second run into the same
// folder asks for none of them and writes nothing. The group's unfinished
// multi-part posts are reported by both runs (exit 3).
TEST_F(ToolTest, ASecondRunIntoTheFolderFetchesNothing)
{
    RunTool(Harvesting(PictureGroup));
    ASSERT_EQ(exitCode, 3) << err;
    const auto before = FolderContent(folder);
    RunTool(Harvesting(PictureGroup));
    EXPECT_EQ(exitCode, 3) << err;
    EXPECT_NE(err.find("Incomplete: big series"), std::string::npos) << err;
    EXPECT_EQ(out, "");
    EXPECT_EQ(FolderContent(folder), before);
    EXPECT_EQ(testing::ArticleCommandsIn(log), std::vector<std::string> {});
}

TEST_F(ToolTest, JoinsPostsUnlessToldNotTo)
{
    RunTool(Harvesting(MultiPartGroup));
    EXPECT_EQ(exitCode, 3) << err;
    ExpectExactlyThePictures(folder, MultiPartGroup);
    EXPECT_NE(err.find("Incomplete: missing.jpg, parts 4 of 5 missing\n"), std::string::npos) << err;
    for (const std::string damage : { "overlap.jpg: part 2: overlaps part 1 at bytes 4001 to 6000",
             "gap.jpg: bytes 4001 to 6000 missing", "uu-ended.gif: part 2: uuencoded data after the end line" })
        EXPECT_NE(err.find("Damaged picture " + (folder / damage).string() + "\n"), std::string::npos) << err;

    fs::remove_all(folder);
    RunTool(Harvesting(PictureGroup) + " --no-join");
    EXPECT_EQ(exitCode, 0) << err;
    EXPECT_EQ(err.find("Incomplete"), std::string::npos) << err;
    ExpectExactlyThePictures(folder, PictureGroup);
}

TEST_F(ToolTest, StopsAfterCountHeaders)
{
    RunTool(Harvesting(PictureGroup) + " --count 3");
    EXPECT_EQ(exitCode, 0) << err;
    EXPECT_EQ(Printed(),
        (std::vector<std::string> { (folder / "sunset.jpg").string(), (folder / "single.gif").string() }));
    EXPECT_EQ(err.find("Last available header retrieved"), std::string::npos);
}

// --newest starts the walk that many articles before the group's last.
TEST_F(ToolTest, NewestStartsBeforeTheGroupsEnd)
{
    RunTool(Harvesting(PictureGroup) + " --newest 4");
    EXPECT_EQ(exitCode, 0) << err;
    // Articles 12 to 15: the second sunset.jpg comes into an empty folder.
    EXPECT_EQ(Printed(),
        (std::vector<std::string> { (folder / "sunset.jpg").string(), (folder / "yenc dots.jpg").string(),
            (folder / "damaged.jpg").string() }));
    EXPECT_NE(ReadFileBytes(log).find("OVER 12-"), std::string::npos);
    EXPECT_NE(err.find("Last available header retrieved"), std::string::npos);
}

// What the filters leave out is never fetched; a pattern that does not
// compile, or bounds that cross, end the run before anything is sent.
TEST_F(ToolTest, FiltersLeaveOutWhatTheyMatch)
{
    struct FilterCase {
        const char* group;
        const char* arguments;
        int exitCode;
        std::function<bool(const std::string& name)> kept;
        const char* said;
    };
    const auto none = [](const std::string&) { return false; };
    const FilterCase cases[] = {
        { PictureGroup, " --skip SUNSET", 3, [](const std::string& name) { return !name.starts_with("sunset"); },
            " headers left out by the filters\n" },
        { PictureGroup, " --match ^single", 0, [](const std::string& name) { return name == "single.gif"; },
            " headers left out by the filters\n" },
        { MultiPartGroup, " --min-size 1000000000", 3, none, " headers left out by the filters\n" },
        { PictureGroup, " --skip +x", 2, none, "--skip: quantifier does not follow a repeatable item at offset 0" },
        { PictureGroup, " --min-size 5000 --max-size 10", 2, none, "the smallest size is above the largest" },
    };
    for (const FilterCase& c : cases) {
        SCOPED_TRACE(c.arguments);
        fs::remove_all(folder);
        fs::remove(log);
        RunTool(Harvesting(c.group) + c.arguments);
        EXPECT_EQ(exitCode, c.exitCode) << err;
        EXPECT_NE(err.find(c.said), std::string::npos) << err;
        std::vector<std::string> expected;
        for (const std::string& name : ExpectedOrder(c.group)) {
            if (c.kept(name))
                expected.push_back((folder / name).string());
        }
        EXPECT_EQ(Printed(), expected);
        if (c.exitCode == 2) {
            EXPECT_FALSE(fs::exists(log));
        }
    }
}

// An NZB built from the multi-part group's overview: harbour.jpg's and
// three.gif's segments listed out of order, a par2 file and a file with a
// segment no server has. The pictures come byte-exact and by message-id
// alone; the par2 file is never asked for; opening the NZB again fetches
// nothing more.
TEST_F(ToolTest, FetchesWhatAnNzbNames)
{
    std::map<std::string, std::map<int, std::string>> parts;
    client.UseOverview = true;
    client.SetNewsGroup(MultiPartGroup);
    client.RetrieveHeaders(0, false);
    for (int i = 0; i < client.HeaderList.Count(); ++i) {
        const TmsNgInfoItem& header = client.HeaderList.Entries(i);
        const std::optional<TPartMarker> marker = ReadPartMarker(header.GetFieldValue("Subject"));
        if (marker)
            parts[PostDisplayName(marker->subject)][marker->part] = header.GetFieldValue("Message-ID");
    }
    client.Disconnect();
    ASSERT_EQ(parts["harbour.jpg"].size(), 4u);
    ASSERT_EQ(parts["three.gif"].size(), 3u);
    // Part part of the post, as segment number (its own part by default).
    const auto segment = [&](const std::string& name, int part, int number = 0) {
        const std::string id = parts[name][part];
        return "<segment bytes=\"1\" number=\"" + std::to_string(number ? number : part) + "\">"
            + id.substr(1, id.size() - 2) + "</segment>";
    };
    const std::string nzb = "<?xml version=\"1.0\"?>\n<nzb xmlns=\"http://www.newzbin.com/DTD/2003/nzb\">\n"
                            "<file subject=\"&quot;harbour.jpg&quot; yEnc (1/4)\" poster=\"p\"><segments>"
        + segment("harbour.jpg", 4) + segment("harbour.jpg", 2) + segment("harbour.jpg", 1)
        + segment("harbour.jpg", 3)
        + "</segments></file>\n<file subject=\"three.gif (1/3)\"><segments>" + segment("three.gif", 3)
        + segment("three.gif", 2) + segment("three.gif", 1)
        + "</segments></file>\n<file subject=\"&quot;x.vol00+01.par2&quot; yEnc (1/1)\"><segments>"
        + segment("three.gif", 1)
        + "</segments></file>\n<file subject=\"&quot;gone.jpg&quot; (1/2)\"><segments>" + segment("harbour.jpg", 2, 1)
        + "<segment number=\"2\" bytes=\"1\">gone@nowhere.example</segment></segments></file>\n</nzb>\n";
    const fs::path file = scratch.Path() / "posts.nzb";
    WriteFileBytes(file, nzb);
    const std::string arguments
        = "--server " + server + " --nzb " + file.string() + " --folder " + folder.string() + " --log " + log.string();
    RunTool(arguments);
    EXPECT_EQ(exitCode, 3) << err;
    EXPECT_EQ(Printed(), (std::vector<std::string> { (folder / "harbour.jpg").string(), (folder / "three.gif").string() }));
    for (const std::string name : { "harbour.jpg", "three.gif" })
        EXPECT_EQ(ReadFileBytes(folder / name), ReadFileBytes(Expected(MultiPartGroup) / name)) << name;
    EXPECT_NE(err.find("Not a picture, passed over: x.vol00+01.par2\n"), std::string::npos) << err;
    EXPECT_NE(err.find("Incomplete: gone.jpg, parts 2 of 2 missing\n"), std::string::npos) << err;
    EXPECT_EQ(ReadFileBytes(log).find("GROUP"), std::string::npos);

    RunTool(arguments);
    EXPECT_EQ(Printed(), std::vector<std::string> {});
    EXPECT_EQ(testing::ArticleCommandsIn(log).size(), 2u) << "only gone.jpg's two segments again";
}

TEST_F(ToolTest, ReportsFailuresAndUsage)
{
    RunTool(Harvesting("lumigrab.no.such.group"));
    EXPECT_EQ(exitCode, 1);
    EXPECT_NE(err.find("411 "), std::string::npos) << err;

    RunTool("--server 127.0.0.1:" + std::to_string(testing::UnusedLoopbackPort()) + " --group x --folder "
        + folder.string());
    EXPECT_EQ(exitCode, 1);
    EXPECT_NE(err.find("Connection refused"), std::string::npos) << err;

    for (const std::string arguments : { "", "--group x", "--server h", "--server h --group x --count many",
             "--server h --group x --bogus 1", "--server h --group", "--server h --group x --newest -1",
             "--server h --group x --newest many", "--server h --group x --fill-connections 2",
             "--server h --group x --fill f --fill-connections 0", "--server h --group x --fill-tls --fill f" }) {
        RunTool(arguments);
        EXPECT_EQ(exitCode, 2) << arguments;
    }
}

} // namespace
} // namespace lumigrab
