// HTTP requests of the internet library: the request handle with its header
// lines, and the set-up of its transfer (URL, version, redirections,
// cookies, credentials, decoding, verb and body).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/clWinInetTransfer.h"

namespace cl::wininet {

struct THeaderLine {
    std::string Name;
    std::string Line;
};

class TRequest : public TTransferHandle {
public:
    TRequest(std::shared_ptr<THandle> AConnect, uintptr_t AContext)
        : TTransferHandle(hkRequest, std::move(AConnect), AContext, false) {}
    std::string Verb;
    std::string ObjectName;
    std::string Version;
    std::string Referrer;
    bool Secure = false;
    std::vector<THeaderLine> Headers;
    std::vector<uint8_t> Body;
};

// Adds header lines with the modifiers of HttpAddRequestHeadersA.
bool AddHeaderLines(std::vector<THeaderLine>& AHeaders, const std::string& AText, uint32_t AModifiers);

// Sets up and starts one HTTP request transfer.
bool StartHttp(TRequest& ARequest, const std::string& AExtraHeaders);

}  // namespace cl::wininet
