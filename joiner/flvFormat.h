// The byte layout of FLV files shared by reading and writing: sizes of the
// fixed fields, the tag block, and encoding the header and tag fields.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "flvTypes.h"

namespace cl::flv {

constexpr size_t kFileHeaderSize = 9;
constexpr size_t kTagHeaderSize = 11;
constexpr size_t kPrevTagSizeSize = 4;

// A tag and its raw bytes live in one block; Flv_FreeTag releases it.
struct TagDeleter {
    void operator()(FlvTag* tag) const;
};
using TagPtr = std::unique_ptr<FlvTag, TagDeleter>;
TagPtr AllocateTag(uint32_t rawSize);

inline bool IsMediaTag(const FlvTag& tag) { return tag.type == FLV_TAG_AUDIO || tag.type == FLV_TAG_VIDEO; }

// The header as written: signature, version, the two flags only, data
// offset 9, then PreviousTagSize0 = 0.
std::array<uint8_t, kFileHeaderSize + kPrevTagSizeSize> EncodeFileHeader(const FlvHeader& header);

// Sets the timestamp in the fields and, when present, the raw bytes.
void SetTagTimestamp(FlvTag& tag, uint32_t timestamp);

// A whole tag of the given type at timestamp 0 and stream 0 around `data`,
// with its PreviousTagSize.
std::vector<uint8_t> EncodeTag(uint8_t type, const std::vector<uint8_t>& data);

}  // namespace cl::flv
