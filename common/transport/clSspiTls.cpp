// The TLS session over the engine's memory buffers. Bytes reach the engine
// one complete record at a time, so an incomplete record always waits with
// the caller, exactly where the stream keeps it.
#include "transport/clSspiTls.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

#include "rtl/clDateTime.h"
#include "rtl/clStrUtils.h"

namespace cl {

namespace {

constexpr size_t kRecordHeader = 5;
constexpr size_t kMaxRecordBody = 16384 + 2048;
constexpr uint32_t kMaxMessage = TclTlsSspi::kMaxRecordPlaintext;

// The length of the complete record at AData: 0 when it is incomplete, -1
// when the bytes are not a TLS record.
int64_t RecordLength(const uint8_t* AData, size_t ALength) {
    if (ALength < kRecordHeader) return 0;
    const uint8_t type = AData[0];
    if (type < 20 || type > 23 || AData[1] != 3) return -1;
    const size_t body = (static_cast<size_t>(AData[3]) << 8) | AData[4];
    if (body > kMaxRecordBody) return -1;
    return ALength >= kRecordHeader + body ? static_cast<int64_t>(kRecordHeader + body) : 0;
}

void ReplaceContent(TMemoryStream& ABuffer, const uint8_t* AData, size_t ALength) {
    // AData may point into ABuffer itself.
    std::vector<uint8_t> copy(AData, AData + ALength);
    ABuffer.Clear();
    if (!copy.empty()) ABuffer.WriteBuffer(copy);
    ABuffer.SetPosition(0);
}

void ReplaceContent(TMemoryStream& ABuffer, const std::vector<uint8_t>& AData) {
    ReplaceContent(ABuffer, AData.data(), AData.size());
}

std::vector<uint8_t> RestOf(TStream& AStream) {
    const int64_t pos = AStream.GetPosition();
    const int64_t size = AStream.GetSize();
    std::vector<uint8_t> data(static_cast<size_t>(std::max<int64_t>(0, size - pos)));
    if (!data.empty()) {
        AStream.ReadBuffer(data.data(), static_cast<int64_t>(data.size()));
        AStream.SetPosition(pos);
    }
    return data;
}

bool IsIpLiteral(const std::string& AName) {
    unsigned char buf[16];
    return inet_pton(AF_INET, AName.c_str(), buf) == 1 || inet_pton(AF_INET6, AName.c_str(), buf) == 1;
}

// A host name worth naming to the server: not an address literal, and with
// at least one letter (the default day-number name has none).
bool IsHostName(const std::string& AName) {
    if (AName.empty() || IsIpLiteral(AName)) return false;
    return std::any_of(AName.begin(), AName.end(), [](char c) { return std::isalpha(static_cast<unsigned char>(c)); });
}

bool IsTlsPackageName(const std::string& AName) {
    return SameText(AName, "Microsoft Unified Security Protocol Provider") || SameText(AName, "Microsoft SSL 3.0");
}

// Chain faults, each one bit, in the order the policy reports them.
enum TChainFault : uint32_t {
    cfSignature = 1u << 0,
    cfUntrustedRoot = 1u << 1,
    cfPartialChain = 1u << 2,
    cfRevoked = 1u << 3,
    cfWrongUsage = 1u << 4,
    cfNotTimeValid = 1u << 5,
    cfRole = 1u << 6,
    cfPathLength = 1u << 7,
    cfCritical = 1u << 8,
    cfIssuerChaining = 1u << 9,
    cfOther = 1u << 10,
};

uint32_t FaultOf(int AVerifyError) {
    switch (AVerifyError) {
        case X509_V_OK:
            return 0;
        case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
        case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
            return cfSignature;
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_CERT_UNTRUSTED:
            return cfUntrustedRoot;
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
            return cfPartialChain;
        case X509_V_ERR_CERT_REVOKED:
            return cfRevoked;
        case X509_V_ERR_INVALID_PURPOSE:
            return cfWrongUsage;
        case X509_V_ERR_CERT_NOT_YET_VALID:
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
        case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
            return cfNotTimeValid;
        case X509_V_ERR_INVALID_CA:
        case X509_V_ERR_INVALID_NON_CA:
        case X509_V_ERR_KEYUSAGE_NO_CERTSIGN:
            return cfRole;
        case X509_V_ERR_PATH_LENGTH_EXCEEDED:
            return cfPathLength;
        case X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION:
            return cfCritical;
        case X509_V_ERR_SUBJECT_ISSUER_MISMATCH:
        case X509_V_ERR_AKID_SKID_MISMATCH:
        case X509_V_ERR_AKID_ISSUER_SERIAL_MISMATCH:
            return cfIssuerChaining;
        default:
            return cfOther;
    }
}

int CollectFault(int AOk, X509_STORE_CTX* ACtx) {
    if (!AOk) {
        auto* faults = static_cast<uint32_t*>(X509_STORE_CTX_get_app_data(ACtx));
        *faults |= FaultOf(X509_STORE_CTX_get_error(ACtx));
    }
    return 1;  // go on: every fault is collected, the policy picks one
}

}  // namespace

std::string DefaultTargetName() { return FloatToStr(NowDateTime()); }

int32_t VerifyCertificateChain(X509* ALeaf, STACK_OF(X509) * AChain, const std::string& ATargetName,
                               TclCertificateVerifyFlags AFlags, bool AServerAuthentication, int ASecurityLevel) {
    std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(AcquireTrustStore(), X509_STORE_free);
    std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> ctx(X509_STORE_CTX_new(), X509_STORE_CTX_free);
    auto raise = [] {
        const int32_t code = static_cast<int32_t>(ERR_peek_last_error());
        ERR_clear_error();
        RaiseSspiError(code, SspiCode::AuthenticateServer);
    };
    if (!ctx || X509_STORE_CTX_init(ctx.get(), store.get(), ALeaf, AChain) != 1) raise();
    uint32_t faults = 0;
    X509_STORE_CTX_set_app_data(ctx.get(), &faults);
    X509_STORE_CTX_set_verify_cb(ctx.get(), CollectFault);
    X509_STORE_CTX_set_purpose(ctx.get(), AServerAuthentication ? X509_PURPOSE_SSL_SERVER : X509_PURPOSE_SSL_CLIENT);
    // A context of its own would check at no level at all.
    X509_VERIFY_PARAM_set_auth_level(X509_STORE_CTX_get0_param(ctx.get()), ASecurityLevel);
    if (X509_verify_cert(ctx.get()) < 0) raise();
    ERR_clear_error();

    if (faults & cfSignature) return SspiStatus::CertSignature;
    if (!AFlags.Contains(cfIgnoreUnknownAuthority)) {
        if (faults & cfUntrustedRoot) return SspiStatus::CertUntrustedRoot;
        if (faults & cfPartialChain) return SspiStatus::CertChaining;
    }
    if ((faults & cfRevoked) && !AFlags.Contains(cfIgnoreRevocation)) return SspiStatus::CertRevoked;
    if ((faults & cfWrongUsage) && !AFlags.Contains(cfIgnoreWrongUsage)) return SspiStatus::CertWrongUsage;
    if ((faults & cfNotTimeValid) && !AFlags.Contains(cfIgnoreDateInvalid)) return SspiStatus::CertExpired;
    if (faults & cfRole) return SspiStatus::CertRole;
    if (faults & cfPathLength) return SspiStatus::CertPathLenConst;
    if (faults & cfCritical) return SspiStatus::CertCritical;
    if (faults & cfIssuerChaining) return SspiStatus::CertIssuerChaining;
    if (faults & cfOther) return SspiStatus::TrustFail;

    if (AServerAuthentication && !AFlags.Contains(cfIgnoreCommonNameInvalid)) {
        const bool match = IsIpLiteral(ATargetName)
                               ? X509_check_ip_asc(ALeaf, ATargetName.c_str(), 0) == 1
                               : !ATargetName.empty() &&
                                     X509_check_host(ALeaf, ATargetName.data(), ATargetName.size(), 0, nullptr) == 1;
        ERR_clear_error();
        if (!match) return SspiStatus::CertCnNoMatch;
    }
    return 0;
}

// --- TclTlsSspi ---

void TclTlsSspi::TCtxFree::operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
void TclTlsSspi::TSslFree::operator()(SSL* p) const { SSL_free(p); }

TclTlsSspi::TclTlsSspi() = default;
TclTlsSspi::~TclTlsSspi() = default;

void TclTlsSspi::NewCredentials(bool AServer) {
    FreeCredentials();
    const std::string csp = Trim(FTlsSettings.CSP);
    if (!csp.empty() && !IsTlsPackageName(csp))
        RaiseSspiError(SspiStatus::SecPkgNotFound, SspiCode::AcquireCredentials);

    std::unique_ptr<SSL_CTX, TCtxFree> ctx(SSL_CTX_new(AServer ? TLS_server_method() : TLS_client_method()));
    if (!ctx) RaiseSspiError(SspiCode::OutOfMemory, SspiCode::AcquireCredentials);

    // SSL 2 and 3 are never offered, nor TLS 1.0 and 1.1 whatever the flags
    // say: TLS 1.2 is the floor. The TLS 1.2 flag also allows TLS 1.3. No
    // protocol flag at all leaves the engine's own choice above the floor.
    const TclTlsFlags flags = FTlsSettings.TLSFlags;
    const bool tls10 = flags.Contains(tfUseTLS);
    const bool tls11 = flags.Contains(tfUseTLS11);
    const bool tls12 = flags.Contains(tfUseTLS12);
    const bool tls13 = tls12 || flags.Contains(tfUseTLS13);
    if (!(flags - TclTlsFlags{tfUseSSL2, tfUseSSL3}).Empty() || flags.Empty()) {
        if (!flags.Empty()) {
            const int asked = tls10 ? TLS1_VERSION : tls11 ? TLS1_1_VERSION : tls12 ? TLS1_2_VERSION : TLS1_3_VERSION;
            // Without the TLS 1.2 flag the floor moves up to TLS 1.3.
            const int lowest = tls12 ? std::max(asked, TLS1_2_VERSION) : TLS1_3_VERSION;
            const int highest = tls13 ? TLS1_3_VERSION : tls12 ? TLS1_2_VERSION : tls11 ? TLS1_1_VERSION : TLS1_VERSION;
            if (highest < lowest) RaiseSspiError(SspiStatus::AlgorithmMismatch, SspiCode::AcquireCredentials);
            SSL_CTX_set_min_proto_version(ctx.get(), lowest);
            SSL_CTX_set_max_proto_version(ctx.get(), highest);
        } else {
            SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
        }
    } else {
        RaiseSspiError(SspiStatus::AlgorithmMismatch, SspiCode::AcquireCredentials);
    }
    if (FTlsSettings.UseStrongCryptoAlgorithms &&
        SSL_CTX_set_cipher_list(ctx.get(), "HIGH:!aNULL:!eNULL:!MD5:!RC4:!3DES:!DES:!SHA1") != 1)
        RaiseSspiError(SspiStatus::AlgorithmMismatch, SspiCode::AcquireCredentials);
    // The peer's certificate is checked by the session itself after the
    // handshake, with the ignore flags.
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_mode(ctx.get(), SSL_MODE_AUTO_RETRY);
    ERR_clear_error();
    FCredHandle = std::move(ctx);
}

void TclTlsSspi::FreeCredentials() {
    FreeContext();
    FCredHandle.reset();
}

void TclTlsSspi::NewContext(bool AServer) {
    FreeContext();
    std::unique_ptr<SSL, TSslFree> ssl(SSL_new(FCredHandle.get()));
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    if (!ssl || !in || !out) {
        BIO_free(in);
        BIO_free(out);
        RaiseSspiError(SspiCode::OutOfMemory);
    }
    // An empty buffer means "wait for more", never the end of the input.
    BIO_set_mem_eof_return(in, -1);
    BIO_set_mem_eof_return(out, -1);
    SSL_set_bio(ssl.get(), in, out);
    if (AServer)
        SSL_set_accept_state(ssl.get());
    else
        SSL_set_connect_state(ssl.get());
    FNetIn = in;
    FNetOut = out;
    FCtxtHandle = std::move(ssl);
    FStreamSizes = TclStreamSizes{};
    FFinalToken.clear();
    FCertificateRequested = FCertificateAnswered = FCertificateSent = false;
}

void TclTlsSspi::FreeContext() {
    FCtxtHandle.reset();
    FNetIn = FNetOut = nullptr;
    FStreamSizes = TclStreamSizes{};
}

void TclTlsSspi::InstallCertificates(const TclCertificateList& ACertificates) {
    if (ACertificates.Count() == 0) return;
    TclCertificate* own = ACertificates.Items(0);
    if (!own->Key()) RaiseSspiError(SspiStatus::NoCredentials, SspiCode::QueryLocalCertificate);
    SSL* ssl = FCtxtHandle.get();
    SSL_CTX* ctx = FCredHandle.get();
    const bool ok =
        ssl ? SSL_use_certificate(ssl, own->Context()) == 1 && SSL_use_PrivateKey(ssl, own->Key()) == 1
            : SSL_CTX_use_certificate(ctx, own->Context()) == 1 && SSL_CTX_use_PrivateKey(ctx, own->Key()) == 1;
    if (!ok) {
        ERR_clear_error();
        RaiseSspiError(SspiStatus::NoCredentials, SspiCode::QueryLocalCertificate);
    }
    for (int i = 1; i < ACertificates.Count(); ++i) {
        X509* x = ACertificates.Items(i)->Context();
        const bool isRoot = X509_check_issued(x, x) == X509_V_OK;
        if (isRoot && !FTlsSettings.SendRootCertificate) continue;
        if (ssl)
            SSL_add1_chain_cert(ssl, x);
        else
            SSL_CTX_add1_chain_cert(ctx, x);
    }
    ERR_clear_error();
}

bool TclTlsSspi::AcquireCredentials(const TclCertificateList& ACertificates, bool AllowEmptyCred) {
    if (!AllowEmptyCred && ACertificates.Count() == 0) return false;
    if (!FCredHandle) NewCredentials(false);
    InstallCertificates(ACertificates);
    FCertificateAnswered = true;
    FCertificateSent = ACertificates.Count() > 0;
    return true;
}

void TclTlsSspi::DrainOutput(std::vector<uint8_t>& AOutput) {
    if (!FNetOut) return;
    const size_t pending = BIO_ctrl_pending(FNetOut);
    if (pending == 0) return;
    const size_t start = AOutput.size();
    AOutput.resize(start + pending);
    const int n = BIO_read(FNetOut, AOutput.data() + start, static_cast<int>(pending));
    AOutput.resize(start + static_cast<size_t>(std::max(n, 0)));
}

int32_t TclTlsSspi::FailureStatus() {
    const unsigned long err = ERR_peek_last_error();
    ERR_clear_error();
    const int reason = ERR_GET_REASON(err);
    if (ERR_GET_LIB(err) == ERR_LIB_SSL && reason >= SSL_AD_REASON_OFFSET && reason < SSL_AD_REASON_OFFSET + 256) {
        // A fatal alert from the peer.
        const int alert = reason - SSL_AD_REASON_OFFSET;
        if (FCertificateRequested && !FCertificateSent &&
            (alert == SSL_AD_CERTIFICATE_REQUIRED || alert == SSL_AD_HANDSHAKE_FAILURE ||
             alert == SSL_AD_BAD_CERTIFICATE || alert == SSL_AD_ACCESS_DENIED))
            return SspiCode::QueryLocalCertificate;
        switch (alert) {
            case SSL_AD_PROTOCOL_VERSION:
            case SSL_AD_HANDSHAKE_FAILURE:
            case SSL_AD_INSUFFICIENT_SECURITY:
                return SspiStatus::AlgorithmMismatch;
            case SSL_AD_BAD_RECORD_MAC:
            case SSL_AD_DECRYPTION_FAILED:
            case SSL_AD_DECRYPT_ERROR:
                return SspiStatus::DecryptFailure;
            default:
                return SspiStatus::IllegalMessage;
        }
    }
    if (ERR_GET_LIB(err) == ERR_LIB_SSL) {
        switch (reason) {
            case SSL_R_NO_PROTOCOLS_AVAILABLE:
            case SSL_R_UNSUPPORTED_PROTOCOL:
            case SSL_R_NO_SHARED_CIPHER:
            case SSL_R_NO_CIPHERS_AVAILABLE:
            case SSL_R_UNSUPPORTED_SSL_VERSION:
            case SSL_R_VERSION_TOO_LOW:
            case SSL_R_VERSION_TOO_HIGH:
                return SspiStatus::AlgorithmMismatch;
            case SSL_R_DECRYPTION_FAILED_OR_BAD_RECORD_MAC:
            case SSL_R_DECRYPTION_FAILED:
                return SspiStatus::DecryptFailure;
            default:
                break;
        }
    }
    return SspiStatus::InvalidToken;
}

TclTlsSspi::TStep TclTlsSspi::DriveHandshake(const uint8_t* AData, size_t ALength, std::vector<uint8_t>& AToken) {
    SSL* ssl = FCtxtHandle.get();
    if (!ssl) RaiseSspiError(SspiStatus::InvalidHandle);
    size_t fed = 0;
    int32_t status;
    for (;;) {
        ERR_clear_error();
        const int r = SSL_do_handshake(ssl);
        if (r == 1) {
            status = SspiStatus::OK;
            break;
        }
        const int e = SSL_get_error(ssl, r);
        if (e == SSL_ERROR_WANT_X509_LOOKUP) {
            status = SspiStatus::IncompleteCredentials;
            break;
        }
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
            const int32_t failure = FailureStatus();
            DrainOutput(AToken);  // an alert for the peer is not sent: the connection fails
            RaiseSspiError(failure);
        }
        // Every complete record is taken before any output is handed out:
        // the engine may answer part of a flight early (TLS 1.3 sends its
        // compatibility change-cipher record after the server's hello).
        const int64_t record = RecordLength(AData + fed, ALength - fed);
        if (record < 0) RaiseSspiError(SspiStatus::InvalidToken);
        if (record > 0) {
            BIO_write(FNetIn, AData + fed, static_cast<int>(record));
            fed += static_cast<size_t>(record);
            continue;
        }
        // Output waits in the engine while a piece of a record is still
        // missing; it goes out with the next token.
        status = (BIO_ctrl_pending(FNetOut) > 0 && fed == ALength) ? SspiStatus::ContinueNeeded
                                                                   : SspiStatus::IncompleteMessage;
        break;
    }
    if (status != SspiStatus::IncompleteMessage && status != SspiStatus::IncompleteCredentials) DrainOutput(AToken);
    return {status, fed};
}

