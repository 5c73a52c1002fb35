// A TCP client that can speak TLS: per connection it chooses a plain or a
// TLS stream, and it can upgrade an open plain connection (StartTls).
#pragma once

#include <cstdint>
#include <string>

#include "transport/clTcpClient.h"
#include "transport/clTlsSocket.h"

namespace cl {

enum TclClientTlsMode : uint8_t { ctNone, ctAutomatic, ctImplicit, ctExplicit };

class TclTcpClientTls : public TclTcpClient {
public:
    TclTcpClientTls() = default;

    TclClientTlsMode UseTLS() const { return FUseTLS; }
    virtual void SetUseTLS(TclClientTlsMode AValue);
    TclCertificateVerifyFlags CertificateFlags() const { return FCertificateFlags; }
    void SetCertificateFlags(TclCertificateVerifyFlags AValue);
    TclTlsFlags TLSFlags() const { return FTLSFlags; }
    void SetTLSFlags(TclTlsFlags AValue);
    bool SendRootCertificate() const { return FSendRootCertificate; }
    void SetSendRootCertificate(bool AValue);
    bool UseStrongCryptoAlgorithms() const { return FUseStrongCryptoAlgorithms; }
    void SetUseStrongCryptoAlgorithms(bool AValue);
    const std::string& CSP() const { return FCSP; }
    void SetCSP(const std::string& AValue);
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
    TclClientTlsMode FUseTLS = ctNone;
    TclCertificateVerifyFlags FCertificateFlags;
    TclTlsFlags FTLSFlags = kDefaultTlsFlags;
    std::string FCSP;
    bool FUseStrongCryptoAlgorithms = false;
    bool FSendRootCertificate = false;
};

}  // namespace cl
