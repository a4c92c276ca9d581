#include "news/headwalk.h"

#include <algorithm>
#include <memory>
#include <string>

#include "base/sysutils.h"
#include "message/msutils.h"
#include "news/msnntp.h"
#include "news/nntpreplies.h"
#include "news/overview.h"

namespace lumigrab {

namespace {

// Looking for the first article that still exists: numbers per LISTGROUP,
// and how many commands (STAT or LISTGROUP) the search may take.
constexpr int ListGroupSpan = 10000;
constexpr int64_t MaxListGroupBlock = int64_t(1024) * 1024;
constexpr int MaxArticleSearchTries = 1000;

} // namespace

THeadWalk::THeadWalk(TmsNNTP& client)
    : client_(client)
{
}

void THeadWalk::Walk(int64_t count)
{
    bool found;
    const std::optional<TArticleNumber> walkedUpTo = client_.lastHeaderNumber_;
    if (!walkedUpTo) {
        found = StartAtFirstArticle();
    } else {
        client_.SetCurrentArticle(*walkedUpTo);
        found = NextArticleAfter(std::max(*walkedUpTo, client_.currentArticle_));
    }
    if (!found) {
        client_.Fire(client_.OnLastHeaderRetrieved);
        return;
    }

    // The number is kept here rather than read back from HeaderList: a
    // handler may empty the list while the walk runs.
    std::optional<TArticleNumber> lastNumber = walkedUpTo;
    // Where NEXT moves from.
    TArticleNumber position = client_.currentArticle_;
    bool more = true;
    int64_t taken = 0;
    do {
        auto item = std::make_unique<TmsNgInfoItem>();
        client_.RetrieveHeader(*item);
        lastNumber = item->Number;
        client_.HoldHeader(*item);
        client_.TakeHeader(*lastNumber);
        const int index = client_.HeaderList.Add(std::move(item));
        client_.FireHeaderRetrieved(index, *lastNumber);
        // A handler that canceled has closed the connection; NEXT would only
        // report it as "not connected".
        if (client_.Canceled())
            break;
        // A handler that fetched another article by number (one handed
        // back by the fetching pool, say) moved the server there; NEXT from
        // there would skip headers or go back.
        if (client_.currentArticle_ != position)
            client_.SetCurrentArticle(position);
        more = NextArticleAfter(position);
        position = client_.currentArticle_;
        ++taken;
    } while (more && !client_.Canceled() && taken != count);

    client_.lastHeaderNumber_ = lastNumber;
    if (client_.Canceled())
        throw ECanceledError();
    if (!more)
        client_.Fire(client_.OnLastHeaderRetrieved);
}

bool THeadWalk::StatIfPresent(std::optional<TArticleNumber> number)
{
    const TFlagScope missingIsAnswer(client_.rules_.missingArticleIsAnswer, true);
    client_.Command(number ? "STAT " + std::to_string(*number) : std::string("STAT"));
    if (IsMissingArticleReply(client_.LastReply))
        return false;
    if (number)
        client_.RequireInStep({ *number, {} });
    client_.SetCurrent(client_.RepliedNumber(1));
    return true;
}

// GROUP's first number may name an article that has expired or been
// cancelled since. GROUP made the first article the server still has its
// current one (RFC 3977), so the walk starts there; should the server have
// no current article either, the next number that exists is searched for.
bool THeadWalk::StartAtFirstArticle()
{
    const TArticleNumber start = client_.FirstWalkNumber();
    if (StatIfPresent(start))
        return true;
    // The current article is the group's first, not the one to start at.
    if (start == client_.firstArticle_ && StatIfPresent(std::nullopt))
        return true;
    return FindArticleAfter(start);
}

// Asks LISTGROUP where the server takes a range (RFC 3977), else STAT on
// each number, up to the group's last number and MaxArticleSearchTries
// commands; NEXT would need a current article, which the server lacks.
bool THeadWalk::FindArticleAfter(TArticleNumber number)
{
    const TArticleNumber lastArticle = client_.lastArticle_;
    // The number after n, none past the group's last: the search never
    // wraps, however close to the top the group is numbered.
    const auto after = [lastArticle](TArticleNumber n) {
        return n < lastArticle ? std::optional<TArticleNumber>(n + 1) : std::nullopt;
    };
    int tries = 0;
    std::optional<TArticleNumber> from = after(number);
    while (from && tries < MaxArticleSearchTries) {
        const TArticleNumber to = std::min(lastArticle, NumberAfter(*from, ListGroupSpan - 1));
        std::optional<std::vector<TArticleNumber>> listed;
        if (client_.session_.Offer().listGroupRanges) {
            listed = ListGroupNumbers(*from, to);
            ++tries;
        }
        if (!listed) {
            while (from && *from <= to && tries < MaxArticleSearchTries) {
                if (StatIfPresent(*from))
                    return true;
                ++tries;
                from = after(*from);
            }
            continue;
        }
        for (const TArticleNumber listedNumber : *listed) {
            if (tries++ >= MaxArticleSearchTries)
                break;
            if (listedNumber >= *from && StatIfPresent(listedNumber))
                return true;
        }
        from = after(to);
    }
    if (from)
        client_.RaiseSocketError("No article found between " + std::to_string(number + 1) + " and "
            + std::to_string(*from - 1));
    return false;
}

// The numbers the server lists for the range, in order; nullopt when it
// does not answer LISTGROUP with a list.
std::optional<std::vector<TArticleNumber>> THeadWalk::ListGroupNumbers(TArticleNumber from, TArticleNumber to)
{
    TMemoryStream data;
    {
        client_.RequireIdle();
        const TmsNNTP::TBusy busy(client_);
        client_.pipeline_.DropInFlight();
        {
            const TFlagScope quiet(client_.rules_.anyReplyIsAnswer, true);
            client_.SendCommand("LISTGROUP " + client_.newsGroup_ + " " + std::to_string(from) + "-"
                + std::to_string(to));
        }
        if (!IsReplyCode(client_.LastReply, "211"))
            return std::nullopt;
        client_.ReadMultiLine(data, -1, MaxListGroupBlock);
    }
    return ReadArticleNumbers(data.View(), from, to);
}

// A server that answers NEXT with the article it came from, or an earlier
// one, would keep the walk going forever (and the harvest saving the same
// pictures again and again).
bool THeadWalk::NextArticleAfter(TArticleNumber position)
{
    if (!client_.NextArticle())
        return false;
    const TArticleNumber current = client_.currentArticle_;
    if (current <= position)
        client_.RaiseSocketError("The server did not move on to a later article (NEXT answered "
            + std::to_string(current) + " after " + std::to_string(position) + ")");
    return true;
}

} // namespace lumigrab
