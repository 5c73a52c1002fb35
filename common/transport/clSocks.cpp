// The SOCKS 4 and 5 layers: requests by state, replies collected across
// receives and parsed once their verdict or their whole length is in.
#include "transport/clSocks.h"

#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "rtl/clCodeTexts.h"
#include "transport/clIpAddress.h"

namespace cl {

namespace {

// Every request is built within this size.
constexpr size_t cMaxRequestSize = 1024;
// A SOCKS 5 length byte.
constexpr size_t cMaxShortText = 255;

constexpr uint8_t cSocks4Version = 4;
constexpr uint8_t cSocks4Granted = 90;
constexpr uint8_t cSocks5Version = 5;
constexpr uint8_t cCommandConnect = 1;
constexpr uint8_t cMethodNone = 0;
constexpr uint8_t cMethodUserName = 2;
constexpr uint8_t cUserNameVersion = 1;
constexpr uint8_t cAddressIPv4 = 1;
constexpr uint8_t cAddressName = 3;
constexpr uint8_t cAddressIPv6 = 4;
// The least CONNECT reply: a host name of length 0 and the port.
constexpr int cMinConnectReply = 7;

constexpr TclCodeText cSocks4Replies[] = {
    {90, "Request granted"},
    {91, "SOCKS error: request rejected or failed"},
    {92, "SOCKS error: request rejected becasue SOCKS server cannot connect to identd on the client"},
    {93, "SOCKS error: request rejected because the client program and identd report different user-ids"},
};

constexpr TclCodeText cSocks5Replies[] = {
    {0, "Succeeded"},
    {1, "General SOCKS server failure"},
    {2, "SOCKS error: connection not allowed by ruleset"},
    {3, "SOCKS error: Network unreachable"},
    {4, "SOCKS error: Host unreachable"},
    {5, "SOCKS error: Connection refused"},
    {6, "SOCKS error: TTL expired"},
    {7, "SOCKS error: Command not supported"},
    {8, "SOCKS error: Address type not supported"},
};

constexpr const char* cUnknownSocksError = "Unknown SOCKS error occured";
constexpr const char* cNoAcceptableMethods = "SOCKS error: No acceptable authentication methods";
constexpr const char* cAuthenticationFailed = "SOCKS error: authentication failed";

// Refusals of requests that cannot be sent as asked.
constexpr const char* cUserNameTooLong = "SOCKS error: user name longer than 255 bytes";
constexpr const char* cPasswordTooLong = "SOCKS error: password longer than 255 bytes";
constexpr const char* cHostNameTooLong = "SOCKS error: host name longer than 255 bytes";
constexpr const char* cRequestTooLong = "SOCKS error: user id and host name longer than a request allows";
constexpr const char* cZeroByteInField = "SOCKS error: user id or host name contains a zero byte";
constexpr const char* cIPv6ThroughSocks4 = "SOCKS error: SOCKS 4 cannot carry an IPv6 address";
constexpr const char* cUnknownBoundAddress = "SOCKS error: reply with an unknown address type";

std::string ReplyText(std::span<const TclCodeText> ATable, int ACode) {
    const char* text = FindCodeText(ATable, ACode);
    return text != nullptr ? text : cUnknownSocksError;
}

[[noreturn]] void RaiseSocksError(const std::string& AMessage, int ACode) {
    throw EclSocksFirewallError(AMessage, ACode);
}

// The bytes of an address literal in network order: 4 for IPv4, 16 for
// IPv6; none for a host name. The parsed address is used rather than the
// text's fields, so short forms such as "127.1" mean what they mean.
std::vector<uint8_t> LiteralAddressBytes(const std::string& AHost) {
    if (!TclIPAddress::IsHostIP(AHost)) {
        return {};
    }
    const std::unique_ptr<TclIPAddress> addr = TclIPAddress::CreateIpAddress(AHost);
    const uint8_t* bytes = nullptr;
    size_t size = 0;
    if (addr->AddressFamily() == AF_INET) {
        bytes = reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in*>(addr->Address())->sin_addr);
        size = 4;
    } else if (addr->AddressFamily() == AF_INET6) {
        bytes = reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in6*>(addr->Address())->sin6_addr);
        size = 16;
    } else {
        RaiseSocketError(cInvalidAddress);
    }
    return std::vector<uint8_t>(bytes, bytes + size);
}