TclSspiReturnCode TclTlsSspi::ContinueHandshake(TMemoryStream& ABuffer, const TclCertificateList& ACertificates,
                                                bool AllowEmptyCred) {
    for (;;) {
        const int64_t pos = std::min(ABuffer.GetPosition(), ABuffer.GetSize());
        const uint8_t* data = ABuffer.Memory() + pos;
        const size_t length = static_cast<size_t>(ABuffer.GetSize() - pos);
        std::vector<uint8_t> token;
        const TStep step = DriveHandshake(data, length, token);
        FStatusCode = step.Status;
        // What the engine did not take stays, from position 0.
        ReplaceContent(ABuffer, data + step.Consumed, length - step.Consumed);
        switch (step.Status) {
            case SspiStatus::OK:
                // A last flight of our own (TLS 1.3 ends on our Finished) is
                // kept for the stream: the session is established already.
                FFinalToken.insert(FFinalToken.end(), token.begin(), token.end());
                return ABuffer.GetSize() > 0 ? rcEncodeNeeded : rcOK;
            case SspiStatus::ContinueNeeded:
                ReplaceContent(ABuffer, token);
                return rcAuthContinueNeeded;
            case SspiStatus::IncompleteMessage:
                return rcAuthMoreDataNeeded;
            case SspiStatus::IncompleteCredentials:
                FCertificateRequested = true;
                if (!AcquireCredentials(ACertificates, AllowEmptyCred)) return rcCredentialNeeded;
                FStatusCode = SspiStatus::ContinueNeeded;
                break;  // the engine goes on with the answer installed
            default:
                return rcError;
        }
    }
}

