// A proxy on 127.0.0.1 in front of a real server that rewrites the command
// lines clients send and passes the server's bytes back untouched: asking
// for an article no server holds in place of one, say, makes a server that
// lost its body while the overview still lists it. Replies stay in step,
// pipelined or not, as the server answers each line it is sent. Serves any
// number of clients at once, each on a connection of its own upstream.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <list>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace lumigrab::testing {

class RewritingProxy {
public:
    // rewrite: the line to send upstream for each command line (without
    // its CR LF).
    RewritingProxy(uint16_t upstreamPort, std::function<std::string(const std::string& line)> rewrite)
        : upstreamPort_(upstreamPort)
        , rewrite_(std::move(rewrite))
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = Loopback(0);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener_, 16) != 0)
            throw std::runtime_error("proxy: cannot listen");
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] { Accept(); });
    }

    ~RewritingProxy()
    {
        ::shutdown(listener_, SHUT_RDWR);
        acceptor_.join();
        ::close(listener_);
        std::lock_guard lock(mutex_);
        for (int socket : sockets_)
            ::shutdown(socket, SHUT_RDWR);
        for (std::thread& thread : threads_)
            thread.join();
        for (int socket : sockets_)
            ::close(socket);
    }

    RewritingProxy(const RewritingProxy&) = delete;
    RewritingProxy& operator=(const RewritingProxy&) = delete;

    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    uint16_t upstreamPort_;
    std::function<std::string(const std::string&)> rewrite_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread acceptor_;
    std::mutex mutex_;
    std::list<int> sockets_;
    std::list<std::thread> threads_;

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
        while (!bytes.empty()) {
            const ssize_t sent = ::send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent <= 0)
                return false;
            bytes.remove_prefix(size_t(sent));
        }
        return true;
    }

    void Accept()
    {
        int client;
        while ((client = ::accept(listener_, nullptr, nullptr)) >= 0) {
            const int upstream = ::socket(AF_INET, SOCK_STREAM, 0);
            const sockaddr_in address = Loopback(upstreamPort_);
            std::lock_guard lock(mutex_);
            sockets_.push_back(client);
            sockets_.push_back(upstream);
            if (::connect(upstream, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
                ::shutdown(client, SHUT_RDWR);
                continue;
            }
            threads_.emplace_back([client, upstream] { Copy(upstream, client); });
            threads_.emplace_back([this, client, upstream] { Rewrite(client, upstream); });
        }
    }

    // The server's bytes as they come; its hang-up ends the client's side.
    static void Copy(int from, int to)
    {
        char buffer[16384];
        ssize_t count;
        while ((count = ::recv(from, buffer, sizeof buffer, 0)) > 0 && SendAll(to, { buffer, size_t(count) })) { }
        ::shutdown(to, SHUT_RDWR);
    }

    void Rewrite(int client, int upstream)
    {
        std::string pending;
        char buffer[4096];
        ssize_t count;
        while ((count = ::recv(client, buffer, sizeof buffer, 0)) > 0) {
            pending.append(buffer, size_t(count));
            std::string out;
            for (size_t end; (end = pending.find("\r\n")) != std::string::npos; pending.erase(0, end + 2))
                out += rewrite_(pending.substr(0, end)) + "\r\n";
            if (!SendAll(upstream, out))
                break;
        }
        ::shutdown(upstream, SHUT_RDWR);
    }
};

} // namespace lumigrab::testing
