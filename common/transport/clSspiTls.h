// The TLS session of one connection: handshake tokens from the peer's bytes,
// the server certificate check, record encryption and decryption, and the
// close notification. It works on byte buffers only; the TLS stream moves
// the bytes over the socket.
#pragma once

#include <openssl/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "transport/clCertificate.h"
#include "transport/clSspi.h"
#include "transport/clTlsSettings.h"
#include "rtl/clStreams.h"

struct stack_st_X509;

namespace cl {

struct TclStreamSizes {
    uint32_t cbHeader = 0;  // 0: not yet queried
    uint32_t cbTrailer = 0;
    uint32_t cbMaximumMessage = 0;
    uint32_t cBuffers = 0;
    uint32_t cbBlockSize = 0;
};

// The local date and time as a day number: a name unique per creation, used
// until a real target name is set.
std::string DefaultTargetName();

// The checks of a server (or client) certificate, with the policy error of
// the first failed check (0 when none failed): chain faults first (bad
// signature, unknown authority, revocation, usage, validity, other chain
// faults), then the name when ATargetName is not empty. Keys and signatures
// weaker than ASecurityLevel (the TLS session's, which is the level the
// library is configured with) are chain faults that no flag ignores.
int32_t VerifyCertificateChain(X509* ALeaf, STACK_OF(X509) * AChain, const std::string& ATargetName,
                               TclCertificateVerifyFlags AFlags, bool AServerAuthentication, int ASecurityLevel);

class TclTlsSspi : public TclSspi {
public:
    TclTlsSspi();
    ~TclTlsSspi() override;

    // Makes the close notification (into ABuffer from position 0) and ends
    // the conversation.
    virtual TclSspiReturnCode EndSession(TMemoryStream& ABuffer) = 0;
    // One handshake step: ABuffer holds the peer's bytes from its position;
    // on return it holds the token to send from position 0, or the bytes
    // not yet consumed.
    virtual TclSspiReturnCode GenContext(TMemoryStream& ABuffer, const TclCertificateList& ACertificates,
                                         bool AllowEmptyCred) = 0;

    // Encrypts ASourceSize bytes from ASource's position as records appended
    // to ADestination; afterwards ASource is moved back by ASourceSize and
    // ADestination to where it was.
    TclSspiReturnCode Encrypt(TStream& ASource, TStream& ADestination, int64_t ASourceSize);
    // Decrypts every complete record of ASource (from its position, which is
    // left unchanged) into ADestination; an incomplete record's bytes end up
    // in AExtraBuffer from position 0. ASource may be AExtraBuffer itself.
    TclSspiReturnCode Decrypt(TStream& ASource, TStream& ADestination, TMemoryStream& AExtraBuffer);

    // The plaintext of one record never exceeds this.
    static constexpr size_t kMaxRecordPlaintext = 16384;
    // What one DecryptRecords call did.
    struct TDecryptStep {
        // rcOK: every byte was taken; rcMoreDataNeeded: the bytes left hold
        // an incomplete record, or more records than APlain had room for;
        // rcClosingNeeded: the peer's close notification (the bytes after
        // it are left); rcReAuthNeeded: the engine has handshake bytes to
        // send (the bytes after that record are left for the handshake).
        TclSspiReturnCode Code = rcOK;
        size_t Consumed = 0;  // ciphertext bytes taken from the front
        size_t Plain = 0;     // plaintext bytes written to APlain
    };
    // Decrypts complete records from the front of ACipher straight into
    // APlain while it has room for a whole record's plaintext; nothing is
    // allocated or copied besides what the engine needs.
    TDecryptStep DecryptRecords(const uint8_t* ACipher, size_t ACipherSize, uint8_t* APlain, size_t APlainSize);

    // The token that a completed handshake step left to send (the last
    // flight of a handshake that the local side finishes), appended to
    // ADestination; false when there is none.
    bool TakeFinalToken(TStream& ADestination);

    SSL_CTX* CredHandle() const { return FCredHandle.get(); }
    SSL* CtxtHandle() const { return FCtxtHandle.get(); }
    // Queried once per session; raises EclSSPIError without an established session.
    const TclStreamSizes& StreamSizes();
    TclCertificate* PeerCertificate() const { return FPeerCertificate.get(); }
    bool Certified() const { return FCertified; }
    int32_t StatusCode() const { return FStatusCode; }
    int32_t PackageNo() const { return FPackageNo; }

