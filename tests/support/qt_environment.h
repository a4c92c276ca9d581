// The transport waits on Qt's event loop, so every test program that opens
// a connection needs one application object for its whole run. A widget
// test's QApplication (widgets_environment.h, included first) serves as
// that object.
#pragma once

#include <QCoreApplication>

#include <memory>

#include <gtest/gtest.h>

namespace lumigrab::testing {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (QCoreApplication::instance())
            return;
        static int argc = 1;
        static char name[] = "lumigrab_test";
        static char* argv[] = { name, nullptr };
        app_ = std::make_unique<QCoreApplication>(argc, argv);
    }
    void TearDown() override { app_.reset(); }

private:
    std::unique_ptr<QCoreApplication> app_;
};

inline ::testing::Environment* const qtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

} // namespace lumigrab::testing
