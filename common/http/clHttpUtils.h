// Response reading helpers of the HTTP client: the decoder of the chunked
// transfer coding, which writes the decoded body into a destination stream.
#pragma once

#include <cstdint>
#include <string>

#include "rtl/clStreams.h"

namespace cl {

// Write-only: every Write accepts the whole buffer, however the chunked body
// is split across writes. The destination is not owned.
class TclChunkedStream : public TStream {
public:
    explicit TclChunkedStream(TStream* ADestination) : FDestination(ADestination) {}

    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void* ABuffer, int64_t ACount) override;
    // Only the current end (the number of bytes written) is a valid target.
    int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) override;
    int64_t GetSize() override { return FTotalWritten; }
    void SetSize(int64_t) override {}

    bool IsCompleted() const { return FIsCompleted; }

private:
    // Where the decoder stands within the chunk it is on.
    // After the zero-size chunk the trailer section runs up to its empty line.
    enum TclChunkState { csSizeLine, csData, csDataEnd, csTrailer, csDone };

    size_t ReadSizeLine(const uint8_t* AData, size_t ACount);
    size_t ReadData(const uint8_t* AData, size_t ACount);
    size_t SkipDataEnd(const uint8_t* AData, size_t ACount);
    size_t SkipTrailer(const uint8_t* AData, size_t ACount);

    TStream* FDestination;
    TclChunkState FState = csSizeLine;
    std::string FChunkSizeStr;
    bool FSizeDigitsEnded = false;  // a non-hex character ended the size digits of this line
    int32_t FChunkSize = 0;
    int32_t FChunkWritten = 0;
    bool FTrailerLineHasText = false;  // the trailer line read so far is not empty
    bool FIsCompleted = false;
    int64_t FTotalWritten = 0;
};

}  // namespace cl
