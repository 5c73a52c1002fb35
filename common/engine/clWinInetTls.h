// TLS for the transfers of the internet library: the trust anchors, the
// security flags that say which certificate failures a request passes, the
// client certificate, and the library's error for a failed handshake.
#pragma once

#include <curl/curl.h>
#include <openssl/x509.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/clWinInetHandles.h"

namespace cl::wininet {

// What the TLS layer of one transfer reports back. The TLS context of a
// connection may outlive the transfer that opened it, so it holds its own
// reference.
struct TTlsState {
    uint32_t SecurityFlags = 0;
    std::string Host;
    std::shared_ptr<TClientCertificate> ClientCertificate;
    std::atomic<int> VerifyError{X509_V_OK};
    std::atomic<bool> CertificateRequested{false};
};

// libcurl's SSL context callback; AUser is a std::shared_ptr<TTlsState>*.
CURLcode SslContextSetup(CURL* AEasy, void* AContext, void* AUser);

// The library's error for a transfer that ended with AResult when TLS
// explains it (a certificate refused, one asked for and not given); 0 when not.
uint32_t TlsFailureCode(const TTlsState& AState, CURLcode AResult, CURL* AEasy);

}  // namespace cl::wininet
