// The harvest with a pool of fetching connections against the test INN2
// (tests/news/inn): any number of connections keeps the same pictures,
// byte for byte, single-part and joined from multi-part posts, and gives
// the same reports, over plain NNTP and over TLS with a login, in the
// harvest and in lumigrab-harvest, also when the server refuses some of
// them.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "inn_test_support.h"
#include "news/fetchpool.h"
#include "news/harvest.h"
#include "news/harvestrun.h"
#include "news/postharvest.h"
#include "nntp_test_support.h"
#include "tests/support/lossy_server.h"

namespace lumigrab {
namespace {

using testing::Environment;
using testing::FileLines;
using testing::FolderEntries;
namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

const char* const PictureGroup = "lumigrab.test.pictures";
// yEnc and uuencoded posts across articles, parts out of order, posted
// twice, with a bad CRC, never posted.
const char* const MultiPartGroup = "lumigrab.test.multipart";
// Posts with parts gone from the server, one beyond what a pool of eight
// hands out at once.
const char* const GoneGroup = "lumigrab.test.multipart.gone";

// The server remembers each connection it took for `window`, from a fresh
// start once the fixture set the limit: a test run again (ctest --repeat)
// waits until those of the last run, which marked its end, are forgotten.
void AwaitConnectWindow(const fs::path& serverDir, std::chrono::seconds window)
{
    std::error_code none;
    const auto lastRun = fs::last_write_time(serverDir / "connected", none);
    if (none)
        return;
    while (fs::file_time_type::clock::now() < lastRun + window + std::chrono::seconds(1))
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

class PoolHarvestTest : public testing::InnClientTest, protected testing::HarvestToolRunner {
protected:
    Strings lowered;

    void SetUp() override
    {
        SetUpClient("LUMIGRAB_NNTP_PORT", "INN2 test server");
        if (Stopped())
            return;
        client.Server = "127.0.0.1:" + port;
        client.UseOverview = true;
    }

    // Every expected picture with its exact bytes, and nothing else but
    // the index. Pictures saved in another order may swap the numbered
    // variants of a name they share (sunset.jpg, sunset-1.jpg), so the
    // bytes are compared as a set.
    void ExpectTheSamePictures(const fs::path& folder, const std::string& group = PictureGroup) const
    {
        const Strings names = FolderEntries(Expected(group));
        EXPECT_EQ(FolderEntries(folder), testing::WithHarvestIndex(names));
        std::multiset<std::string> kept, expected;
        for (const std::string& name : names) {
            kept.insert(ReadFileBytes(folder / name));
            expected.insert(ReadFileBytes(Expected(group) / name));
        }
        EXPECT_TRUE(kept == expected) << "the pictures' bytes differ";
    }

    // What a harvest reported; the names sorted, as pictures may come in
    // another order.
    struct Harvested {
        std::multiset<std::string> kept, damaged;
        Strings skipped, incomplete;
        // Articles the pooled connections brought.
        int pooled = 0;
    };

    // Harvests group with that many connections, of which the server
    // refuses `refused`; unreachable: the pooled ones reach no server, and
    // the walk's client takes back what they had.
    Harvested Harvest(const fs::path& folder, int connections, const std::string& group = PictureGroup,
        int refused = 0, bool unreachable = false)
    {
        fs::create_directories(folder);
        THarvest harvest(client, folder.string());
        Harvested result;
        harvest.OnPictureKept
            = [&](const std::string& path) { result.kept.insert(fs::path(path).filename()); };
        harvest.OnPictureDamaged = [&](const std::string& path, const std::string&) {
            result.damaged.insert(fs::path(path).filename());
        };
        harvest.OnArticleSkipped = [&](const std::string& subject, const std::string& reason) {
            result.skipped.push_back(subject + reason);
        };
        harvest.OnPostIncomplete = [&](const std::string& report) { result.incomplete.push_back(report); };
        std::optional<TFetchPool> pool;
        client.OnNextHeaderRetrieved = [&](TObject*, int num) {
            harvest.HarvestHeader(client.HeaderList.Entries(num));
            // The connections start with the first article handed over; on
            // loopback the walk would be over before they are up, and the
            // walk's client would fetch everything itself.
            while (pool && pool->Started() && !pool->Settled())
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        };
        client.OnLastHeaderRetrieved = [&](TObject*) { harvest.ReportIncompletePosts(); };
        client.ForgetNewsGroup();
        client.SetNewsGroup(group);
        if (connections > 1) {
            TFetchSettings settings = TFetchSettings::From(client);
            if (unreachable)
                settings.server.Server = "127.0.0.1:1";
            pool.emplace(settings, connections - 1);
            pool->OnArticleDone = [&](const TFetchOrder&) { ++result.pooled; };
            harvest.SetPool(&*pool);
            pool->OnPoolLowered = [this](const std::string& report) { lowered.push_back(report); };
        }
        client.RetrieveHeaders(0, true);
        harvest.FinishPool();
        if (pool) {
            while (!pool->Settled())
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            EXPECT_EQ(pool->Working(), unreachable ? 0 : connections - 1 - refused);
            harvest.SetPool(nullptr);
        }
        client.OnLastHeaderRetrieved = nullptr;
        return result;
    }
};

// 1 is the walk's client alone; the others hand the pictures, and the
// parts of multi-part posts, to a pool. A post with parts gone is reported
// as one connection reports it: by the first part it cannot get.
TEST_F(PoolHarvestTest, AnyNumberOfConnectionsKeepsTheSamePictures)
{
    // Which connection takes an article is up to timing; over these runs
    // the pooled ones take some.
    int pooledInAll = 0;
    for (const char* group : { PictureGroup, MultiPartGroup, GoneGroup }) {
        SCOPED_TRACE(group);
        const fs::path root = scratch.Path() / group;
        const Harvested alone = Harvest(root / "1", 1, group);
        const Strings names = FolderEntries(Expected(group));
        EXPECT_EQ(alone.kept, std::multiset<std::string>(names.begin(), names.end()));
        EXPECT_EQ(alone.incomplete, ExpectedOrder(group, ".incomplete"));
        ExpectTheSamePictures(root / "1", group);
        for (const auto& [connections, unreachable] :
            { std::pair(2, false), { 4, false }, { 8, false }, { 4, true } }) {
            SCOPED_TRACE(std::to_string(connections) + (unreachable ? " unreachable" : ""));
            const fs::path folder
                = root / (std::to_string(connections) + (unreachable ? "-unreachable" : ""));
            const Harvested pooled = Harvest(folder, connections, group, 0, unreachable);
            EXPECT_EQ(pooled.kept, alone.kept);
            EXPECT_EQ(pooled.damaged, alone.damaged);
            EXPECT_EQ(pooled.skipped, alone.skipped);
            EXPECT_EQ(pooled.incomplete, alone.incomplete);
            pooledInAll += pooled.pooled;
            ExpectTheSamePictures(folder, group);
            EXPECT_FALSE(fs::exists(folder / PartialFolderName));
        }
    }
    EXPECT_GT(pooledInAll, 0);
}

// Stop while posts are joined on the pool: nothing half-joined is left,
// and the next walk of the group joins the posts cut short, so the folder
// ends as one uninterrupted walk leaves it.
TEST_F(PoolHarvestTest, StopInTheMiddleOfJoinsThenTheNextWalkCompletesThem)
{
    const fs::path folder = scratch.Path() / "stopped";
    fs::create_directories(folder);
    THarvest harvest(client, folder.string());
    Strings incomplete;
    harvest.OnPostIncomplete = [&](const std::string& report) { incomplete.push_back(report); };
    client.OnNextHeaderRetrieved
        = [&](TObject*, int num) { harvest.HarvestHeader(client.HeaderList.Entries(num)); };
    client.OnLastHeaderRetrieved = [&](TObject*) { harvest.ReportIncompletePosts(); };
    const auto walk = [&](bool stop) {
        client.ForgetNewsGroup();
        client.SetNewsGroup(GoneGroup);
        TFetchPool pool(TFetchSettings::From(client), 3);
        // At the first picture, whichever connection brought it.
        bool stopped = false;
        harvest.OnPictureKept = [&](const std::string&) {
            if (!stop || std::exchange(stopped, true))
                return;
            pool.Stop();
            client.Cancel();
        };
        harvest.SetPool(&pool);
        while (!pool.Settled())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        try {
            client.RetrieveHeaders(0, true);
            harvest.FinishPool();
        } catch (...) {
            harvest.SetPool(nullptr);
            harvest.OnPictureKept = nullptr;
            throw;
        }
        harvest.SetPool(nullptr);
        harvest.OnPictureKept = nullptr;
    };
    EXPECT_THROW(walk(true), ECanceledError);
    EXPECT_FALSE(fs::exists(folder / PartialFolderName));
    EXPECT_LT(FolderEntries(folder).size(), FolderEntries(Expected(GoneGroup)).size() + 1) << "cut short";
    walk(false);
    ExpectTheSamePictures(folder, GoneGroup);
    EXPECT_EQ(incomplete, ExpectedOrder(GoneGroup, ".incomplete"));
    EXPECT_FALSE(fs::exists(folder / PartialFolderName));
}

// A walk of one overview range per article faces more than ten ranges: it
// is shared with the pooled connections, which compress as the walk's own
// does (INN2 answers COMPRESS DEFLATE with 206). Its headers come in the
// order one connection walks them, and the pictures are the same.
TEST_F(PoolHarvestTest, AWalkSharedWithCompressedConnectionsKeepsTheSamePictures)
{
    client.OverviewRangeSize = 1;
    client.Compress = true;
    THarvestRunSettings settings;
    settings.PoolQuits = true;
    std::vector<TArticleNumber> walked[2];
    for (const int connections : { 1, 4 }) {
        const fs::path folder = scratch.Path() / ("shared-" + std::to_string(connections));
        fs::create_directories(folder);
        client.Settings.Connections = connections;
        client.LogFileName = (folder.string() + ".log");
        client.ForgetNewsGroup();
        THarvest harvest(client, folder.string());
        THarvestRun run(client, &harvest);
        run.OnHeaderWalked = [&](int, const TmsNgInfoItem& header, int64_t) {
            walked[connections > 1].push_back(header.Number);
        };
        run.Go(PictureGroup, settings);
        client.Disconnect();
        ExpectTheSamePictures(folder);
    }
    EXPECT_EQ(walked[1], walked[0]);
    const std::string helperLog = ReadFileBytes(scratch.Path() / "shared-4-2.log");
    EXPECT_NE(helperLog.find("\nCOMPRESS DEFLATE\r\n"), std::string::npos) << helperLog;
    EXPECT_NE(helperLog.find("\n206 "), std::string::npos) << helperLog;
}

// Pooled connections log in and use TLS as the walk's client does.
TEST_F(PoolHarvestTest, PooledConnectionsLogInOverTLS)
{
    const fs::path tlsDir = innDir / "tls";
    const std::string tlsPort = Environment("LUMIGRAB_NNTPS_PORT");
    RequireServer(innDir, tlsPort, "INN2 TLS test server", { "tls/account" });
    if (Stopped())
        return;
    const Strings account = FileLines(tlsDir / "account");
    ASSERT_EQ(account.size(), 2u);
    ResolveTestNamesTo("127.0.0.2");
    ScopedEnvironment certFile("SSL_CERT_FILE", (tlsDir / "ca.pem").string());
    client.UseTLS = true;
    client.Server = "news.lumigrab.test:" + tlsPort;
    client.UserName = account[0];
    client.Password = account[1];
    const fs::path folder = scratch.Path() / "tls";
    Harvest(folder, 4);
    ExpectTheSamePictures(folder);
}

// The fixture's second server takes COUNT connections from one host within
// SECONDS and greets the others with 400 (innd -H, -X). Of four
// connections, the walk's and one pooled connection work; the two refused
// are told once and the pictures are the same.
TEST_F(PoolHarvestTest, ConnectionsBeyondTheServersLimitAreRefused)
{
    const fs::path limitedDir = Environment("LUMIGRAB_LIMITED_INN_DIR");
    const std::string limitedPort = Environment("LUMIGRAB_LIMITED_NNTP_PORT");
    RequireServer(limitedDir, limitedPort, "INN2 test server with a connection limit");
    if (Stopped())
        return;
    const Strings limit = FileLines(limitedDir / "limit");
    ASSERT_EQ(limit.size(), 1u);
    ASSERT_EQ(limit[0].substr(0, 2), "2 ") << "two connections: the walk's and one pooled";
    AwaitConnectWindow(limitedDir, std::chrono::seconds(std::stoi(limit[0].substr(2))));
    expectedDir = limitedDir / "expected";
    client.Server = "127.0.0.1:" + limitedPort;
    const fs::path folder = scratch.Path() / "limited";
    Harvest(folder, 4, PictureGroup, 2);
    std::ofstream(limitedDir / "connected").put('\n');
    EXPECT_EQ(lowered, Strings { "2 connections refused: fetching with 1" });
    ExpectTheSamePictures(folder);
}

// The first server lost two bodies, part 2 of harbour.jpg's yEnc post and
// of three.gif's uuencoded one; INN2 itself, as the fill server, has them
// by message-id. Over four
// connections, the pictures are those of the intact group, and the tool
// ends as it does there.
TEST_F(PoolHarvestTest, AFillServerBringsWhatTheFirstServerLost)
{
    const testing::LossyServer lossy(port, MultiPartGroup, { "\"harbour.jpg\" yEnc (2/4)", "three.gif [2/3]" });
    ASSERT_EQ(lossy.Lost(), 2u);
    const std::string options = std::string(" --group ") + MultiPartGroup + " --connections 4";
    const fs::path intact = scratch.Path() / "intact";
    RunTool("--server 127.0.0.1:" + port + options + " --folder " + intact.string());
    const int intactExit = exitCode;
    const fs::path lone = scratch.Path() / "lone";
    RunTool("--server " + lossy.Address() + options + " --folder " + lone.string());
    EXPECT_NE(FolderEntries(lone), FolderEntries(intact)) << "the proxy loses nothing";
    const fs::path filled = scratch.Path() / "filled";
    RunTool("--server " + lossy.Address() + options + " --folder " + filled.string() + " --fill 127.0.0.1:" + port
        + " --fill-connections 2");
    EXPECT_EQ(exitCode, intactExit) << err;
    ExpectTheSamePictures(filled, MultiPartGroup);

    // An NZB of harbour.jpg's four segments, fetched through the server
    // that lost the second.
    std::string nzb = "<?xml version=\"1.0\"?>\n<nzb><file subject=\"harbour.jpg\" poster=\"p\"><segments>";
    for (const auto& [subject, id] : lossy.Headers()) {
        if (subject.starts_with("\"harbour.jpg\" yEnc ("))
            nzb += "<segment bytes=\"1000\" number=\"" + subject.substr(subject.find('(') + 1, 1) + "\">" + id.substr(1, id.size() - 2)
                + "</segment>";
    }
    nzb += "</segments></file></nzb>\n";
    std::ofstream(scratch.Path() / "harbour.nzb") << nzb;
    const fs::path fromNzb = scratch.Path() / "nzb";
    RunTool("--server " + lossy.Address() + " --nzb " + (scratch.Path() / "harbour.nzb").string() + " --folder "
        + fromNzb.string() + " --fill 127.0.0.1:" + port);
    EXPECT_EQ(exitCode, 0) << err;
    EXPECT_TRUE(ReadFileBytes(fromNzb / "harbour.jpg") == ReadFileBytes(Expected(MultiPartGroup) / "harbour.jpg"));
}

// lumigrab-harvest --connections: the same pictures, and a clear refusal
// of counts out of range.
TEST_F(PoolHarvestTest, ToolTakesAConnectionCount)
{
    const fs::path folder = scratch.Path() / "tool";
    const fs::path log = scratch.Path() / "walk.log";
    RunTool("--server 127.0.0.1:" + port + " --group " + PictureGroup + " --folder " + folder.string()
        + " --connections 4 --log " + log.string());
    EXPECT_EQ(exitCode, 3) << err;
    ExpectTheSamePictures(folder);
    // Each pooled connection keeps a log of its own.
    for (const char* name : { "walk-2.log", "walk-3.log", "walk-4.log" })
        EXPECT_NE(ReadFileBytes(scratch.Path() / name).find(std::string("GROUP ") + PictureGroup),
            std::string::npos)
            << name;
    for (const char* count : { "0", "51", "many", "-1" }) {
        RunTool(std::string("--server h --group g --connections ") + count);
        EXPECT_EQ(exitCode, 2) << count;
        EXPECT_NE(err.find("--connections takes a number from 1 to 50"), std::string::npos) << err;
    }
}

} // namespace
} // namespace lumigrab
