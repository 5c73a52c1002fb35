// Certificate operation failures.
#include "transport/clCryptUtils.h"

#include <openssl/err.h>

#include <cstdio>

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

}  // namespace cl
