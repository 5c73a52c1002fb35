// The SOCKS layers of a connection: SOCKS 4 (with 4a host names) and SOCKS 5
// (with user name and password) negotiate a CONNECT tunnel inside the
// connection's ordinary reads and writes, then hand every read and write to
// the stream they wrap, plain or TLS, so that TLS runs end to end.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "transport/clProxyEndpoint.h"
#include "transport/clSocket.h"
#include "rtl/clStreams.h"

namespace cl {

enum TclSocksConnectionState { csHello = 0, csAuthenticate = 1, csCommand = 2, csOpenSession = 3, csData = 4 };

// A refusal of the proxy (ErrorCode: the reply code byte it sent), or of a
// request that cannot be sent as asked (ErrorCode: one of the codes below).
class EclSocksFirewallError : public EclSocketError {
public:
    using EclSocketError::EclSocketError;
};

enum : int {
    // A user name, password, user id or host name that the request cannot
    // carry whole (too long, or a zero byte in a zero-terminated field).
    cSocksFieldNotCarried = -102,
    // An IPv6 target through SOCKS 4, which knows IPv4 addresses only.
    cSocksIPv6NotCarried = -103,
    // A CONNECT reply whose bound address is of an unknown type.
    cSocksInvalidReply = -104,
};

// The tunnel layer: it owns the stream it wraps. Until the tunnel stands it
// writes the requests of the current state and collects the replies, across
// as many receives as they take; then it is transparent.
class TclSocksNetworkStream : public TclNetworkStream {
public:
    explicit TclSocksNetworkStream(std::unique_ptr<TclNetworkStream> ABaseStream);

    // The stream that carries the data once the tunnel stands.
    TclNetworkStream& BaseStream() const { return *FBaseStream; }
    TclSocksConnectionState State() const { return FState; }
    // What the requests carry: the target the tunnel leads to (Server and
    // Port) and the credentials the proxy is given.
    const TclProxyEndpoint& Tunnel() const { return FTunnel; }
    void SetTunnel(const TclProxyEndpoint& AValue) { FTunnel = AValue; }
    const std::string& TargetServer() const { return FTunnel.Server; }
    void SetTargetServer(const std::string& AValue) { FTunnel.Server = AValue; }
    int TargetPort() const { return FTunnel.Port; }
    void SetTargetPort(int AValue) { FTunnel.Port = AValue; }
    const std::string& UserName() const { return FTunnel.UserName; }
    void SetUserName(const std::string& AValue) { FTunnel.UserName = AValue; }
    const std::string& Password() const { return FTunnel.Password; }
    void SetPassword(const std::string& AValue) { FTunnel.Password = AValue; }

    void SetConnection(TclConnection* AConnection) override;
    void Assign(const TclNetworkStream& ASource) override;
    bool Connect(TclIPAddress& AAddr, int APort) override;
    void ConnectEnd() override;
    void Close(bool ANotifyPeer) override;
    void StreamReady() override;
    bool Read(TStream* AData) override;
    bool Write(TStream* AData) override;
    int GetReadBatchSize() override;
    int GetWriteBatchSize() override;
    bool IsProceedLimit() override;
    void InitProgress() override;
    void UpdateProgress(int64_t ABytesProceed) override;
    int64_t BytesProceed() const override;
    void InitClientSession() override;
    // A tunnel is a client's: the server side is refused.
    void InitServerSession() override;

protected:
    // The bytes of the request for the current state.
    virtual std::vector<uint8_t> BuildRequest() = 0;
    // True when AReply is a complete reply and accepted; raises on a refusal.
    virtual bool ParseReply(const std::vector<uint8_t>& AReply) = 0;
    // How many reply bytes the current state expects in all.
    virtual int GetReplySize() = 0;

    void SetState(TclSocksConnectionState AValue) { FState = AValue; }
    // The tunnel stands: the wrapped stream's session starts (a TLS
    // handshake with the target, say).
    void TunnelOpened();

private:
    // The wrapped stream's wishes and findings after it ran.
    void TakeOverBaseState(bool AAfterRead);

    TclProxyEndpoint FTunnel;
    TMemoryStream FReadBuffer;  // reply bytes collected so far
    TMemoryStream FRequest;     // the request being sent, kept while a send would block
    TclSocksConnectionState FState = csHello;
    std::unique_ptr<TclNetworkStream> FBaseStream;
};

// SOCKS 4: one CONNECT request with the user id; a host name that is not an
// address literal goes to the proxy in the 4a form.
class TclSocks4NetworkStream : public TclSocksNetworkStream {
public:
    using TclSocksNetworkStream::TclSocksNetworkStream;

protected:
    std::vector<uint8_t> BuildRequest() override;
    bool ParseReply(const std::vector<uint8_t>& AReply) override;
    int GetReplySize() override { return 8; }
};

// SOCKS 5: method selection, user name and password when a user name is
// set, then CONNECT to an IPv4 or IPv6 address or a host name.
class TclSocks5NetworkStream : public TclSocksNetworkStream {
public:
    using TclSocksNetworkStream::TclSocksNetworkStream;

    bool Connect(TclIPAddress& AAddr, int APort) override;

protected:
    std::vector<uint8_t> BuildRequest() override;
    bool ParseReply(const std::vector<uint8_t>& AReply) override;
    int GetReplySize() override;

private:
    bool ParseMethodReply(const std::vector<uint8_t>& AReply);
    bool ParseAuthenticationReply(const std::vector<uint8_t>& AReply);
    bool ParseConnectReply(const std::vector<uint8_t>& AReply);

    int FBytesToRead = 0;  // reply size of the current step; 0: its least
};

// The messages of the proxies' reply codes.
std::string Socks4ReplyText(int ACode);
std::string Socks5ReplyText(int ACode);

}  // namespace cl
