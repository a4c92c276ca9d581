// Test helpers: a Qt application for the event loop, and a loopback server
// that plays a script of sends, pauses and closes to one client.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace lumigrab::testing {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        static int argc = 1;
        static char name[] = "transport_test";
        static char* argv[] = { name, nullptr };
        app_ = new QCoreApplication(argc, argv);
    }
    void TearDown() override
    {
        delete app_;
        app_ = nullptr;
    }

private:
    QCoreApplication* app_ = nullptr;
};

inline ::testing::Environment* const qtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

struct Step {
    enum Kind { Send, Pause, Close, ReadLine } kind;
    std::string text;
    int ms = 0;
};

inline Step Send(std::string text)
{
    return { Step::Send, std::move(text), 0 };
}
inline Step Pause(int ms)
{
    return { Step::Pause, {}, ms };
}
inline Step CloseConnection()
{
    return { Step::Close, {}, 0 };
}
// Waits for one CR LF line from the client and records it.
inline Step ReadLine()
{
    return { Step::ReadLine, {}, 0 };
}

class ScriptServer {
public:
    explicit ScriptServer(std::vector<Step> script)
        : script_(std::move(script))
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 4);
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Run(); });
    }

    ~ScriptServer()
    {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }

    uint16_t Port() const { return port_; }
    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
    int Accepted() const { return accepted_; }

    std::vector<std::string> Lines()
    {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    std::vector<Step> script_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_ { false };
    std::atomic<int> accepted_ { 0 };
    std::mutex mutex_;
    std::vector<std::string> lines_;
    std::string pending_;

    bool Readable(int fd)
    {
        pollfd entry { fd, POLLIN, 0 };
        return ::poll(&entry, 1, 20) > 0;
    }

    void Run()
    {
        int client = -1;
        while (!stop_ && client < 0) {
            if (Readable(listener_))
                client = ::accept(listener_, nullptr, nullptr);
        }
        if (client < 0)
            return;
        ++accepted_;
        bool open = Play(client);
        // Keep the connection (silent) until the client closes or the test ends.
        char buffer[4096];
        while (open && !stop_) {
            if (Readable(client) && ::recv(client, buffer, sizeof buffer, 0) <= 0)
                break;
        }
        ::close(client);
    }

    bool Play(int client)
    {
        for (const Step& step : script_) {
            switch (step.kind) {
            case Step::Send:
                ::send(client, step.text.data(), step.text.size(), MSG_NOSIGNAL);
                break;
            case Step::Pause:
                std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
                break;
            case Step::Close:
                return false;
            case Step::ReadLine:
                if (!ReceiveLine(client))
                    return false;
                break;
            }
        }
        return true;
    }

    bool ReceiveLine(int client)
    {
        char buffer[4096];
        size_t end;
        while ((end = pending_.find("\r\n")) == std::string::npos) {
            if (stop_)
                return false;
            if (!Readable(client))
                continue;
            long count = ::recv(client, buffer, sizeof buffer, 0);
            if (count <= 0)
                return false;
            pending_.append(buffer, size_t(count));
        }
        std::lock_guard lock(mutex_);
        lines_.push_back(pending_.substr(0, end));
        pending_.erase(0, end + 2);
        return true;
    }
};

} // namespace lumigrab::testing
