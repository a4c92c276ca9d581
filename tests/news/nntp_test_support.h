// Shared by the news client tests: the Qt application the transport waits
// on, a scripted loopback news server, and small file helpers.
#pragma once

#include <QCoreApplication>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "news/msnntp.h"

namespace lumigrab::testing {

// The transport waits on Qt's event loop, so every test program needs one
// application object.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        static int argc = 1;
        static char name[] = "news_test";
        static char* argv[] = { name, nullptr };
        app_ = std::make_unique<QCoreApplication>(argc, argv);
    }
    void TearDown() override { app_.reset(); }

private:
    std::unique_ptr<QCoreApplication> app_;
};

inline const ::testing::Environment* const qtEnvironment
    = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// A news server on 127.0.0.1 that answers each command line through a
// script. The script returns the raw bytes to send (CR LF included), "" to
// stay silent, or nullopt to hang up. Pause inside a reply sends what came
// before it as a chunk of its own. Serves one connection at a time.
class ScriptedServer {
public:
    static constexpr std::string_view Pause = "\x01pause\x01";

    using Script = std::function<std::optional<std::string>(const std::string& command)>;

    explicit ScriptedServer(Script script, std::string greeting = "200 scripted server ready\r\n")
        : script_(std::move(script))
        , greeting_(std::move(greeting))
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
            || ::listen(listener_, 4) != 0)
            throw std::runtime_error("scripted server: cannot listen");
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }

    ~ScriptedServer()
    {
        stopping_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        {
            std::lock_guard lock(mutex_);
            if (client_ >= 0)
                ::shutdown(client_, SHUT_RDWR);
        }
        thread_.join();
    }

    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

    // The command lines received so far, without line ends.
    std::vector<std::string> Commands() const
    {
        std::lock_guard lock(mutex_);
        return commands_;
    }

private:
    Script script_;
    std::string greeting_;
    int listener_ = -1;
    int client_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_ { false };
    mutable std::mutex mutex_;
    std::vector<std::string> commands_;
    std::thread thread_;

    void Serve()
    {
        while (!stopping_) {
            const int client = ::accept(listener_, nullptr, nullptr);
            if (client < 0)
                return;
            {
                std::lock_guard lock(mutex_);
                client_ = client;
            }
            Converse(client);
            {
                std::lock_guard lock(mutex_);
                client_ = -1;
            }
            ::close(client);
        }
    }

    static bool SendAll(int socket, std::string_view bytes)
    {
        while (!bytes.empty()) {
            const ssize_t sent = ::send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent <= 0)
                return false;
            bytes.remove_prefix(size_t(sent));
        }
        return true;
    }

    static bool SendInChunks(int socket, std::string_view reply)
    {
        size_t pause;
        while ((pause = reply.find(Pause)) != std::string_view::npos) {
            if (!SendAll(socket, reply.substr(0, pause)))
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            reply.remove_prefix(pause + Pause.size());
        }
        return SendAll(socket, reply);
    }

    void Converse(int client)
    {
        if (!SendAll(client, greeting_))
            return;
        std::string pending;
        char buffer[4096];
        while (true) {
            const ssize_t received = ::recv(client, buffer, sizeof buffer, 0);
            if (received <= 0)
                return;
            pending.append(buffer, size_t(received));
            size_t end;
            while ((end = pending.find("\r\n")) != std::string::npos) {
                const std::string command = pending.substr(0, end);
                pending.erase(0, end + 2);
                {
                    std::lock_guard lock(mutex_);
                    commands_.push_back(command);
                }
                const std::optional<std::string> reply = script_(command);
                if (!reply || !SendInChunks(client, *reply))
                    return;
            }
        }
    }
};

// A fresh folder under the system's temporary folder, removed afterwards.
class TempFolder {
public:
    TempFolder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "lumigrab-news-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("cannot create a temporary folder");
        path_ = pattern;
    }
    ~TempFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::string operator/(std::string_view name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline std::string ReadFileBytes(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

inline void WriteFileBytes(const std::filesystem::path& path, std::string_view bytes)
{
    std::ofstream file(path, std::ios::binary);
    file.write(bytes.data(), std::streamsize(bytes.size()));
}

// Names of the entries of folder, sorted.
inline std::vector<std::string> FolderEntries(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
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

} // namespace lumigrab::testing
