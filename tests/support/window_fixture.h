// Shared by the main window tests: a window over a private data folder
// and settings file, a scripted news server whose group holds picture
// articles, and helpers that act while a command sequence waits.
#pragma once

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QMessageBox>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/glyphbutton.h"
#include "app/nntpmain.h"
#include "app/picturecounter.h"
#include "app/pictureview.h"
#include "mime/msuucode.h"
#include "news/msnntp.h"
// Its QApplication must exist before the environment that script_server.h
// brings looks for an application object; kept apart so that the order
// stays.
#include "tests/support/widgets_environment.h"

#include "tests/support/script_server.h"

// Readable failure messages for Qt texts.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

namespace lumigrab::testing {

// No keyring may answer in the window tests, whatever the desktop runs: the
// user's own keyring stays untouched, and passwords go to the settings file.
inline const bool keyringUnreachable
    = qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/lumigrab-test-bus");

// A picture file's bytes in a format the viewer reads, of the given size.
inline QByteArray PictureBytes(QSize size, QColor color = Qt::darkCyan, const char* format = "BMP")
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

inline void WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(bytes);
}

inline QByteArray ReadFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// One article of the scripted group.
struct FakeArticle {
    std::string subject;
    int lines = 10;
    // The body: text lines, or a uuencoded attachment.
    std::string body = "just words\r\n";
    // Gone between its header and its text: ARTICLE gets 423.
    bool gone = false;
};

// A uuencoded attachment as an article body.
inline std::string UUBody(const std::string& name, const QByteArray& bytes)
{
    std::string body = "begin 644 " + name + "\r\n";
    const std::string_view data(bytes.constData(), size_t(bytes.size()));
    for (size_t offset = 0; offset < data.size(); offset += 45)
        body += EncodeUULine(data.substr(offset, 45)) + "\r\n";
    return body + "`\r\nend\r\n";
}

// A group of articles numbered from 1 as a news server presents it, plus
// a LIST reply. A command for which Stall says true gets no answer: the
// client waits until it gives up.
class FakeNewsGroup {
public:
    std::string name = "alt.binaries.pictures.misc";
    std::vector<FakeArticle> articles;
    std::string listReply = "215 list follows\r\n.\r\n";
    std::function<bool(const std::string& command, int current)> Stall;

    std::optional<std::string> Reply(const std::string& command)
    {
        std::lock_guard lock(mutex_);
        if (Stall && Stall(command, current_))
            return std::string();
        const int count = int(articles.size());
        if (command == "GROUP " + name)
            return "211 " + std::to_string(count) + " 1 " + std::to_string(count) + " " + name + "\r\n";
        if (command.starts_with("GROUP "))
            return std::string("411 no such news group\r\n");
        if (command.starts_with("STAT ")) {
            current_ = std::stoi(command.substr(5));
            return "223 " + Id() + "\r\n";
        }
        if (command == "NEXT") {
            if (current_ >= count)
                return std::string("421 no next article in this group\r\n");
            ++current_;
            return "223 " + Id() + "\r\n";
        }
        if (command == "HEAD")
            return "221 " + Id() + "\r\n" + Headers() + ".\r\n";
        if (command == "ARTICLE" && Current().gone)
            return std::string("423 no article with that number\r\n");
        if (command == "ARTICLE")
            return "220 " + Id() + "\r\n" + Headers() + "\r\n" + DotStuffed(Current().body) + ".\r\n";
        if (command == "LIST")
            return listReply;
        if (command == "QUIT")
            return std::string("205 bye\r\n");
        return std::string("500 unknown command\r\n");
    }

private:
    std::mutex mutex_;
    int current_ = 1;

    const FakeArticle& Current() const { return articles.at(size_t(current_ - 1)); }
    std::string Id() const { return std::to_string(current_) + " <" + std::to_string(current_) + "@test>"; }
    std::string Headers() const
    {
        return "Subject: " + Current().subject + "\r\nLines: " + std::to_string(Current().lines) + "\r\n";
    }
    static std::string DotStuffed(const std::string& text)
    {
        std::string stuffed;
        size_t start = 0;
        while (start < text.size()) {
            const size_t end = text.find("\r\n", start);
            const std::string line = text.substr(start, end - start);
            stuffed += (line.starts_with('.') ? "." : "") + line + "\r\n";
            start = end == std::string::npos ? text.size() : end + 2;
        }
        return stuffed;
    }
};

