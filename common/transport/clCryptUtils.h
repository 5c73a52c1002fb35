// The failure of a certificate operation, carrying the engine's text for the
// error or "<function> error - <code>" when the engine has none; and the MD5
// digest the authorization and the play-address signature are made of.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

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

// MD5 of the bytes as 32 lower-case hexadecimal digits; empty when the
// digest is not available.
std::string Md5Hex(std::string_view ABytes);

}  // namespace cl
