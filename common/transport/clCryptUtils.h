// The failure of a certificate operation, carrying the engine's text for the
// error or "<function> error - <code>" when the engine has none.
#pragma once

#include <cstdint>
#include <string>

#include "rtl/clException.h"

namespace cl {

class EclCryptError : public Exception {
public:
    EclCryptError(std::string AErrorMsg, int32_t AErrorCode, bool ADummy = false)
        : Exception(std::move(AErrorMsg), AErrorCode) {
        (void)ADummy;
    }
};

// Raises EclCryptError for the engine's last queued error (the queue is
// cleared); AFunctionName names the failed call in the fallback text.
[[noreturn]] void RaiseCryptError(const char* AFunctionName);

}  // namespace cl
