// A first server that lost some bodies while its overview still lists
// them, as after a takedown or an early expiry: a proxy on 127.0.0.1 in
// front of a real server (the test INN2) that passes the server's bytes
// back untouched and asks for an article no server has in place of each
// lost one, by number or by message-id, so that ARTICLE answers 430.
// Replies stay in step, pipelined or not. The server itself, as a fill
// server, still has them. It cannot see into a deflate stream, so it
// offers none: COMPRESS is sent on as a command the server refuses. Serves
// any number of clients at once, each on a connection of its own upstream.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <list>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "news/msnntp.h"

namespace lumigrab::testing {

class LossyServer {
public:
    // Loses the articles of group on the server at 127.0.0.1:port whose
    // subjects are among lostSubjects.
    LossyServer(const std::string& port, const std::string& group, const std::set<std::string>& lostSubjects)
        : upstream_(Loopback(uint16_t(std::stoi(port))))
    {
        TmsNNTP client;
        client.SetWinsockLoaded(true);
        client.Server = "127.0.0.1:" + port;
        client.UseOverview = true;
        client.HeaderList.SetRetention(0);
        client.SetNewsGroup(group);
        client.RetrieveHeaders(0, true);
        for (int i = 0; i < client.HeaderList.Count(); ++i) {
            const TmsNgInfoItem& header = client.HeaderList.Entries(i);
            const std::string subject = header.GetFieldValue("Subject");
            const std::string id = header.GetFieldValue("Message-ID");
            headers_.emplace_back(subject, id);
            if (lostSubjects.count(subject))
                lost_.insert({ "ARTICLE " + std::to_string(header.Number), "ARTICLE " + id });
        }
        client.Disconnect();
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = Loopback(0);
        socklen_t length = sizeof address;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(listener_, 16);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] { Accept(); });
    }

    ~LossyServer()
    {
        ::shutdown(listener_, SHUT_RDWR);
        acceptor_.join();
        ::close(listener_);
        const std::lock_guard lock(mutex_);
        for (const int socket : sockets_)
            ::shutdown(socket, SHUT_RDWR);
        for (std::thread& thread : threads_)
            thread.join();
        for (const int socket : sockets_)
            ::close(socket);
    }

    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
    // How many articles of the group it lost.
    size_t Lost() const { return lost_.size() / 2; }
    // The group's headers: subject and message-id, in article order.
    const std::vector<std::pair<std::string, std::string>>& Headers() const { return headers_; }

private:
    sockaddr_in upstream_;
    // Each lost article by number and by message-id.
    std::set<std::string> lost_;
    std::vector<std::pair<std::string, std::string>> headers_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::mutex mutex_;
    std::list<int> sockets_;
    // Two per client.
    std::list<std::thread> threads_;
    std::thread acceptor_;

    static sockaddr_in Loopback(uint16_t port)
    {
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        return address;
    }

    static bool SendAll(int socket, std::string_view bytes)
    {
        for (ssize_t sent; !bytes.empty(); bytes.remove_prefix(size_t(sent))) {
            if ((sent = ::send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL)) <= 0)
                return false;
        }
        return true;
    }

    std::string Rewritten(const std::string& line) const
    {
        if (lost_.count(line))
            return "ARTICLE <lost-everywhere@lumigrab.test>";
        return line.starts_with("COMPRESS ") ? "XCOMPRESS-NOT-HERE" : line;
    }

    void Accept()
    {
        for (int client; (client = ::accept(listener_, nullptr, nullptr)) >= 0;) {
            const int upstream = ::socket(AF_INET, SOCK_STREAM, 0);
            const std::lock_guard lock(mutex_);
            sockets_.insert(sockets_.end(), { client, upstream });
            if (::connect(upstream, reinterpret_cast<const sockaddr*>(&upstream_), sizeof upstream_) != 0) {
                ::shutdown(client, SHUT_RDWR);
                continue;
            }
            threads_.emplace_back([client, upstream] {
                char buffer[16384];
                for (ssize_t count; (count = ::recv(upstream, buffer, sizeof buffer, 0)) > 0
                     && SendAll(client, { buffer, size_t(count) });) { }
                ::shutdown(client, SHUT_RDWR);
            });
            threads_.emplace_back([this, client, upstream] { Rewrite(client, upstream); });
        }
    }

    void Rewrite(int client, int upstream) const
    {
        std::string pending, out;
        char buffer[4096];
        for (ssize_t count; (count = ::recv(client, buffer, sizeof buffer, 0)) > 0;) {
            pending.append(buffer, size_t(count));
            out.clear();
            for (size_t end; (end = pending.find("\r\n")) != std::string::npos; pending.erase(0, end + 2))
                out += Rewritten(pending.substr(0, end)) + "\r\n";
            if (!SendAll(upstream, out))
                break;
        }
        ::shutdown(upstream, SHUT_RDWR);
    }
};

} // namespace lumigrab::testing