    const TclTlsSettings& TlsSettings() const { return FTlsSettings; }
    void SetTlsSettings(const TclTlsSettings& AValue) { FTlsSettings = AValue; }
    TclCertificateVerifyFlags CertificateFlags() const { return FTlsSettings.CertificateFlags; }
    void SetCertificateFlags(TclCertificateVerifyFlags AValue) { FTlsSettings.CertificateFlags = AValue; }
    TclTlsFlags TLSFlags() const { return FTlsSettings.TLSFlags; }
    void SetTLSFlags(TclTlsFlags AValue) { FTlsSettings.TLSFlags = AValue; }
    bool SendRootCertificate() const { return FTlsSettings.SendRootCertificate; }
    void SetSendRootCertificate(bool AValue) { FTlsSettings.SendRootCertificate = AValue; }
    bool UseStrongCryptoAlgorithms() const { return FTlsSettings.UseStrongCryptoAlgorithms; }
    void SetUseStrongCryptoAlgorithms(bool AValue) { FTlsSettings.UseStrongCryptoAlgorithms = AValue; }
    const std::string& CSP() const { return FTlsSettings.CSP; }
    void SetCSP(const std::string& AValue) { FTlsSettings.CSP = AValue; }

protected:
    struct TCtxFree {
        void operator()(SSL_CTX* p) const;
    };
    struct TSslFree {
        void operator()(SSL* p) const;
    };

    // Result of driving the engine's handshake over the peer's bytes.
    struct TStep {
        int32_t Status;
        size_t Consumed;
    };

    // New credentials for a client or server: protocol versions from
    // TLSFlags, the package check of CSP, the strong cipher choice.
    void NewCredentials(bool AServer);
    void FreeCredentials();
    // A new conversation over a pair of memory buffers.
    void NewContext(bool AServer);
    void FreeContext();
    // Installs the certificate (with its key) and its chain on the
    // conversation or, without one, on the credentials.
    void InstallCertificates(const TclCertificateList& ACertificates);
    // Feeds complete records to the engine until it produces output, needs
    // more bytes, finishes or asks for a client certificate.
    TStep DriveHandshake(const uint8_t* AData, size_t ALength, std::vector<uint8_t>& AToken);
    // The handshake steps after the first, for both sides.
    TclSspiReturnCode ContinueHandshake(TMemoryStream& ABuffer, const TclCertificateList& ACertificates,
                                        bool AllowEmptyCred);
    virtual bool AcquireCredentials(const TclCertificateList& ACertificates, bool AllowEmptyCred);
    TclSspiReturnCode CloseConversation(TMemoryStream& ABuffer);
    // The provider status for the engine's failure.
    int32_t FailureStatus();
    void DrainOutput(std::vector<uint8_t>& AOutput);

    int32_t FPackageNo = 0;
    std::unique_ptr<SSL_CTX, TCtxFree> FCredHandle;
    std::unique_ptr<SSL, TSslFree> FCtxtHandle;
    BIO* FNetIn = nullptr;   // owned by FCtxtHandle
    BIO* FNetOut = nullptr;  // owned by FCtxtHandle
    TclStreamSizes FStreamSizes;
    int32_t FStatusCode = 0;
    std::unique_ptr<TclCertificate> FPeerCertificate;
    bool FCertified = false;
    TclTlsSettings FTlsSettings;
    std::vector<uint8_t> FFinalToken;
    bool FCertificateRequested = false;  // the peer asked for a client certificate
    bool FCertificateAnswered = false;   // and the answer is installed
    bool FCertificateSent = false;       // that answer holds a certificate
};

class TclTlsClientSspi : public TclTlsSspi {
public:
    TclTlsClientSspi();

    TclSspiReturnCode EndSession(TMemoryStream& ABuffer) override;
    TclSspiReturnCode GenContext(TMemoryStream& ABuffer, const TclCertificateList& ACertificates,
                                 bool AllowEmptyCred) override;

    const std::string& TargetName() const { return FTargetName; }
    void SetTargetName(const std::string& AValue) { FTargetName = AValue; }

private:
    TclSspiReturnCode InitContext(TMemoryStream& ABuffer);
    bool CheckServerCertificate();

    std::string FTargetName;
    bool FNewConversation = true;
};

// The server side: ACertificates of the first step carry the server's
// certificate with its key, then its chain.
class TclTlsServerSspi : public TclTlsSspi {
public:
    TclTlsServerSspi() = default;

    TclSspiReturnCode EndSession(TMemoryStream& ABuffer) override;
    TclSspiReturnCode GenContext(TMemoryStream& ABuffer, const TclCertificateList& ACertificates,
                                 bool AllowEmptyCred) override;

    bool RequireClientCertificate() const { return FRequireClientCertificate; }
    void SetRequireClientCertificate(bool AValue) { FRequireClientCertificate = AValue; }

private:
    bool FNewConversation = true;
    bool FRequireClientCertificate = false;
};

}  // namespace cl
