#include "transport/clMessagePump.h"

#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>

namespace cl {

namespace {

int CreateEventFd() {
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        throw Exception(SysErrorMessage(errno), errno);
    }
    return fd;
}

void SignalEventFd(int AFd) {
    uint64_t one = 1;
    // A full counter (never reached in practice) still leaves the fd readable.
    while (write(AFd, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
}

bool ResetEventFd(int AFd) {
    uint64_t value = 0;
    ssize_t n;
    do {
        n = read(AFd, &value, sizeof(value));
    } while (n < 0 && errno == EINTR);
    return n == sizeof(value) && value != 0;
}

// The pump that belongs to this thread; shut down when the thread ends.
struct TclThreadPump {
    std::shared_ptr<TclMessagePump> Pump;
    ~TclThreadPump() {
        if (Pump) {
            Pump->Shutdown();
        }
    }
};

thread_local TclThreadPump gThreadPump;

const char* const cThreadEnded = "The target thread has ended";

// What is left of ATimeOutMs (-1: no limit) since AStart.
int TimeLeft(int ATimeOutMs, std::chrono::steady_clock::time_point AStart) {
    if (ATimeOutMs < 0) {
        return ATimeOutMs;
    }
    const auto passed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - AStart).count();
    return static_cast<int>(std::max<int64_t>(ATimeOutMs - passed, 0));
}

// Hands the results of a poll over ASet (AFds first) to AFds; true when one is ready.
bool TakeReadiness(std::span<TclWaitFd> AFds, const pollfd* ASet) {
    bool ready = false;
    for (size_t i = 0; i < AFds.size(); ++i) {
        AFds[i].REvents = ASet[i].revents;
        ready = ready || ASet[i].revents != 0;
    }
    return ready;
}

// The wait of a thread without a pump: AFds and AAbort only. A poll that
// fails for want of kernel memory counts as a time-out.
TclWaitResult WaitUnpumped(std::span<TclWaitFd> AFds, TclEvent* AAbort, int ATimeOutMs) {
    std::vector<pollfd> set;
    for (TclWaitFd& fd : AFds) {
        fd.REvents = 0;
        set.push_back(pollfd{fd.Fd, fd.Events, 0});
    }
    if (AAbort) {
        set.push_back(pollfd{AAbort->Handle(), POLLIN, 0});
    }
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const int rc = poll(set.data(), set.size(), TimeLeft(ATimeOutMs, start));
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc <= 0) {
            return TclWaitResult::wrTimeOut;
        }
        if (TakeReadiness(AFds, set.data())) {
            return TclWaitResult::wrReady;
        }
        if (AAbort && set.back().revents && AAbort->TryReset()) {
            return TclWaitResult::wrAbort;
        }
        // The abort was taken by another waiter: wait on for the rest of the time.
    }
}

// The words senders sleep on, shared by calls whose addresses fall on the same
// slot (a completion then wakes its neighbours, which look and sleep again).
// Process-wide, so a completer never wakes memory that a call owned.
std::atomic<uint32_t>& WakeWordOf(const TclPumpCall* ACall) {
    constexpr size_t cSlots = 64;
    static std::atomic<uint32_t> words[cSlots];
    return words[(reinterpret_cast<uintptr_t>(ACall) / alignof(std::max_align_t)) % cSlots];
}

}  // namespace

// ---- TclEvent ----

TclEvent::TclEvent() : FHandle(CreateEventFd()) {}

TclEvent::~TclEvent() {
    if (FHandle >= 0) {
        close(FHandle);
    }
}

void TclEvent::Signal() { SignalEventFd(FHandle); }

bool TclEvent::TryReset() { return ResetEventFd(FHandle); }

// ---- TclPumpCall ----

void TclPumpCall::Run() noexcept {
    try {
        FInvoke(FTarget);
    } catch (...) {
        FError = std::current_exception();
    }
    Complete();
}

void TclPumpCall::Fail(std::exception_ptr AError) noexcept {
    FError = std::move(AError);
    Complete();
}

void TclPumpCall::Complete() noexcept {
    // Once the flag is stored the sender may return and free the call, so the
    // wake-up goes to a word that outlives it, chosen before the store.
    std::atomic<uint32_t>& word = WakeWordOf(this);
    FDone.store(1);
    word.fetch_add(1);
    word.notify_all();
}

