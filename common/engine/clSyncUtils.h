// The synchronizer: a worker thread runs a method on the thread that created
// the synchronizer (its base thread) and waits until it returned; what the
// method throws comes back out of Synchronize in the worker. Every download
// event travels this way, one call per received chunk, so a call allocates
// nothing and holds no lock beyond the handoff to the base thread's pump.
//
// The base thread must keep serving its message pump while a worker may call
// it (its waits go through TclMessagePump), or both threads stop.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "transport/clMessagePump.h"

namespace cl {

// One base thread known to the manager: its pump (where calls are sent) and
// how many synchronizers use it.
struct TclSyncInfo {
    std::thread::id BaseThreadID;
    std::shared_ptr<TclMessagePump> FThreadWindow;
    int FThreadCount = 0;
};

// The process-wide registry of base threads.
class TclSynchronizerManager {
public:
    static TclSynchronizerManager& Instance();

    // Registers the calling thread as a base thread (once more); returns its pump.
    std::shared_ptr<TclMessagePump> AddSynchronizer();
    // Drops one registration of ABaseThread; the last one forgets the thread.
    // Raises when the thread is not registered.
    void RemoveSynchronizer(std::thread::id ABaseThread);
    // The number of synchronizers registered for AThread (0: none).
    int SynchronizerCount(std::thread::id AThread) const;

private:
    TclSynchronizerManager() = default;
    TclSyncInfo* FindSyncInfo(std::thread::id AThread);

    mutable std::mutex FThreadLock;
    std::vector<std::unique_ptr<TclSyncInfo>> FSyncInfos;
};

// The text raised when a base thread has no record.
extern const char* const cSyncInfoNotFound;

class TclThreadSynchronizer {
public:
    // Binds the synchronizer to the calling thread.
    TclThreadSynchronizer();
    ~TclThreadSynchronizer();
    TclThreadSynchronizer(const TclThreadSynchronizer&) = delete;
    TclThreadSynchronizer& operator=(const TclThreadSynchronizer&) = delete;

    // Runs AMethod on the base thread and returns when it ran; on the base
    // thread it runs at once. Its exception is rethrown here. AMethod lives
    // on the caller's stack for the call: nothing is allocated.
    template <class F>
    void Synchronize(F&& AMethod) {
        FPump->Send(std::forward<F>(AMethod));
    }

    std::thread::id SyncBaseThreadID() const { return FSyncBaseThreadID; }

    // A lock for callers that share data with the synchronized methods.
    void BeginWork() { FAccessor.lock(); }
    void EndWork() { FAccessor.unlock(); }

private:
    std::thread::id FSyncBaseThreadID;
    std::shared_ptr<TclMessagePump> FPump;
    std::mutex FAccessor;
};

}  // namespace cl
