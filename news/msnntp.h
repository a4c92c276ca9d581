// The news-reading client: selects a group, walks its article headers one by
// one, fetches whole articles into a TmsArticle and fetches the server's
// newsgroup list. Reader commands only; it never posts.
//
// With a UserName it logs in (AUTHINFO USER/PASS, RFC 4643) right after the
// greeting, and again when a command is answered with 480, after which that
// command is sent once more. A refused login ends in an ESocketError that
// says why ("The server refused the user name or password (481 ...)", "Too
// many connections for this account (...)"); it is not retried. The
// protocol log and OnLineSent show the password as "****". UseTLS
// (TktSocket) makes the connection implicit TLS, on port 563 unless Server
// names one.
//
// One command at a time: while a command waits for its reply (or its
// article is decoded) the event loop runs other code, and an operation
// started from there raises "Another command is in progress on this
// connection" without sending anything. Cancel works at any time, and the
// client's own events fire between commands, so their handlers may issue
// commands (the harvest fetches articles from OnNextHeaderRetrieved).
//
// UseOverview (below) saves round trips, which is what makes a walk across
// the internet fast; a bare component speaks the plain command sequences.
//
// This class holds the commands, the group and the walk's headers; each
// other concern is a unit of its own behind it: what replies mean
// (news/nntpreplies), the session (news/nntpsession: greeting, login,
// what the server offers, reader mode, QUIT), the HEAD walk and the search
// for the first article (news/headwalk), the overview walk
// (news/overviewwalk) and the article fetch with its pipeline
// (news/articlepipeline).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "message/msmsg.h"
#include "news/articlepipeline.h"
#include "news/headerids.h"
#include "news/msnwscls.h"
#include "news/nntpreplies.h"
#include "news/nntpsession.h"
#include "news/overview.h"
#include "news/overviewwalk.h"
#include "news/serversettings.h"
#include "transport/kttypes.h"
#include "transport/msmb.h"

namespace lumigrab {

// An error reply saying that the article asked for is not there (420, 423,
// 430): expired, cancelled or taken down since it was listed. The
// connection stays usable.
class ENoSuchArticle : public ESocketError {
public:
    using ESocketError::ESocketError;
};

class TmsNNTP : public TmsMailBase {
public:
    explicit TmsNNTP(TComponent* owner = nullptr);
    ~TmsNNTP() override;

    const char* ClassName() const override { return "TmsNNTP"; }

    // The selected group; empty when none is.
    const std::string& NewsGroup() const { return newsGroup_; }
    // Selects a group: connects on demand and sends GROUP. A name equal to
    // the selected one ignoring ASCII case keeps LastHeaderNumber, so that
    // the next walk continues where the last one stopped: nothing is sent
    // while the connection is open, and GROUP on a new connection when
    // Cancel or the server ended it.
    void SetNewsGroup(std::string_view value);
    // Forgets the selected group and where its walk stopped, so that the
    // next SetNewsGroup selects it afresh: article numbers belong to one
    // server, and the next connection may go to another. Closes nothing.
    void ForgetNewsGroup();
    // Makes the next walk go on after number, a header taken before (none:
    // where a first walk starts), when it would go on further: the articles
    // of the headers after it went to other connections, which stopped
    // before they were in. A folder index keeps what did arrive from coming
    // twice.
    void WalkAgainAfter(std::optional<TArticleNumber> number);
    // Makes a first walk of the selected group (no LastHeaderNumber) go on
    // after number, where an earlier run's walk stopped, when the group
    // still reaches it; otherwise (number beyond the group's last article:
    // renumbered, restored, another server under the name) the walk starts
    // where a first walk starts. A walk under way is left alone.
    void ResumeAfter(TArticleNumber number);

    // From the GROUP reply: estimated count, first and last number. A 211
    // reply whose numbers are no plain numbers of 64 bits raises
    // "Malformed reply: ..." and selects nothing; any other accepted reply
    // (421) leaves all three 0.
    TArticleNumber ArticleCount() const { return articleCount_; }
    TArticleNumber FirstArticle() const { return firstArticle_; }
    TArticleNumber LastArticle() const { return lastArticle_; }
    // The server's current article as the last GROUP/STAT/NEXT reported it.
    TArticleNumber CurrentArticle() const { return currentArticle_; }
    // Number of the last header taken by RetrieveHeaders; none = start
    // where a first walk starts.
    std::optional<TArticleNumber> LastHeaderNumber() const { return lastHeaderNumber_; }

