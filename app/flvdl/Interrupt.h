// Ctrl-C and SIGTERM for flvdl: the first one is handed to the thread's Qt
// event loop (OnInterrupt runs there, from whatever wait is in progress);
// a second one while the run is still ending ends the process at once
// with status 130.
#pragma once

#include <QSocketNotifier>
#include <functional>
#include <memory>

#include "transport/clMessagePump.h"

namespace flvdl {

class TInterrupt {
public:
    // Installs the handlers of SIGINT and SIGTERM; the destructor puts the
    // default ones back. One at a time per process.
    TInterrupt();
    ~TInterrupt();
    TInterrupt(const TInterrupt&) = delete;
    TInterrupt& operator=(const TInterrupt&) = delete;

    bool Requested() const;
    // Runs on the Qt thread, once, after the first signal.
    std::function<void()> OnInterrupt;

private:
    void Notified();

    cl::TclEvent FEvent;
    std::unique_ptr<QSocketNotifier> FNotifier;
    bool FRequested = false;
};

}  // namespace flvdl
