#include "transport/clTcpClient.h"

#include "transport/clSocks.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

namespace cl {

TclTcpClient::TclTcpClient()
    : FConnection(std::make_unique<TclTcpClientConnection>()),
      FFirewallSettings(std::make_unique<TclFirewallSettings>()) {
    FConnection->SetBatchSize(8192);
    FConnection->SetTimeOut(60000);
    FConnection->SetBitsPerSec(0);
}

TclTcpClient::~TclTcpClient() {
    try {
        Close();
    } catch (...) {
    }
    try {
        DoDestroy();
    } catch (...) {
    }
    StopKeepAliveTimer();
}

void TclTcpClient::Open() {
    if (Active()) {
        return;
    }
    try {
        InternalOpen();
        SetSocketKeepAlive();
        StartKeepAliveTimer();
        DoOpen();
    } catch (...) {
        FInProgress = true;
        StopKeepAliveTimer();
        try {
            InternalClose(false);
        } catch (const EclSocketError&) {
        }
        FInProgress = false;
        throw;
    }
}

void TclTcpClient::Close() {
    StopKeepAliveTimer();
    const bool wasActive = Active();
    InternalClose(true);
    if (wasActive) {
        DoClose();
    }
}

void TclTcpClient::InternalOpen() {
    if (BatchSize() < 1) {
        throw EclTcpClientError(SocketErrorText(cInvalidBatchSize), cInvalidBatchSize);
    }
    OpenConnection(Server(), Port());
}

void TclTcpClient::InternalClose(bool ANotifyPeer) {
    FConnection->Abort();
    FConnection->Close(ANotifyPeer);
}

std::unique_ptr<TclNetworkStream> TclTcpClient::CreateNetworkStream() { return std::make_unique<TclNetworkStream>(); }

void TclTcpClient::OpenConnection(const std::string& AServer, int APort) {
    FConnection->SetNetworkStream(nullptr);
    std::unique_ptr<TclNetworkStream> stream = CreateNetworkStream();
    std::string host = AServer;
    int port = APort;
    if (!FFirewallSettings->Server().empty()) {
        FConnection->SetNetworkStream(CreateSocksStream(std::move(stream), AServer, APort));
        host = FFirewallSettings->Server();
        port = FFirewallSettings->Port();
    } else {
        FConnection->SetNetworkStream(std::move(stream));
    }
    int connectPort = port;
    const std::string ip = TclHostResolver::ResolveEndPoint(host, port, connectPort);
    FConnection->Open(ip, connectPort);
}

std::unique_ptr<TclNetworkStream> TclTcpClient::CreateSocksStream(std::unique_ptr<TclNetworkStream> ABaseStream,
                                                                  const std::string& AHost, int APort) {
    std::unique_ptr<TclSocksNetworkStream> socks;
    switch (FFirewallSettings->FirewallType()) {
        case ftSocks4:
            socks = std::make_unique<TclSocks4NetworkStream>(std::move(ABaseStream));
            break;
        case ftSocks5:
            socks = std::make_unique<TclSocks5NetworkStream>(std::move(ABaseStream));
            break;
        default:
            throw EclTcpClientError(SocketErrorText(cUnsupportedFirewallType), cUnsupportedFirewallType);
    }
    // The proxy's credentials, with the target in place of the proxy's address.
    TclProxyEndpoint tunnel = FFirewallSettings->Endpoint();
    tunnel.Server = AHost;
    tunnel.Port = APort;
    if (!FFirewallSettings->NeedResolveIP()) {
        // Resolved here, through the host override table like a direct connection.
        tunnel.Server = TclHostResolver::ResolveEndPoint(AHost, APort, tunnel.Port);
    }
    socks->SetTunnel(tunnel);
    return socks;
}

void TclTcpClient::SetSocketKeepAlive() {
    if (FKeepAlive <= 0 || !Active()) {
        return;
    }
    const TSocket s = FConnection->Socket().Socket();
    const int seconds = std::max(FKeepAlive / 1000, 1);
    if (ClSetSockOpt(s, SOL_SOCKET, SO_KEEPALIVE, 1) != 0 || ClSetSockOpt(s, IPPROTO_TCP, TCP_KEEPIDLE, seconds) != 0 ||
        ClSetSockOpt(s, IPPROTO_TCP, TCP_KEEPINTVL, seconds) != 0) {
        RaiseLastSocketError();
    }
}

void TclTcpClient::StartKeepAliveTimer() {
    std::lock_guard<std::mutex> guard(FAccessor);
    if (FKeepAlive <= 0) {
        return;
    }
    FTimer.Start(FKeepAlive, [this] {
        StopKeepAliveTimer();
        try {
            DoKeepAlive();
        } catch (...) {
        }
        StartKeepAliveTimer();
    });
    FTimerEnabled = true;
}

void TclTcpClient::StopKeepAliveTimer() {
    std::lock_guard<std::mutex> guard(FAccessor);
    FTimer.Stop();
    FTimerEnabled = false;
}

void TclTcpClient::Changed() {
    if (OnChanged) {
        OnChanged(this);
    }
}

void TclTcpClient::DoOpen() {
    if (OnOpen) {
        OnOpen(this);
    }
}

void TclTcpClient::DoClose() {
    if (OnClose) {
        OnClose(this);
    }
}

void TclTcpClient::SetServer(const std::string& AValue) {
    if (FServer != AValue) {
        FServer = AValue;
        Changed();
    }
}

int TclTcpClient::Port() {
    if (FPort < 0) {
        FPort = GetDefaultPort();
    }
    return FPort;
}

void TclTcpClient::SetPort(int AValue) {
    if (Port() != AValue) {
        FPort = AValue;
        Changed();
    }
}

void TclTcpClient::SetLocalBinding(const std::string& AValue) {
    if (LocalBinding() != AValue) {
        FConnection->SetLocalBinding(AValue);
        Changed();
    }
}

void TclTcpClient::SetBatchSize(int AValue) {
    if (BatchSize() != AValue) {
        FConnection->SetBatchSize(AValue);
        Changed();
    }
}

void TclTcpClient::SetTimeOut(int AValue) {
    if (TimeOut() != AValue) {
        FConnection->SetTimeOut(AValue);
        Changed();
    }
}

void TclTcpClient::SetBitsPerSec(int AValue) {
    if (BitsPerSec() != AValue) {
        FConnection->SetBitsPerSec(AValue);
        Changed();
    }
}

void TclTcpClient::SetKeepAlive(int AValue) {
    if (FKeepAlive != AValue) {
        FKeepAlive = AValue;
        Changed();
    }
}

}  // namespace cl