    // Headers taken so far, in the order taken. A retention (SetRetention)
    // keeps only the last ones: the client itself looks up only the entry
    // of the article it fetches, the header taken last.
    TmsNgInfoList HeaderList;
    // Groups from the last LIST or list file.
    TmsNewsGroupList NewsGroupList;
    // Where fetched articles are loaded; not owned, and forgotten when it
    // is freed. Must be set before an article is fetched.
    TmsArticle* Article() const { return article_; }
    void SetArticle(TmsArticle* article);
    // The last reply line, without its line end.
    std::string LastReply;
    // How the server is reached: read as each connection opens (after
    // OnOpen, whose handler may still change it), the account at each
    // login. Its Connections are for the caller's pool; the client is one
    // connection.
    TServerSettings Settings;
    // The fields of Settings under their own names. Server, UseTLS,
    // TrustedFingerprint and LogFileName are those of the socket as seen
    // through the client: the socket takes them from Settings as it opens.
    std::string& Server = Settings.Server;
    bool& UseTLS = Settings.UseTLS;
    std::string& TrustedFingerprint = Settings.TrustedFingerprint;
    // No login while UserName is empty.
    std::string& UserName = Settings.UserName;
    std::string& Password = Settings.Password;
    std::string& LogFileName = Settings.LogFileName;
    // Most bytes an article may have. A larger one fails with "Data block
    // larger than N bytes" and closes the connection, as a block that never
    // ends would otherwise fill the memory. Header blocks are held to 4 MB,
    // and never to more than this.
    int64_t MaxArticleSize = DefaultMaxBlockSize;