TclSspiReturnCode TclTlsSspi::CloseConversation(TMemoryStream& ABuffer) {
    FCertified = false;
    if (!FCtxtHandle) {
        FreeCredentials();
        return rcOK;
    }
    TclSspiReturnCode result = rcOK;
    std::vector<uint8_t> token;
    if (SSL_is_init_finished(FCtxtHandle.get())) {
        ERR_clear_error();
        SSL_shutdown(FCtxtHandle.get());
        ERR_clear_error();
        token = FFinalToken;
        DrainOutput(token);
    }
    FFinalToken.clear();
    FreeCredentials();
    if (!token.empty()) {
        ReplaceContent(ABuffer, token);
        result = rcCompleteNeeded;
    }
    return result;
}

bool TclTlsSspi::TakeFinalToken(TStream& ADestination) {
    if (FFinalToken.empty()) return false;
    ADestination.WriteBuffer(FFinalToken);
    FFinalToken.clear();
    return true;
}

const TclStreamSizes& TclTlsSspi::StreamSizes() {
    if (FStreamSizes.cbHeader != 0) return FStreamSizes;
    SSL* ssl = FCtxtHandle.get();
    if (!ssl || !SSL_is_init_finished(ssl)) RaiseSspiError(SspiStatus::InvalidHandle, SspiCode::QueryPackage);
    const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl);
    if (!cipher) RaiseSspiError(SspiStatus::InvalidHandle, SspiCode::QueryPackage);
    TclStreamSizes s;
    s.cbHeader = kRecordHeader;
    s.cbMaximumMessage = kMaxMessage;
    s.cBuffers = 4;
    s.cbBlockSize = 1;
    const int cipherNid = SSL_CIPHER_get_cipher_nid(cipher);
    if (SSL_version(ssl) >= TLS1_3_VERSION) {
        s.cbTrailer = 16 + 1;  // tag and inner content type
    } else if (SSL_CIPHER_is_aead(cipher)) {
        if (cipherNid != NID_chacha20_poly1305) s.cbHeader += 8;  // explicit nonce
        s.cbTrailer = 16;
    } else {
        const EVP_CIPHER* c = EVP_get_cipherbynid(cipherNid);
        const EVP_MD* md = EVP_get_digestbynid(SSL_CIPHER_get_digest_nid(cipher));
        const uint32_t block = c ? static_cast<uint32_t>(EVP_CIPHER_get_block_size(c)) : 16;
        if (SSL_version(ssl) >= TLS1_1_VERSION) s.cbHeader += block;  // explicit IV
        s.cbTrailer = (md ? static_cast<uint32_t>(EVP_MD_get_size(md)) : 48) + block;
        s.cbBlockSize = block;
    }
    FStreamSizes = s;
    return FStreamSizes;
}

