#include "flvTagCopier.h"

#include <array>
#include <cstring>
#include <sys/uio.h>

#include "flvFormat.h"

namespace cl::flv {
namespace {

uint32_t Be24(const uint8_t* p) { return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2]; }

// The output not yet written: pieces of the reader's memory and patched
// headers kept here, handed to the writer in one call when the list is full
// or before the reader's memory moves.
class PendingPieces {
public:
    explicit PendingPieces(FileWriter& out) : FOut(out) {}

    // Called before the pieces of each tag (a header and a span at most).
    void MakeRoom() {
        if (FCount + 2 > kMaxPieces) Flush();
    }

    void AddSpan(const uint8_t* data, size_t size) {
        if (FCount > 0 && FLastIsSpan) {
            iovec& last = FPieces[FCount - 1];
            if (static_cast<const uint8_t*>(last.iov_base) + last.iov_len == data) {
                last.iov_len += size;  // tags that follow each other in memory go as one piece
                return;
            }
        }
        Add(data, size, true);
    }

    // The header of a tag with its timestamp replaced.
    void AddHeader(const uint8_t* header, uint32_t timestamp) {
        uint8_t* copy = FHeaders[FHeaderCount++].data();
        std::memcpy(copy, header, kTagHeaderSize);
        copy[4] = uint8_t(timestamp >> 16);
        copy[5] = uint8_t(timestamp >> 8);
        copy[6] = uint8_t(timestamp);
        copy[7] = uint8_t(timestamp >> 24);
        Add(copy, kTagHeaderSize, false);
    }

    void Flush() {
        if (FCount > 0) FOut.WritePieces(FPieces.data(), FCount);
        FCount = 0;
        FHeaderCount = 0;
    }

private:
    static constexpr size_t kMaxPieces = 512;

    void Add(const uint8_t* data, size_t size, bool span) {
        FPieces[FCount++] = iovec{const_cast<uint8_t*>(data), size};
        FLastIsSpan = span;
    }

    FileWriter& FOut;
    std::array<iovec, kMaxPieces> FPieces{};
    size_t FCount = 0;
    std::array<std::array<uint8_t, kTagHeaderSize>, kMaxPieces / 2> FHeaders{};
    size_t FHeaderCount = 0;
    bool FLastIsSpan = false;
};

}  // namespace

MediaCopyResult CopyMediaTags(FileReader& in, FileWriter& out, uint32_t offset) {
    MediaCopyResult result;
    PendingPieces pending(out);
    // Makes a whole piece of `count` bytes available; the reader's memory may
    // move, so what is pending goes out first.
    auto have = [&](size_t count) {
        if (in.Available() >= count) return true;
        pending.Flush();
        return in.Ensure(count) >= count;
    };
    while (!out.Failed() && have(kTagHeaderSize)) {
        const uint32_t dataSize = Be24(in.Data() + 1);
        const size_t tagSize = kTagHeaderSize + dataSize + kPrevTagSizeSize;
        if (!have(tagSize)) break;  // a last tag cut short: dropped
        const uint8_t* tag = in.Data();
        const uint32_t timestamp = Be24(tag + 4) | (uint32_t(tag[7]) << 24);
        result.lastTimestamp = timestamp;
        if (tag[0] == FLV_TAG_AUDIO || tag[0] == FLV_TAG_VIDEO) {
            pending.MakeRoom();
            if (offset == 0) {
                pending.AddSpan(tag, tagSize);
            } else {
                pending.AddHeader(tag, timestamp + offset);
                pending.AddSpan(tag + kTagHeaderSize, tagSize - kTagHeaderSize);
            }
            ++result.mediaTags;
        }
        in.Consume(tagSize);
    }
    pending.Flush();
    return result;
}

}  // namespace cl::flv
