#include "http/clChecksum.h"

#include <zlib.h>

#include <algorithm>

namespace cl {

// zlib's routines take 32-bit lengths; longer buffers go in slices.
namespace {
constexpr size_t kSlice = 1u << 30;
}

void TclCrc32::Update(const void* ABuffer, size_t ALen) {
    const auto* p = static_cast<const Bytef*>(ABuffer);
    while (ALen > 0) {
        const size_t n = std::min(ALen, kSlice);
        FValue = static_cast<uint32_t>(crc32(FValue, p, static_cast<uInt>(n)));
        p += n;
        ALen -= n;
    }
}

void TclAdler32::Update(const void* ABuffer, size_t ALen) {
    const auto* p = static_cast<const Bytef*>(ABuffer);
    while (ALen > 0) {
        const size_t n = std::min(ALen, kSlice);
        FValue = static_cast<uint32_t>(adler32(FValue, p, static_cast<uInt>(n)));
        p += n;
        ALen -= n;
    }
}

}  // namespace cl
