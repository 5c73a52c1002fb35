#include "flvMediaInfo.h"

namespace cl::flv {
namespace {

// Reads big-endian bit fields; bits past the end read as 0 and mark the
// reader as short.
class BitReader {
public:
    BitReader(const uint8_t* data, size_t size) : FData(data), FSize(size) {}
    uint32_t Take(unsigned bits) {
        uint32_t value = 0;
        for (unsigned i = 0; i < bits; ++i, ++FBit) {
            size_t byte = FBit / 8;
            uint32_t bit = 0;
            if (byte < FSize)
                bit = (FData[byte] >> (7 - FBit % 8)) & 1u;
            else
                FShort = true;
            value = (value << 1) | bit;
        }
        return value;
    }
    bool Short() const { return FShort; }

private:
    const uint8_t* FData;
    size_t FSize;
    size_t FBit = 0;
    bool FShort = false;
};

void SetSize(FlvTag& tag, uint32_t width, uint32_t height) {
    tag.width = width;
    tag.height = height;
}

// Sorenson H.263: start code, version, temporal reference, then a 3-bit
// picture size code with an explicit 8- or 16-bit size for codes 0 and 1.
void DecodeH263(FlvTag& tag, const uint8_t* p, size_t n) {
    BitReader bits(p, n);
    bits.Take(17 + 5 + 8);
    uint32_t code = bits.Take(3);
    uint32_t w = 0, h = 0;
    switch (code) {
        case 0:
            w = bits.Take(8);
            h = bits.Take(8);
            break;
        case 1:
            w = bits.Take(16);
            h = bits.Take(16);
            break;
        case 2:
            w = 352;
            h = 288;
            break;
        case 3:
            w = 176;
            h = 144;
            break;
        case 4:
            w = 128;
            h = 96;
            break;
        case 5:
            w = 320;
            h = 240;
            break;
        case 6:
            w = 160;
            h = 120;
            break;
        default:
            return;  // reserved
    }
    if (!bits.Short()) SetSize(tag, w, h);
}

// Screen video: 4-bit block width, 12-bit image width, 4-bit block height,
// 12-bit image height.
void DecodeScreenVideo(FlvTag& tag, const uint8_t* p, size_t n) {
    if (n < 4) return;
    SetSize(tag, ((p[0] & 0x0Fu) << 8) | p[1], ((p[2] & 0x0Fu) << 8) | p[3]);
}

// VP6: the adjustment byte (pixels to crop right and bottom), then the frame;
// a key frame gives its size in macroblocks. `frame` points at the VP6 frame.
void DecodeVp6(FlvTag& tag, uint8_t adjust, const uint8_t* frame, size_t n) {
    if (n < 2 || (frame[0] & 0x80) != 0)  // not a key frame
        return;
    bool separatedCoefficients = (frame[0] & 0x01) != 0;
    bool filterHeader = (frame[1] & 0x06) != 0;
    size_t at = 2;
    if (separatedCoefficients || !filterHeader) at += 2;  // offset of the second partition
    if (n < at + 2) return;
    uint32_t rows = frame[at], cols = frame[at + 1];
    uint32_t cropW = adjust >> 4, cropH = adjust & 0x0F;
    uint32_t w = cols * 16, h = rows * 16;
    SetSize(tag, w >= cropW ? w - cropW : 0, h >= cropH ? h - cropH : 0);
}

}  // namespace

void DecodeMediaInfo(FlvTag& tag, const uint8_t* data, size_t size) {
    if (size == 0) return;
    if (tag.type == FLV_TAG_AUDIO) {
        tag.soundFormat = data[0] >> 4;
        tag.soundRate = (data[0] >> 2) & 0x03;
        tag.soundSize = (data[0] >> 1) & 0x01;
        tag.soundType = data[0] & 0x01;
        return;
    }
    if (tag.type != FLV_TAG_VIDEO) return;
    tag.frameType = data[0] >> 4;
    tag.codecId = data[0] & 0x0F;
    const uint8_t* p = data + 1;
    size_t n = size - 1;
    switch (tag.codecId) {
        case kCodecSorensonH263:
            DecodeH263(tag, p, n);
            break;
        case kCodecScreenVideo:
            DecodeScreenVideo(tag, p, n);
            break;
        case kCodecVp6:
            if (n >= 1) DecodeVp6(tag, p[0], p + 1, n - 1);
            break;
        case kCodecVp6Alpha:  // adjustment byte, 24-bit offset to the alpha data
            if (n >= 4) DecodeVp6(tag, p[0], p + 4, n - 4);
            break;
        default:
            break;
    }
}

}  // namespace cl::flv
