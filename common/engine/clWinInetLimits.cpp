// How many connections the internet library opens to one server at a time.
#include "engine/clWinInetLimits.h"

#include <algorithm>

#include "engine/clWinInetHandles.h"
#include "rtl/clStrUtils.h"

namespace cl::wininet {

bool TConnectionLimits::Acquire(const std::string& AServer, const THandle& AWaiter) {
    std::unique_lock<std::mutex> lock(FLock);
    FChanged.wait(lock, [&] { return AWaiter.IsClosed() || FInUse[AServer] < std::max<uint32_t>(FMaxPerServer, 1); });
    if (AWaiter.IsClosed()) return false;
    ++FInUse[AServer];
    return true;
}

void TConnectionLimits::Release(const std::string& AServer) {
    std::lock_guard<std::mutex> guard(FLock);
    auto it = FInUse.find(AServer);
    if (it != FInUse.end() && it->second > 0 && --it->second == 0) FInUse.erase(it);
    FChanged.notify_all();
}

std::string ServerKey(const std::string& AScheme, const std::string& AHost, uint16_t APort) {
    return AScheme + "://" + LowerCase(AHost) + ":" + std::to_string(APort);
}

}  // namespace cl::wininet
