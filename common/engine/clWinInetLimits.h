// How many connections the internet library opens to one server at a time:
// a transfer takes a slot of its server before it starts and gives it back
// when its connection returns to the cache.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "engine/clWinInet.h"

namespace cl::wininet {

class THandle;

class TConnectionLimits {
public:
    // Waits until the server has a free slot, or until AIsClosed holds.
    bool Acquire(const std::string& AServer, const THandle& AWaiter);
    void Release(const std::string& AServer);
    // Wakes waiters to look at their handles again (one was closed).
    void WakeWaiters() {
        std::lock_guard<std::mutex> guard(FLock);
        FChanged.notify_all();
    }
    uint32_t Max(uint32_t AOption) const {
        return AOption == INTERNET_OPTION_MAX_CONNS_PER_SERVER ? FMaxPerServer.load() : FMaxPer10Server.load();
    }
    void SetMax(uint32_t AOption, uint32_t AValue) {
        (AOption == INTERNET_OPTION_MAX_CONNS_PER_SERVER ? FMaxPerServer : FMaxPer10Server).store(AValue);
        WakeWaiters();
    }

private:
    std::mutex FLock;
    std::condition_variable FChanged;
    std::map<std::string, uint32_t> FInUse;
    // The library's defaults: two connections to an HTTP/1.1 server, four to
    // an HTTP/1.0 one. Every request counts against the first.
    std::atomic<uint32_t> FMaxPerServer{2};
    std::atomic<uint32_t> FMaxPer10Server{4};
};

// The server a slot is counted for: scheme, host (in lower case) and port.
std::string ServerKey(const std::string& AScheme, const std::string& AHost, uint16_t APort);

}  // namespace cl::wininet
