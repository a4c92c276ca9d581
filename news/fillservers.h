// Further servers asked, in order, for an article the walk's server no
// longer has (430 or 423: expired early, taken down): by message-id, as
// article numbers belong to one server. Each server has its own address,
// TLS and trusted certificate, and account (TServerSettings). A server that
// cannot be reached, refuses the connection or the login, or breaks, is
// reported once and passed over for the rest of the run.
//
// Two ways to ask. Fetch waits on one connection per server, opened when
// first needed, on the owner's thread: for a walk without a pool. While a
// Go's pool fetches (OpenPools), Submit hands the article to a pool of the
// server's own (news/fetchpool.h) of as many connections as its
// Connections allow, and on to the next server's when one does not have it,
// so that a post taken down whole comes back at the fill servers' speed
// while the walk goes on.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "news/fetchpool.h"
#include "news/serversettings.h"

namespace lumigrab {

class TmsArticle;
class TmsNNTP;

class TFillServers {
public:
    // timeOut: seconds a fill server may keep a reply waiting.
    explicit TFillServers(std::vector<TServerSettings> servers, int32_t timeOut = 600);
    ~TFillServers();
    TFillServers(const TFillServers&) = delete;
    TFillServers& operator=(const TFillServers&) = delete;

    bool Empty() const { return servers_.empty(); }
    // "news2.example.org:119, news3.example.org:563", for reports of what
    // is missing everywhere.
    std::string Names() const;

    // Fetches the article with messageId (with its angle brackets) from the
    // first server that has it: loaded into article, or, with takeText, its
    // text (headers, an empty line, the body) handed there instead. False
    // when none has it. Raises ECanceledError after Cancel, and what the
    // handler raises. Not while another Fetch waits (from a handler run in
    // its wait): each server has one connection, serving one request at a
    // time; that raises.
    bool Fetch(const std::string& messageId, TmsArticle& article,
        const std::function<void(std::string_view text)>& takeText = {});
    // Ends what runs on every connection, pooled ones too; the next Fetch
    // connects anew.
    void Cancel();

    // From now until ClosePools, Submit takes orders; no connection is
    // made before the first. maxArticleSize as the Go's pool has it.
    void OpenPools(int64_t maxArticleSize);
    // Stops the pools (what they had not brought is dropped) and ends them.
    void ClosePools();
    bool Pooled() const { return pooled_; }
    // Hands order (by order.messageId; its number is not used) to the
    // first server not passed over, and each one that does not have it, or
    // refuses it, on to the next; missing runs when none had it. Results,
    // and missing, come on the owner's thread while its event loop runs.
    void Submit(TFetchOrder order, std::function<void()> missing);
    // Orders submitted and not yet brought or found missing; those a
    // server handed back go on to the next first.
    int Outstanding();
    // Runs the owner's event loop until Outstanding is 0. Raises
    // ECanceledError after Cancel, and what ended a pool (a full disk in a
    // keep handler).
    void Drain();

    // A server passed over for the run, once: "Fill server
    // news2.example.org:119 passed over: Connection refused".
    std::function<void(const std::string& report)> OnServerLost;

private:
    struct TServer {
        TServerSettings settings;
        std::unique_ptr<TmsNNTP> client;
        std::unique_ptr<TFetchPool> pool;
        bool lost = false;
    };

    std::vector<TServer> servers_;
    int32_t timeOut_;
    bool fetching_ = false;
    bool pooled_ = false;
    bool canceled_ = false;
    int64_t maxArticleSize_ = 0;

    void SubmitFrom(size_t first, TFetchOrder order, std::function<void()> missing);
    TFetchPool& PoolOf(size_t index);
    void PoolLowered(size_t index, const std::string& report);
    void PassOnReturned();

    bool FetchFrom(TServer& server, const std::string& messageId, TmsArticle& article,
        const std::function<void(std::string_view text)>& takeText);
    TmsNNTP& ClientOf(TServer& server);
    void Lose(TServer& server, const std::string& why);
};

} // namespace lumigrab
