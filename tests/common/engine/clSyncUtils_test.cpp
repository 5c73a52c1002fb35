#include "engine/clSyncUtils.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <thread>

#include "engine/clInternetConnection.h"

using namespace cl;

namespace {

// Waits on the calling thread's pump until AEvent is signalled, serving the
// calls sent meanwhile (as a base thread waiting for its workers does).
void PumpUntil(TclEvent& AEvent) {
    auto pump = TclMessagePump::Current();
    TclWaitFd fd{AEvent.Handle(), POLLIN, 0};
    while (!AEvent.TryReset()) pump->WaitFor(std::span<TclWaitFd>(&fd, 1), nullptr, -1);
}

TEST(ThreadSynchronizer, MethodsRunOnTheBaseThreadWhileItWaitsForTheWorker) {
    TclThreadSynchronizer synchronizer;
    const auto base = std::this_thread::get_id();
    EXPECT_EQ(synchronizer.SyncBaseThreadID(), base);
    int calls = 0;
    bool allOnBase = true;
    TclEvent done;
    std::thread worker([&] {
        for (int i = 0; i < 2000; ++i)
            synchronizer.Synchronize([&] {
                ++calls;
                allOnBase = allOnBase && std::this_thread::get_id() == base;
            });
        done.Signal();
    });
    PumpUntil(done);
    worker.join();
    EXPECT_EQ(calls, 2000);
    EXPECT_TRUE(allOnBase);
}

TEST(ThreadSynchronizer, AnExceptionOfTheMethodReappearsInTheWorker) {
    TclThreadSynchronizer synchronizer;
    TclEvent done;
    std::string caught;
    int code = 0;
    std::thread worker([&] {
        try {
            synchronizer.Synchronize([] { throw EclInternetError("handler failed", 77); });
        } catch (const EclInternetError& e) {
            caught = e.Message();
            code = e.ErrorCode();
        }
        // The next call after a failed one works.
        synchronizer.Synchronize([] {});
        done.Signal();
    });
    PumpUntil(done);
    worker.join();
    EXPECT_EQ(caught, "handler failed");
    EXPECT_EQ(code, 77);
}

TEST(ThreadSynchronizer, OnTheBaseThreadTheMethodRunsAtOnce) {
    TclThreadSynchronizer synchronizer;
    int calls = 0;
    synchronizer.Synchronize([&] { ++calls; });
    EXPECT_EQ(calls, 1);
    EXPECT_THROW(synchronizer.Synchronize([] { throw std::runtime_error("x"); }), std::runtime_error);
}

TEST(ThreadSynchronizer, RegistrationsAreCountedPerBaseThread) {
    auto& manager = TclSynchronizerManager::Instance();
    const auto self = std::this_thread::get_id();
    const int before = manager.SynchronizerCount(self);
    {
        TclThreadSynchronizer a;
        TclThreadSynchronizer b;
        EXPECT_EQ(manager.SynchronizerCount(self), before + 2);
        std::thread other([&] {
            TclThreadSynchronizer c;
            EXPECT_EQ(manager.SynchronizerCount(std::this_thread::get_id()), 1);
        });
        other.join();
    }
    EXPECT_EQ(manager.SynchronizerCount(self), before);
    std::thread::id unknown;
    std::thread([&] { unknown = std::this_thread::get_id(); }).join();
    try {
        manager.RemoveSynchronizer(unknown);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Cannot find SyncInfo for the specified thread synchronizer");
    }
}

TEST(ThreadSynchronizer, ACallToABaseThreadThatEndedFailsInsteadOfHanging) {
    std::unique_ptr<TclThreadSynchronizer> synchronizer;
    std::thread base([&] {
        synchronizer = std::make_unique<TclThreadSynchronizer>();
        TclMessagePump::Uninstall();  // as at the end of a thread
    });
    base.join();
    EXPECT_THROW(synchronizer->Synchronize([] {}), EclMessagePumpError);
}

}  // namespace
