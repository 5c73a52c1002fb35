// The message pump: the one way a thread of this system waits. While a thread
// waits it keeps running the calls that other threads send it (and, on a Qt
// thread, its own events: timers, clicks, repaints), so that no wait freezes
// the thread's other work and a worker blocked on a sent call is served.
//
// How the layers use it:
// - The transport (clSocket) waits for a socket, an abort or a time-out with
//   TclMessagePump::Current()->WaitFor(...); the bandwidth pause is Sleep().
// - The download engine records, when an item starts, the pump of the starting
//   thread (Current()) and raises every event of that item from its worker
//   threads with pump->Send([&] { ...handler... }): the worker blocks until the
//   handler ran on the starting thread; an exception thrown by the handler
//   comes back out of Send in the worker. Send allocates nothing (the call
//   lives on the sender's stack) and wakes the target through one eventfd
//   write, so it is cheap enough for one call per received 8 KiB chunk.
//   Waits on the starting thread (a synchronous start, StopAndWait) go through
//   WaitFor/Sleep with a TclEvent the workers signal, so sent calls keep
//   running meanwhile. A thread must never block outside the pump while
//   another thread may Send to it, or both stop.
// - The window installs the Qt pump (app/qtpump, TclQtMessagePump) on
//   its thread before anything calls Current() there. Sent calls then run
//   from the thread's Qt event loop, whether it is idle in exec(), inside a
//   modal dialog, or inside a nested WaitFor of the transport.
// - A thread that never installs a pump gets the plain one (poll over the
//   waited descriptors, the abort event and the call queue's eventfd) the
//   first time it calls Current(). When a thread ends, its pump refuses the
//   calls still pending or sent later with EclMessagePumpError.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "rtl/clException.h"

namespace cl {

// Raised by Send when the target thread has ended or its pump was shut down.
class EclMessagePumpError : public Exception {
public:
    using Exception::Exception;
};

// An auto-reset event over an eventfd: Signal from any thread; the wait that
// reports it (or TryReset) resets it. Its Handle can be polled for reading.
class TclEvent {
public:
    TclEvent();
    ~TclEvent();
    TclEvent(const TclEvent&) = delete;
    TclEvent& operator=(const TclEvent&) = delete;

    void Signal();
    // Resets the event; true when it was signalled.
    bool TryReset();
    int Handle() const { return FHandle; }

private:
    int FHandle = -1;
};

// A descriptor to wait for: Events as for poll(); the wait fills REvents.
struct TclWaitFd {
    int Fd = -1;
    short Events = 0;
    short REvents = 0;
};

enum class TclWaitResult {
    wrReady,    // one of the descriptors is ready (see its REvents)
    wrAbort,    // the abort event was signalled (it is reset)
    wrMessage,  // sent calls, timers or (Qt) events ran; nothing else happened
    wrTimeOut,  // the time-out passed without any of the above
};

// One sent call in flight. It lives on the sender's stack for the duration of
// Send, is linked into the target's queue and is completed by the target.
class TclPumpCall {
public:
    template <class F>
    explicit TclPumpCall(F& AFunc) : FTarget(&AFunc), FInvoke([](void* ATarget) { (*static_cast<F*>(ATarget))(); }) {}
    TclPumpCall(const TclPumpCall&) = delete;
    TclPumpCall& operator=(const TclPumpCall&) = delete;

    // On the target thread: runs the call, keeps its exception, releases the sender.
    void Run() noexcept;
    // On the target thread: releases the sender with an error instead.
    void Fail(std::exception_ptr AError) noexcept;
    // On the sender: blocks until Run or Fail, then rethrows a kept exception.
    void WaitDone();

private:
    friend class TclCallQueue;
    void Complete() noexcept;

    void* FTarget;
    void (*FInvoke)(void*);
    TclPumpCall* FNext = nullptr;
    std::exception_ptr FError;
    std::atomic<uint32_t> FDone{0};
};

// The first-in first-out queue of calls sent to one thread, with an eventfd
// that is readable while calls are waiting. While the owner says it is awake
// (looking for calls by itself) a push does not signal.
class TclCallQueue {
public:
    TclCallQueue();
    ~TclCallQueue();
    TclCallQueue(const TclCallQueue&) = delete;
    TclCallQueue& operator=(const TclCallQueue&) = delete;

