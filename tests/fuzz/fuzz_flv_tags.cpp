// Arbitrary bytes as an FLV file pushed into the tag decoder: the first byte
// picks a piece size, and the events and tags must equal those of the bytes
// pushed whole, whatever the header sizes claim.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "flvTagDecoder.h"

namespace {

struct Seen {
    std::vector<int> Events;
    std::vector<std::vector<uint8_t>> Tags;  // type, sizes and raw bytes
};

void Keep(cl::flv::TagDecoder& ADecoder, Seen& ASeen) {
    cl::flv::TagPtr tag = ADecoder.TakeTag();
    if (!tag) std::abort();
    std::vector<uint8_t> t = {tag->type};
    for (uint32_t v : {tag->dataSize, tag->timestamp, tag->streamId, tag->width, tag->height, tag->rawSize}) {
        for (int s = 0; s < 32; s += 8) t.push_back(static_cast<uint8_t>(v >> s));
    }
    if (tag->raw) t.insert(t.end(), tag->raw, tag->raw + tag->rawSize);
    ASeen.Tags.push_back(std::move(t));
}

Seen Run(const uint8_t* AData, size_t ASize, size_t APiece) {
    Seen seen;
    cl::flv::TagDecoder decoder;
    size_t tagCount = 0;
    for (size_t pos = 0; pos < ASize;) {
        const size_t end = std::min(ASize, pos + APiece);
        while (pos < end) {
            // Every other tag without its data, so both ways are decoded.
            decoder.SetKeepData(tagCount % 2 == 0);
            size_t used = 0;
            const auto event = decoder.Feed(AData + pos, end - pos, used);
            if (used > end - pos) std::abort();
            pos += used;
            if (event == cl::flv::TagDecoder::Event::NeedInput) {
                if (pos != end) std::abort();
                continue;
            }
            seen.Events.push_back(static_cast<int>(event));
            if (event == cl::flv::TagDecoder::Event::Tag) {
                Keep(decoder, seen);
                ++tagCount;
            }
            if (event == cl::flv::TagDecoder::Event::BadHeader) return seen;
        }
    }
    return seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    if (ASize < 1) return 0;
    const size_t piece = 1 + AData[0] % 23;
    const Seen whole = Run(AData + 1, ASize - 1, ASize);
    const Seen split = Run(AData + 1, ASize - 1, piece);
    if (whole.Events != split.Events || whole.Tags != split.Tags) std::abort();
    return 0;
}
