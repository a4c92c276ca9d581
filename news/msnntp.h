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
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "message/msmsg.h"
#include "news/msnwscls.h"
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
    // Selects a group: connects on demand and sends GROUP, unless the name
    // equals the selected one ignoring ASCII case (then nothing happens and
    // the next walk continues where the last one stopped).
    void SetNewsGroup(std::string_view value);

    // From the GROUP reply: estimated count, first and last number.
    int32_t ArticleCount() const { return articleCount_; }
    int32_t FirstArticle() const { return firstArticle_; }
    int32_t LastArticle() const { return lastArticle_; }
    // The server's current article as the last GROUP/STAT/NEXT reported it.
    int32_t CurrentArticle() const { return currentArticle_; }
    // Number of the last header taken by RetrieveHeaders; -1 = start at the
    // group's first article.
    int32_t LastHeaderNumber() const { return lastHeaderNumber_; }

    // Headers taken so far, in the order taken.
    TmsNgInfoList HeaderList;
    // Groups from the last LIST or list file.
    TmsNewsGroupList NewsGroupList;
    // Where fetched articles are loaded; not owned, and forgotten when it
    // is freed. Must be set before an article is fetched.
    TmsArticle* Article() const { return article_; }
    void SetArticle(TmsArticle* article);
    // The last reply line, without its line end.
    std::string LastReply;
    // The account to log in with; no login while UserName is empty. Read at
    // each login.
    std::string UserName;
    std::string Password;
    // Most bytes an article may have. A larger one fails with "Data block
    // larger than N bytes" and closes the connection, as a block that never
    // ends would otherwise fill the memory. Header blocks are held to 4 MB,
    // and never to more than this.
    int64_t MaxArticleSize = DefaultMaxBlockSize;

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
    // HeaderList first. A first walk whose first article is gone starts at
    // the first one the server still has. The walk only moves forward: a
    // NEXT that answers the article it came from, or an earlier one, ends
    // it with an error.
    void RetrieveHeaders(int count, bool append);

    // The single steps of the walk.
    void SetCurrentArticle(int32_t number);
    // False when the server has no next article (421).
    bool NextArticle();
    void RetrieveHeader(TmsNgInfoItem& item);

    // Fetches the server's current article into Article.
    void RetrieveArticle();
    void RetrieveArticleByNumber(int32_t number);
    // ref: an article number or message id; empty = the current article.
    void ReadArticle(std::string_view ref);

    void RetrieveNewsGroupList();
    void LoadNewsGroupList(const std::string& fileName);
    void SaveNewsGroupList(const std::string& fileName) const;

    // Raises "Newsgroup has not been selected" when no group is.
    void RequireGroup();

    void CheckReply(const std::string& reply) override;
    void Open() override;
    void StartSession() override;
    void EndSession() override;

protected:
    // Forgets Article when that component is freed.
    void ComponentRemoved(TComponent* component) override;

private:
    class TBusy;

    TmsArticle* article_ = nullptr;
    // While a command waits for its reply or its article is decoded, other
    // code runs from the event loop; commands from there are refused.
    bool busy_ = false;
    // A 480 reply is a request to log in rather than an error.
    bool loginMayFollow_ = false;
    // Replies are answers to AUTHINFO.
    bool loggingIn_ = false;
    // While set, a reply saying that the article is not there is an answer
    // rather than an error.
    bool missingArticleIsAnswer_ = false;
    std::string newsGroup_;
    int32_t articleCount_ = 0;
    int32_t firstArticle_ = 0;
    int32_t lastArticle_ = 0;
    int32_t currentArticle_ = 0;
    int32_t lastHeaderNumber_ = -1;

    // Raises "Another command is in progress on this connection" while a
    // command waits for its reply or its article is decoded.
    void RequireIdle();
    void Command(std::string_view line);
    void SendCommand(std::string_view line);
    void DataCommand(std::string_view line, TStream& data, int expectedSize, int64_t maxSize);
    int64_t HeaderBlockLimit() const;
    // STAT (with or without a number); false when the article is not there.
    bool StatIfPresent(std::string_view command);
    // Makes the group's first article that still exists the current one;
    // false when the group has none.
    bool StartAtFirstArticle();
    // NEXT, which must move past position; false at the end of the group.
    bool NextArticleAfter(int32_t position);
    // Reads a reply; raises when the server hung up instead.
    void ReadServerReply();
    void RequireArticle();
    void LogIn();
    int32_t ReadLineCount(std::string_view ref, TMemoryStream& buffer);
    void Fire(const TNotifyEvent& event);
};

} // namespace lumigrab
