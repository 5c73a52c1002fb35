#include "transport/clMessagePump.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/UnendingCalls.h"

using namespace cl;

namespace {

// Serves the calls of the workers on this thread until each has counted
// itself done, then joins them.
void ServeUntilWorkersEnd(TclMessagePump& APump, const std::atomic<int>& ADone, TclEvent& AFinished,
                          std::vector<std::thread>& AWorkers) {
    while (ADone < static_cast<int>(AWorkers.size())) {
        APump.WaitFor({}, &AFinished, 5000);
    }
    for (auto& t : AWorkers) {
        t.join();
    }
}

TEST(MessagePump, SentCallRunsOnTheWaitingThreadAndReturnsItsException) {
    auto pump = TclMessagePump::Current();
    const auto owner = std::this_thread::get_id();
    std::atomic<int> step{0};
    TclEvent finished;
    std::thread::id ranOn;
    std::thread::id waitedOn;
    bool caught = false;
    std::thread worker([&] {
        pump->Send([&] { ranOn = std::this_thread::get_id(); });
        try {
            // Work done while the call runs stays on the sender; what it
            // throws is lost, what the call throws is not.
            pump->Send([] { throw std::runtime_error("handler failed"); },
                       [&] {
                           waitedOn = std::this_thread::get_id();
                           throw std::logic_error("lost");
                       });
        } catch (const std::runtime_error& e) {
            caught = std::string(e.what()) == "handler failed";
        }
        step = 1;
        finished.Signal();
    });
    while (step == 0) {
        pump->WaitFor({}, &finished, 5000);
    }
    worker.join();
    EXPECT_EQ(ranOn, owner);
    EXPECT_NE(waitedOn, owner);
    EXPECT_NE(waitedOn, std::thread::id());
    EXPECT_TRUE(caught);
}

TEST(MessagePump, ManyCallsFromSeveralWorkersAllRunInOrderPerWorker) {
    auto pump = TclMessagePump::Current();
    constexpr int cWorkers = 4, cCalls = 2000;
    int last[cWorkers] = {-1, -1, -1, -1};
    bool ordered = true;
    std::atomic<int> done{0};
    TclEvent finished;
    std::vector<std::thread> workers;
    for (int w = 0; w < cWorkers; ++w) {
        workers.emplace_back([&, w] {
            for (int i = 0; i < cCalls; ++i) {
                pump->Send([&, w, i] {
                    ordered = ordered && last[w] == i - 1;
                    last[w] = i;
                });
            }
            ++done;
            finished.Signal();
        });
    }
    ServeUntilWorkersEnd(*pump, done, finished, workers);
    EXPECT_TRUE(ordered);
    for (int w = 0; w < cWorkers; ++w) {
        EXPECT_EQ(last[w], cCalls - 1);
    }
}

// A sender frees its call the moment Send returns. The completing thread
// must not touch the call after releasing it: here every call lives on the
// heap and is freed at once (the sanitizer build reports any late touch), and
// the freed memory is overwritten so that a late wake-up through it would be
// lost rather than land on a live call.
TEST(MessagePump, ACallFreedAsSoonAsItsSenderReturnsIsNeverTouchedAgain) {
    auto pump = TclMessagePump::Current();
    constexpr int cWorkers = 3, cCalls = 3000;
    std::atomic<int> done{0};
    std::atomic<int> ran{0};
    TclEvent finished;
    std::vector<std::thread> workers;
    for (int w = 0; w < cWorkers; ++w) {
        workers.emplace_back([&] {
            auto handler = [&] { ++ran; };
            for (int i = 0; i < cCalls; ++i) {
                auto call = std::make_unique<TclPumpCall>(handler);
                pump->SendCall(*call);
                TclPumpCall* raw = call.release();
                raw->~TclPumpCall();
                std::memset(static_cast<void*>(raw), 0xA5, sizeof(TclPumpCall));
                ::operator delete(static_cast<void*>(raw));
            }
            ++done;
            finished.Signal();
        });
    }
    ServeUntilWorkersEnd(*pump, done, finished, workers);
    EXPECT_EQ(ran, cWorkers * cCalls);
}

TEST(MessagePump, SendToTheOwnThreadRunsAtOnce) {
    bool ran = false;
    TclMessagePump::Current()->Send([&] { ran = true; });
    EXPECT_TRUE(ran);
}

TEST(MessagePump, CallsToAThreadThatEndedAreRefused) {
    std::shared_ptr<TclMessagePump> pump;
    std::thread([&] { pump = TclMessagePump::Current(); }).join();
    EXPECT_THROW(pump->Send([] {}), EclMessagePumpError);
}

TEST(MessagePump, WaitReportsDescriptorAbortAndTimeOut) {
    auto pump = TclMessagePump::Current();
    TclEvent abort, ready;
    EXPECT_EQ(pump->WaitFor({}, &abort, 10), TclWaitResult::wrTimeOut);
    abort.Signal();
    EXPECT_EQ(pump->WaitFor({}, &abort, 1000), TclWaitResult::wrAbort);
    // Auto-reset: the wait that reported it consumed it.
    EXPECT_EQ(pump->WaitFor({}, &abort, 10), TclWaitResult::wrTimeOut);
    ready.Signal();
    TclWaitFd fd{ready.Handle(), POLLIN, 0};
    EXPECT_EQ(pump->WaitFor(std::span<TclWaitFd>(&fd, 1), &abort, 1000), TclWaitResult::wrReady);
    EXPECT_TRUE(fd.REvents & POLLIN);
}

TEST(MessagePump, WaitsOnThisThreadUseItsPumpOrAPlainPollWithoutOne) {
    std::shared_ptr<TclMessagePump> owned;
    std::thread([&] {
        TclEvent abort, ready;
        EXPECT_EQ(TclMessagePump::WaitOnThisThread({}, &abort, 10), TclWaitResult::wrTimeOut);
        ready.Signal();
        TclWaitFd fd{ready.Handle(), POLLIN, 0};
        EXPECT_EQ(TclMessagePump::WaitOnThisThread(std::span<TclWaitFd>(&fd, 1), &abort, 1000), TclWaitResult::wrReady);
        EXPECT_TRUE(fd.REvents & POLLIN);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(TclMessagePump::SleepOnThisThread(50, &abort));
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
        abort.Signal();
        EXPECT_FALSE(TclMessagePump::SleepOnThisThread(5000, &abort));
        // With a pump, the same wait serves the calls sent to the thread.
        owned = TclMessagePump::Current();
        bool ran = false;
        std::thread sender([&] {
            try {
                owned->Send([&] { ran = true; });
            } catch (const EclMessagePumpError&) {
            }
        });
        for (int i = 0; i < 50 && !ran; ++i) TclMessagePump::WaitOnThisThread({}, nullptr, 100);
        EXPECT_TRUE(ran);
        owned->Shutdown();  // releases the sender when the call never ran
        sender.join();
    }).join();
}

TEST(MessagePump, TimerFiresInsideWaitsAndSleepLastsAtLeastItsTime) {
    int ticks = 0;
    TclPumpTimer timer;
    timer.Start(10, [&] { ++ticks; });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(TclMessagePump::Current()->Sleep(100));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    timer.Stop();
    EXPECT_GE(ticks, 2);
    const int seen = ticks;
    TclMessagePump::Current()->Sleep(30);
    EXPECT_EQ(ticks, seen);
}

TEST(MessagePump, TimersFireWhileSentCallsNeverLetTheQueueEmpty) {
    auto pump = TclMessagePump::Current();
    cltest::TUnendingCalls calls(pump);
    long servedAtTick = -1;
    TclPumpTimer timer;
    timer.Start(10, [&] {
        if (servedAtTick < 0) servedAtTick = calls.Served();
        calls.Stop();
    });
    while (servedAtTick < 0 && calls.Served() < calls.cWorkers * calls.cCallsEach) pump->WaitFor({}, nullptr, 100);
    timer.Stop();
    calls.Finish();
    EXPECT_GE(servedAtTick, 0);
    EXPECT_LT(servedAtTick, calls.cWorkers * calls.cCallsEach / 2);
}

}  // namespace
