#include "flvFormat.h"

#include <algorithm>
#include <new>

namespace cl::flv {
namespace {

void PutBe24(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 16);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v);
}

}  // namespace

void TagDeleter::operator()(FlvTag* tag) const { ::operator delete(static_cast<void*>(tag)); }

TagPtr AllocateTag(uint32_t rawSize) {
    void* block = ::operator new(sizeof(FlvTag) + rawSize);
    auto* tag = new (block) FlvTag{};
    if (rawSize > 0) {
        tag->raw = static_cast<uint8_t*>(block) + sizeof(FlvTag);
        tag->rawSize = rawSize;
    }
    return TagPtr(tag);
}

std::array<uint8_t, kFileHeaderSize + kPrevTagSizeSize> EncodeFileHeader(const FlvHeader& header) {
    const uint8_t flags = uint8_t((header.hasAudio ? 0x04 : 0) | (header.hasVideo ? 0x01 : 0));
    return {'F', 'L', 'V', header.version, flags, 0, 0, 0, kFileHeaderSize, 0, 0, 0, 0};
}

void SetTagTimestamp(FlvTag& tag, uint32_t timestamp) {
    tag.timestamp = timestamp;
    if (tag.raw) {
        PutBe24(tag.raw + 4, timestamp & 0xFFFFFF);
        tag.raw[7] = uint8_t(timestamp >> 24);
    }
}

std::vector<uint8_t> EncodeTag(uint8_t type, const std::vector<uint8_t>& data) {
    const uint32_t size = uint32_t(data.size());
    std::vector<uint8_t> tag(kTagHeaderSize + size + kPrevTagSizeSize, 0);
    tag[0] = type;
    PutBe24(&tag[1], size);
    std::copy(data.begin(), data.end(), tag.begin() + kTagHeaderSize);
    const uint32_t prev = uint32_t(kTagHeaderSize) + size;
    tag[kTagHeaderSize + size] = uint8_t(prev >> 24);
    PutBe24(&tag[kTagHeaderSize + size + 1], prev);
    return tag;
}

}  // namespace cl::flv