    // Any thread: appends and wakes the owner; false when the queue is closed.
    bool Push(TclPumpCall& ACall);
    // Owner: the oldest call, or null.
    TclPumpCall* Pop();
    // Owner: consumes the wake-up signal (before draining with Pop).
    void ClearSignal();
    // Owner: signals itself, for calls left in the queue.
    void Signal();
    // Owner: whether a call is waiting (no lock).
    bool HasCalls() const { return FHasCalls.load(std::memory_order_acquire); }
    // Owner: while awake, pushes do not signal. Going to sleep, the owner
    // looks for calls once more after this returns.
    void SetOwnerAwake(bool AValue) {
        FOwnerAwake.store(AValue, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_seq_cst);
    }
    // Refuses later pushes and fails every pending call with AError.
    void Close(std::exception_ptr AError);
    int Handle() const { return FWakeFd; }

private:
    std::mutex FLock;
    TclPumpCall* FHead = nullptr;
    TclPumpCall* FTail = nullptr;
    bool FClosed = false;
    int FWakeFd = -1;
    std::atomic<bool> FHasCalls{false};
    std::atomic<bool> FOwnerAwake{false};
};

class TclMessagePump;

// A repeating timer served by the pump of the thread that starts it: its
// handler runs on that thread whenever the thread pumps (waits or processes
// messages) and the interval has passed. Stop it before destroying it.
class TclPumpTimer {
public:
    TclPumpTimer() = default;
    ~TclPumpTimer();
    TclPumpTimer(const TclPumpTimer&) = delete;
    TclPumpTimer& operator=(const TclPumpTimer&) = delete;

    // Starts (or restarts) the timer on the calling thread's pump.
    void Start(int AIntervalMs, std::function<void()> AOnTimer);
    void Stop();
    bool Active() const { return FPump != nullptr; }
    int Interval() const { return FInterval; }

private:
    friend class TclPlainMessagePump;
    friend class TclMessagePump;
    std::shared_ptr<TclMessagePump> FPump;
    int FInterval = 0;
    std::function<void()> FOnTimer;
    std::chrono::steady_clock::time_point FDue{};
    void* FImpl = nullptr;  // owned by the pump that runs the timer
};

class TclMessagePump : public std::enable_shared_from_this<TclMessagePump> {
public:
    virtual ~TclMessagePump();
    TclMessagePump(const TclMessagePump&) = delete;
    TclMessagePump& operator=(const TclMessagePump&) = delete;

    // The calling thread's pump; a plain one is created the first time when
    // none was installed.
    static std::shared_ptr<TclMessagePump> Current();
    // Makes APump the calling thread's pump. Fails with an assertion when the
    // thread already has one or when APump belongs to another thread.
    static void Install(std::shared_ptr<TclMessagePump> APump);
    // Shuts down and forgets the calling thread's pump (as at thread end).
    static void Uninstall();

    bool IsOwnerThread() const { return std::this_thread::get_id() == FOwner; }

    // Runs AFunc on the pump's thread and returns when it ran; its exception
    // is rethrown here. Called on the pump's own thread it runs AFunc at once.
    template <class F>
    void Send(F&& AFunc) {
        if (IsOwnerThread()) {
            AFunc();
            return;
        }
        TclPumpCall call(AFunc);
        SendCall(call);
    }
    // The same, and while the pump's thread runs AFunc the sender does
    // AWhileWaiting (work of its own that AFunc cannot see, such as taking
    // in what the network has sent); the sender's thread may then find the
    // call done instead of sleeping for it. What AWhileWaiting throws is lost.
    template <class F, class W>
    void Send(F&& AFunc, W&& AWhileWaiting) {
        if (IsOwnerThread()) {
            AFunc();
            return;
        }
        TclPumpCall call(AFunc);
        PostCall(call);
        try {
            AWhileWaiting();
        } catch (...) {
        }
        call.WaitDone();
    }
    void SendCall(TclPumpCall& ACall);

    // Owner thread: runs what is pending (sent calls, due timers, and on Qt
    // the thread's events) without blocking. Returns the number of sent calls run.
    virtual int ProcessMessages() = 0;

