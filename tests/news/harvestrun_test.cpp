// One Go against a scripted server that answers several connections at
// once: with or without a pool, run to the group's end or stopped while
// the pool still owes an article, then run again. Every picture arrives
// once, the next Go walks again from the first article the pool owed, and
// the incomplete post is told once, after the group's end.
#include "news/harvestrun.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "news/fillservers.h"
#include "news/harvest.h"
#include "news/msnntp.h"
#include "nntp_test_support.h"
#include "post_test_support.h"
#include "tests/support/pool_server.h"
#include "tests/support/qt_environment.h"

namespace lumigrab {
namespace {

using testing::Answer;
using testing::FakeGroup;
using testing::PoolServer;
using Strings = std::vector<std::string>;

std::string UUPicture(const std::string& name, const std::string& bytes)
{
    std::string body = "begin 644 " + name + "\r\n";
    for (const std::string& line : UULines(bytes))
        body += line + "\r\n";
    return body + "`\r\nend\r\n";
}

// 1 a.jpg, 2 b.jpg, 3 the first of two parts (the second never posted),
// 4 c.jpg, 5 text.
FakeGroup PictureGroup()
{
    FakeGroup group;
    group.count = 5;
    group.texts[1] = testing::Article("a.jpg", UUPicture("a.jpg", RandomBytes(900, 1)));
    group.texts[2] = testing::Article("b.jpg", UUPicture("b.jpg", RandomBytes(900, 2)));
    group.texts[3] = testing::Article(
        "\"sunset.jpg\" yEnc (1/2)", testing::YEncPart("sunset.jpg", RandomBytes(2000, 3), 1, 2, 0, 1000));
    group.texts[4] = testing::Article("c.jpg", UUPicture("c.jpg", RandomBytes(900, 4)));
    group.texts[5] = "Subject: just words\r\nLines: 3\r\n\r\nwords\r\n";
    return group;
}

// Each connection has the group to itself, as a server keeps the current
// article per connection. The further connections hold back their answer
// for the article given (0: none) until Release, ten seconds at most.
class RunServer {
public:
    explicit RunServer(TArticleNumber heldBack)
        : heldBack_(heldBack)
        , server_([](int) { return std::string("200 scripted news server\r\n"); },
              [this](int connection, const std::string& command) { return Reply(connection, command); })
    {
    }
    ~RunServer() { Release(); }

    std::string Address() const { return server_.Address(); }

    void Release()
    {
        const std::lock_guard lock(mutex_);
        released_ = true;
        releasedSignal_.notify_all();
    }

private:
    const TArticleNumber heldBack_;
    std::mutex mutex_;
    std::condition_variable releasedSignal_;
    bool released_ = false;
    std::map<int, FakeGroup> groups_;
    // Last: its threads use the members above.
    PoolServer server_;

    Answer Reply(int connection, const std::string& command)
    {
        std::unique_lock lock(mutex_);
        if (connection != 1 && command == "ARTICLE " + std::to_string(heldBack_))
            releasedSignal_.wait_for(lock, std::chrono::seconds(10), [this] { return released_; });
        std::string reply
            = groups_.try_emplace(connection, PictureGroup()).first->second.Reply(command).value_or("");
        // A pause means something to the one-connection script server only.
        for (size_t pause; (pause = reply.find(testing::ReplyPause)) != std::string::npos;)
            reply.erase(pause, testing::ReplyPause.size());
        return Answer { reply };
    }
};

struct RunCase {
    const char* name;
    int connections;
    // The first Go is stopped at the last header, once the pool has
    // brought all it was handed but c.jpg.
    bool stop;
    // The headers the second Go walks.
    std::vector<TArticleNumber> walkedAgain;
    // Both Gos' reports, in order.
    Strings reports;
};

class HarvestRunTest : public ::testing::TestWithParam<RunCase> {
protected:
    ScratchFolder folder;
    TmsArticle article;
    TmsNNTP client;
    Strings reports;
    std::multiset<std::string> kept;
    std::vector<TArticleNumber> walked;
    int arrived = 0;

    void SetUp() override
    {
        client.SetWinsockLoaded(true);
        client.TimeOut = 20;
        client.SetArticle(&article);
    }

