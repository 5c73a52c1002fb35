#include "flvTagDecoder.h"

#include <algorithm>
#include <cstring>

namespace cl::flv {
namespace {

uint32_t Be24(const uint8_t* p) { return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2]; }
uint32_t Be32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | Be24(p + 1); }

}  // namespace

TagDecoder::Event TagDecoder::Feed(const uint8_t* data, size_t size, size_t& used) {
    used = 0;
    while (used < size) {
        const uint8_t* in = data + used;
        size_t left = size - used;
        switch (FState) {
            case State::FileHeader: {
                size_t n = std::min(left, kFileHeaderSize - FHave);
                std::memcpy(FScratch.data() + FHave, in, n);
                FHave += n;
                used += n;
                if (FHave < kFileHeaderSize) break;
                if (std::memcmp(FScratch.data(), "FLV", 3) != 0) {
                    FState = State::Failed;
                    return Event::BadHeader;
                }
                FHeader.version = FScratch[3];
                FHeader.hasAudio = (FScratch[4] & 0x04) != 0;
                FHeader.hasVideo = (FScratch[4] & 0x01) != 0;
                FHeader.dataOffset = Be32(FScratch.data() + 5);
                // An offset inside the 9 header bytes cannot be right; the tags
                // then start right after the header.
                uint64_t gap = FHeader.dataOffset > kFileHeaderSize ? FHeader.dataOffset - kFileHeaderSize : 0;
                FGapLeft = gap + kPrevTagSizeSize;
                FState = State::HeaderGap;
                return Event::Header;
            }
            case State::HeaderGap: {
                size_t n = static_cast<size_t>(std::min<uint64_t>(left, FGapLeft));
                used += n;
                FGapLeft -= n;
                if (FGapLeft == 0) {
                    FState = State::TagHeader;
                    FHave = 0;
                }
                break;
            }
            case State::TagHeader: {
                size_t n = std::min(left, kTagHeaderSize - FHave);
                std::memcpy(FScratch.data() + FHave, in, n);
                FHave += n;
                used += n;
                if (FHave == kTagHeaderSize) StartTag();
                break;
            }
            case State::TagData: {
                size_t n = std::min<size_t>(left, FDataLeft);
                if (FProbeHave < FProbeWant) {
                    size_t p = std::min(n, FProbeWant - FProbeHave);
                    std::memcpy(FProbe.data() + FProbeHave, in, p);
                    FProbeHave += p;
                }
                if (FTag->raw) std::memcpy(FTag->raw + kTagHeaderSize + (FTag->dataSize - FDataLeft), in, n);
                FDataLeft -= static_cast<uint32_t>(n);
                used += n;
                if (FDataLeft == 0) EndData();
                break;
            }
            case State::TagTrailer: {
                size_t n = std::min(left, kPrevTagSizeSize - FHave);
                if (FTag->raw) std::memcpy(FTag->raw + kTagHeaderSize + FTag->dataSize + FHave, in, n);
                FHave += n;
                used += n;
                if (FHave == kPrevTagSizeSize) {
                    FReady = std::move(FTag);
                    FState = State::TagHeader;
                    FHave = 0;
                    return Event::Tag;
                }
                break;
            }
            case State::Failed:
                return Event::BadHeader;
        }
    }
    return Event::NeedInput;
}

void TagDecoder::StartTag() {
    const uint8_t* h = FScratch.data();
    uint32_t dataSize = Be24(h + 1);
    FTag = AllocateTag(FKeepData ? dataSize + uint32_t(kTagHeaderSize + kPrevTagSizeSize) : 0);
    FTag->type = h[0];
    FTag->dataSize = dataSize;
    FTag->timestamp = Be24(h + 4) | (uint32_t(h[7]) << 24);
    FTag->streamId = Be24(h + 8);
    if (FTag->raw) std::memcpy(FTag->raw, h, kTagHeaderSize);
    FDataLeft = dataSize;
    FProbeHave = 0;
    FProbeWant = std::min<size_t>(dataSize, kMediaProbeSize);
    FState = State::TagData;
    if (FDataLeft == 0) EndData();
}

void TagDecoder::EndData() {
    DecodeMediaInfo(*FTag, FProbe.data(), FProbeHave);
    FState = State::TagTrailer;
    FHave = 0;
}

uint64_t TagDecoder::SkippableBytes() const {
    switch (FState) {
        case State::HeaderGap:
            return FGapLeft;
        case State::TagData:
            return (FTag->raw || FProbeHave < FProbeWant) ? 0 : FDataLeft;
        default:
            return 0;
    }
}

void TagDecoder::Skipped(uint64_t count) {
    count = std::min(count, SkippableBytes());
    if (count == 0) return;
    if (FState == State::HeaderGap) {
        FGapLeft -= count;
        if (FGapLeft == 0) {
            FState = State::TagHeader;
            FHave = 0;
        }
        return;
    }
    FDataLeft -= static_cast<uint32_t>(count);
    if (FDataLeft == 0) EndData();
}

}  // namespace cl::flv