TclSspiReturnCode TclTlsSspi::Encrypt(TStream& ASource, TStream& ADestination, int64_t ASourceSize) {
    SSL* ssl = FCtxtHandle.get();
    if (!ssl) RaiseSspiError(SspiStatus::InvalidHandle);
    const uint32_t maxMessage = StreamSizes().cbMaximumMessage;
    const int64_t destStart = ADestination.GetPosition();
    std::vector<uint8_t> chunk(static_cast<size_t>(std::min<int64_t>(std::max<int64_t>(ASourceSize, 0), maxMessage)));
    std::vector<uint8_t> records;
    int64_t left = ASourceSize;
    while (left > 0) {
        const int n = static_cast<int>(std::min<int64_t>(left, maxMessage));
        ASource.ReadBuffer(chunk.data(), n);
        ERR_clear_error();
        const int r = SSL_write(ssl, chunk.data(), n);
        if (r != n) RaiseSspiError(FailureStatus());
        records.clear();
        DrainOutput(records);
        ADestination.WriteBuffer(records);
        left -= n;
    }
    if (ASourceSize > 0) ASource.Seek(-ASourceSize, soCurrent);
    ADestination.SetPosition(destStart);
    return rcOK;
}

TclSspiReturnCode TclTlsSspi::Decrypt(TStream& ASource, TStream& ADestination, TMemoryStream& AExtraBuffer) {
    const std::vector<uint8_t> data = RestOf(ASource);
    if (data.size() <= kRecordHeader) {
        ReplaceContent(AExtraBuffer, data);
        return rcMoreDataNeeded;
    }
    std::vector<uint8_t> plain(kMaxRecordPlaintext);
    size_t offset = 0;
    bool plainAppended = false;
    for (;;) {
        const TDecryptStep step =
            DecryptRecords(data.data() + offset, data.size() - offset, plain.data(), plain.size());
        offset += step.Consumed;
        if (step.Plain > 0) {
            ADestination.WriteBuffer(plain.data(), static_cast<int64_t>(step.Plain));
            plainAppended = true;
        }
        if (step.Code == rcOK) return rcOK;
        if (step.Code == rcMoreDataNeeded && step.Consumed > 0) continue;  // more records than room
        ReplaceContent(AExtraBuffer, data.data() + offset, data.size() - offset);
        if (step.Code != rcMoreDataNeeded) return step.Code;
        return plainAppended ? rcContinueAndMoreDataNeeded : rcMoreDataNeeded;
    }
}