    void Bind(THarvest& harvest, THarvestRun& run)
    {
        harvest.OnPictureKept = [this](const std::string& path) {
            kept.insert(std::filesystem::path(path).filename().string());
        };
        harvest.OnPostIncomplete = [this](const std::string& report) { reports.push_back(report); };
        run.OnHeaderWalked
            = [this](int, const TmsNgInfoItem& header, int64_t) { walked.push_back(header.Number); };
        run.OnLastHeader = [this] { reports.push_back("last header"); };
        run.OnArticleArrived = [this](int64_t bytes) {
            EXPECT_EQ(bytes, ExpectedArticleBytes("", "200"));
            ++arrived;
        };
    }

    // At the text article's header: a and b have come, c never will.
    void StopAtTheLastHeader(THarvestRun& run)
    {
        run.OnHeaderWalked = [this, &run](int, const TmsNgInfoItem& header, int64_t) {
            walked.push_back(header.Number);
            if (header.Number != 5)
                return;
            const QDeadlineTimer deadline(10000);
            while (arrived < 2 && !deadline.hasExpired())
                QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            run.Stop();
        };
    }
};

TEST_P(HarvestRunTest, EveryPictureOnceAndTheIncompletePostToldOnce)
{
    const RunCase& c = GetParam();
    RunServer server(c.stop ? 4 : 0);
    client.Server = server.Address();
    THarvest harvest(client, folder.Path().string());
    THarvestRun run(client, &harvest);
    Bind(harvest, run);
    client.Settings.Connections = c.connections;
    const THarvestRunSettings settings;
    const std::string group = FakeGroup().name;
    if (c.stop) {
        StopAtTheLastHeader(run);
        EXPECT_THROW(run.Go(group, settings), ECanceledError);
        server.Release();
        Bind(harvest, run);
    } else {
        run.Go(group, settings);
    }
    walked.clear();
    run.Go(group, settings);

    EXPECT_EQ(walked, c.walkedAgain);
    EXPECT_EQ(kept, (std::multiset<std::string> { "a.jpg", "b.jpg", "c.jpg" }));
    EXPECT_EQ(reports, c.reports);
}

const char* const Incomplete = "Incomplete: sunset.jpg, parts 2 of 2 missing";

INSTANTIATE_TEST_SUITE_P(Runs, HarvestRunTest,
    ::testing::Values(RunCase { "OneConnection", 1, false, {}, { "last header", Incomplete, "last header" } },
        RunCase { "Pool", 3, false, {}, { "last header", Incomplete, "last header" } },
        RunCase { "PoolStoppedOwingAnArticle", 3, true, { 4, 5 }, { "last header", Incomplete } }),
    [](const ::testing::TestParamInfo<RunCase>& info) { return std::string(info.param.name); });

// With a pool, b.jpg and the second part of sunset.jpg are gone on every
// connection of the walk's server: whichever connection finds them gone,
// they are asked of the fill servers in order, by message-id, each over a
// pool of its own of at most its own count of connections.
struct PooledFillCase {
    const char* name;
    // What each fill server does: holds the lost two, lacks them, or is
    // down.
    enum Shape { Holds, Lacks, Down };
    std::vector<Shape> servers;
    std::multiset<std::string> kept;
    // How a report of the run starts; empty for none.
    std::string reported;
};

class PooledFillTest : public ::testing::TestWithParam<PooledFillCase> { };

TEST_P(PooledFillTest, WhatEveryConnectionFindsGoneIsAskedOfTheFillServers)
{
    const PooledFillCase& c = GetParam();
    const std::string sunset = RandomBytes(2000, 3);
    const auto groupOf = [&] {
        FakeGroup group = PictureGroup();
        // The overview names each article's message-id.
        group.overview = FakeGroup::Overview::Over;
        group.count = 6;
        group.texts[6] = testing::Article(
            "\"sunset.jpg\" yEnc (2/2)", testing::YEncPart("sunset.jpg", sunset, 2, 2, 1000, 1000));
        return group;
    };
    const FakeGroup whole = groupOf();
    std::mutex mutex;
    std::map<int, FakeGroup> groups;
    PoolServer primary([](int) { return std::string("200 primary\r\n"); },
        [&](int connection, const std::string& command) {
            const std::lock_guard lock(mutex);
            FakeGroup& group = groups.try_emplace(connection, groupOf()).first->second;
            group.articleReplies[2] = "430 no such article\r\n";
            group.articleReplies[6] = "430 no such article\r\n";
            std::string reply = group.Reply(command).value_or("");
            for (size_t pause; (pause = reply.find(testing::ReplyPause)) != std::string::npos;)
                reply.erase(pause, testing::ReplyPause.size());
            return Answer { reply };
        });
    std::vector<std::unique_ptr<PoolServer>> fills;
    std::vector<TServerSettings> fillSettings;
    for (const PooledFillCase::Shape shape : c.servers) {
        const bool holds = shape == PooledFillCase::Holds;
        fills.push_back(std::make_unique<PoolServer>([](int) { return std::string("200 fill server\r\n"); },
            [&whole, holds](int, const std::string& command) {
                for (const TArticleNumber number : { 2, 6 }) {
                    const std::string id = whole.MessageIdOf(number);
                    if (holds && command == "ARTICLE " + id)
                        return Answer { "220 0 " + id + "\r\n" + FakeGroup::DotStuffed(whole.texts.at(number))
                            + ".\r\n" };
                }
                return Answer { command == "QUIT" ? "205 bye\r\n" : "430 no such article\r\n" };
            }));
        TServerSettings& fill = fillSettings.emplace_back();
        fill.Server = shape == PooledFillCase::Down ? "127.0.0.1:" + std::to_string(testing::UnusedLoopbackPort())
                                                    : fills.back()->Address();
        // Its own count, not the walk's server's.
        fill.Connections = 2;
    }
    ScratchFolder folder;
    TmsArticle article;
    TmsNNTP client;
    client.SetWinsockLoaded(true);
    client.TimeOut = 20;
    client.SetArticle(&article);
    client.Server = primary.Address();
    client.UseOverview = true;
    client.Settings.Connections = 3;
    TFillServers fillServers(fillSettings, 20);
    Strings reports;
    fillServers.OnServerLost = [&](const std::string& report) { reports.push_back(report); };
    THarvest harvest(client, folder.Path().string());
    harvest.SetFillServers(&fillServers);
    std::multiset<std::string> kept;
    harvest.OnPictureKept
        = [&](const std::string& path) { kept.insert(std::filesystem::path(path).filename().string()); };
    harvest.OnArticleSkipped = [&](const std::string& subject, const std::string& reason) {
        reports.push_back(subject + ": " + reason);
    };
    harvest.OnPostIncomplete = [&](const std::string& report) { reports.push_back(report); };
    THarvestRun run(client, &harvest);
    run.Go(FakeGroup().name, THarvestRunSettings());
    EXPECT_EQ(kept, c.kept);
    if (c.reported.empty()) {
        EXPECT_EQ(reports, Strings {});
    } else {
        // Reports of other posts may come first.
        EXPECT_TRUE(std::any_of(reports.begin(), reports.end(),
            [&](const std::string& report) { return report.starts_with(c.reported); }))
            << ::testing::PrintToString(reports);
    }
    if (kept.count("sunset.jpg")) {
        EXPECT_TRUE(ReadFileBytes(folder.Path() / "sunset.jpg") == sunset);
    }
    for (const auto& fill : fills)
        EXPECT_LE(fill->Accepted(), 2);
}

INSTANTIATE_TEST_SUITE_P(Shapes, PooledFillTest,
    ::testing::Values(PooledFillCase { "OneHoldsThem", { PooledFillCase::Holds }, { "a.jpg", "b.jpg", "c.jpg", "sunset.jpg" }, "" },
        PooledFillCase { "TheFirstLacksThem", { PooledFillCase::Lacks, PooledFillCase::Holds },
            { "a.jpg", "b.jpg", "c.jpg", "sunset.jpg" }, "" },
        PooledFillCase { "TheFirstIsDown", { PooledFillCase::Down, PooledFillCase::Holds },
            { "a.jpg", "b.jpg", "c.jpg", "sunset.jpg" }, "Fill server 127.0.0.1:" },
        PooledFillCase { "MissingEverywhere", { PooledFillCase::Lacks }, { "a.jpg", "c.jpg" }, "b.jpg: Gone from the server (430 no such article); not on 127.0.0.1:" }),
    [](const ::testing::TestParamInfo<PooledFillCase>& info) { return std::string(info.param.name); });

// A group of 40 headers across 2^32, walked two articles per overview
// command with three connections: a long walk, shared with the pool's.
constexpr TArticleNumber SplitFirst = 4294967280;
constexpr int SplitCount = 40;

struct SplitCase {
    const char* name;
    FakeGroup::Overview overview;
    // The further connections' greeting; empty: the usual one.
    std::string helperGreeting;
    // The first further connection to get an overview command hangs up.
    bool helperHangsUp;
    // Every connection answers this overview command so.
    std::pair<std::string, std::string> failed;
    // Headers walked before the error, all of them when none: the walk's
    // headers come in article order however the connections share it.
    int walked;
    // What the Go raises; empty for nothing.
    std::string error;
    // Further connections read ranges: the walk's own connection answers
    // its overview commands from the second on only once one has.
    bool helpersRead;
};

class SplitWalkServer {
public:
    explicit SplitWalkServer(const SplitCase& shape)
        : shape_(shape)
        , server_(
              [this](int connection) {
                  return connection > 1 && !shape_.helperGreeting.empty() ? shape_.helperGreeting
                                                                          : "200 scripted news server\r\n";
              },
              [this](int connection, const std::string& command) { return Reply(connection, command); })
    {
    }

