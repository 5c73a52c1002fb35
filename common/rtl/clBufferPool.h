// Buffers of one fixed size kept for reuse. Fresh storage costs a page fault
// for every 4 KiB on its first pass, and the allocator hands large blocks
// back to the system when they are freed; the download engine opens a ring
// and write runs for every attempt of every worker, so a run of many small
// files spent a third of its CPU faulting in new pages. A pool keeps a few
// freed buffers mapped for the next user.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace cl {

class TclBufferPool;

// A buffer of the pool's size, given back when it goes. Its bytes are
// whatever the last user left.
class TclPooledBuffer {
public:
    TclPooledBuffer() = default;
    // A buffer of no pool, freed when it goes.
    explicit TclPooledBuffer(std::unique_ptr<uint8_t[]> AData) : FData(std::move(AData)) {}
    TclPooledBuffer(TclPooledBuffer&& AOther) noexcept = default;
    TclPooledBuffer& operator=(TclPooledBuffer&& AOther) noexcept {
        if (this != &AOther) {
            GiveBack();
            FPool = AOther.FPool;
            FData = std::move(AOther.FData);
        }
        return *this;
    }
    ~TclPooledBuffer() { GiveBack(); }

    uint8_t* get() const { return FData.get(); }
    explicit operator bool() const { return FData != nullptr; }

private:
    friend class TclBufferPool;
    TclPooledBuffer(TclBufferPool* APool, std::unique_ptr<uint8_t[]> AData) : FPool(APool), FData(std::move(AData)) {}
    void GiveBack() noexcept;

    TclBufferPool* FPool = nullptr;
    std::unique_ptr<uint8_t[]> FData;
};

class TclBufferPool {
public:
    // ASize: bytes per buffer; AMaxIdle: freed buffers kept at most.
    TclBufferPool(size_t ASize, size_t AMaxIdle) : FSize(ASize), FMaxIdle(AMaxIdle) { FIdle.reserve(AMaxIdle); }
    TclBufferPool(const TclBufferPool&) = delete;
    TclBufferPool& operator=(const TclBufferPool&) = delete;

    size_t Size() const { return FSize; }
    // A kept buffer, or a new one (not zeroed).
    TclPooledBuffer Take();

private:
    friend class TclPooledBuffer;
    void Keep(std::unique_ptr<uint8_t[]> AData) noexcept;

    const size_t FSize;
    const size_t FMaxIdle;
    std::mutex FLock;
    std::vector<std::unique_ptr<uint8_t[]>> FIdle;
};

}  // namespace cl
