// The body ring of a transfer: a bounded buffer between libcurl's writes and
// the reader, so that memory stays flat for any body size (the transfer
// pauses while the ring is full).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace cl::wininet {

class TRing {
public:
    explicit TRing(size_t ACapacity) : FData(ACapacity) {}
    size_t Size() const { return FSize; }
    size_t Free() const { return FData.size() - FSize; }
    void Clear() { FHead = FSize = 0; }
    // Makes room for AExtra bytes beyond the capacity (one oversized piece).
    void Reserve(size_t AExtra) {
        if (AExtra <= Free()) return;
        std::vector<uint8_t> bigger(FSize + AExtra);
        Take(bigger.data(), FSize, false);
        const size_t size = FSize;
        FData.swap(bigger);
        FHead = 0;
        FSize = size;
    }
    void Put(const uint8_t* AData, size_t ACount) {
        size_t tail = (FHead + FSize) % FData.size();
        const size_t first = std::min(ACount, FData.size() - tail);
        std::memcpy(FData.data() + tail, AData, first);
        std::memcpy(FData.data(), AData + first, ACount - first);
        FSize += ACount;
    }
    size_t Take(uint8_t* ABuffer, size_t ACount, bool AConsume = true) {
        const size_t count = std::min(ACount, FSize);
        const size_t first = std::min(count, FData.size() - FHead);
        std::memcpy(ABuffer, FData.data() + FHead, first);
        std::memcpy(ABuffer + first, FData.data(), count - first);
        if (AConsume) {
            FHead = (FHead + count) % FData.size();
            FSize -= count;
            if (FSize == 0) FHead = 0;
        }
        return count;
    }

private:
    std::vector<uint8_t> FData;
    size_t FHead = 0;
    size_t FSize = 0;
};

}  // namespace cl::wininet
