// lumigrab-harvest walking a group of a million articles from a fast
// overview server on 127.0.0.1: the walk's time and the tool's peak memory
// (its resident set at the highest, as the kernel counted it). The articles
// are small text posts, so the walk fetches none and the figures are those
// of the walk alone.
//
// Then the same tool fetching from a server whose one picture article never
// ends: the article bound (256 MB) ends it, and the tool must have held the
// article at most once the bound meanwhile.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

constexpr int GroupSize = 1000000;
const char* const GroupName = "alt.binaries.pictures.big";
// The client's article bound (TktSocket::DefaultMaxBlockSize), in MiB.
constexpr double ArticleBoundMiB = 256;

// Answers one client at a time with overview lines made up on the spot:
// CAPABILITIES, GROUP, LIST OVERVIEW.FMT, OVER a-b and QUIT. With
// endlessArticle the group holds one picture article, whose text ARTICLE
// sends until the client hangs up.
class OverviewServer {
public:
    explicit OverviewServer(bool endlessArticle = false)
        : endless_(endlessArticle)
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0
            || ::listen(listener_, 4) != 0
            || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            throw std::runtime_error("cannot listen on 127.0.0.1");
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }

    ~OverviewServer()
    {
        stopping_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        thread_.join();
    }

    int Port() const { return port_; }

private:
    const bool endless_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_ { false };
    std::thread thread_;

    void Serve()
    {
        while (!stopping_) {
            const int client = ::accept(listener_, nullptr, nullptr);
            if (client < 0)
                return;
            Converse(client);
            ::close(client);
        }
    }

    static bool Send(int client, const std::string& bytes)
    {
        size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(client, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += size_t(n);
        }
        return true;
    }

    long Size() const { return endless_ ? 1 : GroupSize; }

    std::string OverviewLines(long first, long last) const
    {
        std::string lines = "224 overview follows\r\n";
        char line[256];
        for (long n = std::max(first, 1L); n <= std::min(last, Size()); ++n) {
            const int length = std::snprintf(line, sizeof line,
                "%ld\tA %s post number %ld\tposter@example.org\tTue, 08 Dec 2026 12:00:00 +0000\t"
                "<%ld@example.org>\t\t2000\t%d\tXref: example %s:%ld\r\n",
                n, endless_ ? "picture" : "text", n, n, endless_ ? 200 : 12, GroupName, n);
            lines.append(line, size_t(length));
        }
        return lines + ".\r\n";
    }

    // Base64 lines of a picture, for as long as the client takes them.
    static void SendEndlessArticle(int client)
    {
        if (!Send(client,
                "220 1 <1@example.org>\r\nSubject: endless.jpg\r\nMessage-ID: <1@example.org>\r\n"
                "Lines: 200\r\nMIME-Version: 1.0\r\nContent-Type: image/jpeg; name=\"endless.jpg\"\r\n"
                "Content-Transfer-Encoding: base64\r\n\r\n"))
            return;
        std::string lines;
        while (lines.size() < (size_t(1) << 20))
            lines += std::string(76, 'A') + "\r\n";
        while (Send(client, lines)) { }
    }

    std::string Reply(const std::string& command) const
    {
        if (command == "CAPABILITIES")
            return "101 capabilities\r\nVERSION 2\r\nREADER\r\nOVER\r\nLIST ACTIVE OVERVIEW.FMT\r\n.\r\n";
        if (command == std::string("GROUP ") + GroupName)
            return "211 " + std::to_string(Size()) + " 1 " + std::to_string(Size()) + " " + GroupName
                + "\r\n";
        if (command == "LIST OVERVIEW.FMT")
            return "215 format\r\nSubject:\r\nFrom:\r\nDate:\r\nMessage-ID:\r\nReferences:\r\n:bytes\r\n"
                   ":lines\r\nXref:full\r\n.\r\n";
        long first = 0, last = 0;
        if (std::sscanf(command.c_str(), "OVER %ld-%ld", &first, &last) == 2)
            return OverviewLines(first, last);
        if (command == "QUIT")
            return "205 bye\r\n";
        return "500 unknown command\r\n";
    }

    void Converse(int client)
    {
        if (!Send(client, "200 overview server ready\r\n"))
            return;
        std::string received;
        char buffer[4096];
        while (true) {
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0)
                return;
            received.append(buffer, size_t(n));
            size_t end;
            while ((end = received.find("\r\n")) != std::string::npos) {
                const std::string command = received.substr(0, end);
                received.erase(0, end + 2);
                if (endless_ && command.starts_with("ARTICLE")) {
                    SendEndlessArticle(client);
                    return;
                }
                if (!Send(client, Reply(command)) || command == "QUIT")
                    return;
            }
        }
    }
};

