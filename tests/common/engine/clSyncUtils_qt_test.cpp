// The synchronizer when the base thread runs the Qt pump: idle in its event
// loop, and inside a nested wait for the worker.
#include <gtest/gtest.h>
#include <poll.h>

#include <QCoreApplication>
#include <atomic>
#include <thread>

#include "engine/clSyncUtils.h"
#include "qtpump/clQtMessagePump.h"
#include "rtl/clException.h"
#include "support/QtPumpTest.h"

using namespace cl;

namespace {

// The suite runs on the Qt event loop with the Qt pump installed.
class QtSynchronizer : public cltest::QtPumpTest {};

TEST_F(QtSynchronizer, CallsRunFromTheIdleEventLoop) {
    TclThreadSynchronizer synchronizer;
    const auto base = std::this_thread::get_id();
    int calls = 0;
    bool onBase = true;
    std::thread worker([&] {
        for (int i = 0; i < 1000; ++i)
            synchronizer.Synchronize([&] {
                ++calls;
                onBase = onBase && std::this_thread::get_id() == base;
            });
        synchronizer.Synchronize([] { QCoreApplication::quit(); });
    });
    QCoreApplication::exec();
    worker.join();
    EXPECT_EQ(calls, 1000);
    EXPECT_TRUE(onBase);
}

TEST_F(QtSynchronizer, ABaseThreadWaitingForTheWorkerServesItsCallsAndItsException) {
    TclThreadSynchronizer synchronizer;
    TclEvent done;
    int calls = 0;
    std::string caught;
    std::thread worker([&] {
        for (int i = 0; i < 1000; ++i) synchronizer.Synchronize([&] { ++calls; });
        try {
            synchronizer.Synchronize([] { throw Exception("from the window", 5); });
        } catch (const Exception& e) {
            caught = e.Message();
        }
        done.Signal();
    });
    auto pump = TclMessagePump::Current();
    TclWaitFd fd{done.Handle(), POLLIN, 0};
    while (!done.TryReset()) pump->WaitFor(std::span<TclWaitFd>(&fd, 1), nullptr, -1);
    worker.join();
    EXPECT_EQ(calls, 1000);
    EXPECT_EQ(caught, "from the window");
}

}  // namespace