TclTlsSspi::TDecryptStep TclTlsSspi::DecryptRecords(const uint8_t* ACipher, size_t ACipherSize, uint8_t* APlain,
                                                    size_t APlainSize) {
    TDecryptStep step;
    SSL* ssl = FCtxtHandle.get();
    if (!ssl) RaiseSspiError(SspiStatus::InvalidHandle);
    while (step.Consumed < ACipherSize) {
        // A record goes in only when its whole plaintext fits, so none is
        // left inside the engine between calls.
        if (APlainSize - step.Plain < kMaxRecordPlaintext) {
            step.Code = rcMoreDataNeeded;
            return step;
        }
        const int64_t record = RecordLength(ACipher + step.Consumed, ACipherSize - step.Consumed);
        if (record < 0) RaiseSspiError(SspiStatus::DecryptFailure);
        if (record == 0) {  // incomplete: wait for the rest
            step.Code = rcMoreDataNeeded;
            return step;
        }
        BIO_write(FNetIn, ACipher + step.Consumed, static_cast<int>(record));
        step.Consumed += static_cast<size_t>(record);
        for (;;) {
            ERR_clear_error();
            const int n = SSL_read(ssl, APlain + step.Plain, static_cast<int>(APlainSize - step.Plain));
            if (n > 0) {
                step.Plain += static_cast<size_t>(n);
                continue;
            }
            const int e = SSL_get_error(ssl, n);
            if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) break;
            if (e == SSL_ERROR_ZERO_RETURN) {
                // The peer's close notification; what follows it is left.
                FStatusCode = SspiStatus::ContextExpired;
                step.Code = rcClosingNeeded;
                return step;
            }
            RaiseSspiError(FailureStatus());
        }
        if (BIO_ctrl_pending(FNetOut) > 0) {
            // The engine has handshake bytes to send (a renegotiation, a
            // key update): the next handshake step sends them.
            FStatusCode = SspiStatus::Renegotiate;
            step.Code = rcReAuthNeeded;
            return step;
        }
    }
    step.Code = rcOK;
    return step;
}

