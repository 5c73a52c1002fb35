// A memory stream that hands out at most a given number of bytes per read,
// so that a parser sees its input split at every kind of boundary.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "rtl/clStreams.h"

namespace cltest {

class TChunkedReadStream : public cl::TMemoryStream {
public:
    TChunkedReadStream(const std::string& AData, int64_t AChunk) : FChunk(AChunk) {
        WriteBuffer(AData);
        SetPosition(0);
    }
    int64_t Read(void* ABuffer, int64_t ACount) override {
        return TMemoryStream::Read(ABuffer, std::min(ACount, FChunk));
    }

private:
    int64_t FChunk;
};

}  // namespace cltest
