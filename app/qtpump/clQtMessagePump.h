// The message pump of a Qt thread (the window's): calls sent from other
// threads run from the thread's Qt event loop, whether it is idle in exec(),
// in a modal dialog, or inside a transport wait; waits are nested event loops
// woken by socket notifiers, the abort event and a timer, so the window keeps
// repainting and its timers keep firing while a request waits.
//
// Use: on the Qt thread, after the QCoreApplication (or QApplication) exists
// and before anything there calls TclMessagePump::Current():
//     cl::TclMessagePump::Install(std::make_shared<cl::TclQtMessagePump>());
#pragma once

#include <chrono>
#include <memory>

#include "transport/clMessagePump.h"

class QSocketNotifier;

namespace cl {

class TclQtMessagePump : public TclMessagePump {
public:
    TclQtMessagePump();
    ~TclQtMessagePump() override;

    // Runs the pending sent calls and the thread's pending Qt events.
    int ProcessMessages() override;
    // Any Qt event that wakes the thread counts as a message (wrMessage).
    TclWaitResult WaitFor(std::span<TclWaitFd> AFds, TclEvent* AAbort, int ATimeOutMs) override;

protected:
    void StartTimer(TclPumpTimer& ATimer) override;
    void StopTimer(TclPumpTimer& ATimer) override;

private:
    int DrainCalls();
    // The queue's notifier: the pending calls, then those that follow in a
    // stream (a download's data events), for cStreamSlice at most.
    void DrainStream();
    // Short, so that the window's timers and repaints are hardly held back.
    static constexpr std::chrono::milliseconds cStreamSlice{2};

    // Wakes the event loop when the first call of a batch arrives: one
    // eventfd write per batch, no allocation per call.
    std::unique_ptr<QSocketNotifier> FQueueNotifier;
    int FCallsRun = 0;
};

}  // namespace cl
