// The TLS layer of a connection: a network stream that runs the handshake
// inside the connection's ordinary read and write passes, keeps ciphertext
// and plaintext between them, decides on the server certificate with the
// owner's event and closes with a close notification.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "transport/clCertificate.h"
#include "transport/clSocket.h"
#include "transport/clSspiTls.h"
#include "transport/clTlsSettings.h"
#include "rtl/clStreams.h"

namespace cl {

// Lets the owner accept (AVerified true) or refuse the peer's certificate.
using TclVerifyPeerEvent = std::function<void(TObject* Sender, TclCertificate* ACertificate,
                                              const std::string& AStatusText, int32_t AStatusCode, bool& AVerified)>;

// Ciphertext received and not yet decrypted, in one block allocated once:
// receives go straight into its free end, records are taken from its front.
class TclRecordBuffer {
public:
    // Room for ALength more bytes at the end; the waiting bytes move to the
    // front first, and the block grows only when that is not enough.
    uint8_t* Reserve(size_t ALength);
    void Commit(size_t ALength) { FEnd += ALength; }
    void Append(const uint8_t* AData, size_t ALength);
    const uint8_t* Data() const { return FBlock.data() + FStart; }
    size_t Size() const { return FEnd - FStart; }
    void Consume(size_t ALength);
    void Clear() { FStart = FEnd = 0; }

private:
    std::vector<uint8_t> FBlock;
    size_t FStart = 0;
    size_t FEnd = 0;
};

// Also a TObject: it is the Sender of its events.
class TclTlsNetworkStream : public TclNetworkStream, public TObject {
public:
    TclTlsNetworkStream();
    ~TclTlsNetworkStream() override;

    // The session; using it before one started is an internal assertion.
    // The reference is for the connection's own thread: the stream's own
    // calls into the session hold its lock instead.
    TclTlsSspi& SSPI();

    const std::string& TargetName() const { return FTargetName; }
    void SetTargetName(const std::string& AValue);
    // The settings go on to the session, a running one too.
    const TclTlsSettings& TlsSettings() const { return FTlsSettings; }
    void SetTlsSettings(const TclTlsSettings& AValue);
    TclCertificateVerifyFlags CertificateFlags() const { return FTlsSettings.CertificateFlags; }
    void SetCertificateFlags(TclCertificateVerifyFlags AValue);
    TclTlsFlags TLSFlags() const { return FTlsSettings.TLSFlags; }
    void SetTLSFlags(TclTlsFlags AValue);
    bool SendRootCertificate() const { return FTlsSettings.SendRootCertificate; }
    void SetSendRootCertificate(bool AValue);
    bool UseStrongCryptoAlgorithms() const { return FTlsSettings.UseStrongCryptoAlgorithms; }
    void SetUseStrongCryptoAlgorithms(bool AValue);
    bool RequireClientCertificate() const { return FRequireClientCertificate; }
    void SetRequireClientCertificate(bool AValue);
    const std::string& CSP() const { return FTlsSettings.CSP; }
    void SetCSP(const std::string& AValue);
    TclGetCertificateEvent OnGetCertificate;
    TclVerifyPeerEvent OnVerifyPeer;

    // The session state (what the stream waits for).
    TclSspiReturnCode SSPIResult() const { return FSSPIResult; }

    void Assign(const TclNetworkStream& ASource) override;
    void Close(bool ANotifyPeer) override;
    void StreamReady() override {}
    bool Read(TStream* AData) override;
    bool Write(TStream* AData) override;
    int GetReadBatchSize() override;
    int GetWriteBatchSize() override;
    bool IsProceedLimit() override;
    void InitProgress() override;
    void UpdateProgress(int64_t ABytesProceed) override;
    void InitClientSession() override;
    void InitServerSession() override;

private:
    void DoHandshake(TStream* ADestination);
    void DecryptData(TStream& ASource, TStream* ADestination);
    // Once the session is established records flow: they are received into
    // FRecords and decrypted from there.
    bool RecordsFlow() const { return FSSPIResult == rcOK || FSSPIResult == rcMoreDataNeeded; }
    // One read pass over established records; true when any bytes came.
    bool ReceiveRecords(TStream& ADestination);
    // Decrypts every complete record waiting in FRecords into ADestination.
    void DecryptWaitingRecords(TStream& ADestination);
    // Moves what FRecords still holds to FSSPIBuffer, for the handshake.
    void HandRecordsToHandshake();
    bool EncryptAndSend(TStream* ASource, int64_t ASize);
    void VerifyPeer();
    void UpdatePlainProgress(int64_t ABytesProceed);
    void FreeSSPI();
    int32_t GetPacketSize();
    template <class F>
    void WithSession(F AApply);
    // Runs AApply on the session (which must exist) with the lock held for
    // the whole call, so that a Close on another thread cannot end the
    // session under it. No event of the owner is raised inside.
    template <class F>
    auto UseSession(F AApply);

    TMemoryStream FReadData;      // plaintext waiting for the next read
    TMemoryStream FWriteData;     // ciphertext not yet sent
    TMemoryStream FSSPIBuffer;    // ciphertext received and not yet consumed by the handshake
    TclRecordBuffer FRecords;     // ciphertext received and not yet decrypted, once records flow
    std::vector<uint8_t> FPlain;  // decrypted records on their way to the caller's stream
    std::unique_ptr<TclTlsSspi> FSSPI;
    bool FServerSession = false;
    TclSspiReturnCode FSSPIResult = rcOK;
    int32_t FPacketSize = 0;
    bool FNeedAuthenticate = false;
    int64_t FWriteSize = 0;
    bool FWriteHoldsData = false;  // FWriteData is the record of the caller's next FWriteSize bytes
    TclTlsSettings FTlsSettings;
    std::string FTargetName;
    bool FPeerVerified = false;
    bool FPeerChecked = false;
    bool FRequireClientCertificate = false;
    std::mutex FSSPIAccess;
    int64_t FEncryptedBytesProceed = 0;
    // Ciphertext taken by the read pass under way, and its cap (0: no pass).
    int64_t FRawReadThisPass = 0;
    int64_t FRawReadCap = 0;
};

}  // namespace cl
