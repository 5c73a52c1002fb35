#include "rtl/clBufferPool.h"

namespace cl {

void TclPooledBuffer::GiveBack() noexcept {
    if (FPool && FData) FPool->Keep(std::move(FData));
    FData.reset();
}

TclPooledBuffer TclBufferPool::Take() {
    {
        std::lock_guard<std::mutex> guard(FLock);
        if (!FIdle.empty()) {
            std::unique_ptr<uint8_t[]> data = std::move(FIdle.back());
            FIdle.pop_back();
            return TclPooledBuffer(this, std::move(data));
        }
    }
    return TclPooledBuffer(this, std::make_unique_for_overwrite<uint8_t[]>(FSize));
}

void TclBufferPool::Keep(std::unique_ptr<uint8_t[]> AData) noexcept {
    std::lock_guard<std::mutex> guard(FLock);
    // Room for FMaxIdle was reserved, so keeping one allocates nothing.
    if (FIdle.size() < FMaxIdle) FIdle.push_back(std::move(AData));
}

}  // namespace cl
