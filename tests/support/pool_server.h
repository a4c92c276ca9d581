// A news server on loopback for tests of several connections at once: it
// numbers connections as they are accepted, from 1, greets each as told (an
// empty greeting hangs up at once) and answers each on a thread of its own
// by script.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lumigrab::testing {

// The server's answer to one command line; hangUp closes the connection
// after the bytes.
struct Answer {
    std::string bytes;
    bool hangUp = false;
};

// Numbers connections as they are accepted, from 1, and answers each on a
// thread of its own.
class PoolServer {
public:
    using Script = std::function<Answer(int connection, const std::string& command)>;

    PoolServer(std::function<std::string(int connection)> greeting, Script script)
        : greeting_(std::move(greeting))
        , script_(std::move(script))
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(listener_, 64);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] { Accept(); });
    }

    ~PoolServer()
    {
        ::shutdown(listener_, SHUT_RDWR);
        acceptor_.join();
        {
            const std::lock_guard lock(mutex_);
            for (int client : clients_)
                ::shutdown(client, SHUT_RDWR);
        }
        for (std::thread& thread : threads_)
            thread.join();
        ::close(listener_);
    }

    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

    // Connections accepted so far.
    int Accepted() const
    {
        const std::lock_guard lock(mutex_);
        return int(threads_.size());
    }

    // Command lines that arrived, over every connection.
    int Commands() const
    {
        const std::lock_guard lock(mutex_);
        return int(commands_.size());
    }

    // How often each command line arrived, over every connection.
    int Count(const std::string& command) const
    {
        const std::lock_guard lock(mutex_);
        return int(std::count(commands_.begin(), commands_.end(), command));
    }

private:
    std::function<std::string(int)> greeting_;
    Script script_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread acceptor_;
    std::vector<std::thread> threads_;
    mutable std::mutex mutex_;
    std::vector<int> clients_;
    std::vector<std::string> commands_;

    void Accept()
    {
        for (int number = 1;; ++number) {
            const int client = ::accept(listener_, nullptr, nullptr);
            if (client < 0)
                return;
            const std::lock_guard lock(mutex_);
            clients_.push_back(client);
            threads_.emplace_back([this, client, number] { Converse(client, number); });
        }
    }

    void Converse(int client, int number)
    {
        const std::string greeting = greeting_(number);
        if (!greeting.empty() && Send(client, greeting)) {
            std::string pending;
            char buffer[4096];
            long received;
            while ((received = ::recv(client, buffer, sizeof buffer, 0)) > 0) {
                pending.append(buffer, size_t(received));
                if (!AnswerLines(client, number, pending))
                    break;
            }
        }
        ::shutdown(client, SHUT_RDWR);
    }

    bool AnswerLines(int client, int number, std::string& pending)
    {
        for (size_t end; (end = pending.find("\r\n")) != std::string::npos;) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 2);
            {
                const std::lock_guard lock(mutex_);
                commands_.push_back(line);
            }
            const Answer answer = script_(number, line);
            if (!Send(client, answer.bytes) || answer.hangUp)
                return false;
        }
        return true;
    }

    static bool Send(int client, const std::string& bytes)
    {
        return bytes.empty()
            || ::send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL) == long(bytes.size());
    }
};

} // namespace lumigrab::testing
