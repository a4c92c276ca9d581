#include "news/fillservers.h"

#include <utility>

#include "message/msmsg.h"
#include "news/msnntp.h"

namespace lumigrab {

TFillServers::TFillServers(std::vector<TServerSettings> servers, int32_t timeOut)
    : timeOut_(timeOut)
{
    for (TServerSettings& settings : servers)
        servers_.push_back({ std::move(settings), nullptr, false });
}

TFillServers::~TFillServers()
{
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
    }
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
