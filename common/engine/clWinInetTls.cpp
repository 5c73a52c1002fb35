// TLS for the transfers: the verification callback that applies the security
// flags, the context set-up with the trust anchors and the client certificate,
// and the errors a failed handshake maps to.
#include "engine/clWinInetTls.h"

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "transport/clCertificate.h"

namespace cl::wininet {

namespace {

int TlsStateIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr,
                                                      [](void*, void* APtr, CRYPTO_EX_DATA*, int, long, void*) {
                                                          delete static_cast<std::shared_ptr<TTlsState>*>(APtr);
                                                      });
    return index;
}

TTlsState* TlsStateOf(SSL_CTX* AContext) {
    auto* holder = static_cast<std::shared_ptr<TTlsState>*>(SSL_CTX_get_ex_data(AContext, TlsStateIndex()));
    return holder ? holder->get() : nullptr;
}

bool IsDateError(int AError) {
    return AError == X509_V_ERR_CERT_HAS_EXPIRED || AError == X509_V_ERR_CERT_NOT_YET_VALID ||
           AError == X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD || AError == X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD;
}
bool IsNameError(int AError) {
    return AError == X509_V_ERR_HOSTNAME_MISMATCH || AError == X509_V_ERR_IP_ADDRESS_MISMATCH;
}
bool IsUsageError(int AError) { return AError == X509_V_ERR_INVALID_PURPOSE; }
bool IsRevocationError(int AError) {
    return AError == X509_V_ERR_CERT_REVOKED || AError == X509_V_ERR_UNABLE_TO_GET_CRL ||
           AError == X509_V_ERR_CRL_HAS_EXPIRED || AError == X509_V_ERR_CRL_NOT_YET_VALID;
}

int VerifyCallback(int APreverifyOk, X509_STORE_CTX* AStore) {
    if (APreverifyOk) return 1;
    SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(AStore, SSL_get_ex_data_X509_STORE_CTX_idx()));
    TTlsState* state = ssl ? TlsStateOf(SSL_get_SSL_CTX(ssl)) : nullptr;
    const int error = X509_STORE_CTX_get_error(AStore);
    if (state == nullptr) return 0;
    const uint32_t flags = state->SecurityFlags;
    bool ignored = false;
    if (IsDateError(error))
        ignored = flags & SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
    else if (IsNameError(error))
        ignored = flags & SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
    else if (IsUsageError(error))
        ignored = flags & SECURITY_FLAG_IGNORE_WRONG_USAGE;
    else if (IsRevocationError(error))
        ignored = flags & SECURITY_FLAG_IGNORE_REVOCATION;
    else
        ignored = flags & SECURITY_FLAG_IGNORE_UNKNOWN_CA;
    if (ignored) return 1;
    int expected = X509_V_OK;
    state->VerifyError.compare_exchange_strong(expected, error);
    return 0;
}

int ClientCertCallback(SSL* ASsl, X509**, EVP_PKEY**) {
    if (TTlsState* state = TlsStateOf(SSL_get_SSL_CTX(ASsl))) state->CertificateRequested.store(true);
    return 0;  // no certificate to offer
}

}  // namespace

CURLcode SslContextSetup(CURL*, void* AContext, void* AUser) {
    auto* ctx = static_cast<SSL_CTX*>(AContext);
    const auto& state = *static_cast<std::shared_ptr<TTlsState>*>(AUser);
    SSL_CTX_set_ex_data(ctx, TlsStateIndex(), new std::shared_ptr<TTlsState>(state));
    // The system store plus the extra trust anchors.
    if (X509_STORE* store = AcquireTrustStore()) SSL_CTX_set_cert_store(ctx, store);
    // Verification is ours: the security flags say which failures to pass.
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, &VerifyCallback);
    if (!(state->SecurityFlags & SECURITY_FLAG_IGNORE_CERT_CN_INVALID) && !state->Host.empty()) {
        X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx);
        if (X509_VERIFY_PARAM_set1_ip_asc(param, state->Host.c_str()) != 1)
            X509_VERIFY_PARAM_set1_host(param, state->Host.c_str(), 0);
    }
    if (state->ClientCertificate && state->ClientCertificate->Certificate) {
        SSL_CTX_use_certificate(ctx, state->ClientCertificate->Certificate);
        if (state->ClientCertificate->Key) SSL_CTX_use_PrivateKey(ctx, state->ClientCertificate->Key);
    } else {
        SSL_CTX_set_client_cert_cb(ctx, &ClientCertCallback);
    }
    return CURLE_OK;
}

uint32_t TlsFailureCode(const TTlsState& AState, CURLcode AResult, CURL* AEasy) {
    if (AState.CertificateRequested.load() && !AState.ClientCertificate &&
        (AResult == CURLE_SSL_CONNECT_ERROR || AResult == CURLE_RECV_ERROR || AResult == CURLE_SEND_ERROR ||
         AResult == CURLE_SSL_CERTPROBLEM || AResult == CURLE_GOT_NOTHING))
        return ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED;
    int error = AState.VerifyError.load();
    if (error == X509_V_OK && AResult == CURLE_PEER_FAILED_VERIFICATION) {
        long result = X509_V_OK;
        curl_easy_getinfo(AEasy, CURLINFO_SSL_VERIFYRESULT, &result);
        error = static_cast<int>(result);
        // libcurl's own host name check leaves the chain result clean.
        if (error == X509_V_OK) return ERROR_INTERNET_SEC_CERT_CN_INVALID;
    }
    if (error != X509_V_OK) {
        if (IsDateError(error)) return ERROR_INTERNET_SEC_CERT_DATE_INVALID;
        if (IsNameError(error)) return ERROR_INTERNET_SEC_CERT_CN_INVALID;
        return ERROR_INTERNET_INVALID_CA;
    }
    return ERROR_SUCCESS;
}

}  // namespace cl::wininet
