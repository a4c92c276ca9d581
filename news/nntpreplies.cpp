#include "news/nntpreplies.h"

#include <algorithm>

#include "base/sysutils.h"
#include "message/msutils.h"

namespace lumigrab {

namespace {

const char* const STooManyConnections = "Too many connections for this account";
const char* const SLoginRefused = "The server refused the user name or password";
const char* const SLoginOutOfSequence = "The server refused the login sequence";
const char* const SLoginNeedsEncryption = "The server takes a login only over a secure connection";
const char* const SLoginNotPermitted = "The server does not permit this account to log in";

} // namespace

bool IsReplyCode(std::string_view reply, std::string_view code)
{
    return reply.substr(0, 3) == code;
}

bool IsRefusal(std::string_view reply)
{
    return reply.empty() || (reply[0] != '2' && reply[0] != '3');
}

bool IsMissingArticleReply(std::string_view reply)
{
    return IsReplyCode(reply, "420") || IsReplyCode(reply, "423") || IsReplyCode(reply, "430");
}

bool IsDataReply(std::string_view reply)
{
    return IsReplyCode(reply, "101") || IsReplyCode(reply, "215") || IsReplyCode(reply, "224");
}

bool MarksCompressedBlock(std::string_view reply)
{
    constexpr std::string_view marker = "[COMPRESS=GZIP]";
    for (size_t at = reply.find('['); at != std::string_view::npos; at = reply.find('[', at + 1)) {
        if (SameText(reply.substr(at, marker.size()), marker))
            return true;
    }
    return false;
}

bool IsOverviewAnswer(std::string_view reply)
{
    return IsReplyCode(reply, "224") || IsReplyCode(reply, "420") || IsReplyCode(reply, "423");
}

std::string LoginFailureText(const std::string& reply)
{
    const std::string text = LowerCase(reply);
    const char* why = nullptr;
    if (text.find("too many") != std::string::npos || text.find("connections") != std::string::npos)
        why = STooManyConnections;
    else if (IsReplyCode(reply, "481"))
        why = SLoginRefused;
    else if (IsReplyCode(reply, "482"))
        why = SLoginOutOfSequence;
    else if (IsReplyCode(reply, "483"))
        why = SLoginNeedsEncryption;
    else if (IsReplyCode(reply, "502"))
        why = SLoginNotPermitted;
    if (!why)
        return reply;
    return std::string(why) + " (" + reply + ")";
}

std::optional<TArticleNumber> ArticleNumberOf(std::string_view ref)
{
    return ParseArticleNumber(ref);
}

TArticleRef ArticleRefOf(std::string_view ref)
{
    if (const std::optional<TArticleNumber> number = ArticleNumberOf(ref))
        return { number, {} };
    if (ref.starts_with('<'))
        return { std::nullopt, std::string(ref) };
    return {};
}

std::string ReplyMessageId(std::string_view reply)
{
    std::string word = ExtractWord(reply, 2);
    if (!word.starts_with('<'))
        word.clear();
    return word;
}

std::string WithArgument(std::string_view command, std::string_view argument)
{
    std::string line(command);
    if (!argument.empty()) {
        line += ' ';
        line += argument;
    }
    return line;
}

bool IsSafeArgument(std::string_view argument)
{
    return argument.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

// The login's own refusal comes first: it is raised even where any other
// reply would be an answer.
TReplyVerdict JudgeReply(std::string_view reply, const TReplyRules& rules, bool readerModeWanted)
{
    if (rules.loggingIn && !IsReplyCode(reply, "281") && !IsReplyCode(reply, "381"))
        return TReplyVerdict::LoginRefused;
    if (rules.anyReplyIsAnswer)
        return TReplyVerdict::Answer;
    if (rules.readerModeMayFollow && readerModeWanted)
        return TReplyVerdict::Answer;
    if (rules.loginMayFollow && IsReplyCode(reply, "480"))
        return TReplyVerdict::Answer;
    if (reply.size() >= 3 && (reply[0] == '2' || reply[0] == '3'))
        return TReplyVerdict::Answer;
    if (IsReplyCode(reply, "421"))
        return TReplyVerdict::Answer;
    if (IsMissingArticleReply(reply))
        return rules.missingArticleIsAnswer ? TReplyVerdict::Answer : TReplyVerdict::NoSuchArticle;
    return TReplyVerdict::Error;
}

} // namespace lumigrab