// Runs action once, as soon as condition holds, from the event loop:
// also while a command sequence waits inside it.
inline void When(std::function<bool()> condition, std::function<void()> action)
{
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(
        timer, &QTimer::timeout, [timer, condition = std::move(condition), action = std::move(action)] {
            if (!condition())
                return;
            timer->stop();
            timer->deleteLater();
            action();
        });
    timer->start();
}

// A main window over a fresh data folder, settings file and trash.
class WindowTest : public ::testing::Test {
public:
    using SettingValues = std::vector<std::pair<QString, QVariant>>;

protected:
    QTemporaryDir dataHome;
    QString dataFolder;
    std::unique_ptr<TfrmMain> window;

    void SetUp() override
    {
        ASSERT_TRUE(dataHome.isValid());
        // The desktop trash lives under XDG_DATA_HOME.
        qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome.filePath("share")));
        dataFolder = dataHome.filePath("Lumigrab") + '/';
        QDir().mkpath(dataFolder);
        QFile::remove(SettingsFile());
    }

    void TearDown() override
    {
        if (window)
            window->close();
        window.reset();
        QFile::remove(SettingsFile());
    }

    static QString SettingsFile() { return WidgetsEnvironment::ConfigHome() + "/Internet/Lumi.conf"; }

    QString TempFolder() const { return dataFolder + "TEMP/"; }
    QString DataFile() const { return dataFolder + "Lumigrab.Dat"; }
    QString TrashFolder() const { return dataHome.filePath("share/Trash/files/"); }
    void EmptyTrash() { QDir(dataHome.filePath("share/Trash")).removeRecursively(); }

    // Settings as they stand in the file before the window starts.
    static void WriteSettings(const SettingValues& values)
    {
        QSettings file(SettingsFile(), QSettings::IniFormat);
        for (const auto& [name, value] : values)
            file.setValue(name, value);
    }

    static QVariant ReadSetting(const QString& name)
    {
        return QSettings(SettingsFile(), QSettings::IniFormat).value(name);
    }

    void AddPictureFile(const QString& name, QSize size)
    {
        QDir().mkpath(TempFolder());
        WriteFile(TempFolder() + name, PictureBytes(size));
    }

    // The window, not shown yet: its start-up runs when it is shown.
    TfrmMain& Create()
    {
        window = std::make_unique<TfrmMain>(dataFolder);
        return *window;
    }

    void Show()
    {
        window->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        window->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
        // The picture folder is listed from the event loop after the first
        // picture shows.
        EXPECT_TRUE(QTest::qWaitFor([this] { return !window->ScanningTempFolder(); }));
    }

    TfrmMain& Start()
    {
        Create();
        Show();
        return *window;
    }

    // Points the window's client at server, fast to give up on silence.
    void UseServer(const ScriptServer& server)
    {
        window->msNNTP->Server = server.Address();
        window->msNNTP->TimeOut = 20;
        // The scripted group answers the plain command sequence (STAT, HEAD,
        // NEXT, ARTICLE), whose commands the tests count; the overview walk
        // meets INN2 in the integration tests.
        window->msNNTP->UseOverview = false;
        // It answers one connection at a time: no pool of further ones.
        TSetupValues values = window->SetupValues();
        values.Server.Connections = 1;
        window->ApplySetup(values);
    }

    // Texts of the open error boxes, closing them.
    QStringList TakeErrorBoxes(QWidget* parent = nullptr)
    {
        QStringList texts;
        for (QMessageBox* box : (parent ? parent : window.get())->findChildren<QMessageBox*>("ErrorBox")) {
            if (!box->isVisible())
                continue;
            texts.append(box->text());
            box->close();
        }
        return texts;
    }

    QString StatusText(int panel) const { return window->StatusText(panel); }
    // A menu command of the window, by its name.
    QAction* MenuItem(const QString& name) const
    {
        QAction* item = window->findChild<QAction*>(name);
        EXPECT_NE(item, nullptr) << name.toStdString();
        return item;
    }
    QString CounterText() const { return window->PicOfPic->currentText(); }
    QSize ShownSize() const { return window->Image1->size(); }
};

} // namespace lumigrab::testing
