#include "qtpump/clQtMessagePump.h"

#include <poll.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>
#include <chrono>
#include <vector>

namespace cl {

TclQtMessagePump::TclQtMessagePump()
    : FQueueNotifier(std::make_unique<QSocketNotifier>(FQueue.Handle(), QSocketNotifier::Read)) {
    QObject::connect(FQueueNotifier.get(), &QSocketNotifier::activated, [this] { DrainStream(); });
}

TclQtMessagePump::~TclQtMessagePump() { Shutdown(); }

int TclQtMessagePump::DrainCalls() {
    const int count = RunPendingCalls();
    FCallsRun += count;
    return count;
}

void TclQtMessagePump::DrainStream() {
    // The event loop gets its turn (repaints, timers, input) after the slice.
    const auto end = std::chrono::steady_clock::now() + cStreamSlice;
    for (int ran = DrainCalls(); ran > 0 && std::chrono::steady_clock::now() < end;) {
        ran = LookForCalls(end);
        FCallsRun += ran;
    }
}

int TclQtMessagePump::ProcessMessages() {
    int count = DrainCalls();
    QCoreApplication::processEvents();
    return count + DrainCalls();
}

TclWaitResult TclQtMessagePump::WaitFor(std::span<TclWaitFd> AFds, TclEvent* AAbort, int ATimeOutMs) {
    ClAssert(IsOwnerThread(), "clMessagePump", 3);
    std::vector<pollfd> set;
    set.reserve(AFds.size() + 1);
    for (TclWaitFd& fd : AFds) {
        fd.REvents = 0;
        set.push_back(pollfd{fd.Fd, fd.Events, 0});
    }
    if (AAbort) {
        set.push_back(pollfd{AAbort->Handle(), POLLIN, 0});
    }
    // The notifiers only wake the loop; what is ready is read with poll().
    std::vector<std::unique_ptr<QSocketNotifier>> notifiers;
    bool woken = false;
    auto addNotifier = [&](int AFd, QSocketNotifier::Type AType) {
        auto notifier = std::make_unique<QSocketNotifier>(AFd, AType);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, [&woken] { woken = true; });
        notifiers.push_back(std::move(notifier));
    };
    for (const TclWaitFd& fd : AFds) {
        if (fd.Fd < 0) {
            continue;
        }
        if (fd.Events & (POLLIN | POLLRDHUP)) {
            addNotifier(fd.Fd, QSocketNotifier::Read);
        }
        if (fd.Events & POLLOUT) {
            addNotifier(fd.Fd, QSocketNotifier::Write);
        }
    }
    if (AAbort) {
        addNotifier(AAbort->Handle(), QSocketNotifier::Read);
    }
    bool timedOut = false;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, [&timedOut] { timedOut = true; });
    if (ATimeOutMs >= 0) {
        timer.start(ATimeOutMs);
    }

    auto check = [&](TclWaitResult& AResult) {
        if (poll(set.data(), set.size(), 0) <= 0) {
            return false;
        }
        bool ready = false;
        for (size_t i = 0; i < AFds.size(); ++i) {
            // A readable socket that was asked only for the peer's close
            // keeps its notifier quiet from now on, or it would wake every turn.
            const short wanted = AFds[i].Events | POLLERR | POLLHUP;
            const short got = static_cast<short>(set[i].revents & wanted);
            AFds[i].REvents = got;
            ready = ready || got != 0;
            if (!got && (set[i].revents & POLLIN)) {
                for (auto& notifier : notifiers) {
                    if (notifier->socket() == AFds[i].Fd && notifier->type() == QSocketNotifier::Read) {
                        notifier->setEnabled(false);
                    }
                }
            }
        }
        if (ready) {
            AResult = TclWaitResult::wrReady;
            return true;
        }
        if (AAbort && set.back().revents && AAbort->TryReset()) {
            AResult = TclWaitResult::wrAbort;
            return true;
        }
        return false;
    };

    TclWaitResult result;
    if (check(result)) {
        return result;
    }
    for (;;) {
        const int callsBefore = FCallsRun;
        woken = false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (check(result)) {
            return result;
        }
        if (FCallsRun != callsBefore) {
            return TclWaitResult::wrMessage;
        }
        if (timedOut) {
            return TclWaitResult::wrTimeOut;
        }
        if (!woken) {
            // Some other event of the thread ran (a timer, a repaint).
            return TclWaitResult::wrMessage;
        }
    }
}

void TclQtMessagePump::StartTimer(TclPumpTimer& ATimer) {
    StopTimer(ATimer);
    auto* timer = new QTimer();
    timer->setInterval(ATimer.Interval());
    QObject::connect(timer, &QTimer::timeout, [&ATimer] { FireTimer(ATimer); });
    TimerImpl(ATimer) = timer;
    timer->start();
}

void TclQtMessagePump::StopTimer(TclPumpTimer& ATimer) {
    auto* timer = static_cast<QTimer*>(TimerImpl(ATimer));
    TimerImpl(ATimer) = nullptr;
    if (timer) {
        timer->stop();
        timer->disconnect();
        // It may be the sender of the signal being handled right now.
        timer->deleteLater();
    }
}

}  // namespace cl
