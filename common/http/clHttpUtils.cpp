#include "http/clHttpUtils.h"

#include <algorithm>
#include <cstring>

#include "rtl/clException.h"
#include "rtl/clStrUtils.h"

namespace cl {

namespace {
int32_t ParseChunkSize(const std::string& ADigits) {
    // Leading zeros carry no value; what remains must fit 31 bits.
    const size_t first = ADigits.find_first_not_of('0');
    const std::string digits = first == std::string::npos ? std::string() : ADigits.substr(first);
    if (digits.size() > 8 || (digits.size() == 8 && !(digits[0] >= '0' && digits[0] <= '7'))) {
        throw EclStreamError("Invalid chunk size");
    }
    return digits.empty() ? 0 : static_cast<int32_t>(std::stoul(digits, nullptr, 16));
}
}  // namespace

int64_t TclChunkedStream::Write(const void* ABuffer, int64_t ACount) {
    if (ACount <= 0) return 0;
    FTotalWritten += ACount;
    const auto* p = static_cast<const uint8_t*>(ABuffer);
    size_t pos = 0;
    const auto count = static_cast<size_t>(ACount);
    // Bytes after the completion point within the same write are dropped.
    while (pos < count && FState != csDone) {
        switch (FState) {
            case csSizeLine:
                pos += ReadSizeLine(p + pos, count - pos);
                break;
            case csData:
                pos += ReadData(p + pos, count - pos);
                break;
            case csDataEnd:
                pos += SkipDataEnd(p + pos, count - pos);
                break;
            case csTrailer:
                pos += SkipTrailer(p + pos, count - pos);
                break;
            case csDone:
                break;
        }
    }
    return ACount;
}

size_t TclChunkedStream::ReadSizeLine(const uint8_t* AData, size_t ACount) {
    const auto* lf = static_cast<const uint8_t*>(std::memchr(AData, '\n', ACount));
    const size_t lineLen = lf ? static_cast<size_t>(lf - AData) : ACount;
    // Only the leading hex run of the line counts, also when the line is
    // split across writes; an extension, CR or blanks end it.
    for (size_t i = 0; i < lineLen && !FSizeDigitsEnded; ++i) {
        if (IsHexDigit(AData[i])) {
            // Leading zeros carry no value and are not kept, so the digits
            // held stay few: a size that cannot fit is refused at once
            // rather than gathered without end.
            if (FChunkSizeStr == "0") FChunkSizeStr.clear();
            FChunkSizeStr += static_cast<char>(AData[i]);
            if (FChunkSizeStr.size() > 8) ParseChunkSize(FChunkSizeStr);
        } else {
            FSizeDigitsEnded = true;
        }
    }
    if (!lf) return ACount;
    FChunkSize = ParseChunkSize(FChunkSizeStr);
    FChunkSizeStr.clear();
    FSizeDigitsEnded = false;
    FChunkWritten = 0;
    FState = FChunkSize > 0 ? csData : csTrailer;
    return lineLen + 1;
}

size_t TclChunkedStream::ReadData(const uint8_t* AData, size_t ACount) {
    const size_t n = std::min(ACount, static_cast<size_t>(FChunkSize - FChunkWritten));
    if (FDestination && n > 0) FDestination->WriteBuffer(AData, static_cast<int64_t>(n));
    FChunkWritten += static_cast<int32_t>(n);
    if (FChunkWritten == FChunkSize) FState = csDataEnd;
    return n;
}

size_t TclChunkedStream::SkipDataEnd(const uint8_t* AData, size_t ACount) {
    const auto* lf = static_cast<const uint8_t*>(std::memchr(AData, '\n', ACount));
    if (!lf) return ACount;
    FState = csSizeLine;
    return static_cast<size_t>(lf - AData) + 1;
}

// Trailer fields are not kept; the body ends with the empty line after them,
// so nothing of this response stays on a connection that is used again.
size_t TclChunkedStream::SkipTrailer(const uint8_t* AData, size_t ACount) {
    for (size_t i = 0; i < ACount; ++i) {
        if (AData[i] == '\n') {
            if (!FTrailerLineHasText) {
                FIsCompleted = true;
                FState = csDone;
                return i + 1;
            }
            FTrailerLineHasText = false;
        } else if (AData[i] != '\r') {
            FTrailerLineHasText = true;
        }
    }
    return ACount;
}

int64_t TclChunkedStream::Seek(int64_t AOffset, TSeekOrigin AOrigin) {
    const int64_t target = AOrigin == soBeginning ? AOffset : FTotalWritten + AOffset;
    if (target != FTotalWritten) throw EclStreamError("Invalid Stream operation");
    return FTotalWritten;
}

}  // namespace cl