    // Fewer round trips per header and per picture. Off on a bare
    // component, which then walks with one HEAD and one NEXT per article and
    // fetches with STAT, HEAD and ARTICLE; the program and lumigrab-harvest
    // turn it on. With it:
    // - As the connection opens, before any group, the client sends
    //   CAPABILITIES (as the greeting comes, or after the login when there
    //   is one) without waiting for its reply: the connection's first
    //   command (GROUP, as a rule) goes out behind it (RFC 3977 pipelining).
    //   LIST OVERVIEW.FMT follows as soon as the reply lists OVER and the
    //   format list, on a server that announces version 2, before the first
    //   command's own reply is read, so that Go waits for neither. A server
    //   that lists MODE-READER and not READER may refuse that first
    //   command: then MODE READER goes out alone, and CAPABILITIES and the
    //   command once more.
    // - RetrieveHeaders reads the headers from the server's overview
    //   database, OverviewRangeSize articles per OVER (or XOVER) command,
    //   when the server offers one. Whether it does is asked once per
    //   connection (CAPABILITIES lists OVER, else XOVER answers 224); a
    //   server without one gets the HEAD walk. To a server that announces
    //   version 2, up to ten overview commands go out at once; each range's
    //   headers are handed to OnNextHeaderRetrieved as soon as that range
    //   is read, while the later ranges still arrive. Each overview line becomes a
    //   header entry holding "Subject:", "From:", "Date:", "Message-ID:",
    //   "References:", "Bytes:", "Lines:" and the extra fields that LIST
    //   OVERVIEW.FMT names, as header lines, with Number set. The events,
    //   Count, Append, LastHeaderNumber, and CurrentArticle while
    //   OnNextHeaderRetrieved runs are as in the HEAD walk, and commands
    //   that work on the current article (RetrieveArticle, NextArticle,
    //   RetrieveHeader) find it there. After the walk CurrentArticle is the
    //   last header taken. A group without articles ends the walk with
    //   OnLastHeaderRetrieved rather than with the server's error reply.
    // - RetrieveArticleByNumber and ReadArticle send one ARTICLE; the line
    //   count for OnProgress comes from the article's entry in HeaderList,
    //   or from its own header block as it arrives. Events, progress and
    //   errors are those of the three-command fetch.
    // - During an overview walk, the ARTICLE commands of the headers that
    //   WillFetchArticles names are sent up to PipelineDepth ahead of their
    //   replies (RFC 3977 pipelining, to servers that announce version 2),
    //   in the order it names them, as soon as the range listing the header
    //   has been read: their replies follow those of the overview commands
    //   still on their way, which are read (and their headers kept for
    //   their events) first. Articles, events and errors still come
    //   in order. An article sent for and then passed over is read and
    //   dropped; one that arrives while the handler fetches an article it
    //   did not announce is held (at most PipelineDepth of them) until it
    //   is asked for or passed over. Nothing sent ahead outlives the next
    //   other command. GROUP never goes out while articles are on their way,
    //   nor AUTHINFO while any reply is.
    bool UseOverview = false;
    // With UseOverview: the connection is compressed before any group, as
    // soon as the greeting, the login and the capabilities are in. A server
    // that lists COMPRESS DEFLATE gets it (RFC 8054: from its 206 on, all
    // traffic is one raw deflate stream each way); another gets XFEATURE
    // COMPRESS GZIP, after whose 290 overview replies marked
    // [COMPRESS=GZIP] bring their lines as one zlib or gzip stream. A server
    // that refuses either is used uncompressed. The protocol log shows the
    // lines as text; the bounds of lines and blocks hold for what they
    // inflate to. Settings.CompressHeaders under its own name.
    bool& Compress = Settings.CompressHeaders;
    // Articles asked for per overview command.
    int OverviewRangeSize = 1000;
    // With UseOverview: further connections that read overview ranges
    // while the walk reads others on this one (not owned; nullptr for
    // none). Each round's ranges are shared out, the walk's own connection
    // taking every n-th of n connections, and their headers still come in
    // article order, with the events, counts and errors of a walk on one
    // connection. Used once the server has shown which overview command it
    // takes.
    TOverviewHelpers* OverviewHelpers = nullptr;
    // Most ARTICLE commands awaiting their replies at once; 1 sends none
    // ahead, and sends one overview command at a time. Held to 1 to 4.
    int PipelineDepth = 4;
    // A first walk on a group (no LastHeaderNumber) starts this many
    // articles before the group's last one, at max(first, last - N + 1),
    // so that a group of millions shows today's pictures first; 0 starts
    // at the group's first article.
    TArticleNumber StartBeforeEnd = 0;
    // Asked during an overview walk about each header read ahead, in walk
    // order and before its OnNextHeaderRetrieved fires: the numbers of the
    // articles the handler is going to fetch with RetrieveArticleByNumber
    // from that header's event, in the order it will fetch them (the
    // header's own article, or the parts of a post it completes). A wrong
    // guess costs only the transfer of an article nobody reads. THarvest
    // sets it.
    std::function<std::vector<TArticleNumber>(const TmsNgInfoItem& header)> WillFetchArticles;
    // When set, each fetched article's text (headers, an empty line, the
    // body, dots unstuffed) is handed here instead of being loaded into
    // Article, which is left empty. The multi-part join reads its parts so.
    std::function<void(std::string_view text)> TakeArticleText;

    // Num = index in HeaderList of the header just added.
    TmsNumNotifyEvent OnNextHeaderRetrieved;
    TNotifyEvent OnArticleRetrieved;
    // Never fired: the client does not post.
    TNotifyEvent OnPosted;
    TNotifyEvent OnPosting;
    TNotifyEvent OnGroupSelected;
    TNotifyEvent OnLastHeaderRetrieved;
    TNotifyEvent OnRetrievingNewsGroupList;
    TNotifyEvent OnNewsGroupListRetrieved;

