// The window's Go with several connections against a scripted server that
// takes one connection and refuses the others, as a news provider does
// when the account has too many: the pool is lowered, which the status bar
// tells once, and the walk's own connection fetches every picture.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <thread>

#include <QComboBox>

#include "app/transferrate.h"
#include "tests/support/window_fixture.h"

namespace lumigrab {
namespace {

using testing::FakeArticle;
using testing::FakeNewsGroup;
using testing::PictureBytes;
using testing::UUBody;
using testing::WindowTest;

// Answers its first connection from group, each further one with a 502
// greeting. The walk's first command after GROUP waits until `refusals`
// connections were refused, so that the pool has tried before the walk
// could end.
class TooManyServer {
public:
    TooManyServer(std::shared_ptr<FakeNewsGroup> group, int refusals)
        : group_(std::move(group))
        , refusals_(refusals)
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(listener_, 16);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] { Accept(); });
    }

    ~TooManyServer()
    {
        ::shutdown(listener_, SHUT_RDWR);
        acceptor_.join();
        if (walk_.joinable()) {
            ::shutdown(walkClient_, SHUT_RDWR);
            walk_.join();
        }
        ::close(listener_);
    }

    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    std::shared_ptr<FakeNewsGroup> group_;
    const int refusals_;
    int listener_ = -1;
    int walkClient_ = -1;
    uint16_t port_ = 0;
    std::thread acceptor_;
    std::thread walk_;
    std::mutex mutex_;
    std::condition_variable refused_;
    int refusedCount_ = 0;

    void Accept()
    {
        for (int client; (client = ::accept(listener_, nullptr, nullptr)) >= 0;) {
            if (walkClient_ < 0) {
                walkClient_ = client;
                walk_ = std::thread([this] { Converse(walkClient_); });
                continue;
            }
            Send(client, "502 Too many connections for your account\r\n");
            ::close(client);
            const std::lock_guard lock(mutex_);
            ++refusedCount_;
            refused_.notify_all();
        }
    }

    void Converse(int client)
    {
        Send(client, "200 scripted news server\r\n");
        std::string pending;
        char buffer[4096];
        for (long received; (received = ::recv(client, buffer, sizeof buffer, 0)) > 0;) {
            pending.append(buffer, size_t(received));
            for (size_t end; (end = pending.find("\r\n")) != std::string::npos;) {
                const std::string command = pending.substr(0, end);
                pending.erase(0, end + 2);
                if (!command.starts_with("GROUP ")) {
                    std::unique_lock lock(mutex_);
                    refused_.wait_for(
                        lock, std::chrono::seconds(10), [this] { return refusedCount_ >= refusals_; });
                }
                if (const std::optional<std::string> reply = group_->Reply(command))
                    Send(client, *reply);
            }
        }
        ::close(client);
    }

    static void Send(int client, const std::string& bytes)
    {
        ::send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
};

TEST_F(WindowTest, RefusedConnectionsAreToldOnceAndTheWalkFetchesAlone)
{
    auto group = std::make_shared<FakeNewsGroup>();
    group->articles = { FakeArticle { "first - a.bmp", 200, UUBody("a.bmp", PictureBytes({ 8, 8 })) },
        FakeArticle { "text", 10 },
        FakeArticle { "second - b.bmp", 200, UUBody("b.bmp", PictureBytes({ 9, 9 }, Qt::red)) } };
    const TooManyServer server(group, 2);
    TfrmMain& form = Start();
    form.msNNTP->Server = server.Address();
    form.msNNTP->TimeOut = 20;
    form.msNNTP->UseOverview = false;
    TSetupValues values = form.SetupValues();
    values.Walk.Connections = 3;
    ASSERT_TRUE(form.ApplySetup(values));
    form.NGEdit->setCurrentText(QString::fromStdString(group->name));

    form.okClick();
    EXPECT_EQ(TakeErrorBoxes(), QStringList());
    EXPECT_EQ(StatusText(1), "Last available header retrieved");
    EXPECT_EQ(form.Pictures().size(), 2);
    const QString rate = form.TransferRate->text();
    EXPECT_EQ(rate.count("2 connections refused: fetching with 1"), 1) << rate.toStdString();
}

} // namespace
} // namespace lumigrab
