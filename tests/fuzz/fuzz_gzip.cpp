// Arbitrary bytes as a gzip body: the first byte picks a piece size, and the
// output (and the failure, if any) must equal that of the body written whole.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "http/clZLibBase.h"
#include "http/clZLibStreams.h"

namespace {

struct Result {
    std::vector<uint8_t> Output;
    int Code = 0;
};

Result Run(const uint8_t* AData, size_t ASize, size_t APiece) {
    Result r;
    cl::TMemoryStream out;
    cl::TclGZipInflateStream gz(out);
    try {
        for (size_t pos = 0; pos < ASize; pos += APiece) {
            const size_t n = std::min(APiece, ASize - pos);
            gz.WriteBuffer(AData + pos, static_cast<int64_t>(n));
        }
    } catch (const cl::EclZLibError& e) {
        r.Code = e.ErrorCode();
    }
    r.Output = out.Bytes();
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    if (ASize < 1) return 0;
    const size_t piece = 1 + AData[0] % 17;
    const Result whole = Run(AData + 1, ASize - 1, ASize);
    const Result split = Run(AData + 1, ASize - 1, piece);
    // A failure in the split run may come before bytes that the whole run
    // still decoded; everything else must agree.
    if (whole.Code != split.Code) std::abort();
    if (whole.Code == 0 && whole.Output != split.Output) std::abort();
    return 0;
}
