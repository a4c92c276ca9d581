// The article fetch of the news client: the plain sequence (STAT, HEAD,
// ARTICLE), the one ARTICLE of UseOverview, and the pipeline of ARTICLE
// commands sent ahead of their replies during an overview walk (the
// articles in flight, those foreseen and not sent for yet, and those held
// when they came while another was asked for). Part of TmsNNTP, whose
// contract (UseOverview, PipelineDepth and the fetches in msnntp.h) it
// keeps; what is on its way lasts until it is read or the connection
// closes.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/classes.h"
#include "news/nntpreplies.h"

namespace lumigrab {

class TmsNNTP;

class TArticlePipeline {
public:
    explicit TArticlePipeline(TmsNNTP& client);
    TArticlePipeline(const TArticlePipeline&) = delete;
    TArticlePipeline& operator=(const TArticlePipeline&) = delete;

    // ARTICLE n in one command, sent ahead or now, into the client's
    // Article (or TakeArticleText).
    void Fetch(const TArticleRef& asked);
    // The client's ReadArticle once its checks have passed.
    void Read(std::string_view ref);

    // Most ARTICLE commands awaiting their replies at once: PipelineDepth
    // (1 to 4) to a server that takes pipelining, else 1.
    int Depth() const;
    // ARTICLE commands are on their way.
    bool Owed() const { return !state_.inFlight.empty(); }
    // The connection is gone, and whatever was on its way with it.
    void Forget();

    // The articles the walk's handler is expected to fetch from the event
    // of the header numbered header, in the order it will fetch them.
    void Foresee(TArticleNumber header, const std::vector<TArticleNumber>& numbers);
    void ForgetForeseen();
    // Forgets what was foreseen for headers before header, then sends
    // ARTICLE for the articles foreseen until Depth await replies.
    void Fill(TArticleNumber header);
    void TopUp();
    // Reads (and drops) the replies of everything sent ahead.
    void Finish();
    // The same inside a busy stretch; overview replies still on their way
    // come first.
    void DropInFlight();

private:
    // An article the walk's handler is expected to fetch from the event of
    // the header numbered header.
    struct TAhead {
        TArticleNumber header;
        TArticleNumber number;
    };
    // An article read ahead of its turn, held until asked for.
    struct THeld {
        TArticleNumber number;
        ByteBuffer text;
    };

    // Lasts one connection.
    struct TState {
        // ARTICLE commands sent whose replies are not read yet, oldest
        // first.
        std::deque<TAhead> inFlight;
        // Articles the walk's handler is expected to fetch, not sent for
        // yet, in the order it will fetch them.
        std::deque<TAhead> foreseen;
        // Articles that arrived while the handler fetched one it had not
        // announced, oldest first; they come before those in flight.
        std::deque<THeld> held;
    };

    TmsNNTP& client_;
    TState state_;
    // The text of the article being fetched.
    TMemoryStream articleText_;

    void DropOldestInFlight();
    // Reads the reply to the oldest ARTICLE in flight and, after a 2xx,
    // its article; nothing when the server had none.
    std::optional<THeld> ReadOldestInFlight();
    // Reads the replies of everything in flight and holds the articles.
    void HoldInFlight();
    // Hands over the held article number, dropping those held before it;
    // false when it is not held.
    bool TakeHeld(TArticleNumber number);
    void SendArticleCommand(const TAhead& ahead);
    // Makes the reply to ARTICLE number the next one to read, sending the
    // command when it is not on its way yet.
    void PrepareArticle(TArticleNumber number);
    // ARTICLE ref, not sent ahead.
    void FetchNow(std::string_view ref, int32_t lines);
    void ReadArticleReply(const std::string& command, int32_t lines, const TArticleRef& asked);
    void LoadArticle();
    // HEAD, then ARTICLE: the plain sequence once STAT has made the article
    // the current one.
    void ReadPlain(std::string_view ref);
    int32_t ReadLineCount(std::string_view ref, TMemoryStream& buffer);
    // The line count of the article's entry in HeaderList; -1 when it has
    // none.
    int32_t HeaderLineCount(TArticleNumber number) const;
};

} // namespace lumigrab
