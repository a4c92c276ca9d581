#include "news/fillservers.h"

#include <QCoreApplication>

#include <algorithm>
#include <utility>

#include "message/msmsg.h"
#include "news/msnntp.h"

namespace lumigrab {

TFillServers::TFillServers(std::vector<TServerSettings> servers, int32_t timeOut)
    : timeOut_(timeOut)
{
    for (TServerSettings& settings : servers)
        servers_.push_back({ std::move(settings), nullptr, nullptr, false });
}

TFillServers::~TFillServers()
{
    ClosePools();
    for (TServer& server : servers_) {
        if (server.client)
            server.client->Cancel();
    }
}

std::string TFillServers::Names() const
{
    std::string names;
    for (const TServer& server : servers_)
        names += (names.empty() ? "" : ", ") + server.settings.Server;
    return names;
}

bool TFillServers::Fetch(const std::string& messageId, TmsArticle& article,
    const std::function<void(std::string_view text)>& takeText)
{
    if (fetching_)
        throw Exception("The fill servers are fetching already");
    fetching_ = true;
    struct TDone {
        bool& flag;
        ~TDone() { flag = false; }
    } done { fetching_ };
    for (TServer& server : servers_) {
        if (!server.lost && FetchFrom(server, messageId, article, takeText))
            return true;
    }
    return false;
}

void TFillServers::Cancel()
{
    for (TServer& server : servers_) {
        if (server.client)
            server.client->Cancel();
        if (server.pool) {
            canceled_ = true;
            server.pool->Stop();
        }
    }
}

void TFillServers::OpenPools(int64_t maxArticleSize)
{
    ClosePools();
    pooled_ = true;
    canceled_ = false;
    maxArticleSize_ = maxArticleSize;
}

void TFillServers::ClosePools()
{
    pooled_ = false;
    for (TServer& server : servers_) {
        if (server.pool)
            server.pool->Stop();
        server.pool.reset();
    }
}

void TFillServers::Submit(TFetchOrder order, std::function<void()> missing)
{
    SubmitFrom(0, std::move(order), std::move(missing));
}

// The order goes to one server at a time; its gone handler (called for
// "not here" and for a refusal alike) takes it to the next.
void TFillServers::SubmitFrom(size_t first, TFetchOrder order, std::function<void()> missing)
{
    for (size_t index = first; pooled_ && index < servers_.size(); ++index) {
        if (servers_[index].lost)
            continue;
        TFetchOrder attempt = order;
        attempt.number = NoArticle;
        attempt.attempts = 0;
        attempt.gone = [this, index, order, missing](const std::string&) { SubmitFrom(index + 1, order, missing); };
        if (PoolOf(index).Submit(std::move(attempt)))
            return;
        if (!servers_[index].lost)
            Lose(servers_[index], "none of its connections could be used");
    }
    if (missing)
        missing();
}

int TFillServers::Outstanding()
{
    PassOnReturned();
    int outstanding = 0;
    for (const TServer& server : servers_)
        outstanding += server.pool ? server.pool->Outstanding() : 0;
    return outstanding;
}

// Every connection of a server was refused or gave up before fetching
// these: the next server is asked. A pool hands them back as its last
// connection settles, which may be after the last order was counted.
void TFillServers::PassOnReturned()
{
    for (bool passed = true; passed;) {
        passed = false;
        for (TServer& server : servers_) {
            if (!server.pool)
                continue;
            for (TFetchOrder& order : server.pool->TakeReturned()) {
                order.gone("passed over");
                passed = true;
            }
        }
    }
}

void TFillServers::Drain()
{
    for (;;) {
        if (canceled_)
            throw ECanceledError();
        for (TServer& server : servers_) {
            if (server.pool)
                server.pool->RaiseIfEnded();
        }
        if (Outstanding() == 0)
            return;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

// Uncompressed, as bodies do not shrink.
TFetchPool& TFillServers::PoolOf(size_t index)
{
    TServer& server = servers_[index];
    if (!server.pool) {
        TFetchSettings settings;
        settings.server = server.settings;
        settings.server.CompressHeaders = false;
        settings.timeOut = timeOut_;
        if (maxArticleSize_ > 0)
            settings.maxArticleSize = maxArticleSize_;
        settings.fillServer = true;
        const int size = std::clamp(server.settings.Connections, MinConnections, MaxConnections);
        server.pool = std::make_unique<TFetchPool>(std::move(settings), size);
        server.pool->OnPoolLowered = [this, index](const std::string& report) { PoolLowered(index, report); };
    }
    return *server.pool;
}

// "2 connections refused: fetching with 1"; with none left working the
// server is passed over, its waiting orders handed on at the next Drain.
void TFillServers::PoolLowered(size_t index, const std::string& report)
{
    TServer& server = servers_[index];
    if (server.pool && server.pool->Working() == 0) {
        Lose(server, report.substr(0, report.find(": fetching with")));
        return;
    }
    if (OnServerLost)
        OnServerLost("Fill server " + server.settings.Server + ": " + report);
}

// Only what the server says of the article itself (430, 423) leaves it in
// the run; anything that ends or refuses the connection passes it over.
bool TFillServers::FetchFrom(TServer& server, const std::string& messageId, TmsArticle& article,
    const std::function<void(std::string_view text)>& takeText)
{
    TmsNNTP& client = ClientOf(server);
    client.SetArticle(&article);
    client.TakeArticleText = takeText;
    struct TReset {
        TmsNNTP& client;
        ~TReset()
        {
            client.TakeArticleText = nullptr;
            client.SetArticle(nullptr);
        }
    } reset { client };
    try {
        if (!client.Connected())
            client.Connect();
        client.ReadArticle(messageId);
        return true;
    } catch (const ECanceledError&) {
        throw;
    } catch (const ENoSuchArticle& error) {
        if (!client.Connected())
            Lose(server, error.Message());
        return false;
    } catch (const Exception& error) {
        Lose(server, error.Message());
        return false;
    }
}

// One ARTICLE per article, uncompressed: bodies do not shrink.
TmsNNTP& TFillServers::ClientOf(TServer& server)
{
    if (!server.client) {
        server.client = std::make_unique<TmsNNTP>();
        server.client->SetWinsockLoaded(true);
        server.client->Settings = server.settings;
        server.client->Settings.CompressHeaders = false;
        server.client->TimeOut = timeOut_;
        server.client->UseOverview = true;
    }
    return *server.client;
}

void TFillServers::Lose(TServer& server, const std::string& why)
{
    server.lost = true;
    if (server.client)
        server.client->Cancel();
    if (OnServerLost)
        OnServerLost("Fill server " + server.settings.Server + " passed over: " + why);
}

} // namespace lumigrab
