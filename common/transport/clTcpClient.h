// The TCP client component that protocol clients derive from: its settings
// (server, port, batch size, time-out, bandwidth, keep-alive, proxy), name
// resolution through the host override table, and opening and closing of
// its one connection.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "transport/clFirewallUtils.h"
#include "transport/clSocket.h"
#include "rtl/clComponent.h"

namespace cl {

class EclTcpClientError : public EclSocketError {
public:
    using EclSocketError::EclSocketError;
};

class TclTcpClient : public TComponent {
public:
    TclTcpClient();
    ~TclTcpClient() override;
    TclTcpClient(const TclTcpClient&) = delete;
    TclTcpClient& operator=(const TclTcpClient&) = delete;

    // Does nothing when already active. On failure the client is closed and
    // the first error passes on.
    void Open();
    void Close();

    TclTcpClientConnection* Connection() const { return FConnection.get(); }
    bool Active() const { return FConnection->Active(); }

    const std::string& Server() const { return FServer; }
    void SetServer(const std::string& AValue);
    // The descendant's default port until set.
    int Port();
    void SetPort(int AValue);
    const std::string& LocalBinding() const { return FConnection->LocalBinding(); }
    void SetLocalBinding(const std::string& AValue);
    int BatchSize() const { return FConnection->BatchSize(); }
    void SetBatchSize(int AValue);
    int TimeOut() const { return FConnection->TimeOut(); }
    void SetTimeOut(int AValue);
    int BitsPerSec() const { return FConnection->BitsPerSec(); }
    void SetBitsPerSec(int AValue);
    // Milliseconds; above 0 the socket gets TCP keep-alive probes after that
    // much idle time, and DoKeepAlive runs at that period while open.
    int KeepAlive() const { return FKeepAlive; }
    void SetKeepAlive(int AValue);
    TclFirewallSettings& FirewallSettings() { return *FFirewallSettings; }
    // Copies the settings.
    void SetFirewallSettings(const TclFirewallSettings& AValue) { FFirewallSettings->Assign(AValue); }

    TNotifyEvent OnChanged;
    TNotifyEvent OnOpen;
    TNotifyEvent OnClose;

protected:
    // The protocol layer of a new connection: here the plain stream.
    virtual std::unique_ptr<TclNetworkStream> CreateNetworkStream();
    virtual int GetDefaultPort() = 0;
    virtual void OpenConnection(const std::string& AServer, int APort);
    virtual void InternalOpen();
    virtual void InternalClose(bool ANotifyPeer);
    virtual void DoDestroy() {}
    virtual void DoKeepAlive() {}
    virtual void Changed();
    virtual void DoOpen();
    virtual void DoClose();
    // Wraps ABaseStream in the SOCKS layer of the firewall settings, for a
    // tunnel to AHost and APort; "Unsupported firewall type" (-101) for a
    // type without a layer.
    virtual std::unique_ptr<TclNetworkStream> CreateSocksStream(std::unique_ptr<TclNetworkStream> ABaseStream,
                                                                const std::string& AHost, int APort);

    // Set while a failed open is being cleaned up.
    bool FInProgress = false;

    // Keep-alive ticks on the thread that opened the client.
    void StartKeepAliveTimer();
    void StopKeepAliveTimer();

private:
    void SetSocketKeepAlive();

    std::unique_ptr<TclTcpClientConnection> FConnection;
    std::string FServer;
    int FPort = -1;  // -1: not set, GetDefaultPort applies
    std::unique_ptr<TclFirewallSettings> FFirewallSettings;
    int FKeepAlive = 0;
    TclPumpTimer FTimer;
    std::mutex FAccessor;
    bool FTimerEnabled = false;
};

}  // namespace cl
