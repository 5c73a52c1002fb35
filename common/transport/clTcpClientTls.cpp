// The TLS-capable TCP client.
#include "transport/clTcpClientTls.h"

#include "transport/clSocks.h"

namespace cl {

void TclTcpClientTls::SetUseTLS(TclClientTlsMode AValue) {
    if (FUseTLS != AValue) {
        FUseTLS = AValue;
        Changed();
    }
}

void TclTcpClientTls::SetTlsSettings(const TclTlsSettings& AValue) {
    if (!(FTlsSettings == AValue)) {
        FTlsSettings = AValue;
        Changed();
    }
}

bool TclTcpClientTls::IsTls() const {
    if (!Connection()->HasNetworkStream()) return false;
    const TclNetworkStream* stream = &Connection()->NetworkStream();
    // Through a SOCKS tunnel, TLS is in the stream the tunnel carries.
    if (auto* socks = dynamic_cast<const TclSocksNetworkStream*>(stream)) stream = &socks->BaseStream();
    return dynamic_cast<const TclTlsNetworkStream*>(stream) != nullptr;
}

std::unique_ptr<TclNetworkStream> TclTcpClientTls::CreateNetworkStream() {
    if (FUseTLS == ctImplicit || (FUseTLS == ctAutomatic && Port() != GetDefaultPort())) return CreateTlsStream();
    return TclTcpClient::CreateNetworkStream();
}

std::unique_ptr<TclTlsNetworkStream> TclTcpClientTls::CreateTlsStream() {
    auto stream = std::make_unique<TclTlsNetworkStream>();
    stream->SetTlsSettings(FTlsSettings);
    stream->SetTargetName(Server());
    stream->OnGetCertificate = [this](TObject*, TclCertificate*& ACertificate, TclCertificateList& AExtraCerts,
                                      bool& Handled) { DoGetCertificate(ACertificate, AExtraCerts, Handled); };
    stream->OnVerifyPeer = [this](TObject*, TclCertificate* ACertificate, const std::string& AStatusText,
                                  int32_t AStatusCode, bool& AVerified) {
        DoVerifyServer(ACertificate, AStatusText, AStatusCode, AVerified);
    };
    return stream;
}

void TclTcpClientTls::DoGetCertificate(TclCertificate*& ACertificate, TclCertificateList& AExtraCerts, bool& Handled) {
    if (OnGetCertificate) OnGetCertificate(this, ACertificate, AExtraCerts, Handled);
}

void TclTcpClientTls::DoVerifyServer(TclCertificate* ACertificate, const std::string& AStatusText, int32_t AStatusCode,
                                     bool& AVerified) {
    if (OnVerifyServer) OnVerifyServer(this, ACertificate, AStatusText, AStatusCode, AVerified);
}

void TclTcpClientTls::StartTls() {
    if (FUseTLS == ctNone) SetUseTLS(ctExplicit);
    try {
        Connection()->SetNetworkStream(CreateTlsStream());
        Connection()->OpenSession();
    } catch (...) {
        FInProgress = true;
        try {
            Close();
        } catch (const EclSocketError&) {
        }
        FInProgress = false;
        throw;
    }
}

bool TclTcpClientTls::ExplicitStartTls() {
    if (FUseTLS == ctExplicit || (FUseTLS == ctAutomatic && Port() == GetDefaultPort())) {
        StartTls();
        return true;
    }
    return false;
}

}  // namespace cl