std::filesystem::path HarvestTool()
{
    const std::filesystem::path bench = std::filesystem::read_symlink("/proc/self/exe");
    return bench.parent_path().parent_path() / "tools" / "lumigrab-harvest";
}

// Runs the tool with its output thrown away; returns its exit status and
// fills in its resource use.
int RunTool(
    const std::filesystem::path& tool, const std::string& server, const std::string& folder, rusage& usage)
{
    const pid_t child = ::fork();
    if (child == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::execl(tool.c_str(), tool.c_str(), "--server", server.c_str(), "--group", GroupName, "--folder",
            folder.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::wait4(child, &status, 0, &usage);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void BM_HarvestWalkMillionOverviewLines(benchmark::State& state)
{
    const std::filesystem::path tool = HarvestTool();
    if (!std::filesystem::exists(tool)) {
        state.SkipWithError("build lumigrab-harvest first");
        return;
    }
    OverviewServer server;
    const std::filesystem::path folder
        = std::filesystem::temp_directory_path() / ("lumigrab-memory-bench-" + std::to_string(::getpid()));
    long peakKilobytes = 0;
    for (auto _ : state) {
        rusage usage {};
        const int status
            = RunTool(tool, "127.0.0.1:" + std::to_string(server.Port()), folder.string(), usage);
        if (status != 0) {
            state.SkipWithError(("lumigrab-harvest exited with " + std::to_string(status)).c_str());
            break;
        }
        peakKilobytes = std::max(peakKilobytes, usage.ru_maxrss);
    }
    std::filesystem::remove_all(folder);
    state.counters["headers"] = GroupSize;
    state.counters["peak_rss_MB"] = double(peakKilobytes) / 1024.0;
    state.counters["headers_per_second"]
        = benchmark::Counter(double(GroupSize) * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_HarvestWalkMillionOverviewLines)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

// The article is cut off at the bound and the harvest ends with exit 1;
// meanwhile the tool holds the article once, not a copy beside it.
void BM_HarvestArticleThatNeverEnds(benchmark::State& state)
{
    const std::filesystem::path tool = HarvestTool();
    if (!std::filesystem::exists(tool)) {
        state.SkipWithError("build lumigrab-harvest first");
        return;
    }
    OverviewServer server(true);
    const std::filesystem::path folder
        = std::filesystem::temp_directory_path() / ("lumigrab-endless-bench-" + std::to_string(::getpid()));
    long peakKilobytes = 0;
    for (auto _ : state) {
        rusage usage {};
        const int status
            = RunTool(tool, "127.0.0.1:" + std::to_string(server.Port()), folder.string(), usage);
        if (status != 1) {
            state.SkipWithError(("lumigrab-harvest exited with " + std::to_string(status)).c_str());
            break;
        }
        peakKilobytes = std::max(peakKilobytes, usage.ru_maxrss);
    }
    std::filesystem::remove_all(folder);
    const double peak = double(peakKilobytes) / 1024.0;
    state.counters["peak_rss_MiB"] = peak;
    state.counters["bound_MiB"] = ArticleBoundMiB;
    // The tool's own start-up takes some megabytes beside the article.
    if (peak > ArticleBoundMiB * 1.25)
        state.SkipWithError("the article was held more than once its bound");
}
BENCHMARK(BM_HarvestArticleThatNeverEnds)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

} // namespace