// A request assembled in a buffer of the largest request size; it refuses
// what would not fit rather than cutting a field short.
class TRequestBuilder {
public:
    void Byte(uint8_t AValue) { Append(&AValue, 1); }
    void Bytes(const std::vector<uint8_t>& AValue) { Append(AValue.data(), AValue.size()); }
    void Text(const std::string& AValue) { Append(AValue.data(), AValue.size()); }
    // A text and a zero byte after it.
    void ZeroTerminated(const std::string& AValue) {
        if (AValue.find('\0') != std::string::npos) {
            RaiseSocksError(cZeroByteInField, cSocksFieldNotCarried);
        }
        Text(AValue);
        Byte(0);
    }
    // A length byte and the text.
    void ShortText(const std::string& AValue, const char* ATooLongMessage) {
        if (AValue.size() > cMaxShortText) {
            RaiseSocksError(ATooLongMessage, cSocksFieldNotCarried);
        }
        Byte(static_cast<uint8_t>(AValue.size()));
        Text(AValue);
    }
    // Two bytes, high byte first.
    void Port(int AValue) {
        if (AValue < 0 || AValue > 0xFFFF) {
            RaiseSocketError(cInvalidPort);
        }
        Byte(static_cast<uint8_t>(AValue >> 8));
        Byte(static_cast<uint8_t>(AValue & 0xFF));
    }
    std::vector<uint8_t> Take() const { return std::vector<uint8_t>(FBuffer.begin(), FBuffer.begin() + FSize); }

private:
    void Append(const void* AData, size_t ASize) {
        if (ASize > FBuffer.size() - FSize) {
            RaiseSocksError(cRequestTooLong, cSocksFieldNotCarried);
        }
        std::memcpy(FBuffer.data() + FSize, AData, ASize);
        FSize += ASize;
    }

    std::array<uint8_t, cMaxRequestSize> FBuffer{};
    size_t FSize = 0;
};

void RequireTarget(const std::string& ATargetServer) {
    if (ATargetServer.empty()) {
        RaiseSocketError(cInvalidAddress);
    }
}

// Puts the connection's read limit back when a negotiation read ends.
class TReadLimitGuard {
public:
    TReadLimitGuard(TclConnection& AConnection, int64_t ALimit)
        : FConnection(AConnection), FSaved(AConnection.BytesToProceed()) {
        FConnection.SetBytesToProceed(ALimit);
    }
    ~TReadLimitGuard() { FConnection.SetBytesToProceed(FSaved); }
    TReadLimitGuard(const TReadLimitGuard&) = delete;
    TReadLimitGuard& operator=(const TReadLimitGuard&) = delete;

private:
    TclConnection& FConnection;
    int64_t FSaved;
};

}  // namespace

std::string Socks4ReplyText(int ACode) { return ReplyText(cSocks4Replies, ACode); }
std::string Socks5ReplyText(int ACode) { return ReplyText(cSocks5Replies, ACode); }

// ---- TclSocksNetworkStream ----

TclSocksNetworkStream::TclSocksNetworkStream(std::unique_ptr<TclNetworkStream> ABaseStream)
    : FBaseStream(std::move(ABaseStream)) {
    ClAssert(FBaseStream != nullptr, "clSocks", 120);
    SetNextAction(saWrite);
}

void TclSocksNetworkStream::SetConnection(TclConnection* AConnection) {
    TclNetworkStream::SetConnection(AConnection);
    FBaseStream->SetConnection(AConnection);
}

void TclSocksNetworkStream::Assign(const TclNetworkStream& ASource) {
    TclNetworkStream::Assign(ASource);
    if (auto* socks = dynamic_cast<const TclSocksNetworkStream*>(&ASource)) {
        FTunnel = socks->FTunnel;
    }
}

bool TclSocksNetworkStream::Connect(TclIPAddress& AAddr, int APort) {
    FState = csHello;
    return TclNetworkStream::Connect(AAddr, APort);
}

void TclSocksNetworkStream::ConnectEnd() {
    TclNetworkStream::ConnectEnd();
    FBaseStream->ConnectEnd();
}

void TclSocksNetworkStream::Close(bool ANotifyPeer) {
    TclNetworkStream::Close(ANotifyPeer);
    FBaseStream->Close(ANotifyPeer);
    if (FState == csData) {
        // A close notification the wrapped stream could not send at once.
        TakeOverBaseState(false);
    }
}

void TclSocksNetworkStream::StreamReady() {
    if (FState == csOpenSession) {
        FState = csData;
        InitClientSession();
    } else if (FState == csData) {
        FBaseStream->StreamReady();
    }
}

void TclSocksNetworkStream::TunnelOpened() {
    FState = csOpenSession;
    StreamReady();
}

void TclSocksNetworkStream::TakeOverBaseState(bool AAfterRead) {
    SetNextAction(FBaseStream->NextAction());
    // After a read the wrapped stream knows whether it holds data; a write
    // may only add to what the connection noticed meanwhile.
    if (AAfterRead || FBaseStream->HasReadData()) {
        SetHasReadData(FBaseStream->HasReadData());
    }
    if (FBaseStream->NeedClose()) {
        SetNeedClose(true);
    }
}

