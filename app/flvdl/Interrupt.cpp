#include "Interrupt.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

namespace flvdl {

namespace {

// What the handler may touch: lock-free atomics and the event's descriptor.
std::atomic<int> GEventHandle{-1};
std::atomic<int> GSignals{0};

void OnSignal(int) {
    const int saved = errno;
    if (GSignals.fetch_add(1) > 0) _exit(130);
    const uint64_t one = 1;
    const int handle = GEventHandle.load();
    if (handle >= 0) {
        [[maybe_unused]] const ssize_t written = ::write(handle, &one, sizeof one);
    }
    errno = saved;
}

}  // namespace

TInterrupt::TInterrupt() {
    GSignals = 0;
    GEventHandle = FEvent.Handle();
    FNotifier = std::make_unique<QSocketNotifier>(FEvent.Handle(), QSocketNotifier::Read);
    QObject::connect(FNotifier.get(), &QSocketNotifier::activated, [this] { Notified(); });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

TInterrupt::~TInterrupt() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    GEventHandle = -1;
}

bool TInterrupt::Requested() const { return FRequested; }

void TInterrupt::Notified() {
    FEvent.TryReset();
    if (FRequested) return;
    FRequested = true;
    if (OnInterrupt) OnInterrupt();
}

}  // namespace flvdl
