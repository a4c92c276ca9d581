// The first picture of a group across a slow network: from Go (connect,
// GROUP, the header walk) to having the group's first picture article,
// beside a raw-socket client doing the least exchange for the same article.
// bench/first_picture_vs_floor.sh starts the news server (INN2), posts the
// group (FIRST_PICTURE_AT small text articles, then the picture, then more
// text) and puts a delaying proxy in front of it (LUMIGRAB_NNTP_PORT).
#include <benchmark/benchmark.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>

#include "bench/nntp_bench_client.h"
#include "news/harvest.h"

namespace lumigrab {
namespace {

using namespace bench;
using Clock = std::chrono::steady_clock;

const char* const FirstPictureGroup = "lumigrab.bench.first";
// Articles before the picture; the group has 5000.
constexpr int32_t PictureOffset = 4000;
constexpr int RangeSize = 1000;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// With LUMIGRAB_BENCH_TRACE=FILE, the first run's commands and replies (not
// their data) go to FILE, each with the milliseconds since Go: where the
// round trips go.
class LineTrace {
public:
    LineTrace(TmsNNTP& client, Clock::time_point start)
    {
        const char* path = std::getenv("LUMIGRAB_BENCH_TRACE");
        if (!path || traced_)
            return;
        traced_ = true;
        file_ = std::make_shared<std::ofstream>(path);
        client.OnLineSent = [file = file_, start](TObject*, const std::string& line) {
            *file << Stamp(start) << " > " << line << "\n";
        };
        client.OnLineReceived = [file = file_, start](TObject*, const std::string& line) {
            *file << Stamp(start) << " < " << line << "\n";
        };
    }

private:
    static inline bool traced_ = false;
    std::shared_ptr<std::ofstream> file_;

    static std::string Stamp(Clock::time_point start)
    {
        char text[32];
        std::snprintf(text, sizeof text, "%8.1f ms", SecondsSince(start) * 1000);
        return text;
    }
};

// Go as the window does it: the program's client settings, the harvest on
// every header, the walk from the group's first article.
void BM_FirstPictureClient(benchmark::State& state)
{
    const std::filesystem::path folder
        = std::filesystem::temp_directory_path() / ("lumigrab-first-" + std::to_string(::getpid()));
    double pictureSeconds = 0;
    for (auto _ : state) {
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        TmsArticle article;
        TmsNNTP client;
        PrepareClient(client, article, true);
        client.OverviewRangeSize = RangeSize;
        THarvest harvest(client, folder.string());
        std::optional<double> articleAt;
        const Clock::time_point start = Clock::now();
        const LineTrace trace(client, start);
        client.OnArticleRetrieved = [&](TObject*) {
            if (!articleAt)
                articleAt = SecondsSince(start);
        };
        harvest.OnPictureKept = [&](const std::string&) {
            pictureSeconds += SecondsSince(start);
            client.Cancel();
        };
        client.OnNextHeaderRetrieved
            = [&](TObject*, int num) { harvest.HarvestHeader(client.HeaderList.Entries(num)); };
        try {
            client.SetNewsGroup(FirstPictureGroup);
            client.RetrieveHeaders(0, false);
        } catch (const ECanceledError&) {
        }
        if (!articleAt) {
            state.SkipWithError("no picture article arrived");
            break;
        }
        state.SetIterationTime(*articleAt);
    }
    std::filesystem::remove_all(folder);
    state.counters["picture_kept_ms"]
        = benchmark::Counter(pictureSeconds * 1000, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_FirstPictureClient)->Unit(benchmark::kMillisecond)->Iterations(7)->UseManualTime();

// A blocking connection with its own line reader.
class RawConnection {
public:
    explicit RawConnection(uint16_t port)
    {
        socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int on = 1;
        ::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot connect to the proxy");
    }
    ~RawConnection() { ::close(socket_); }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    void Send(const std::string& text)
    {
        if (::send(socket_, text.data(), text.size(), MSG_NOSIGNAL) != ssize_t(text.size()))
            throw std::runtime_error("send failed");
    }

    // One line without its CR LF.
    std::string Line()
    {
        size_t end;
        while ((end = buffer_.find("\r\n", start_)) == std::string::npos) {
            buffer_.erase(0, start_);
            start_ = 0;
            char chunk[65536];
            const ssize_t count = ::recv(socket_, chunk, sizeof chunk, 0);
            if (count <= 0)
                throw std::runtime_error("connection closed");
            buffer_.append(chunk, size_t(count));
        }
        std::string line = buffer_.substr(start_, end - start_);
        start_ = end + 2;
        return line;
    }

private:
    int socket_ = -1;
    std::string buffer_;
    size_t start_ = 0;
};

uint16_t ProxyPort()
{
    const char* port = std::getenv("LUMIGRAB_NNTP_PORT");
    return uint16_t(std::atoi(port ? port : "119"));
}

// The least exchange: after GROUP every overview range up to the picture at
// once, ARTICLE the moment the picture's overview line arrives.
void BM_FirstPictureFloor(benchmark::State& state)
{
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        RawConnection server(ProxyPort());
        server.Line();
        server.Send(std::string("GROUP ") + FirstPictureGroup + "\r\n");
        const std::string group = server.Line();
        const int32_t first = std::stoi(group.substr(group.find(' ', 4)));
        const int32_t picture = first + PictureOffset;
        std::string ranges;
        int replies = 0;
        for (int32_t from = first; from <= picture; from += RangeSize, ++replies)
            ranges += "OVER " + std::to_string(from) + "-" + std::to_string(from + RangeSize - 1) + "\r\n";
        server.Send(ranges);
        const std::string pictureLine = std::to_string(picture) + "\t";
        for (int reply = 0; reply < replies; ++reply) {
            server.Line();
            for (std::string line; (line = server.Line()) != ".";) {
                if (line.starts_with(pictureLine))
                    server.Send("ARTICLE " + std::to_string(picture) + "\r\n");
            }
        }
        if (!server.Line().starts_with("220")) {
            state.SkipWithError("the picture article is not there");
            break;
        }
        int64_t lines = 0;
        while (server.Line() != ".")
            ++lines;
        state.SetIterationTime(SecondsSince(start));
        state.counters["article_lines"] = double(lines);
    }
}
BENCHMARK(BM_FirstPictureFloor)->Unit(benchmark::kMillisecond)->Iterations(7)->UseManualTime();

} // namespace
} // namespace lumigrab