bool TclSocksNetworkStream::Read(TStream* AData) {
    ClearNextAction();
    if (FState == csData) {
        const bool result = FBaseStream->Read(AData);
        TakeOverBaseState(true);
        return result;
    }
    // The reply is collected for this layer; no receive asks for more than
    // it still lacks, so the bytes after it stay for the wrapped stream.
    TclConnection& connection = RequireConnection();
    const int64_t missing = std::max<int64_t>(GetReplySize() - FReadBuffer.GetSize(), 0);
    TclNetworkStream::InitProgress();
    FReadBuffer.Seek(0, soEnd);
    bool result;
    {
        TReadLimitGuard limit(connection, missing);
        result = TclNetworkStream::Read(&FReadBuffer);
    }
    SetHasReadData(result);
    if (ParseReply(FReadBuffer.Bytes())) {
        FReadBuffer.Clear();
    }
    return result;
}

bool TclSocksNetworkStream::Write(TStream* AData) {
    ClearNextAction();
    if (FState == csData) {
        const bool result = FBaseStream->Write(AData);
        TakeOverBaseState(false);
        return result;
    }
    // The caller's data waits for the tunnel; the request goes first. A
    // request that a full socket cut short is resumed, not built again.
    if (FRequest.GetSize() == 0) {
        const std::vector<uint8_t> request = BuildRequest();
        ClAssert(!request.empty(), "clSocks", 371);
        FRequest.WriteBuffer(request.data(), static_cast<int64_t>(request.size()));
        FRequest.SetPosition(0);
    }
    TclNetworkStream::InitProgress();
    const bool result = TclNetworkStream::Write(&FRequest);
    if (FRequest.GetPosition() >= FRequest.GetSize()) {
        FRequest.Clear();
        SetNextAction(saRead);
    }
    return result;
}

int TclSocksNetworkStream::GetReadBatchSize() {
    return FState == csData ? FBaseStream->GetReadBatchSize() : TclNetworkStream::GetReadBatchSize();
}

int TclSocksNetworkStream::GetWriteBatchSize() {
    return FState == csData ? FBaseStream->GetWriteBatchSize() : TclNetworkStream::GetWriteBatchSize();
}

// Once the tunnel stands, the data's progress and read limit are the wrapped
// stream's: it is the one that moves the bytes.
bool TclSocksNetworkStream::IsProceedLimit() {
    return FState == csData ? FBaseStream->IsProceedLimit() : TclNetworkStream::IsProceedLimit();
}

void TclSocksNetworkStream::InitProgress() {
    TclNetworkStream::InitProgress();
    if (FState == csData) {
        FBaseStream->InitProgress();
    }
}

int64_t TclSocksNetworkStream::BytesProceed() const {
    return FState == csData ? FBaseStream->BytesProceed() : TclNetworkStream::BytesProceed();
}

void TclSocksNetworkStream::UpdateProgress(int64_t ABytesProceed) {
    if (FState == csData) {
        FBaseStream->UpdateProgress(ABytesProceed);
    } else {
        // Negotiation bytes are not the connection's progress.
        CountBytesProceed(ABytesProceed);
    }
}

void TclSocksNetworkStream::InitClientSession() {
    if (FState == csData) {
        ClearNextAction();
        FBaseStream->InitClientSession();
        SetNextAction(FBaseStream->NextAction());
        return;
    }
    FState = csHello;
    FReadBuffer.Clear();
    FRequest.Clear();
    SetNextAction(saWrite);
}

void TclSocksNetworkStream::InitServerSession() { throw EAssertionFailed("common\\clSocks", 420, "Not implemented"); }

// ---- TclSocks4NetworkStream ----

std::vector<uint8_t> TclSocks4NetworkStream::BuildRequest() {
    RequireTarget(TargetServer());
    const std::vector<uint8_t> address = LiteralAddressBytes(TargetServer());
    if (address.size() == 16) {
        RaiseSocksError(cIPv6ThroughSocks4, cSocksIPv6NotCarried);
    }
    TRequestBuilder request;
    request.Byte(cSocks4Version);
    request.Byte(cCommandConnect);
    request.Port(TargetPort());
    // 0.0.0.1 asks the proxy to resolve the name that follows the user id.
    request.Bytes(address.empty() ? std::vector<uint8_t>{0, 0, 0, 1} : address);
    request.ZeroTerminated(UserName());
    if (address.empty()) {
        request.ZeroTerminated(TargetServer());
    }
    return request.Take();
}