void TclPumpCall::WaitDone() {
    std::atomic<uint32_t>& word = WakeWordOf(this);
    for (;;) {
        // Read the word before the flag: a completion after this read changes
        // the word, so the wait below cannot sleep through it.
        const uint32_t seen = word.load();
        if (FDone.load() != 0) break;
        word.wait(seen);
    }
    if (FError) {
        std::rethrow_exception(FError);
    }
}

// ---- TclCallQueue ----

TclCallQueue::TclCallQueue() : FWakeFd(CreateEventFd()) {}

TclCallQueue::~TclCallQueue() {
    Close(std::make_exception_ptr(EclMessagePumpError(cThreadEnded)));
    close(FWakeFd);
}

bool TclCallQueue::Push(TclPumpCall& ACall) {
    bool awake = false;
    bool wasEmpty;
    {
        std::lock_guard<std::mutex> guard(FLock);
        if (FClosed) {
            return false;
        }
        ACall.FNext = nullptr;
        wasEmpty = FHead == nullptr;
        if (wasEmpty) {
            FHead = &ACall;
        } else {
            FTail->FNext = &ACall;
        }
        FTail = &ACall;
        FHasCalls.store(true, std::memory_order_release);
    }
    // Pairs with SetOwnerAwake: either the owner going to sleep sees this
    // call, or this sees that it sleeps and signals.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    awake = FOwnerAwake.load(std::memory_order_relaxed);
    // The owner clears the signal before it drains, so one write per empty ->
    // non-empty transition is enough to wake it.
    if (wasEmpty && !awake) {
        SignalEventFd(FWakeFd);
    }
    return true;
}

TclPumpCall* TclCallQueue::Pop() {
    std::lock_guard<std::mutex> guard(FLock);
    TclPumpCall* call = FHead;
    if (call) {
        FHead = call->FNext;
        if (!FHead) {
            FTail = nullptr;
            FHasCalls.store(false, std::memory_order_relaxed);
        }
        call->FNext = nullptr;
    }
    return call;
}

void TclCallQueue::ClearSignal() { ResetEventFd(FWakeFd); }

void TclCallQueue::Signal() { SignalEventFd(FWakeFd); }

void TclCallQueue::Close(std::exception_ptr AError) {
    TclPumpCall* pending;
    {
        std::lock_guard<std::mutex> guard(FLock);
        FClosed = true;
        pending = FHead;
        FHead = FTail = nullptr;
        FHasCalls.store(false, std::memory_order_relaxed);
    }
    while (pending) {
        TclPumpCall* next = pending->FNext;
        pending->Fail(AError);
        pending = next;
    }
}

// ---- TclPumpTimer ----

TclPumpTimer::~TclPumpTimer() { Stop(); }

void TclPumpTimer::Start(int AIntervalMs, std::function<void()> AOnTimer) {
    Stop();
    FInterval = std::max(AIntervalMs, 1);
    FOnTimer = std::move(AOnTimer);
    FPump = TclMessagePump::Current();
    FPump->StartTimer(*this);
}

void TclPumpTimer::Stop() {
    if (FPump) {
        std::shared_ptr<TclMessagePump> pump = std::move(FPump);
        FPump.reset();
        pump->StopTimer(*this);
    }
}

// ---- TclMessagePump ----

TclMessagePump::TclMessagePump() : FOwner(std::this_thread::get_id()) {}

TclMessagePump::~TclMessagePump() = default;

std::shared_ptr<TclMessagePump> TclMessagePump::Current() {
    if (!gThreadPump.Pump) {
        gThreadPump.Pump = std::make_shared<TclPlainMessagePump>();
    }
    return gThreadPump.Pump;
}

void TclMessagePump::Install(std::shared_ptr<TclMessagePump> APump) {
    ClAssert(APump && APump->IsOwnerThread() && !gThreadPump.Pump, "clMessagePump", 1);
    gThreadPump.Pump = std::move(APump);
}

void TclMessagePump::Uninstall() {
    if (gThreadPump.Pump) {
        gThreadPump.Pump->Shutdown();
        gThreadPump.Pump.reset();
    }
}

