// Workers that keep a thread's queue of sent calls from ever being empty, as
// download workers do that send their next data event as soon as the last
// one ran: every call waits until another worker is about to send. For the
// pumps' tests that the thread's timers still get their turn.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "transport/clMessagePump.h"

namespace cltest {

class TUnendingCalls {
public:
    static constexpr int cWorkers = 3;
    static constexpr long cCallsEach = 20000;

    explicit TUnendingCalls(std::shared_ptr<cl::TclMessagePump> APump) : FPump(std::move(APump)) {
        for (int w = 0; w < cWorkers; ++w) FWorkers.emplace_back([this] { Send(); });
    }
    ~TUnendingCalls() { Finish(); }
    TUnendingCalls(const TUnendingCalls&) = delete;
    TUnendingCalls& operator=(const TUnendingCalls&) = delete;

    // Calls run so far (read on the pump's thread).
    long Served() const { return FServed; }
    // Any thread: the workers send no further call.
    void Stop() { FStopped = true; }
    // The pump's thread: stops the workers, serves their last calls, joins them.
    void Finish() {
        Stop();
        while (FRunning > 0) FPump->WaitFor({}, nullptr, 10);
        for (std::thread& worker : FWorkers) worker.join();
        FWorkers.clear();
    }

private:
    void Send() {
        for (long i = 0; i < cCallsEach && !FStopped; ++i) {
            ++FStarted;
            FPump->Send([this] {
                while (FStarted <= FServed + 1 && FRunning == cWorkers && !FStopped) std::this_thread::yield();
                // Lets that call reach the queue.
                std::this_thread::sleep_for(std::chrono::microseconds(20));
                ++FServed;
            });
        }
        --FRunning;
    }

    std::shared_ptr<cl::TclMessagePump> FPump;
    std::atomic<long> FStarted{0};
    std::atomic<long> FServed{0};
    std::atomic<bool> FStopped{false};
    std::atomic<int> FRunning{cWorkers};
    std::vector<std::thread> FWorkers;  // last: they use the fields above
};

}  // namespace cltest
