// A first server that lost some bodies while its overview still lists
// them, as after a takedown or an early expiry: a proxy in front of a real
// server (the test INN2) asks for an article no server has in place of
// each lost one, so that ARTICLE answers 430. The server itself, as a fill
// server, still has them by message-id. Lost by number and by message-id
// alike; compression is refused.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "news/msnntp.h"
#include "tests/support/rewriting_proxy.h"

namespace lumigrab::testing {

class LossyServer {
public:
    // Loses the articles of group on the server at 127.0.0.1:port whose
    // subjects are among lostSubjects.
    LossyServer(const std::string& port, const std::string& group, const std::set<std::string>& lostSubjects)
    {
        TmsNNTP client;
        client.SetWinsockLoaded(true);
        client.Server = "127.0.0.1:" + port;
        client.UseOverview = true;
        client.HeaderList.SetRetention(0);
        client.SetNewsGroup(group);
        client.RetrieveHeaders(0, true);
        for (int i = 0; i < client.HeaderList.Count(); ++i) {
            const TmsNgInfoItem& header = client.HeaderList.Entries(i);
            const std::string subject = header.GetFieldValue("Subject");
            const std::string id = header.GetFieldValue("Message-ID");
            headers_.emplace_back(subject, id);
            if (lostSubjects.count(subject)) {
                lost_.insert("ARTICLE " + std::to_string(header.Number));
                lost_.insert("ARTICLE " + id);
            }
        }
        client.Disconnect();
        proxy_ = std::make_unique<RewritingProxy>(uint16_t(std::stoi(port)), [this](const std::string& line) {
            if (lost_.count(line))
                return std::string("ARTICLE <lost-everywhere@lumigrab.test>");
            // The proxy reads command lines: it cannot see into a deflate
            // stream, so it offers none (the server refuses the command).
            if (line.starts_with("COMPRESS "))
                return std::string("XCOMPRESS-NOT-HERE");
            return line;
        });
    }

    std::string Address() const { return proxy_->Address(); }
    // How many articles of the group it lost.
    size_t Lost() const { return lost_.size() / 2; }
    // The group's headers: subject and message-id, in article order.
    const std::vector<std::pair<std::string, std::string>>& Headers() const { return headers_; }

private:
    // Each lost article by number and by message-id.
    std::set<std::string> lost_;
    std::vector<std::pair<std::string, std::string>> headers_;
    std::unique_ptr<RewritingProxy> proxy_;
};

} // namespace lumigrab::testing
