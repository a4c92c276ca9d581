// A server on 127.0.0.1 (or another loopback address, such as ::1) that
// plays a script to each client it accepts, one client at a time: either a
// fixed list of sends, pauses and reads, or a reply per command line.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/support/qt_environment.h"
#include "tests/support/test_util.h"

namespace lumigrab::testing {

struct Step {
    enum Kind { Send, Pause, Close, ReadLine, SendForever } kind;
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
// Waits for one CR LF line from the client.
inline Step ReadLine()
{
    return { Step::ReadLine, {}, 0 };
}
// Sends text again and again until the client hangs up or the server stops:
// a line or data block that never ends.
inline Step SendForever(std::string text)
{
    return { Step::SendForever, std::move(text), 0 };
}

// Returns the bytes to send for a command line (CR LF included): "" stays
// silent, nullopt hangs up. ReplyPause inside a reply sends what came before
// it as a chunk of its own; what follows ReplyForever is sent again and again
// until the client hangs up.
using ReplyScript = std::function<std::optional<std::string>(const std::string& command)>;
inline constexpr std::string_view ReplyPause = "\x01pause\x01";
inline constexpr std::string_view ReplyForever = "\x01repeat\x01";

// One accepted connection's bytes: read returns the count received (0 or
// less once the connection has ended), write whether every byte went out.
struct ByteChannel {
    std::function<long(char* buffer, size_t size)> read;
    std::function<bool(std::string_view bytes)> write;
};

// Makes a channel of an accepted socket (say, after a TLS handshake) and holds
// the conversation over it; the server closes the socket afterwards.
using ChannelOpener
    = std::function<void(int client, const std::function<void(const ByteChannel&)>& converse)>;

// Whether this machine can listen on the IPv6 loopback address ::1.
inline bool HasIPv6Loopback()
{
    const int s = ::socket(AF_INET6, SOCK_STREAM, 0);
    if (s < 0)
        return false;
    sockaddr_in6 address {};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    const bool bound = ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(s);
    return bound;
}

class ScriptServer {
public:
    explicit ScriptServer(std::vector<Step> steps)
        : ScriptServer(
            [this, steps = std::move(steps)](const ByteChannel& client) { PlaySteps(client, steps); },
            PlainChannel, "127.0.0.1")
    {
    }

    ScriptServer(std::initializer_list<Step> steps)
        : ScriptServer(std::vector<Step>(steps))
    {
    }

    // host: the numeric loopback address to listen on ("127.0.0.1", "::1").
    ScriptServer(ReplyScript script, std::string greeting, ChannelOpener opener = PlainChannel,
        const std::string& host = "127.0.0.1")
        : ScriptServer([this, script = std::move(script), greeting = std::move(greeting)](
                           const ByteChannel& client) { AnswerCommands(client, script, greeting); },
            std::move(opener), host)
    {
    }

    ~ScriptServer()
    {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            if (client_ >= 0)
                ::shutdown(client_, SHUT_RDWR);
        }
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }

    ScriptServer(const ScriptServer&) = delete;
    ScriptServer& operator=(const ScriptServer&) = delete;

    uint16_t Port() const { return port_; }
    // "127.0.0.1:PORT", "[::1]:PORT": a Server value that reaches it.
    std::string Address() const
    {
        const bool ipv6 = host_.find(':') != std::string::npos;
        return (ipv6 ? "[" + host_ + "]" : host_) + ":" + std::to_string(port_);
    }

    static void PlainChannel(int client, const std::function<void(const ByteChannel&)>& converse)
    {
        converse({ [client](char* buffer, size_t size) { return long(::recv(client, buffer, size, 0)); },
            [client](std::string_view bytes) { return SendAll(client, bytes); } });
    }
    int Accepted() const { return accepted_; }

