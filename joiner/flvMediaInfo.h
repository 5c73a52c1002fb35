// What the first bytes of an audio or video tag's data say about the media:
// sound format, rate, size and type; frame type, codec id and, for the codecs
// whose frame header carries it, the picture size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "flvTypes.h"

namespace cl::flv {

// Video codec ids of the FLV format.
enum : uint8_t {
    kCodecSorensonH263 = 2,
    kCodecScreenVideo = 3,
    kCodecVp6 = 4,
    kCodecVp6Alpha = 5,
    kCodecAvc = 7,
};

// The most data bytes the decoding below looks at.
constexpr size_t kMediaProbeSize = 16;

// Fills the media fields of an audio or video tag from the first
// min(dataSize, kMediaProbeSize) bytes of its data; other tags are left alone.
void DecodeMediaInfo(FlvTag& tag, const uint8_t* data, size_t size);

}  // namespace cl::flv