    std::string Address() const { return server_.Address(); }

    bool HelpersRead()
    {
        const std::lock_guard lock(mutex_);
        return helperAnswered_;
    }

private:
    const SplitCase& shape_;
    std::mutex mutex_;
    std::condition_variable helperAnswered;
    std::map<int, FakeGroup> groups_;
    int ownRanges_ = 0;
    bool hungUp_ = false;
    bool helperAnswered_ = false;
    PoolServer server_;

    Answer Reply(int connection, const std::string& command)
    {
        std::unique_lock lock(mutex_);
        const bool overview = command.starts_with("OVER ") || command.starts_with("XOVER ");
        if (overview && connection == 1 && ++ownRanges_ > 1 && shape_.helpersRead)
            helperAnswered.wait_for(lock, std::chrono::seconds(10), [this] { return helperAnswered_; });
        if (overview && connection > 1 && shape_.helperHangsUp && !std::exchange(hungUp_, true))
            return Answer { "", true };
        if (overview && connection > 1) {
            helperAnswered_ = true;
            helperAnswered.notify_all();
        }
        if (command == shape_.failed.first)
            return Answer { shape_.failed.second };
        FakeGroup& group = groups_.try_emplace(connection).first->second;
        group.first = SplitFirst;
        group.count = SplitCount;
        group.overview = shape_.overview;
        return Answer { group.Reply(command).value_or("") };
    }
};

class SplitWalkTest : public ::testing::TestWithParam<SplitCase> { };

TEST_P(SplitWalkTest, HeadersInArticleOrderWhateverConnectionReadThem)
{
    const SplitCase& c = GetParam();
    SplitWalkServer server(c);
    ScratchFolder folder;
    TmsNNTP client;
    client.SetWinsockLoaded(true);
    client.TimeOut = 20;
    client.Server = server.Address();
    client.UseOverview = true;
    client.OverviewRangeSize = 2;
    client.Settings.Connections = 3;
    THarvest harvest(client, folder.Path().string());
    THarvestRun run(client, &harvest);
    std::vector<TArticleNumber> walked;
    run.OnHeaderWalked = [&](int, const TmsNgInfoItem& header, int64_t) { walked.push_back(header.Number); };
    std::string error;
    try {
        run.Go(FakeGroup().name, THarvestRunSettings());
    } catch (const Exception& failure) {
        error = failure.Message();
    }

    std::vector<TArticleNumber> expected(size_t(c.walked));
    std::iota(expected.begin(), expected.end(), SplitFirst);
    EXPECT_EQ(walked, expected);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(server.HelpersRead(), c.helpersRead);
}

const std::string ThirdRange = "OVER " + std::to_string(SplitFirst + 4) + "-" + std::to_string(SplitFirst + 5);

INSTANTIATE_TEST_SUITE_P(Shapes, SplitWalkTest,
    ::testing::Values(SplitCase { "SharedOut", FakeGroup::Overview::Over, "", false, {}, SplitCount, "", true },
        SplitCase { "AHelperHangsUpInARange", FakeGroup::Overview::Over, "", true, {}, SplitCount, "", true },
        SplitCase { "HelpersRefused", FakeGroup::Overview::Over, "502 too many connections\r\n", false, {},
            SplitCount, "", false },
        SplitCase { "ARangeFailsOnEveryConnection", FakeGroup::Overview::Over, "", false,
            { ThirdRange, "503 overview unavailable\r\n" }, 4, "503 overview unavailable", true },
        SplitCase { "OlderServerWithXOver", FakeGroup::Overview::XOver, "", false, {}, SplitCount, "", true }),
    [](const ::testing::TestParamInfo<SplitCase>& info) { return std::string(info.param.name); });

} // namespace
} // namespace lumigrab