    // Walks on from where the last walk stopped, adding up to count headers
    // (count <= 0: to the end of the group). Append = false empties
    // HeaderList first. A group that GROUP reported empty (count 0, or a
    // last number below the first) ends the walk at once with
    // OnLastHeaderRetrieved. A first walk whose first article is gone
    // starts at the first one the server still has (found with LISTGROUP
    // where the server takes a range, else with STAT on the numbers after
    // it, a bounded number of tries). The walk only moves forward: a NEXT
    // that answers the article it came from, or an earlier one, ends it
    // with an error. A handler that fetches another article by number moves
    // the server there; the HEAD walk moves it back before its NEXT.
    //
    // A reply to a numbered ARTICLE, HEAD or STAT that names another
    // article (another number, or the message-id of another header the
    // walk holds: WalkHeaderIds), or to a message-id that names another
    // one, is never taken for the one asked for: the connection is closed
    // and "Reply out of step: asked for article 12, the server answered for
    // 13" raised. So is a reply to QUIT other than 205, from Disconnect
    // once the connection is closed. A reply of the number asked for whose
    // message-id is that of no other header is in step, whatever the
    // header said (an overview out of date): the protocol log notes the
    // difference ("Note: article 12 is <a@b>, its header said <c@d>").
    //
    // With overview, when a later range of a round fails, the headers of
    // the ranges before it are delivered first, then the error reply is
    // raised.
    //
    // A walk that ends with an error (Stop included) keeps the headers whose
    // OnNextHeaderRetrieved handlers returned as taken: the next walk goes on
    // after the last of them, so the header being handled when it failed
    // comes again.
    void RetrieveHeaders(int64_t count, bool append);

    // The single steps of the walk.
    void SetCurrentArticle(TArticleNumber number);
    // False when the server has no next article (421).
    bool NextArticle();
    void RetrieveHeader(TmsNgInfoItem& item);

    // Fetches the server's current article into Article.
    void RetrieveArticle();
    // messageId: the header's, which the reply (the plain sequence's STAT
    // reply) is held to as above; empty: the one the walk holds for the
    // number, if any.
    void RetrieveArticleByNumber(TArticleNumber number, std::string_view messageId = {});
    // ref: an article number or message id; empty = the current article.
    void ReadArticle(std::string_view ref);

    void RetrieveNewsGroupList();
    // For a connection that reads ranges for another client's walk
    // (TOverviewHelpers): sends OVER (XOVER when xover) first-last on the
    // selected group and returns the reply, an error reply included, with
    // its lines when it has them. A 480 logs in and asks once more.
    TAnswer ReadOverviewRange(TArticleNumber first, TArticleNumber last, bool xover);
    void LoadNewsGroupList(const std::string& fileName);
    void SaveNewsGroupList(const std::string& fileName) const;

    // Raises "Newsgroup has not been selected" when no group is.
    void RequireGroup();

    // The message-ids of the headers the walk holds: those of the overview
    // round read ahead and of the last RememberedTakenHeaders taken; emptied
    // with a new group. Shared with the connections that fetch for the
    // walk, which read it on their threads (TFetchSettings).
    std::shared_ptr<const THeaderIds> WalkHeaderIds() const { return walkIds_; }
    // For a connection that fetches for another client's walk: a reply that
    // names a header of these (the walk's WalkHeaderIds, the articles handed
    // to a pool) names another article too. Set before fetching.
    void TellRepliesApartBy(std::vector<std::shared_ptr<const THeaderIds>> headers);
    // Headers taken whose message-ids the walk keeps.
    static constexpr size_t RememberedTakenHeaders = 1000;

    void CheckReply(const std::string& reply) override;
    void Open() override;
    // Also forgets what the server offered and what was sent ahead: a new
    // connection asks again.
    void Close() override;
    void StartSession() override;
    void EndSession() override;

protected:
    // Forgets Article when that component is freed.
    void ComponentRemoved(TComponent* component) override;
    void TakeServerFields() override;

private:
    // The client's concerns, each in a unit of its own, work on its
    // connection and its state.
    friend class TNntpSession;
    friend class THeadWalk;
    friend class TOverviewWalk;
    friend class TArticlePipeline;

    // Marks the stretch in which the client waits for the server or
    // decodes, that is, in which the event loop runs code from elsewhere.
    class TBusy {
    public:
        explicit TBusy(TmsNNTP& client)
            : client_(client)
            , saved_(client.busy_)
        {
            client_.busy_ = true;
        }
        ~TBusy() { client_.busy_ = saved_; }
        TBusy(const TBusy&) = delete;
        TBusy& operator=(const TBusy&) = delete;

    private:
        TmsNNTP& client_;
        bool saved_;
    };

