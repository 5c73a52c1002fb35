#include "http/clZLibStreams.h"

#include <algorithm>
#include <cstring>

#include "http/clZLibBase.h"

namespace cl {

namespace {

constexpr size_t kOutputSize = 16384;
constexpr size_t kMaxInflaterInput = 1u << 30;

enum : uint8_t { kFlagHeaderCrc = 0x02, kFlagExtra = 0x04, kFlagName = 0x08, kFlagComment = 0x10 };

uint32_t ReadLE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

TclGZipInflateStream::TclGZipInflateStream(TStream& ADestination) : FDestination(ADestination), FOutput(kOutputSize) {}

TclGZipInflateStream::~TclGZipInflateStream() = default;

int64_t TclGZipInflateStream::Read(void*, int64_t) { return 0; }

int64_t TclGZipInflateStream::Seek(int64_t AOffset, TSeekOrigin AOrigin) {
    const int64_t target = AOrigin == soBeginning ? AOffset : FTotalWritten + AOffset;
    if (target != FTotalWritten) RaiseZLibError(zlInvalidStreamOperation);
    return FTotalWritten;
}

int64_t TclGZipInflateStream::Write(const void* ABuffer, int64_t ACount) {
    if (ACount <= 0) return 0;
    if (FState == gsFailed) RaiseZLibError(FFailCode);
    FTotalWritten += ACount;
    const auto* p = static_cast<const uint8_t*>(ABuffer);
    try {
        for (int64_t done = 0; done < ACount;) {
            const size_t n = static_cast<size_t>(std::min<int64_t>(ACount - done, kMaxInflaterInput));
            Process(p + done, n);
            done += static_cast<int64_t>(n);
        }
    } catch (const EclZLibError& e) {
        FState = gsFailed;
        FFailCode = e.ErrorCode();
        throw;
    } catch (...) {
        // The destination failed: the output is incomplete from here on.
        FState = gsFailed;
        FFailCode = zlInvalidStreamOperation;
        throw;
    }
    return ACount;
}

void TclGZipInflateStream::Finish() {
    if (FState == gsFailed) RaiseZLibError(FFailCode);
    const bool betweenMembers = FState == gsNextMember && FGatheredCount == 0;
    const bool empty = FTotalWritten == 0;
    if (!(empty || betweenMembers || FState == gsIgnore)) RaiseZLibError(zlInvalidDataSize);
}

void TclGZipInflateStream::Process(const uint8_t* AData, size_t ACount) {
    size_t pos = 0;
    while (pos < ACount) {
        switch (FState) {
            case gsHeader:
                pos += ReadMemberHeader(AData + pos, ACount - pos);
                break;
            case gsData:
                pos += InflateData(AData + pos, ACount - pos);
                break;
            case gsTrailer:
                pos += CheckTrailer(AData + pos, ACount - pos);
                break;
            case gsNextMember:
                pos += ReadNextMember(AData + pos, ACount - pos);
                break;
            case gsIgnore:
            case gsFailed:
                return;
        }
    }
}

// ID1, ID2 and CM are not compared: the body was declared gzip. FTEXT and
// the reserved flag bits are ignored, the header CRC is skipped unchecked.
size_t TclGZipInflateStream::ReadMemberHeader(const uint8_t* AData, size_t ACount) {
    size_t i = 0;
    while (i < ACount && FState == gsHeader) {
        switch (FHeaderPart) {
            case hpFixed:
            case hpExtraLength: {
                const size_t need = FHeaderPart == hpFixed ? 10 : 2;
                const size_t n = std::min(need - FGatheredCount, ACount - i);
                std::memcpy(FGathered + FGatheredCount, AData + i, n);
                FGatheredCount += n;
                i += n;
                if (FGatheredCount < need) break;
                if (FHeaderPart == hpFixed) {
                    FFlags = FGathered[3];
                } else {
                    FSkip = static_cast<size_t>(FGathered[0]) | static_cast<size_t>(FGathered[1]) << 8;
                }
                FGatheredCount = 0;
                NextHeaderPart();
                break;
            }
            case hpExtra:
            case hpHeaderCrc: {
                const size_t n = std::min(FSkip, ACount - i);
                FSkip -= n;
                i += n;
                if (FSkip == 0) NextHeaderPart();
                break;
            }
            case hpName:
            case hpComment: {
                const void* zero = std::memchr(AData + i, 0, ACount - i);
                if (zero == nullptr) {
                    i = ACount;
                } else {
                    i = static_cast<size_t>(static_cast<const uint8_t*>(zero) - AData) + 1;
                    NextHeaderPart();
                }
                break;
            }
            case hpDone:
                NextHeaderPart();
                break;
        }
    }
    return i;
}

// Moves to the next part the flags call for; after the last one the
// compressed data begins.
void TclGZipInflateStream::NextHeaderPart() {
    for (;;) {
        FHeaderPart = static_cast<THeaderPart>(FHeaderPart + 1);
        switch (FHeaderPart) {
            case hpExtraLength:
                if (FFlags & kFlagExtra) return;
                FHeaderPart = hpExtra;  // no FEXTRA: skip its data part too
                break;
            case hpExtra:
                if (FSkip > 0) return;
                break;
            case hpName:
                if (FFlags & kFlagName) return;
                break;
            case hpComment:
                if (FFlags & kFlagComment) return;
                break;
            case hpHeaderCrc:
                if (FFlags & kFlagHeaderCrc) {
                    FSkip = 2;
                    return;
                }
                break;
            default:
                FHeaderPart = hpDone;
                FState = gsData;
                return;
        }
    }
}

size_t TclGZipInflateStream::InflateData(const uint8_t* AData, size_t ACount) {
    FInflater.SetInput(AData, 0, static_cast<int>(ACount));
    for (;;) {
        const int produced = FInflater.Inflate(FOutput.data(), 0, static_cast<int>(FOutput.size()));
        if (produced > 0) {
            FDestination.WriteBuffer(FOutput.data(), produced);
            FFileCrc.Update(FOutput.data(), static_cast<size_t>(produced));
            FFileSize += static_cast<uint32_t>(produced);
        }
        if (FInflater.IsNeedingDictionary()) RaiseZLibError(zlNeedDictionary);
        if (FInflater.IsFinished()) {
            FState = gsTrailer;
            break;
        }
        if (FInflater.IsNeedingInput()) break;
        if (produced == 0) RaiseZLibError(zlUnknownMode);  // neither progress nor a reason to wait
    }
    // Bytes after the end of the DEFLATE data belong to the trailer; the
    // inflater forgets them when it is reset for the next member.
    return ACount - static_cast<size_t>(FInflater.RemainingInput());
}

size_t TclGZipInflateStream::CheckTrailer(const uint8_t* AData, size_t ACount) {
    const size_t n = std::min<size_t>(8 - FGatheredCount, ACount);
    std::memcpy(FGathered + FGatheredCount, AData, n);
    FGatheredCount += n;
    if (FGatheredCount < 8) return n;
    if (ReadLE32(FGathered) != FFileCrc.Value()) RaiseZLibError(zlInvalidCrc);
    if (ReadLE32(FGathered + 4) != FFileSize) RaiseZLibError(zlInvalidDataSize);
    ResetMember();
    return n;
}

// After a complete member, a further member must begin with the gzip magic
// bytes; anything else is trailing garbage and is ignored.
size_t TclGZipInflateStream::ReadNextMember(const uint8_t* AData, size_t ACount) {
    static const uint8_t kMagic[2] = {0x1f, 0x8b};
    size_t i = 0;
    while (i < ACount && FState == gsNextMember) {
        if (AData[i] != kMagic[FGatheredCount]) {
            FState = gsIgnore;
            return ACount;
        }
        FGathered[FGatheredCount++] = AData[i++];
        if (FGatheredCount == 2) FState = gsHeader;
    }
    return i;
}

void TclGZipInflateStream::ResetMember() {
    FFileCrc.Reset();
    FFileSize = 0;
    FGatheredCount = 0;
    FSkip = 0;
    FFlags = 0;
    FHeaderPart = hpFixed;
    FInflater.Reset();
    FState = gsNextMember;
}

}  // namespace cl