    // The lines received so far, without line ends.
    std::vector<std::string> Lines() const
    {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    using Conversation = std::function<void(const ByteChannel& client)>;

    Conversation conversation_;
    ChannelOpener opener_;
    std::string host_;
    int listener_ = -1;
    int client_ = -1;
    uint16_t port_ = 0;
    bool stopping_ = false;
    std::atomic<int> accepted_ { 0 };
    std::string pending_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::thread thread_;

    ScriptServer(Conversation conversation, ChannelOpener opener, const std::string& host)
        : conversation_(std::move(conversation))
        , opener_(std::move(opener))
        , host_(host)
    {
        sockaddr_storage address {};
        socklen_t length = 0;
        if (host.find(':') != std::string::npos) {
            auto* ipv6 = reinterpret_cast<sockaddr_in6*>(&address);
            ipv6->sin6_family = AF_INET6;
            ::inet_pton(AF_INET6, host.c_str(), &ipv6->sin6_addr);
            length = sizeof *ipv6;
        } else {
            auto* ipv4 = reinterpret_cast<sockaddr_in*>(&address);
            ipv4->sin_family = AF_INET;
            ::inet_pton(AF_INET, host.c_str(), &ipv4->sin_addr);
            length = sizeof *ipv4;
        }
        listener_ = ::socket(address.ss_family, SOCK_STREAM, 0);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0
            || ::listen(listener_, 4) != 0) {
            ::close(listener_);
            throw std::runtime_error("script server: cannot listen on " + host);
        }
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                                    : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
        thread_ = std::thread([this] { Serve(); });
    }

    void Serve()
    {
        int client;
        while ((client = ::accept(listener_, nullptr, nullptr)) >= 0) {
            {
                // Checked under the lock so that the destructor either sees
                // this client or this loop sees the stop.
                std::lock_guard lock(mutex_);
                if (stopping_) {
                    ::close(client);
                    return;
                }
                client_ = client;
            }
            ++accepted_;
            pending_.clear();
            opener_(client, conversation_);
            std::lock_guard lock(mutex_);
            client_ = -1;
            ::close(client);
        }
    }

    bool Stopping() const
    {
        std::lock_guard lock(mutex_);
        return stopping_;
    }

    // Ends when the client hangs up (or stops the server by closing it).
    void SendEndlessly(const ByteChannel& client, std::string_view text)
    {
        while (!Stopping() && client.write(text)) { }
    }

    static bool SendAll(int client, std::string_view bytes)
    {
        while (!bytes.empty()) {
            const ssize_t sent = ::send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent <= 0)
                return false;
            bytes.remove_prefix(size_t(sent));
        }
        return true;
    }

    std::optional<std::string> ReceiveLine(const ByteChannel& client)
    {
        char buffer[4096];
        size_t end;
        while ((end = pending_.find("\r\n")) == std::string::npos) {
            const long count = client.read(buffer, sizeof buffer);
            if (count <= 0)
                return std::nullopt;
            pending_.append(buffer, size_t(count));
        }
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 2);
        std::lock_guard lock(mutex_);
        lines_.push_back(line);
        return line;
    }

    // After the steps the connection stays open and silent until the client
    // closes it or the server stops.
    void PlaySteps(const ByteChannel& client, const std::vector<Step>& steps)
    {
        for (const Step& step : steps) {
            if (step.kind == Step::SendForever)
                return SendEndlessly(client, step.text);
            if (step.kind == Step::Close || (step.kind == Step::ReadLine && !ReceiveLine(client))
                || (step.kind == Step::Send && !client.write(step.text)))
                return;
            if (step.kind == Step::Pause)
                std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
        }
        char buffer[4096];
        while (client.read(buffer, sizeof buffer) > 0) { }
    }

    // The greeting may hold pauses too.
    void AnswerCommands(const ByteChannel& client, const ReplyScript& script, const std::string& greeting)
    {
        if (!SendInChunks(client, greeting))
            return;
        while (const std::optional<std::string> command = ReceiveLine(client)) {
            const std::optional<std::string> reply = script(*command);
            if (!reply || !SendInChunks(client, *reply))
                return;
        }
    }

    bool SendInChunks(const ByteChannel& client, std::string_view reply)
    {
        const size_t endless = reply.find(ReplyForever);
        if (endless != std::string_view::npos) {
            if (SendInChunks(client, reply.substr(0, endless)))
                SendEndlessly(client, reply.substr(endless + ReplyForever.size()));
            return false;
        }
        size_t pause;
        while ((pause = reply.find(ReplyPause)) != std::string_view::npos) {
            if (!client.write(reply.substr(0, pause)))
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            reply.remove_prefix(pause + ReplyPause.size());
        }
        return client.write(reply);
    }
};

// A loopback port nothing listens on.
inline uint16_t UnusedLoopbackPort()
{
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(probe);
    return ntohs(address.sin_port);
}

} // namespace lumigrab::testing
