// The body ring of a transfer: a bounded buffer between libcurl's writes and
// the reader, so that memory stays flat for any body size (the transfer
// pauses while the ring is full).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "rtl/clBufferPool.h"

namespace cl::wininet {

class TRing {
public:
    // The storage comes from APool (its buffers' size is the capacity) at
    // the first byte that goes in, and is not cleared: a request is opened
    // for every attempt of every worker, and zeroing or faulting in a fresh
    // ring for each was a large share of a run of many small files.
    explicit TRing(TclBufferPool& APool) : FPool(APool), FCapacity(APool.Size()) {}
    size_t Size() const { return FSize; }
    size_t Free() const { return FCapacity - FSize; }
    void Clear() { FHead = FSize = 0; }
    // Makes room for AExtra bytes beyond the capacity (one oversized piece).
    void Reserve(size_t AExtra) {
        if (AExtra <= Free()) return;
        const size_t size = FSize;
        TclPooledBuffer bigger(std::make_unique_for_overwrite<uint8_t[]>(size + AExtra));
        Take(bigger.get(), size, false);
        FData = std::move(bigger);
        FCapacity = size + AExtra;
        FHead = 0;
        FSize = size;
    }
    void Put(const uint8_t* AData, size_t ACount) {
        if (ACount == 0) return;
        if (!FData) FData = FPool.Take();
        size_t tail = (FHead + FSize) % FCapacity;
        const size_t first = std::min(ACount, FCapacity - tail);
        std::memcpy(FData.get() + tail, AData, first);
        std::memcpy(FData.get(), AData + first, ACount - first);
        FSize += ACount;
    }
    size_t Take(uint8_t* ABuffer, size_t ACount, bool AConsume = true) {
        const size_t count = std::min(ACount, FSize);
        if (count == 0) return 0;
        const size_t first = std::min(count, FCapacity - FHead);
        std::memcpy(ABuffer, FData.get() + FHead, first);
        std::memcpy(ABuffer + first, FData.get(), count - first);
        if (AConsume) {
            FHead = (FHead + count) % FCapacity;
            FSize -= count;
            if (FSize == 0) FHead = 0;
        }
        return count;
    }

private:
    TclBufferPool& FPool;
    TclPooledBuffer FData;
    size_t FCapacity;
    size_t FHead = 0;
    size_t FSize = 0;
};

}  // namespace cl::wininet
