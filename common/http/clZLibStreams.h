// A write-only stream that takes a gzip body (RFC 1952) in pieces of any
// size and writes the decompressed bytes into its destination as they come,
// checking each member's CRC-32 and length.
#pragma once

#include <cstdint>
#include <vector>

#include "http/clChecksum.h"
#include "http/clInflate.h"
#include "rtl/clStreams.h"

namespace cl {

class TclGZipInflateStream : public TStream {
public:
    // ADestination is not owned and must outlive the stream.
    explicit TclGZipInflateStream(TStream& ADestination);
    ~TclGZipInflateStream() override;

    int64_t Read(void* ABuffer, int64_t ACount) override;
    // Always accepts all ACount bytes; decoding failures raise EclZLibError,
    // and a failed stream raises the same error on every later write.
    int64_t Write(const void* ABuffer, int64_t ACount) override;
    // Only the current end (the number of compressed bytes written) is a
    // valid target; anything else raises "Invalid Stream operation".
    int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) override;

    TStream& Destination() const { return FDestination; }
    // Called once the whole body was written: raises "Uncompressing error -
    // invalid data size" unless every member ended with its trailer (an
    // empty body counts as complete), so a cut-short member or a body that
    // is not gzip at all is not taken for a short success.
    void Finish();

private:
    enum TState { gsHeader, gsData, gsTrailer, gsNextMember, gsIgnore, gsFailed };
    // The fields of a gzip member header, in stream order.
    enum THeaderPart { hpFixed, hpExtraLength, hpExtra, hpName, hpComment, hpHeaderCrc, hpDone };

    void Process(const uint8_t* AData, size_t ACount);
    size_t ReadMemberHeader(const uint8_t* AData, size_t ACount);
    void NextHeaderPart();
    size_t InflateData(const uint8_t* AData, size_t ACount);
    size_t CheckTrailer(const uint8_t* AData, size_t ACount);
    size_t ReadNextMember(const uint8_t* AData, size_t ACount);
    void ResetMember();

    TclInflater FInflater{true};
    TStream& FDestination;
    TclCrc32 FFileCrc;
    uint32_t FFileSize = 0;  // ISIZE counts modulo 2^32
    int64_t FTotalWritten = 0;

    TState FState = gsHeader;
    int FFailCode = 0;
    THeaderPart FHeaderPart = hpFixed;
    uint8_t FFlags = 0;
    uint8_t FGathered[10] = {};  // fixed header, XLEN or trailer bytes
    size_t FGatheredCount = 0;
    size_t FSkip = 0;  // bytes of FEXTRA or FHCRC still to skip
    std::vector<uint8_t> FOutput;
};

}  // namespace cl
