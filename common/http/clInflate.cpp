#include "http/clInflate.h"

#include <zlib.h>

#include <new>

#include "http/clZLibBase.h"
#include "rtl/clCodeTexts.h"

namespace cl {

// The block decoding runs on zlib's inflate; what it reports is translated
// into the codes of our table.
struct TclInflater::Stream {
    z_stream Z{};
};

namespace {

// zlib's messages and the codes they stand for.
constexpr TclCodeText kZLibMessageCodes[] = {
    {zlHeaderChecksum, "incorrect header check"},
    {zlUnknownMethod, "unknown compression method"},
    {zlUnknownMethod, "invalid window size"},
    {zlUnknownBlockType, "invalid block type"},
    {zlBrokenStoredBlock, "invalid stored block lengths"},
    {zlIllegalRepLength, "invalid literal/length code"},
    {zlIllegalRepDistance, "invalid distance code"},
    {zlAdlerMismatch, "incorrect data check"},
    {zlUnknownError, "invalid bit length repeat"},
};

int CodeOfZLibMessage(const char* AMessage) {
    if (AMessage == nullptr) return zlUnknownError;
    return static_cast<int>(FindTextCode(kZLibMessageCodes, AMessage).value_or(zlUnknownError));
}

}  // namespace

TclInflater::TclInflater() : TclInflater(false) {}

TclInflater::TclInflater(bool ANoHeader) : FStream(std::make_unique<Stream>()), FNoHeader(ANoHeader) {
    if (inflateInit2(&FStream->Z, ANoHeader ? -MAX_WBITS : MAX_WBITS) != Z_OK) throw std::bad_alloc();
}

TclInflater::~TclInflater() { inflateEnd(&FStream->Z); }

void TclInflater::Fail(int ACode) {
    FFailCode = ACode;
    RaiseZLibError(ACode);
}

void TclInflater::Reset() {
    inflateReset(&FStream->Z);
    FStream->Z.next_in = nullptr;
    FStream->Z.avail_in = 0;
    FFinished = false;
    FNeedDictionary = false;
    FOutputFull = false;
    FFailCode = 0;
    FRawAdler = 1;
}

void TclInflater::SetInput(const uint8_t* ABuffer, int AOffset, int ALen) {
    if (AOffset < 0 || ALen < 0) RaiseZLibError(zlArgumentOutOfRange);
    if (FStream->Z.avail_in > 0) RaiseZLibError(zlOldInputNotProcessed);
    FStream->Z.next_in = const_cast<Bytef*>(ABuffer + AOffset);
    FStream->Z.avail_in = static_cast<uInt>(ALen);
}

void TclInflater::SetDictionary(const uint8_t* ABuffer, int AOffset, int ALen) {
    if (AOffset < 0 || ALen < 0) RaiseZLibError(zlArgumentOutOfRange);
    if (!FNeedDictionary) RaiseZLibError(zlInvalidOperation);
    const int rc = inflateSetDictionary(&FStream->Z, ABuffer + AOffset, static_cast<uInt>(ALen));
    if (rc == Z_DATA_ERROR) RaiseZLibError(zlAdlerMismatch);
    if (rc != Z_OK) RaiseZLibError(zlInvalidOperation);
    FNeedDictionary = false;
}

int TclInflater::Inflate(uint8_t* ABuffer, int AOffset, int ALen) {
    if (AOffset < 0 || ALen < 0) RaiseZLibError(zlArgumentOutOfRange);
    if (FFailCode != 0) RaiseZLibError(FFailCode);
    if (FFinished || FNeedDictionary || ALen == 0) return 0;
    z_stream& z = FStream->Z;
    z.next_out = ABuffer + AOffset;
    z.avail_out = static_cast<uInt>(ALen);
    const int rc = inflate(&z, Z_NO_FLUSH);
    const int produced = ALen - static_cast<int>(z.avail_out);
    FOutputFull = z.avail_out == 0;
    switch (rc) {
        case Z_OK:
        case Z_BUF_ERROR:  // no progress possible: more input or more room needed
            break;
        case Z_STREAM_END:
            FFinished = true;
            FOutputFull = false;
            break;
        case Z_NEED_DICT:
            FNeedDictionary = true;
            break;
        case Z_DATA_ERROR:
            Fail(CodeOfZLibMessage(z.msg));
        case Z_MEM_ERROR:
            throw std::bad_alloc();
        default:
            Fail(zlUnknownMode);
    }
    if (FNoHeader && produced > 0)
        FRawAdler = static_cast<uint32_t>(adler32(FRawAdler, ABuffer + AOffset, static_cast<uInt>(produced)));
    return produced;
}

bool TclInflater::IsNeedingInput() const {
    return !FFinished && !FNeedDictionary && FStream->Z.avail_in == 0 && !FOutputFull;
}

uint32_t TclInflater::Adler() const { return FNoHeader ? FRawAdler : static_cast<uint32_t>(FStream->Z.adler); }

int64_t TclInflater::TotalOut() const { return static_cast<int64_t>(FStream->Z.total_out); }

int64_t TclInflater::TotalIn() const { return static_cast<int64_t>(FStream->Z.total_in); }

int TclInflater::RemainingInput() const { return static_cast<int>(FStream->Z.avail_in); }

}  // namespace cl
