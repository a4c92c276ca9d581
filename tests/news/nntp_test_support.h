// Shared by the news client tests: file helpers, recorders of what the
// client does, and the fixtures of a client and its scripted server, one
// per server shape.
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "news/msnntp.h"
#include "tests/support/script_server.h"
#include "tests/support/test_util.h"
#include "tests/support/tool_files.h"

namespace lumigrab::testing {

inline void WriteFileBytes(const std::filesystem::path& path, std::string_view bytes)
{
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

// The ARTICLE commands a protocol log holds, in order.
inline std::vector<std::string> ArticleCommandsIn(const std::filesystem::path& log)
{
    std::vector<std::string> commands;
    ForEachLine(ReadFileBytes(log), [&](std::string_view line) {
        if (line.starts_with("ARTICLE"))
            commands.emplace_back(line);
    });
    return commands;
}

// The sorted entries of a picture folder that holds names and the
// harvest's hidden index.
inline std::vector<std::string> WithHarvestIndex(std::vector<std::string> names)
{
    names.push_back(".lumigrab-index");
    std::sort(names.begin(), names.end());
    return names;
}

// Records every command line the client sends.
inline std::shared_ptr<std::vector<std::string>> RecordSentLines(TmsNNTP& client)
{
    auto lines = std::make_shared<std::vector<std::string>>();
    client.OnLineSent = [lines](TObject*, const std::string& line) { lines->push_back(line); };
    return lines;
}

// A group of articles first..first + count - 1 as a minimal news server
// presents it. Replies listed in overrides (by exact command) win.
struct FakeGroup {
    std::string name = "lumigrab.test";
    int count = 5;
    // Providers' groups are numbered far beyond 2^32.
    TArticleNumber first = 1;
    TArticleNumber current = 1;
    std::map<std::string, std::optional<std::string>> overrides;
    std::string articleHeaders = "Subject: a test\r\nLines: 3\r\n";
    // Numbers the server no longer has: STAT answers 423 for them and NEXT
    // passes them by.
    std::set<TArticleNumber> missing;
    // Whole texts (headers, empty line, body; CR LF line ends) in place of
    // the standard three-line article.
    std::map<TArticleNumber, std::string> texts;
    // Replies to ARTICLE while the number is the current one, in place of
    // the text ("430 ..." for an article taken down after its HEAD).
    std::map<TArticleNumber, std::optional<std::string>> articleReplies;
    // The overview the server offers: none (CAPABILITIES and XOVER are
    // unknown commands), OVER announced by an RFC 3977 server, or XOVER of
    // an older server that knows no CAPABILITIES.
    enum class Overview { None, Over, XOver } overview = Overview::None;
    // Numbers the overview lists although the server no longer has them.
    std::set<TArticleNumber> listedButGone;

    TArticleNumber Last() const { return first + TArticleNumber(count) - 1; }

    std::string Found() const { return std::to_string(current) + " " + MessageIdOf(current) + "\r\n"; }

    // The article's own Message-ID, else one made from its number: replies
    // name the article as its header does.
    std::string MessageIdOf(TArticleNumber number) const
    {
        const std::string id = FieldOf(HeaderBlockOf(number), "Message-ID");
        return id.empty() ? "<" + std::to_string(number) + "@test>" : id;
    }

    bool Present(TArticleNumber number) const
    {
        return number >= first && number <= Last() && !missing.contains(number);
    }

    std::string HeaderBlock() const { return HeaderBlockOf(current); }

    std::string HeaderBlockOf(TArticleNumber number) const
    {
        if (const auto text = texts.find(number); text != texts.end())
            return text->second.substr(0, text->second.find("\r\n\r\n") + 2);
        return "Subject: article " + std::to_string(number) + "\r\n" + articleHeaders;
    }

    static std::string FieldOf(const std::string& headers, const std::string& name)
    {
        const size_t start = headers.find(name + ": ");
        if (start == std::string::npos)
            return "";
        const size_t value = start + name.size() + 2;
        return headers.substr(value, headers.find("\r\n", value) - value);
    }

    // Subject, From, Date, Message-ID, References, Bytes, Lines, Xref.
    std::string OverviewLine(TArticleNumber number) const
    {
        const std::string headers = HeaderBlockOf(number);
        const std::string n = std::to_string(number);
        return n + "\t" + FieldOf(headers, "Subject") + "\tposter@test\tdate\t" + MessageIdOf(number)
            + "\t\t100\t" + FieldOf(headers, "Lines") + "\tXref: test " + name + ":" + n + "\r\n";
    }

    std::string OverviewReply(const std::string& range) const
    {
        const size_t dash = range.find('-');
        const TArticleNumber from = std::stoull(range.substr(0, dash));
        const TArticleNumber to = dash + 1 < range.size() ? std::stoull(range.substr(dash + 1)) : Last();
        std::string lines;
        const TArticleNumber end = std::min(to, Last());
        for (TArticleNumber number = std::max(from, first); number <= end; ++number) {
            if (Present(number) || listedButGone.contains(number))
                lines += OverviewLine(number);
            // The highest number has no next one.
            if (number == end)
                break;
        }
        if (lines.empty() && overview == Overview::Over)
            return "423 no articles in " + range + "\r\n";
        return "224 overview follows\r\n" + lines + ".\r\n";
    }

    std::optional<std::string> OverviewCommand(const std::string& command) const
    {
        if (overview == Overview::Over && command == "CAPABILITIES")
            return std::string("101 capabilities\r\nVERSION 2\r\nREADER\r\nOVER\r\nLIST ACTIVE "
                               "OVERVIEW.FMT\r\n.\r\n");
        if (command == "LIST OVERVIEW.FMT")
            return std::string("215 format\r\nSubject:\r\nFrom:\r\nDate:\r\nMessage-ID:\r\nReferences:\r\n"
                               ":bytes\r\n:lines\r\nXref:full\r\n.\r\n");
        const std::string word = overview == Overview::Over ? "OVER " : "XOVER ";
        if (command.starts_with(word))
            return OverviewReply(command.substr(word.size()));
        return std::nullopt;
    }

    std::string ArticleData() const
    {
        if (const auto text = texts.find(current); text != texts.end())
            return DotStuffed(text->second);
        return HeaderBlock() + "\r\nline one\r\nline two\r\n" + std::string(ReplyPause) + "line three\r\n";
    }

    static std::string DotStuffed(const std::string& text)
    {
        std::string stuffed;
        size_t start = 0;
        while (start < text.size()) {
            const size_t end = std::min(text.find("\r\n", start), text.size());
            if (text[start] == '.')
                stuffed += '.';
            stuffed += text.substr(start, end - start) + "\r\n";
            start = end + 2;
        }
        return stuffed;
    }

    std::optional<std::string> Reply(const std::string& command)
    {
        if (auto found = overrides.find(command); found != overrides.end())
            return found->second;
        if (command == "GROUP " + name) {
            for (current = first; current < Last() && !Present(current); ++current) { }
            return "211 " + std::to_string(count) + " " + std::to_string(first) + " " + std::to_string(Last())
                + " " + name + "\r\n";
        }
        if (command == "STAT")
            return Present(current) ? "223 " + Found() : std::string("420 no current article\r\n");
        if (command.starts_with("STAT ")) {
            const TArticleNumber number = std::stoull(command.substr(5));
            if (!Present(number))
                return std::string("423 no such article number in this group\r\n");
            current = number;
            return "223 " + Found();
        }
        if (command == "NEXT") {
            if (current >= Last())
                return std::string("421 no next article in this group\r\n");
            TArticleNumber next = current + 1;
            while (next <= Last() && !Present(next))
                ++next;
            if (next > Last())
                return std::string("421 no next article in this group\r\n");
            current = next;
            return "223 " + Found();
        }
        if (command == "HEAD")
            return "221 " + Found() + HeaderBlock() + ".\r\n";
        if (command.starts_with("ARTICLE ")) {
            const TArticleNumber number = std::stoull(command.substr(8));
            if (!Present(number))
                return std::string("423 no such article number in this group\r\n");
            current = number;
            return Reply("ARTICLE");
        }
        if (command == "ARTICLE") {
            if (auto reply = articleReplies.find(current); reply != articleReplies.end())
                return reply->second;
            return "220 " + Found() + std::string(ReplyPause) + ArticleData() + ".\r\n";
        }
        if (overview != Overview::None) {
            if (auto reply = OverviewCommand(command))
                return reply;
        }
        if (command == "QUIT")
            return std::string("205 bye\r\n");
        return std::string("500 unknown command\r\n");
    }
};

inline std::vector<TArticleNumber> HeaderNumbers(const TmsNNTP& client)
{
    std::vector<TArticleNumber> numbers;
    for (int i = 0; i < client.HeaderList.Count(); ++i)
        numbers.push_back(client.HeaderList.Entries(i).Number);
    return numbers;
}

// A news client and a scripted server that answers as group does.
class ScriptedNewsTest : public ::testing::Test {
protected:
    // Before the client, whose farewell may still report errors.
    std::vector<std::string> errors;
    std::shared_ptr<FakeGroup> group = std::make_shared<FakeGroup>();
    std::unique_ptr<ScriptServer> server;
    TmsArticle article;
    TmsNNTP client;

    // Replaces any earlier server and points the client at the new one,
    // which answers by script, or as group does.
    void StartServer(std::string greeting, ReplyScript script = {})
    {
        if (!script)
            script = [state = group](const std::string& command) { return state->Reply(command); };
        server.reset();
        server = std::make_unique<ScriptServer>(std::move(script), std::move(greeting));
        client.SetWinsockLoaded(true);
        client.Server = server->Address();
        client.TimeOut = 5;
        client.SetArticle(&article);
        client.OnError = [this](TObject*, std::string& msg) { errors.push_back(msg); };
    }
};

// A client and a scripted server without overview, which greets it.
class NntpClientTest : public ScriptedNewsTest {
protected:
    void SetUp() override { StartServer("200 scripted server ready\r\n"); }

    void SelectTestGroup() { client.SetNewsGroup("lumigrab.test"); }
};

// The same, for servers scripted to misbehave.
class HostileServerTest : public ScriptedNewsTest {
protected:
    void SetUp() override { StartServer("200 ready\r\n"); }
};

// A client that walks with overview and a scripted server that offers it
// (OVER, as group says), with the transcript of what they said.
class OverviewTest : public ScriptedNewsTest {
protected:
    // "> command" and "< reply" in the order sent and received.
    std::vector<std::string> transcript;

    void SetUp() override
    {
        group->count = 10;
        group->overview = FakeGroup::Overview::Over;
        client.UseOverview = true;
        client.OnLineSent = [this](TObject*, const std::string& line) { transcript.push_back("> " + line); };
        client.OnLineReceived
            = [this](TObject*, const std::string& line) { transcript.push_back("< " + line); };
        StartServer("200 ready\r\n");
    }

    // The client's farewell comes after the transcript is gone.
    void TearDown() override
    {
        client.OnLineSent = nullptr;
        client.OnLineReceived = nullptr;
    }

    std::vector<std::string> Sent() const
    {
        std::vector<std::string> sent;
        for (const std::string& line : transcript) {
            if (line.starts_with("> ") && !line.starts_with("> GROUP"))
                sent.push_back(line.substr(2));
        }
        return sent;
    }

    // Commands sent whose replies had not come yet, at the moment the first
    // line starting with prefix was sent; -1 when none was.
    int OutstandingWhenSent(const std::string& prefix) const
    {
        int outstanding = 0;
        for (const std::string& line : transcript) {
            if (line.starts_with("> " + prefix))
                return outstanding;
            outstanding += line.starts_with("> ") ? 1 : -1;
        }
        return -1;
    }

    // Forgets what was sent and received so far, but for the commands whose
    // replies are still owed on the connection (since its greeting): the
    // counts above stay right.
    void ForgetTranscript()
    {
        const auto greeting = std::find(transcript.rbegin(), transcript.rend(), "< 200 ready");
        const long owed = std::count_if(transcript.rbegin(), greeting, [](const std::string& line) {
            return line.starts_with("> ");
        }) - std::count_if(transcript.rbegin(), greeting, [](const std::string& line) {
            return line.starts_with("< ");
        });
        transcript.assign(size_t(owed), "> (sent before)");
    }

    int MostOutstanding() const
    {
        int outstanding = 0, most = 0;
        for (const std::string& line : transcript) {
            outstanding += line.starts_with("> ") ? 1 : -1;
            most = std::max(most, outstanding);
        }
        return most;
    }
};

// What the client asks a server with OVER as the connection opens.
inline const std::vector<std::string> Capabilities = { "CAPABILITIES", "LIST OVERVIEW.FMT" };

// Runs the lumigrab-harvest command with its output in files of a scratch
// folder and keeps what it printed and its exit code.
class HarvestToolRunner {
protected:
    ScratchFolder scratch;
    int exitCode = -1;
    std::string out, err;

    void RunTool(const std::string& arguments)
    {
        const std::filesystem::path tool = ToolPath("lumigrab-harvest");
        ASSERT_TRUE(std::filesystem::exists(tool)) << "build lumigrab-harvest first";
        ToolRun run = RunCommand(tool.string() + " " + arguments, scratch.Path());
        exitCode = run.exitCode;
        out = std::move(run.out);
        err = std::move(run.err);
    }
};

} // namespace lumigrab::testing
