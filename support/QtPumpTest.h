// A test suite that runs on a Qt event loop: a QCoreApplication for the
// suite, with the Qt message pump installed on the test thread.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <memory>

#include "qtpump/clQtMessagePump.h"
#include "transport/clMessagePump.h"

namespace cltest {

class QtPumpTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "qt-pump-test";
        static char* argv[] = {name, nullptr};
        FApp = new QCoreApplication(argc, argv);
        cl::TclMessagePump::Install(std::make_shared<cl::TclQtMessagePump>());
    }
    static void TearDownTestSuite() {
        cl::TclMessagePump::Uninstall();
        delete FApp;
        FApp = nullptr;
    }
    static inline QCoreApplication* FApp = nullptr;
};

}  // namespace cltest
