// One QApplication for every window test, on the offscreen platform unless
// the environment names another, with the Qt message pump installed on it as
// the program does.
#include <gtest/gtest.h>

#include <QApplication>
#include <memory>

#include "qtpump/clQtMessagePump.h"

namespace {

class TWindowEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "test_app";
        static char* argv[] = {name, nullptr};
        FApp = std::make_unique<QApplication>(argc, argv);
        cl::TclMessagePump::Install(std::make_shared<cl::TclQtMessagePump>());
    }
    void TearDown() override {
        cl::TclMessagePump::Uninstall();
        FApp.reset();
    }

private:
    std::unique_ptr<QApplication> FApp;
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new TWindowEnvironment);

}  // namespace
