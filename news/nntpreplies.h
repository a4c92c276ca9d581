// What the news client makes of a server's replies: the reply classes, the
// rules that say which replies are answers rather than errors while a
// command waits, the texts of the client's own errors, and the readers of
// reply lines and data blocks. No socket here: TmsNNTP judges every reply
// line it reads by these.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "news/articlenumber.h"

namespace lumigrab {

inline constexpr char SNoGroupSelected[] = "Newsgroup has not been selected";
inline constexpr char SArticleNotAssigned[] = "Article has not been assigned";
inline constexpr char SConnectionClosed[] = "Connection closed by the server";
inline constexpr char SInvalidArgument[] = "Invalid command argument";
inline constexpr char SBusy[] = "Another command is in progress on this connection";
inline constexpr char SOutOfStep[] = "Reply out of step: ";
// Followed by the reply: one whose article numbers do not read as numbers.
inline constexpr char SMalformedReply[] = "Malformed reply: ";

// Real header blocks have a few kilobytes.
inline constexpr int64_t MaxHeaderBlock = int64_t(4) * 1024 * 1024;

// One reply and, after a reply that a data block follows (IsDataReply), its
// data block.
struct TAnswer {
    std::string reply;
    std::string data;
};

// The article a command asks about: a number, a message-id, or both
// unknown (none, empty).
struct TArticleRef {
    std::optional<TArticleNumber> number;
    std::string messageId;
};

// The reply's three-digit code is code.
bool IsReplyCode(std::string_view reply, std::string_view code);
// Neither success (2xx) nor a request to go on (3xx).
bool IsRefusal(std::string_view reply);
// No current article (420), no article of that number (423) or of that
// message id (430).
bool IsMissingArticleReply(std::string_view reply);
// The replies of the exchanged commands that a data block follows:
// capabilities, a list, overview lines.
bool IsDataReply(std::string_view reply);
// The reply line says its data block comes compressed ("[COMPRESS=GZIP]",
// after XFEATURE COMPRESS GZIP).
bool MarksCompressedBlock(std::string_view reply);
// Overview lines follow, or the range holds no article (423; 420 for a
// server that wants a current article first).
bool IsOverviewAnswer(std::string_view reply);

// Why a login was refused, followed by the server's own words ("The server
// refused the user name or password (481 ...)"); the reply alone when its
// code tells nothing. Providers report a connection limit under 481, 482 or
// 502 alike; only their text tells it apart.
std::string LoginFailureText(const std::string& reply);

// An article number given as a reference: decimal digits only
// (ParseArticleNumber).
std::optional<TArticleNumber> ArticleNumberOf(std::string_view ref);
// A number, a message-id ("<...>"), or neither (the current article).
TArticleRef ArticleRefOf(std::string_view ref);
// The message-id word of a reply ("220 12 <id>"); empty when it has none.
std::string ReplyMessageId(std::string_view reply);

// "COMMAND argument", or the command alone for an empty argument.
std::string WithArgument(std::string_view command, std::string_view argument);
// A line break inside an argument would smuggle a second command onto
// the connection.
bool IsSafeArgument(std::string_view argument);

// The lines of a data block, without their line ends. Only LF ends a line:
// a stray CR inside an overview line stays part of it.
template <typename Visit> void ForEachDataLine(std::string_view data, Visit&& visit)
{
    while (!data.empty()) {
        const size_t end = data.find('\n');
        std::string_view line = data.substr(0, end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        visit(line);
        if (end == std::string_view::npos)
            break;
        data.remove_prefix(end + 1);
    }
}

// What the command that waits makes of the replies that are no success:
// each is set for the stretch of one wait (TFlagScope).
struct TReplyRules {
    // A 480 reply is a request to log in rather than an error.
    bool loginMayFollow = false;
    // Replies are answers to AUTHINFO.
    bool loggingIn = false;
    // A reply saying that the article is not there is an answer.
    bool missingArticleIsAnswer = false;
    // Every reply is an answer, none an error: for questions whose "no" is
    // an ordinary answer, and for replies nobody waits for any more.
    bool anyReplyIsAnswer = false;
    // An error reply may be answered by MODE READER and the command sent
    // once more.
    bool readerModeMayFollow = false;
};

enum class TReplyVerdict {
    // Taken by the command: 2xx, 3xx, 421 ("no next article"), or one the
    // rules expect.
    Answer,
    // The article asked for is not there (ENoSuchArticle).
    NoSuchArticle,
    Error,
    // Any answer to AUTHINFO but 281 and 381.
    LoginRefused,
};

// NNTP has no continuation lines, so a "4xx-" or "5xx-" line is an error like
// any other 4xx/5xx reply. readerModeWanted: the server may refuse reader
// commands until MODE READER.
TReplyVerdict JudgeReply(std::string_view reply, const TReplyRules& rules, bool readerModeWanted);

// Sets a flag for a stretch of code, whatever leaves it.
class TFlagScope {
public:
    TFlagScope(bool& flag, bool value)
        : flag_(flag)
        , saved_(flag)
    {
        flag_ = value;
    }
    ~TFlagScope() { flag_ = saved_; }
    TFlagScope(const TFlagScope&) = delete;
    TFlagScope& operator=(const TFlagScope&) = delete;

private:
    bool& flag_;
    bool saved_;
};

} // namespace lumigrab
