// The synchronizer: a worker thread runs a method on the thread that created
// the synchronizer (its base thread) and waits until it returned; what the
// method throws comes back out of Synchronize in the worker. Every download
// event travels this way, one call per received chunk, so a call allocates
// nothing and holds no lock beyond the handoff to the base thread's pump.
//
// The base thread must keep serving its message pump while a worker may call
// it (its waits go through TclMessagePump), or both threads stop.
//
// The engine's threads are started here too, and counted until each has
// really ended, so that a program can wait for them before it exits.
#pragma once

#include <pthread.h>

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
    // The same, with work of the caller's own done while AMethod runs.
    template <class F, class W>
    void Synchronize(F&& AMethod, W&& AWhileWaiting) {
        FPump->Send(std::forward<F>(AMethod), std::forward<W>(AWhileWaiting));
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

// --- the engine's threads ---
// A worker frees itself (its connection, with the TLS and HTTP libraries'
// objects) on its own thread after its end was reported, and those
// libraries drop their per-thread state only as the thread exits. Every
// thread the engine starts is therefore counted from its start to its last
// step; the ones nobody joins are joined here.

// A thread of the engine, joined like a std::thread (one still joinable
// when it goes ends the process). Its stack is 1 MiB instead of the
// system's 8 MiB: the C library keeps up to 40 MiB of freed stacks for new
// threads, and a download starts two threads per connection, so with the
// default size nearly every start mapped, guarded and faulted in a new
// stack and every end unmapped one (an eighth of the CPU of a run of 200
// small files). Engine threads run libcurl, OpenSSL and the workers'
// loops, which keep their buffers on the heap.
class TclEngineThread {
public:
    TclEngineThread() = default;
    // Raises std::system_error when the system cannot start a thread.
    explicit TclEngineThread(std::function<void()> AMain);
    TclEngineThread(TclEngineThread&& AOther) noexcept : FHandle(std::exchange(AOther.FHandle, 0)) {}
    TclEngineThread& operator=(TclEngineThread&& AOther) noexcept;
    ~TclEngineThread();

    bool Joinable() const { return FHandle != 0; }
    void Join();

private:
    pthread_t FHandle = 0;
};

// Starts AMain on a thread named AName (at most 15 bytes, as the system
// shows it) that nobody joins: it is joined here once it has finished, when
// a later one starts or in WaitForEngineThreads.
void StartEngineThread(const char* AName, std::function<void()> AMain);
// Starts AMain on a thread named AName that the caller joins.
TclEngineThread StartJoinedEngineThread(const char* AName, std::function<void()> AMain);
// Engine threads whose work has not finished yet.
int EngineThreadCount();
// Waits until every engine thread has finished, ATimeOut ms at most (-1: no
// limit), serving the calling thread's pump meanwhile (a worker's last steps
// may be calls to it), then joins those nobody else joins, so that they are
// gone. True when none was left running. For the end of a program, after its
// downloaders are gone.
bool WaitForEngineThreads(int ATimeOut);

}  // namespace cl
