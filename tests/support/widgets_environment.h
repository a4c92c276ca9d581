// Widget tests need one QApplication for the whole program. It runs on the
// offscreen platform unless the caller chose another, and the per-user
// settings live in a private temporary folder (XDG_CONFIG_HOME), set before
// anything reads it.
#pragma once

#include <QApplication>
#include <QTemporaryDir>

#include <memory>

#include <gtest/gtest.h>

namespace lumigrab::testing {

class WidgetsEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        configHome_ = std::make_unique<QTemporaryDir>();
        ASSERT_TRUE(configHome_->isValid());
        qputenv("XDG_CONFIG_HOME", configHome_->path().toLocal8Bit());
        previousHandler_ = qInstallMessageHandler(&Quiet);
        static int argc = 1;
        static char name[] = "lumigrab_test";
        static char* argv[] = { name, nullptr };
        app_ = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override
    {
        app_.reset();
        configHome_.reset();
    }

    // The folder that holds the per-user settings files.
    static QString ConfigHome() { return qEnvironmentVariable("XDG_CONFIG_HOME"); }

private:
    // The offscreen platform says for every window shown that it ignores
    // size hints.
    static void Quiet(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        if (!message.contains(QLatin1String("does not support propagateSizeHints")) && previousHandler_)
            previousHandler_(type, context, message);
    }

    static inline QtMessageHandler previousHandler_ = nullptr;
    std::unique_ptr<QTemporaryDir> configHome_;
    std::unique_ptr<QApplication> app_;
};

inline ::testing::Environment* const widgetsEnvironment
    = ::testing::AddGlobalTestEnvironment(new WidgetsEnvironment);

} // namespace lumigrab::testing