// --- TclTlsClientSspi ---

TclTlsClientSspi::TclTlsClientSspi() : FTargetName(DefaultTargetName()) {}

TclSspiReturnCode TclTlsClientSspi::InitContext(TMemoryStream& ABuffer) {
    FreeCredentials();
    NewCredentials(false);
    NewContext(false);
    SSL* ssl = FCtxtHandle.get();
    if (IsHostName(FTargetName)) SSL_set_tlsext_host_name(ssl, FTargetName.c_str());
    // The client certificate is asked of the caller when the server wants one.
    SSL_set_cert_cb(
        ssl,
        [](SSL*, void* AArg) -> int {
            auto* self = static_cast<TclTlsClientSspi*>(AArg);
            return self->FCertificateAnswered ? 1 : -1;
        },
        this);
    std::vector<uint8_t> token;
    const TStep step = DriveHandshake(nullptr, 0, token);
    FStatusCode = step.Status;
    MapSspiStatus(step.Status == SspiStatus::IncompleteMessage ? SspiStatus::ContinueNeeded : step.Status);
    ReplaceContent(ABuffer, token);
    return rcAuthContinueNeeded;
}

TclSspiReturnCode TclTlsClientSspi::GenContext(TMemoryStream& ABuffer, const TclCertificateList& ACertificates,
                                               bool AllowEmptyCred) {
    if (FStatusCode == SspiStatus::IncompleteCredentials) {
        if (!AcquireCredentials(ACertificates, AllowEmptyCred)) return rcCredentialNeeded;
    }
    FStatusCode = SspiStatus::ContinueNeeded;
    TclSspiReturnCode result;
    if (FNewConversation) {
        FNewConversation = false;
        FCertified = false;
        result = InitContext(ABuffer);
    } else {
        result = ContinueHandshake(ABuffer, ACertificates, AllowEmptyCred);
    }
    if (!FCertified && (result == rcOK || result == rcEncodeNeeded)) FCertified = CheckServerCertificate();
    return result;
}

