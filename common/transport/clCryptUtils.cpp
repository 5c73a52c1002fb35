// Certificate operation failures and the MD5 digest.
#include "transport/clCryptUtils.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstdio>

#include "rtl/clStrUtils.h"

namespace cl {

void RaiseCryptError(const char* AFunctionName) {
    const unsigned long err = ERR_peek_last_error();
    ERR_clear_error();
    const int32_t code = static_cast<int32_t>(err);
    std::string text;
    if (err != 0) {
        if (const char* reason = ERR_reason_error_string(err)) text = reason;
    }
    while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
    if (text.empty()) {
        char buf[160];
        std::snprintf(buf, sizeof buf, "%s error - %d", AFunctionName, code);
        text = buf;
    }
    throw EclCryptError(text, code);
}

std::string Md5Hex(std::string_view ABytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(ABytes.data(), ABytes.size(), digest, &length, EVP_md5(), nullptr) != 1) return std::string();
    return LowerHex(digest, length);
}

}  // namespace cl
