// Helpers of the internet layer's tests: handles that close themselves and
// a request set (root, server connection, request) opened in one call.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "engine/clWinInet.h"

namespace cltest {

class THandleGuard {
public:
    THandleGuard() = default;
    explicit THandleGuard(cl::HINTERNET AHandle) : FHandle(AHandle) {}
    ~THandleGuard() { Reset(); }
    THandleGuard(THandleGuard&& AOther) noexcept : FHandle(std::exchange(AOther.FHandle, 0)) {}
    THandleGuard& operator=(THandleGuard&& AOther) noexcept {
        Reset();
        FHandle = std::exchange(AOther.FHandle, 0);
        return *this;
    }
    cl::HINTERNET Get() const { return FHandle; }
    // Gives the handle up without closing it (it was closed elsewhere).
    cl::HINTERNET Release() { return std::exchange(FHandle, 0); }
    void Reset() {
        if (FHandle != 0) cl::InternetCloseHandle(FHandle);
        FHandle = 0;
    }

private:
    cl::HINTERNET FHandle = 0;
};

struct TRequestSet {
    THandleGuard Root;
    THandleGuard Connect;
    THandleGuard Request;
};

inline TRequestSet OpenRequest(const std::string& AHost, int APort, const std::string& AObject,
                               uint32_t AFlags = cl::INTERNET_FLAG_RELOAD, const std::string& AVerb = "GET") {
    TRequestSet set;
    set.Root = THandleGuard(cl::InternetOpenA("inet test", cl::INTERNET_OPEN_TYPE_PRECONFIG, "", "", 0));
    set.Connect = THandleGuard(cl::InternetConnectA(set.Root.Get(), AHost, static_cast<uint16_t>(APort), "", "",
                                                    cl::INTERNET_SERVICE_HTTP, 0, 0));
    set.Request = THandleGuard(cl::HttpOpenRequestA(set.Connect.Get(), AVerb, AObject, "", "", "", AFlags, 0));
    return set;
}

// A text query; empty when it fails.
inline std::string QueryText(cl::HINTERNET ARequest, uint32_t ALevel) {
    uint32_t length = 0;
    if (cl::HttpQueryInfoA(ARequest, ALevel, nullptr, &length, nullptr) ||
        cl::GetLastError() != cl::ERROR_INSUFFICIENT_BUFFER)
        return std::string();
    std::string text(length, '\0');
    if (!cl::HttpQueryInfoA(ARequest, ALevel, text.data(), &length, nullptr)) return std::string();
    text.resize(length);
    return text;
}

inline int QueryStatus(cl::HINTERNET ARequest) {
    uint32_t status = 0;
    uint32_t length = sizeof(status);
    if (!cl::HttpQueryInfoA(ARequest, cl::HTTP_QUERY_STATUS_CODE | cl::HTTP_QUERY_FLAG_NUMBER, &status, &length,
                            nullptr))
        return -1;
    return static_cast<int>(status);
}

// Reads the body to its end in pieces of APiece bytes; AOk false when a read failed.
inline std::string ReadBody(cl::HINTERNET AFile, bool& AOk, uint32_t APiece = 8192) {
    std::string body;
    std::vector<char> buffer(APiece);
    for (;;) {
        uint32_t read = 0;
        if (!cl::InternetReadFile(AFile, buffer.data(), APiece, &read)) {
            AOk = false;
            return body;
        }
        if (read == 0) break;
        body.append(buffer.data(), read);
    }
    AOk = true;
    return body;
}

}  // namespace cltest
