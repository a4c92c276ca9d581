// lumigrab-harvest walking a group of a million articles from a fast
// overview server on 127.0.0.1: the walk's time and the tool's peak memory
// (its resident set at the highest, as the kernel counted it). The articles
// are small text posts, so the walk fetches none and the figures are those
// of the walk alone.
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

// Answers one client at a time with overview lines made up on the spot:
// CAPABILITIES, GROUP, LIST OVERVIEW.FMT, OVER a-b and QUIT.
class OverviewServer {
public:
    OverviewServer()
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

    static std::string OverviewLines(long first, long last)
    {
        std::string lines = "224 overview follows\r\n";
        char line[256];
        for (long n = std::max(first, 1L); n <= std::min(last, long(GroupSize)); ++n) {
            const int length = std::snprintf(line, sizeof line,
                "%ld\tA text post number %ld\tposter@example.org\tTue, 08 Dec 2026 12:00:00 +0000\t"
                "<%ld@example.org>\t\t2000\t12\tXref: example %s:%ld\r\n",
                n, n, n, GroupName, n);
            lines.append(line, size_t(length));
        }
        return lines + ".\r\n";
    }

    static std::string Reply(const std::string& command)
    {
        if (command == "CAPABILITIES")
            return "101 capabilities\r\nVERSION 2\r\nREADER\r\nOVER\r\nLIST ACTIVE OVERVIEW.FMT\r\n.\r\n";
        if (command == std::string("GROUP ") + GroupName)
            return "211 " + std::to_string(GroupSize) + " 1 " + std::to_string(GroupSize) + " " + GroupName
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

} // namespace