bool TclSocks4NetworkStream::ParseReply(const std::vector<uint8_t>& AReply) {
    // The verdict is in the first two bytes; a refusal is reported even
    // when the proxy closes without the rest.
    if (AReply.size() >= 2 && (AReply[0] != 0 || AReply[1] != cSocks4Granted)) {
        RaiseSocksError(Socks4ReplyText(AReply[1]), AReply[1]);
    }
    if (AReply.size() < static_cast<size_t>(GetReplySize())) {
        SetNextAction(saRead);
        return false;
    }
    TunnelOpened();
    return true;
}

// ---- TclSocks5NetworkStream ----

bool TclSocks5NetworkStream::Connect(TclIPAddress& AAddr, int APort) {
    FBytesToRead = 0;
    return TclSocksNetworkStream::Connect(AAddr, APort);
}

int TclSocks5NetworkStream::GetReplySize() {
    if (FBytesToRead > 0) {
        return FBytesToRead;
    }
    return State() == csCommand ? cMinConnectReply : 2;
}

std::vector<uint8_t> TclSocks5NetworkStream::BuildRequest() {
    TRequestBuilder request;
    FBytesToRead = 0;
    switch (State()) {
        case csHello:
            request.Byte(cSocks5Version);
            request.Byte(1);
            request.Byte(UserName().empty() ? cMethodNone : cMethodUserName);
            break;
        case csAuthenticate:
            request.Byte(cUserNameVersion);
            request.ShortText(UserName(), cUserNameTooLong);
            request.ShortText(Password(), cPasswordTooLong);
            break;
        case csCommand: {
            RequireTarget(TargetServer());
            request.Byte(cSocks5Version);
            request.Byte(cCommandConnect);
            request.Byte(0);
            const std::vector<uint8_t> address = LiteralAddressBytes(TargetServer());
            if (address.empty()) {
                request.Byte(cAddressName);
                request.ShortText(TargetServer(), cHostNameTooLong);
            } else {
                request.Byte(address.size() == 16 ? cAddressIPv6 : cAddressIPv4);
                request.Bytes(address);
            }
            request.Port(TargetPort());
            break;
        }
        default:
            ClAssert(false, "clSocks", 547);
    }
    return request.Take();
}

bool TclSocks5NetworkStream::ParseReply(const std::vector<uint8_t>& AReply) {
    switch (State()) {
        case csHello:
            return ParseMethodReply(AReply);
        case csAuthenticate:
            return ParseAuthenticationReply(AReply);
        case csCommand:
            return ParseConnectReply(AReply);
        default:
            ClAssert(false, "clSocks", 650);
            return false;
    }
}

bool TclSocks5NetworkStream::ParseMethodReply(const std::vector<uint8_t>& AReply) {
    if (AReply.size() < 2) {
        SetNextAction(saRead);
        return false;
    }
    if (AReply[0] == cSocks5Version && AReply[1] == cMethodNone) {
        SetState(csCommand);
    } else if (AReply[0] == cSocks5Version && AReply[1] == cMethodUserName && !UserName().empty()) {
        SetState(csAuthenticate);
    } else {
        // Also a proxy that wants a user name when none was offered.
        RaiseSocksError(cNoAcceptableMethods, AReply[1]);
    }
    SetNextAction(saWrite);
    return true;
}

bool TclSocks5NetworkStream::ParseAuthenticationReply(const std::vector<uint8_t>& AReply) {
    if (AReply.size() < 2) {
        SetNextAction(saRead);
        return false;
    }
    if (AReply[0] != cUserNameVersion || AReply[1] != 0) {
        RaiseSocksError(cAuthenticationFailed, AReply[1]);
    }
    SetState(csCommand);
    SetNextAction(saWrite);
    return true;
}

// Version, code, reserved, address type, the bound address and port. The
// reply is read to its exact length, which its address type gives, so no
// byte of the tunnel is taken for it.
bool TclSocks5NetworkStream::ParseConnectReply(const std::vector<uint8_t>& AReply) {
    if (AReply.size() >= 2 && (AReply[0] != cSocks5Version || AReply[1] != 0)) {
        RaiseSocksError(Socks5ReplyText(AReply[1]), AReply[1]);
    }
    if (AReply.size() >= 5) {
        switch (AReply[3]) {
            case cAddressIPv4:
                FBytesToRead = 4 + 4 + 2;
                break;
            case cAddressIPv6:
                FBytesToRead = 4 + 16 + 2;
                break;
            case cAddressName:
                FBytesToRead = 4 + 1 + AReply[4] + 2;
                break;
            default:
                RaiseSocksError(cUnknownBoundAddress, cSocksInvalidReply);
        }
    }
    if (AReply.size() < static_cast<size_t>(GetReplySize())) {
        SetNextAction(saRead);
        return false;
    }
    FBytesToRead = 0;
    TunnelOpened();
    return true;
}

}  // namespace cl