TclWaitResult TclMessagePump::WaitOnThisThread(std::span<TclWaitFd> AFds, TclEvent* AAbort, int ATimeOutMs) {
    if (gThreadPump.Pump) {
        return gThreadPump.Pump->WaitFor(AFds, AAbort, ATimeOutMs);
    }
    return WaitUnpumped(AFds, AAbort, ATimeOutMs);
}

bool TclMessagePump::SleepOnThisThread(int AMs, TclEvent* AAbort) {
    if (gThreadPump.Pump) {
        return gThreadPump.Pump->Sleep(AMs, AAbort);
    }
    return WaitUnpumped({}, AAbort, std::max(AMs, 0)) != TclWaitResult::wrAbort;
}

void TclMessagePump::PostCall(TclPumpCall& ACall) {
    if (!FQueue.Push(ACall)) {
        throw EclMessagePumpError(cThreadEnded);
    }
}

void TclMessagePump::SendCall(TclPumpCall& ACall) {
    PostCall(ACall);
    ACall.WaitDone();
}

void TclMessagePump::Shutdown() { FQueue.Close(std::make_exception_ptr(EclMessagePumpError(cThreadEnded))); }

int TclMessagePump::RunPendingCalls(bool AAwake) {
    FQueue.ClearSignal();
    const std::chrono::steady_clock::time_point end = std::chrono::steady_clock::now() + cCallSlice;
    return AAwake ? RunQueuedCallsAwake(end) : RunQueuedCalls(end);
}

int TclMessagePump::RunQueuedCallsAwake(std::chrono::steady_clock::time_point AEnd) {
    // Marked awake, senders do not signal meanwhile; the queue is looked at
    // once more after the mark is dropped.
    FQueue.SetOwnerAwake(true);
    const int count = RunQueuedCalls(AEnd);
    FQueue.SetOwnerAwake(false);
    return count + RunQueuedCalls(AEnd);
}

int TclMessagePump::RunQueuedCalls(std::chrono::steady_clock::time_point AEnd) {
    int count = 0;
    while (TclPumpCall* call = FQueue.Pop()) {
        call->Run();
        ++count;
        if (std::chrono::steady_clock::now() >= AEnd && FQueue.HasCalls()) {
            // A queue that is not empty gets no signal from a push: the
            // calls left wake the thread's next turn themselves.
            FQueue.Signal();
            break;
        }
    }
    return count;
}

int TclMessagePump::LookForCalls(std::chrono::steady_clock::time_point AEnd) {
    using Clock = std::chrono::steady_clock;
    constexpr std::chrono::microseconds cLook{50};
    FQueue.SetOwnerAwake(true);
    bool came = FQueue.HasCalls();
    const auto until = Clock::now() + cLook;
    while (!came && Clock::now() < until) {
        sched_yield();
        came = FQueue.HasCalls();
    }
    // The queue is drained without clearing the signal (a stale one only
    // makes the next wait return).
    return RunQueuedCallsAwake(AEnd);
}

bool TclMessagePump::Sleep(int AMs, TclEvent* AAbort) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(std::max(AMs, 0));
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) {
            return true;
        }
        // Round up so that the loop does not spin through the last millisecond.
        if (WaitFor({}, AAbort, static_cast<int>(left) + 1) == TclWaitResult::wrAbort) {
            return false;
        }
    }
}

void TclMessagePump::FireTimer(TclPumpTimer& ATimer) {
    // A copy: the handler may stop or restart its own timer.
    std::function<void()> handler = ATimer.FOnTimer;
    if (handler) {
        handler();
    }
}

// ---- TclPlainMessagePump ----

TclPlainMessagePump::TclPlainMessagePump() = default;

TclPlainMessagePump::~TclPlainMessagePump() = default;

void TclPlainMessagePump::StartTimer(TclPumpTimer& ATimer) {
    ATimer.FDue = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimer.FInterval);
    if (std::find(FTimers.begin(), FTimers.end(), &ATimer) == FTimers.end()) {
        FTimers.push_back(&ATimer);
    }
}

void TclPlainMessagePump::StopTimer(TclPumpTimer& ATimer) {
    FTimers.erase(std::remove(FTimers.begin(), FTimers.end(), &ATimer), FTimers.end());
}