    TmsArticle* article_ = nullptr;
    // While a command waits for its reply or its article is decoded, other
    // code runs from the event loop; commands from there are refused.
    bool busy_ = false;
    // Which replies the command that waits takes for answers.
    TReplyRules rules_;
    std::string newsGroup_;
    TArticleNumber articleCount_ = 0;
    TArticleNumber firstArticle_ = 0;
    TArticleNumber lastArticle_ = 0;
    TArticleNumber currentArticle_ = 0;
    std::optional<TArticleNumber> lastHeaderNumber_;
    // The last header of the running walk whose OnNextHeaderRetrieved
    // handlers returned.
    std::optional<TArticleNumber> handledNumber_;
    // The server's current article as the replies read so far left it;
    // CurrentArticle may be ahead of it during an overview walk.
    TArticleNumber serverArticle_ = 0;
    // The headers of this group the walk holds (WalkHeaderIds).
    std::shared_ptr<THeaderIds> walkIds_ = std::make_shared<THeaderIds>();
    // The numbers of the last headers taken, oldest first.
    std::deque<TArticleNumber> takenNumbers_;
    // The number of the header held last.
    TArticleNumber heldUpTo_ = NoArticle;
    // Other walks' headers (TellRepliesApartBy).
    std::vector<std::shared_ptr<const THeaderIds>> otherIds_;

    // Each holds its state for one connection; Close forgets it.
    TNntpSession session_ { *this };
    TOverviewWalk overviewWalk_ { *this };
    TArticlePipeline pipeline_ { *this };

    // Raises "Another command is in progress on this connection" while a
    // command waits for its reply or its article is decoded.
    void RequireIdle();
    void Command(std::string_view line);
    // Sends the command and reads its reply; a 480 logs in, and a refusal
    // before MODE READER switches the mode, then it goes out once more.
    void SendCommand(std::string_view line);
    // mayRetry: a 480, or a refusal before MODE READER, is not raised.
    void SendAndRead(std::string_view line, bool mayRetry);
    // Every command goes out through these, so that replies are told apart
    // by their order.
    void Send(std::string_view line);
    void SendShown(std::string_view line, std::string_view shown);
    void DataCommand(std::string_view line, TStream& data, int expectedSize, int64_t maxSize);
    // about: the article the reply must name.
    void DataCommand(
        std::string_view line, TStream& data, int expectedSize, int64_t maxSize, const TArticleRef& about);
    // Reads a reply; raises when the server hung up instead.
    void ReadServerReply();
    // A reply and, when one follows it, its data block of at most maxData
    // bytes.
    TAnswer ReadAnswer(int64_t maxData);
    int64_t HeaderBlockLimit() const;
    bool GroupIsEmpty() const;
    // Where a first walk starts (StartBeforeEnd).
    TArticleNumber FirstWalkNumber() const;
    // The article number word index of LastReply; raises "Malformed reply:
    // ..." when it is no number.
    TArticleNumber RepliedNumber(int index);
    // Raises when LastReply, an accepted reply, names another article.
    void RequireInStep(const TArticleRef& asked);
    [[noreturn]] void RaiseOutOfStep(const std::string& what);
    // A header read: its message-id is held until RememberedTakenHeaders
    // later ones are taken. One read again (a walk that goes back) replaces
    // what was held from it on.
    void HoldHeader(const TmsNgInfoItem& item);
    void TakeHeader(TArticleNumber number);
    // The message-id held last for the number; empty when none is known.
    std::string HeaderIdOf(TArticleNumber number) const;
    // Whether id is held for a header of another number.
    bool NamesOtherHeader(const std::string& id, TArticleNumber number) const;
    // A line of the protocol log that is neither a command nor a reply.
    void NoteInLog(const std::string& text);
    void RequireArticle();
    // STAT, whose reply must name the article asked for.
    void SetCurrentArticle(const TArticleRef& asked);
    void Fire(const TNotifyEvent& event);
    void FireHeaderRetrieved(int index, TArticleNumber number);
    // Moves the server to CurrentArticle when an overview walk or articles
    // sent ahead left it elsewhere.
    void CatchUpServerArticle();
    void SetCurrent(TArticleNumber number);
};

} // namespace lumigrab
