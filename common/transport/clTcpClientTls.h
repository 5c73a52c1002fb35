// A TCP client that can speak TLS: per connection it chooses a plain or a
// TLS stream, and it can upgrade an open plain connection (StartTls).
#pragma once

#include <cstdint>
#include <string>

#include "transport/clTcpClient.h"
#include "transport/clTlsSettings.h"
#include "transport/clTlsSocket.h"

namespace cl {

enum TclClientTlsMode : uint8_t { ctNone, ctAutomatic, ctImplicit, ctExplicit };

class TclTcpClientTls : public TclTcpClient {
public:
    TclTcpClientTls() = default;

    TclClientTlsMode UseTLS() const { return FUseTLS; }
    virtual void SetUseTLS(TclClientTlsMode AValue);
    // Handed to the TLS stream of each connection; a change reports Changed.
    const TclTlsSettings& TlsSettings() const { return FTlsSettings; }
    void SetTlsSettings(const TclTlsSettings& AValue);
    TclCertificateVerifyFlags CertificateFlags() const { return FTlsSettings.CertificateFlags; }
    void SetCertificateFlags(TclCertificateVerifyFlags AValue) {
        SetTlsSetting(&TclTlsSettings::CertificateFlags, AValue);
    }
    TclTlsFlags TLSFlags() const { return FTlsSettings.TLSFlags; }
    void SetTLSFlags(TclTlsFlags AValue) { SetTlsSetting(&TclTlsSettings::TLSFlags, AValue); }
    bool SendRootCertificate() const { return FTlsSettings.SendRootCertificate; }
    void SetSendRootCertificate(bool AValue) { SetTlsSetting(&TclTlsSettings::SendRootCertificate, AValue); }
    bool UseStrongCryptoAlgorithms() const { return FTlsSettings.UseStrongCryptoAlgorithms; }
    void SetUseStrongCryptoAlgorithms(bool AValue) {
        SetTlsSetting(&TclTlsSettings::UseStrongCryptoAlgorithms, AValue);
    }
    const std::string& CSP() const { return FTlsSettings.CSP; }
    void SetCSP(const std::string& AValue) { SetTlsSetting(&TclTlsSettings::CSP, AValue); }
    // Sender is the client.
    TclGetCertificateEvent OnGetCertificate;
    TclVerifyPeerEvent OnVerifyServer;

    // Whether the connection speaks TLS (also inside a SOCKS tunnel).
    bool IsTls() const;
    // Switches the open plain connection to TLS and runs the handshake; on
    // any failure the client is closed and the failure raised again.
    virtual void StartTls();
    // StartTls when UseTLS is ctExplicit, or ctAutomatic on the default
    // port; the answer says whether it ran.
    bool ExplicitStartTls();

protected:
    std::unique_ptr<TclNetworkStream> CreateNetworkStream() override;
    std::unique_ptr<TclTlsNetworkStream> CreateTlsStream();
    virtual void DoGetCertificate(TclCertificate*& ACertificate, TclCertificateList& AExtraCerts, bool& Handled);
    virtual void DoVerifyServer(TclCertificate* ACertificate, const std::string& AStatusText, int32_t AStatusCode,
                                bool& AVerified);

private:
    template <class T>
    void SetTlsSetting(T TclTlsSettings::*AField, const T& AValue) {
        if (FTlsSettings.*AField == AValue) return;
        FTlsSettings.*AField = AValue;
        Changed();
    }

    TclClientTlsMode FUseTLS = ctNone;
    TclTlsSettings FTlsSettings;
};

}  // namespace cl