int TclPlainMessagePump::MsToNextTimer() const {
    if (FTimers.empty()) {
        return -1;
    }
    auto due = FTimers.front()->FDue;
    for (const TclPumpTimer* timer : FTimers) {
        due = std::min(due, timer->FDue);
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - std::chrono::steady_clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(std::min<int64_t>(left, INT32_MAX));
}

int TclPlainMessagePump::RunDueTimers() {
    const auto now = std::chrono::steady_clock::now();
    // Collect first: a handler may start or stop timers.
    std::vector<TclPumpTimer*> due;
    for (TclPumpTimer* timer : FTimers) {
        if (timer->FDue <= now) {
            due.push_back(timer);
        }
    }
    int count = 0;
    for (TclPumpTimer* timer : due) {
        // Still registered and still due (an earlier handler may have stopped it)?
        if (std::find(FTimers.begin(), FTimers.end(), timer) == FTimers.end() || timer->FDue > now) {
            continue;
        }
        timer->FDue = now + std::chrono::milliseconds(timer->FInterval);
        FireTimer(*timer);
        ++count;
    }
    return count;
}

int TclPlainMessagePump::ProcessMessages() {
    int count = RunPendingCalls(true);
    if (!FTimers.empty()) {
        RunDueTimers();
    }
    return count;
}

int TclPlainMessagePump::YieldForCalls() {
    using Clock = std::chrono::steady_clock;
    constexpr std::chrono::milliseconds cStreamGap{2};
    if (FLastCall == Clock::time_point{} || Clock::now() - FLastCall > cStreamGap) return 0;
    const int count = LookForCalls(Clock::now() + cCallSlice);
    if (count > 0) FLastCall = Clock::now();
    return count;
}

TclWaitResult TclPlainMessagePump::WaitFor(std::span<TclWaitFd> AFds, TclEvent* AAbort, int ATimeOutMs) {
    ClAssert(IsOwnerThread(), "clMessagePump", 2);
    constexpr size_t cInline = 8;
    pollfd inlineSet[cInline + 2];
    std::vector<pollfd> bigSet;
    pollfd* set = inlineSet;
    if (AFds.size() > cInline) {
        bigSet.resize(AFds.size() + 2);
        set = bigSet.data();
    }
    size_t n = 0;
    for (TclWaitFd& fd : AFds) {
        fd.REvents = 0;
        set[n++] = pollfd{fd.Fd, fd.Events, 0};
    }
    const size_t abortIndex = n;
    if (AAbort) {
        set[n++] = pollfd{AAbort->Handle(), POLLIN, 0};
    }
    const size_t queueIndex = n;
    set[n++] = pollfd{FQueue.Handle(), POLLIN, 0};

    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        int timeout = TimeLeft(ATimeOutMs, start);
        const int timerLeft = MsToNextTimer();
        bool timerFirst = false;
        if (timerLeft >= 0 && (timeout < 0 || timerLeft < timeout)) {
            timeout = timerLeft;
            timerFirst = true;
        }
        int pumped = timeout != 0 ? YieldForCalls() : 0;
        // A wait nested in a call of RunPendingCalls finds the thread marked awake.
        GoingToSleep();
        // Calls that ran while yielding end the wait, but the descriptors,
        // the abort and the timers are still looked at, without sleeping.
        if (pumped > 0 || FQueue.HasCalls()) {
            timeout = 0;
        }
        const int rc = poll(set, n, timeout);
        if (rc < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw Exception(SysErrorMessage(errno), errno);
        }
        if (set[queueIndex].revents || FQueue.HasCalls()) {
            const int ran = RunPendingCalls(true);
            if (ran > 0) {
                FLastCall = std::chrono::steady_clock::now();
            }
            pumped += ran;
        }
        if (!FTimers.empty()) {
            pumped += RunDueTimers();
        }
        if (TakeReadiness(AFds, set)) {
            return TclWaitResult::wrReady;
        }
        if (AAbort && set[abortIndex].revents && AAbort->TryReset()) {
            return TclWaitResult::wrAbort;
        }
        if (pumped > 0) {
            return TclWaitResult::wrMessage;
        }
        if (rc == 0 && !timerFirst) {
            return TclWaitResult::wrTimeOut;
        }
        // A timer that was not due yet by a hair, or a signal already consumed:
        // wait on for the rest of the time.
    }
}

}  // namespace cl
