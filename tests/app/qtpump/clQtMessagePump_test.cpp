#include "qtpump/clQtMessagePump.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>
#include <atomic>
#include <thread>

#include "transport/clTcpClient.h"
#include "support/clLoopbackServer.h"
#include "support/QtPumpTest.h"
#include "support/UnendingCalls.h"
#include "support/clTestTcpClient.h"

using namespace cl;
using cltest::TLoopbackServer;
using TTestClient = cltest::TTestTcpClient;

namespace {

// The suite runs on the Qt event loop with the Qt pump installed.
class QtPump : public cltest::QtPumpTest {};

TEST_F(QtPump, CallSentToAnIdleEventLoopRuns) {
    auto pump = TclMessagePump::Current();
    const auto owner = std::this_thread::get_id();
    std::thread::id ranOn;
    int calls = 0;
    std::thread worker([&] {
        for (int i = 0; i < 100; ++i) {
            pump->Send([&] { ++calls; });
        }
        pump->Send([&] {
            ranOn = std::this_thread::get_id();
            QCoreApplication::quit();
        });
    });
    QCoreApplication::exec();
    worker.join();
    EXPECT_EQ(calls, 100);
    EXPECT_EQ(ranOn, owner);
}

TEST_F(QtPump, SocketWaitKeepsTimersAndSentCallsGoingUntilAnAbort) {
    std::atomic<bool> stop{false};
    TLoopbackServer server([&](int fd) { TLoopbackServer::RecvAll(fd, &stop); });
    TTestClient client;
    client.SetServer("127.0.0.1");
    client.SetPort(server.Port());
    client.SetTimeOut(-1);
    client.Open();

    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(10);
    bool sentRan = false;
    auto pump = TclMessagePump::Current();
    std::thread worker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        pump->Send([&] { sentRan = true; });
    });
    // A Qt timer handler aborts the wait once the sent call ran and the timer ticked.
    QTimer aborter;
    QObject::connect(&aborter, &QTimer::timeout, [&] {
        if (sentRan && ticks >= 5) {
            client.Connection()->Abort();
        }
    });
    aborter.start(5);
    TMemoryStream data;
    EXPECT_NO_THROW(client.Connection()->ReadData(&data));
    worker.join();
    EXPECT_TRUE(sentRan);
    EXPECT_GE(ticks, 5);
    EXPECT_TRUE(client.Connection()->IsAborted());
    stop = true;
}

TEST_F(QtPump, SilentServerTimesOutWhileQtTimersKeepFiring) {
    std::atomic<bool> stop{false};
    TLoopbackServer server([&](int fd) { TLoopbackServer::RecvAll(fd, &stop); });
    TTestClient client;
    client.SetServer("127.0.0.1");
    client.SetPort(server.Port());
    client.SetTimeOut(200);
    client.Open();
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(10);
    TMemoryStream data;
    try {
        client.Connection()->ReadData(&data);
        ADD_FAILURE() << "no time-out";
    } catch (const EclSocketError& e) {
        EXPECT_EQ(e.ErrorCode(), cTimeoutOccured);
    }
    EXPECT_GE(ticks, 5);
    stop = true;
}

TEST_F(QtPump, CallsArriveInsideAWaitThatASentCallMakes) {
    auto pump = TclMessagePump::Current();
    int inner = 0;
    std::thread worker([&] {
        std::thread second([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            pump->Send([&] { ++inner; });
        });
        // This call waits on the Qt thread; the second worker's call runs inside.
        pump->Send([&] {
            while (inner == 0) {
                pump->WaitFor({}, nullptr, 1000);
            }
        });
        second.join();
        pump->Send([] { QCoreApplication::quit(); });
    });
    QCoreApplication::exec();
    worker.join();
    EXPECT_EQ(inner, 1);
}

TEST_F(QtPump, QtTimerFiresWhileSentCallsNeverLetTheQueueEmpty) {
    cltest::TUnendingCalls calls(TclMessagePump::Current());
    long servedAtTick = -1;
    QTimer::singleShot(10, [&] {
        servedAtTick = calls.Served();
        calls.Stop();
        QCoreApplication::quit();
    });
    QCoreApplication::exec();
    calls.Finish();
    EXPECT_GE(servedAtTick, 0);
    EXPECT_LT(servedAtTick, calls.cWorkers * calls.cCallsEach / 2);
}

TEST_F(QtPump, PumpTimerRunsOnQtTimers) {
    int ticks = 0;
    TclPumpTimer timer;
    timer.Start(10, [&] {
        if (++ticks == 3) {
            QCoreApplication::quit();
        }
    });
    QCoreApplication::exec();
    timer.Stop();
    EXPECT_EQ(ticks, 3);
}

}  // namespace