    // Owner thread: sleeps until one of AFds is ready, AAbort (may be null) is
    // signalled, something was pumped, or ATimeOutMs passed (-1: no limit).
    // Sent calls, due timers (and Qt events) are run inside the wait.
    virtual TclWaitResult WaitFor(std::span<TclWaitFd> AFds, TclEvent* AAbort, int ATimeOutMs) = 0;

    // Owner thread: waits AMs milliseconds (or until AAbort), pumping meanwhile.
    // True when the time passed, false when aborted.
    bool Sleep(int AMs, TclEvent* AAbort = nullptr);

    // WaitFor and Sleep for the calling thread, through its pump when it has
    // one. A thread without a pump cannot have been sent calls, so it waits
    // with a plain poll instead of making a pump: that needs a descriptor,
    // and a wait in a destructor could not report the failure.
    static TclWaitResult WaitOnThisThread(std::span<TclWaitFd> AFds, TclEvent* AAbort, int ATimeOutMs);
    static bool SleepOnThisThread(int AMs, TclEvent* AAbort);

    // Refuses further calls; pending ones fail in their senders.
    void Shutdown();

protected:
    TclMessagePump();

    // Queues ACall for the pump's thread; the sender then waits for it.
    void PostCall(TclPumpCall& ACall);

    // Owner thread: runs the queued calls, and those that come meanwhile,
    // for one slice (cCallSlice); returns how many ran. Calls still queued
    // then wait for the thread's next turn, so that its timers (and on Qt
    // its repaints) are not held back by workers that send again as soon as
    // their call ran. With AAwake, senders see the thread awake while it
    // runs them and do not signal it: only for a pump whose every nested
    // wait goes to sleep through GoingToSleep (a nested Qt loop does not).
    int RunPendingCalls(bool AAwake = false);
    // The same from the queue as it is, until AEnd; no signal is consumed.
    int RunQueuedCalls(std::chrono::steady_clock::time_point AEnd);
    // RunQueuedCalls marked awake, then once more after the mark is dropped.
    int RunQueuedCallsAwake(std::chrono::steady_clock::time_point AEnd);
    static constexpr std::chrono::milliseconds cCallSlice{5};
    // While calls come in a stream, looks for the next one for up to 50 us,
    // yielding the core meanwhile, and runs what came until AEnd, marked
    // awake: a worker's next batch takes a few microseconds, a wake-up from
    // a sleep costs more than that on both threads. Returns the calls run.
    int LookForCalls(std::chrono::steady_clock::time_point AEnd);
    // Owner thread, before it sleeps: senders must wake it from now on.
    void GoingToSleep() { FQueue.SetOwnerAwake(false); }

    virtual void StartTimer(TclPumpTimer& ATimer) = 0;
    virtual void StopTimer(TclPumpTimer& ATimer) = 0;
    // For implementations: a timer's own slot and its handler.
    static void*& TimerImpl(TclPumpTimer& ATimer) { return ATimer.FImpl; }
    static void FireTimer(TclPumpTimer& ATimer);

    TclCallQueue FQueue;
    std::thread::id FOwner;

private:
    friend class TclPumpTimer;
};

// The pump of threads without Qt: poll() over the waited descriptors, the
// abort event and the call queue's eventfd, with timers in the time-out.
class TclPlainMessagePump : public TclMessagePump {
public:
    TclPlainMessagePump();
    ~TclPlainMessagePump() override;

    int ProcessMessages() override;
    TclWaitResult WaitFor(std::span<TclWaitFd> AFds, TclEvent* AAbort, int ATimeOutMs) override;

protected:
    void StartTimer(TclPumpTimer& ATimer) override;
    void StopTimer(TclPumpTimer& ATimer) override;

private:
    // Runs due timers; returns how many ran. ANext gets the earliest due time.
    int RunDueTimers();
    int MsToNextTimer() const;
    // While calls come in a stream (one ran a moment ago), looks for the
    // next one (LookForCalls) before sleeping in poll. Returns the calls run.
    int YieldForCalls();

    std::chrono::steady_clock::time_point FLastCall{};

    std::vector<TclPumpTimer*> FTimers;
};

}  // namespace cl