bool TclTlsClientSspi::CheckServerCertificate() {
    FPeerCertificate.reset();
    X509* peer = SSL_get0_peer_certificate(FCtxtHandle.get());
    if (!peer) RaiseSspiError(SspiStatus::NoCredentials, SspiCode::AuthenticateServer);
    FPeerCertificate = std::make_unique<TclCertificate>(peer);
    const int32_t policy =
        VerifyCertificateChain(peer, SSL_get_peer_cert_chain(FCtxtHandle.get()), FTargetName,
                               FTlsSettings.CertificateFlags, true, SSL_get_security_level(FCtxtHandle.get()));
    if (policy != 0) {
        FStatusCode = policy;
        return false;
    }
    return true;
}

TclSspiReturnCode TclTlsClientSspi::EndSession(TMemoryStream& ABuffer) {
    FNewConversation = true;
    return CloseConversation(ABuffer);
}

// --- TclTlsServerSspi ---

TclSspiReturnCode TclTlsServerSspi::GenContext(TMemoryStream& ABuffer, const TclCertificateList& ACertificates,
                                               bool AllowEmptyCred) {
    if (FNewConversation) {
        FNewConversation = false;
        FCertified = false;
        if (ACertificates.Count() == 0) RaiseSspiError(SspiStatus::NoCredentials, SspiCode::AcquireCredentials);
        NewCredentials(true);
        InstallCertificates(ACertificates);
        if (FRequireClientCertificate)
            SSL_CTX_set_verify(FCredHandle.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                               [](int, X509_STORE_CTX*) { return 1; });
        NewContext(true);
    }
    FStatusCode = SspiStatus::ContinueNeeded;
    const TclSspiReturnCode result = ContinueHandshake(ABuffer, ACertificates, AllowEmptyCred);
    if (!FCertified && (result == rcOK || result == rcEncodeNeeded)) {
        FPeerCertificate.reset();
        if (X509* peer = SSL_get0_peer_certificate(FCtxtHandle.get())) {
            FPeerCertificate = std::make_unique<TclCertificate>(peer);
            const int32_t policy =
                VerifyCertificateChain(peer, SSL_get_peer_cert_chain(FCtxtHandle.get()), std::string(),
                                       FTlsSettings.CertificateFlags, false, SSL_get_security_level(FCtxtHandle.get()));
            FCertified = policy == 0;
            if (policy != 0) FStatusCode = policy;
        } else {
            FCertified = !FRequireClientCertificate;
        }
    }
    return result;
}

TclSspiReturnCode TclTlsServerSspi::EndSession(TMemoryStream& ABuffer) {
    FNewConversation = true;
    return CloseConversation(ABuffer);
}

}  // namespace cl
