#include "flvTagReader.h"

namespace cl::flv {

TagDecoder::Event TagReader::Pump() {
    for (;;) {
        if (uint64_t skip = FDecoder.SkippableBytes(); skip > 0) {
            FFile.Skip(skip);
            FDecoder.Skipped(skip);
            continue;
        }
        if (FFile.Fill() == 0) return TagDecoder::Event::NeedInput;
        size_t used = 0;
        TagDecoder::Event event = FDecoder.Feed(FFile.Data(), FFile.Available(), used);
        FFile.Consume(used);
        if (event != TagDecoder::Event::NeedInput) return event;
    }
}

bool TagReader::ReadHeader(FlvHeader& header) {
    if (!FDecoder.HeaderDone() && Pump() != TagDecoder::Event::Header) return false;
    header = FDecoder.Header();
    return true;
}

FileReader* TagReader::AtTagBoundary() {
    FlvHeader header;
    if (!ReadHeader(header)) return nullptr;
    if (FDecoder.GetState() == TagDecoder::State::HeaderGap) {
        const uint64_t gap = FDecoder.SkippableBytes();
        FFile.Skip(gap);
        FDecoder.Skipped(gap);
    }
    return FDecoder.AtTagStart() ? &FFile : nullptr;
}

TagPtr TagReader::ReadTag(bool withData) {
    FlvHeader header;
    if (!ReadHeader(header)) return nullptr;
    FDecoder.SetKeepData(withData);
    if (Pump() != TagDecoder::Event::Tag) return nullptr;
    return FDecoder.TakeTag();
}

}  // namespace cl::flv
