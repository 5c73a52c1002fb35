// Decodes an FLV byte stream pushed in pieces of any size: the file header,
// then one tag after another. Keeps its progress in named states so that a
// piece may end at any byte; the caller decides per tag whether the raw bytes
// are kept or only the header and media fields.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "flvFormat.h"
#include "flvMediaInfo.h"

namespace cl::flv {

class TagDecoder {
public:
    enum class State {
        FileHeader,  // collecting the 9 header bytes
        HeaderGap,   // dropping up to the data offset, then PreviousTagSize0
        TagHeader,   // collecting the 11 bytes of a tag header
        TagData,     // passing the tag's data
        TagTrailer,  // passing the tag's PreviousTagSize
        Failed,      // the file header was not an FLV header
    };
    enum class Event { NeedInput, Header, Tag, BadHeader };

    // Whether the raw bytes of the next tag whose header starts are kept.
    void SetKeepData(bool keep) { FKeepData = keep; }

    // Consumes bytes until something is complete; `used` tells how many.
    Event Feed(const uint8_t* data, size_t size, size_t& used);

    State GetState() const { return FState; }
    bool HeaderDone() const { return FState != State::FileHeader && FState != State::Failed; }
    // Between two tags: no byte of the next tag has been fed yet.
    bool AtTagStart() const { return FState == State::TagHeader && FHave == 0; }
    const FlvHeader& Header() const { return FHeader; }
    // The tag completed by the last Feed that returned Event::Tag.
    TagPtr TakeTag() { return std::move(FReady); }

    // How many of the next bytes will be dropped unseen; the caller may skip
    // them in the file and report it with Skipped.
    uint64_t SkippableBytes() const;
    void Skipped(uint64_t count);

private:
    void StartTag();
    void EndData();

    State FState = State::FileHeader;
    bool FKeepData = true;
    FlvHeader FHeader{};
    std::array<uint8_t, kTagHeaderSize> FScratch{};
    size_t FHave = 0;        // bytes of FScratch, of the trailer, or of the probe
    uint64_t FGapLeft = 0;   // HeaderGap
    uint32_t FDataLeft = 0;  // TagData
    std::array<uint8_t, kMediaProbeSize> FProbe{};
    size_t FProbeHave = 0;
    size_t FProbeWant = 0;
    TagPtr FTag;    // the tag being decoded
    TagPtr FReady;  // the last completed tag
};

}  // namespace cl::flv
