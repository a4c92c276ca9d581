// Further servers asked, in order, for an article the walk's server no
// longer has (430 or 423: expired early, taken down): by message-id, as
// article numbers belong to one server. Each server has its own address,
// TLS and trusted certificate, and account (TServerSettings), and one
// connection of its own, opened when first needed, on the owner's thread.
// A server that cannot be reached, refuses the connection or the login, or
// breaks, is reported once and passed over for the rest of the run.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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
    // Ends what runs on every connection; the next Fetch connects anew.
    void Cancel();

    // A server passed over for the run, once: "Fill server
    // news2.example.org:119 passed over: Connection refused".
    std::function<void(const std::string& report)> OnServerLost;

private:
    struct TServer {
        TServerSettings settings;
        std::unique_ptr<TmsNNTP> client;
        bool lost = false;
    };

    std::vector<TServer> servers_;
    int32_t timeOut_;
    bool fetching_ = false;

    bool FetchFrom(TServer& server, const std::string& messageId, TmsArticle& article,
        const std::function<void(std::string_view text)>& takeText);
    TmsNNTP& ClientOf(TServer& server);
    void Lose(TServer& server, const std::string& why);
};

} // namespace lumigrab
