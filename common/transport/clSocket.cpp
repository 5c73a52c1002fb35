#include "transport/clSocket.h"

#include <netinet/in.h>
#include <poll.h>

#include <algorithm>
#include <chrono>

#include "rtl/clTranslator.h"
#include "rtl/clStrUtils.h"

namespace cl {

namespace {

// Text and port of a socket-address record.
void AddressInfo(const sockaddr_storage& AAddr, std::string& AIP, int& APort) {
    if (AAddr.ss_family == AF_INET) {
        const auto& addr = reinterpret_cast<const sockaddr_in&>(AAddr);
        AIP = TclIPAddress4::AddrToStr(addr.sin_addr);
        APort = ntohs(addr.sin_port);
    } else if (AAddr.ss_family == AF_INET6) {
        const auto& addr = reinterpret_cast<const sockaddr_in6&>(AAddr);
        AIP = TclIPAddress6::AddrToStr(addr.sin6_addr);
        APort = ntohs(addr.sin6_port);
    } else {
        AIP.clear();
        APort = 0;
    }
}

// Restores IsReadUntilClose when Open or OpenSession ends, also by an exception.
class TReadUntilCloseGuard {
public:
    explicit TReadUntilCloseGuard(TclTcpConnection& AConnection)
        : FConnection(AConnection), FSaved(AConnection.IsReadUntilClose()) {
        FConnection.SetIsReadUntilClose(false);
    }
    ~TReadUntilCloseGuard() { FConnection.SetIsReadUntilClose(FSaved); }

private:
    TclTcpConnection& FConnection;
    bool FSaved;
};

}  // namespace

// ---- TclSocket ----

TclSocket::~TclSocket() {
    try {
        Close();
    } catch (...) {
    }
}

void TclSocket::Close() {
    if (FSocket != INVALID_SOCKET) {
        const TSocket s = FSocket;
        FSocket = INVALID_SOCKET;
        FAddressFamily = 0;
        ClShutdown(s, SHUT_RDWR);
        if (ClCloseSocket(s) != 0) {
            RaiseLastSocketError();
        }
    }
    FAddressFamily = 0;
}

void TclSocket::SetSocket(TSocket ASocket, int AAddressFamily) {
    FSocket = ASocket;
    FAddressFamily = AAddressFamily;
}

// ---- TclNetworkStream ----

TclConnection& TclNetworkStream::RequireConnection() const {
    ClAssert(FConnection != nullptr, "clSocket", 1104);
    return *FConnection;
}

void TclNetworkStream::Assign(const TclNetworkStream& ASource) {
    FPeerIP = ASource.FPeerIP;
    FPeerPort = ASource.FPeerPort;
    FIP = ASource.FIP;
    FPort = ASource.FPort;
    FHasReadData = ASource.FHasReadData;
}

void TclNetworkStream::SetPeerInfo(const std::string& AIP, int APort) {
    FPeerIP = AIP;
    FPeerPort = APort;
}

void TclNetworkStream::SetLocalInfo(const std::string& AIP, int APort) {
    FIP = AIP;
    FPort = APort;
}

void TclNetworkStream::SetNextAction(TclNetworkStreamAction AAction) {
    if (FNextAction == saNone) {
        FNextAction = AAction;
    }
}

bool TclNetworkStream::NeedStop() { return RequireConnection().IsAborted() || IsProceedLimit(); }

bool TclNetworkStream::Connect(TclIPAddress& AAddr, int APort) {
    TclConnection& connection = RequireConnection();
    FNeedClose = false;
    ClearNextAction();
    InitClientSession();
    CreateEndPoint(AAddr, APort);
    const int rc = ClConnect(connection.Socket().Socket(), AAddr.Address(), AAddr.AddressLength());
    if (rc != 0 && WSAGetLastError() != WSAEWOULDBLOCK) {
        RaiseLastSocketError();
    }
    SetPeerInfo(AAddr.ToString(), APort);
    connection.SetAddressInfo(connection.IP(), connection.Port(), FPeerIP, FPeerPort);
    return rc == 0;
}

void TclNetworkStream::ConnectEnd() {
    TclConnection& connection = RequireConnection();
    sockaddr_storage addr;
    if (ClGetSockName(connection.Socket().Socket(), addr) != 0) {
        RaiseLastSocketError();
    }
    AddressInfo(addr, FIP, FPort);
    connection.SetAddressInfo(FIP, FPort, connection.PeerIP(), connection.PeerPort());
}

void TclNetworkStream::Bind(TclIPAddress& AAddr, int APort) {
    TclConnection& connection = RequireConnection();
    CreateEndPoint(AAddr, APort);
    if (ClBind(connection.Socket().Socket(), AAddr.Address(), AAddr.AddressLength()) != 0) {
        RaiseLastSocketError();
    }
}

void TclNetworkStream::Bind(TclIPAddress& AAddr, int APortBegin, int APortEnd) {
    TclConnection& connection = RequireConnection();
    if (APortBegin < 1 || APortEnd < APortBegin) {
        RaiseSocketError(cInvalidPort);
    }
    for (int port = APortBegin;; ++port) {
        CreateEndPoint(AAddr, port);
        if (ClBind(connection.Socket().Socket(), AAddr.Address(), AAddr.AddressLength()) == 0) {
            return;
        }
        const int error = WSAGetLastError();
        if (port == APortEnd || (error != WSAEADDRINUSE && error != WSAEACCES)) {
            RaiseSocketError(error);
        }
    }
}

void TclNetworkStream::Close(bool) { ClearNextAction(); }

void TclNetworkStream::StreamReady() { RequireConnection().DoReady(); }

int TclNetworkStream::ReadBuf(void* ABuffer, int ALength) {
    return ClRecv(RequireConnection().Socket().Socket(), ABuffer, ALength);
}

int TclNetworkStream::WriteBuf(const void* ABuffer, int ALength) {
    return ClSend(RequireConnection().Socket().Socket(), ABuffer, ALength);
}

void TclNetworkStream::BandwidthPause(int ABytes) {
    const int bitsPerSec = RequireConnection().BitsPerSec();
    if (bitsPerSec <= 0 || ABytes <= 0) {
        return;
    }
    const int64_t ms = static_cast<int64_t>(ABytes) * 8000 / bitsPerSec;
    if (ms > 0) {
        TclMessagePump::Current()->Sleep(static_cast<int>(std::min<int64_t>(ms, INT32_MAX)));
    }
}

bool TclNetworkStream::Read(TStream* AData) {
    ClearNextAction();
    if (!AData) {
        return true;
    }
    do {
        const int batch = ReceiveSize();
        if (batch <= 0) {
            break;
        }
        if (FBuffer.size() < static_cast<size_t>(batch)) {
            FBuffer.resize(static_cast<size_t>(batch));
        }
        const int received = ReceiveBatch(FBuffer.data(), batch);
        if (received < 0) {
            return false;
        }
        if (received == 0) {
            break;
        }
        AData->WriteBuffer(FBuffer.data(), received);
        UpdateProgress(received);
    } while (!NeedStop());
    return true;
}

int TclNetworkStream::ReceiveSize() {
    constexpr int kReceiveBlock = 64 * 1024;
    const int batch = GetReadBatchSize();
    const TclConnection& connection = RequireConnection();
    if (batch <= 0 || connection.BytesToProceed() >= 0 || connection.BitsPerSec() > 0) {
        return batch;
    }
    return std::max(batch, kReceiveBlock);
}

int TclNetworkStream::ReceiveBatch(uint8_t* ABuffer, int ALength) {
    const int received = ClRecv(RequireConnection().Socket().Socket(), ABuffer, ALength);
    const int error = received < 0 ? WSAGetLastError() : 0;
    BandwidthPause(ALength);
    if (received < 0) {
        if (error == WSAEWOULDBLOCK) {
            return -1;
        }
        RaiseSocketError(error);
    }
    if (received == 0) {
        FNeedClose = true;
    }
    return received;
}

bool TclNetworkStream::Write(TStream* AData) {
    ClearNextAction();
    if (!AData) {
        return true;
    }
    const int64_t size = AData->GetSize();
    if (AData->GetPosition() >= size) {
        return true;
    }
    TclConnection& connection = RequireConnection();
    do {
        const int batch = GetWriteBatchSize();
        const int64_t left = size - AData->GetPosition();
        const int count = static_cast<int>(std::min<int64_t>(batch, left));
        if (count <= 0) {
            break;
        }
        if (FBuffer.size() < static_cast<size_t>(count)) {
            FBuffer.resize(static_cast<size_t>(count));
        }
        AData->ReadBuffer(FBuffer.data(), count);
        const int sent = ClSend(connection.Socket().Socket(), FBuffer.data(), count);
        const int error = sent < 0 ? WSAGetLastError() : 0;
        BandwidthPause(count);
        if (sent < 0) {
            AData->Seek(-count, soCurrent);
            if (error == WSAEWOULDBLOCK) {
                return false;
            }
            RaiseSocketError(error);
        }
        if (sent < count) {
            AData->Seek(sent - count, soCurrent);
        }
        UpdateProgress(sent);
    } while (AData->GetPosition() < size && !NeedStop());
    return true;
}

int TclNetworkStream::GetBatchSize() {
    TclConnection& connection = RequireConnection();
    const int batchSize = connection.BatchSize();
    if (batchSize < 1) {
        RaiseSocketError(cInvalidBatchSize);
    }
    const int64_t limit = connection.BytesToProceed();
    if (limit >= 0 && limit - FBytesProceed < batchSize) {
        // At or past the limit nothing more is moved.
        return static_cast<int>(std::max<int64_t>(limit - FBytesProceed, 0));
    }
    return batchSize;
}

bool TclNetworkStream::IsProceedLimit() {
    const int64_t limit = RequireConnection().BytesToProceed();
    return limit >= 0 && FBytesProceed >= limit;
}

void TclNetworkStream::UpdateProgress(int64_t ABytesProceed) {
    FBytesProceed += ABytesProceed;
    RequireConnection().AddProgress(ABytesProceed);
}

// ---- TclConnection ----

TclConnection::TclConnection() = default;

TclConnection::~TclConnection() {
    try {
        Close(false);
    } catch (...) {
    }
    try {
        CleanUp();
    } catch (...) {
    }
}

TclNetworkStream& TclConnection::NetworkStream() const {
    if (!FNetworkStream) {
        RaiseSocketError(cNetworkStreamRequired);
    }
    return *FNetworkStream;
}

void TclConnection::SetNetworkStream(std::unique_ptr<TclNetworkStream> AStream) {
    if (AStream && FNetworkStream) {
        AStream->Assign(*FNetworkStream);
    }
    FNetworkStream = std::move(AStream);
    if (FNetworkStream) {
        FNetworkStream->SetConnection(this);
    }
}

void TclConnection::CleanUp() {
    FNetworkStream.reset();
    FSocket.Close();
}

void TclConnection::DoProgress(int64_t ABytesProceed, int64_t ATotalBytes) {
    if (OnProgress) {
        OnProgress(this, ABytesProceed, ATotalBytes);
    }
}

void TclConnection::DoReady() {
    if (OnReady) {
        OnReady(this);
    }
}

void TclConnection::Close(bool ANotifyPeer) {
    TclNetworkStreamAction pending = saNone;
    try {
        CloseSession(ANotifyPeer);
        if (FActive && FNetworkStream) {
            pending = FNetworkStream->NextAction();
        }
    } catch (...) {
        CloseEnd();
        throw;
    }
    // A close notification still under way keeps the connection open, unless
    // the connection was aborted: then nobody will finish it.
    if (!ANotifyPeer || pending == saNone || IsAborted()) {
        CloseEnd();
    }
}

void TclConnection::Abort() { SetAborted(); }

void TclConnection::CreateSocket(int AAddrFamily, int AType, int AProtocol) {
    ClearAborted();
    ClAssert(FSocket.Socket() == INVALID_SOCKET, "clSocket", 508);
    const TSocket s = ClSocket(AAddrFamily, AType, AProtocol);
    if (s == INVALID_SOCKET) {
        RaiseLastSocketError();
    }
    FSocket.SetSocket(s, AAddrFamily);
}

void TclConnection::InitProgress(int64_t ABytesProceed, int64_t ATotalBytes) {
    FTotalBytesProceed = ABytesProceed;
    NetworkStream().InitProgress();
    FTotalBytes = ATotalBytes;
}

void TclConnection::CloseEnd() {
    FActive = false;
    FSocket.Close();
}

void TclConnection::CloseSession(bool ANotifyPeer) {
    if (FActive) {
        NetworkStream().Close(ANotifyPeer);
        if (ANotifyPeer) {
            DispatchNextAction();
        }
    }
}

void TclConnection::AddProgress(int64_t ABytesProceed) {
    FTotalBytesProceed += ABytesProceed;
    DoProgress(FTotalBytesProceed, FTotalBytes);
}

void TclConnection::SetAddressInfo(const std::string& AIP, int APort, const std::string& APeerIP, int APeerPort) {
    FIP = AIP;
    FPort = APort;
    FPeerIP = APeerIP;
    FPeerPort = APeerPort;
}

// ---- TclSyncConnection ----

TclSyncConnection::TclSyncConnection() = default;

int64_t TclSyncConnection::GetTickCount() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void TclSyncConnection::Abort() {
    TclConnection::Abort();
    FAbortEvent.Signal();
}

bool TclSyncConnection::WaitForEvent(int AWanted, int64_t AStartTicks, int ATimeOut, TclNetworkEvents& AEvents) {
    AEvents = TclNetworkEvents{};
    const TSocket s = Socket().Socket();
    TclWaitFd fd{s, 0, 0};
    if (AWanted & FD_READ) {
        fd.Events |= POLLIN;
    }
    if (AWanted & (FD_WRITE | FD_CONNECT)) {
        fd.Events |= POLLOUT;
    }
    if (AWanted & FD_CLOSE) {
        fd.Events |= POLLRDHUP;
    }
    switch (TclMessagePump::Current()->WaitFor(std::span<TclWaitFd>(&fd, 1), &FAbortEvent, ATimeOut)) {
        case TclWaitResult::wrTimeOut:
            RaiseSocketError(cTimeoutOccured);
        case TclWaitResult::wrAbort:
            return false;
        case TclWaitResult::wrMessage:
            if (ATimeOut != -1 && GetTickCount() - AStartTicks > ATimeOut) {
                RaiseSocketError(cTimeoutOccured);
            }
            return false;
        case TclWaitResult::wrReady:
            break;
    }
    const short ready = fd.REvents;
    if (AWanted & FD_CONNECT) {
        AEvents.Events |= FD_CONNECT;
        AEvents.ConnectError = ClSocketError(s);
        return true;
    }
    // A pending error or hang-up is left for recv to report on the read side,
    // so that data received before it is still delivered.
    if ((AWanted & FD_READ) && (ready & (POLLIN | POLLERR | POLLHUP))) {
        AEvents.Events |= FD_READ;
    }
    if ((AWanted & FD_WRITE) && (ready & POLLOUT)) {
        AEvents.Events |= FD_WRITE;
    }
    if ((AWanted & FD_CLOSE) && (ready & (POLLRDHUP | POLLERR | POLLHUP))) {
        AEvents.Events |= FD_CLOSE;
        if (ready & (POLLERR | POLLHUP)) {
            AEvents.CloseError = ClSocketError(s);
        }
    }
    return true;
}

void TclSyncConnection::WriteString(const std::string& AString, const std::string& ACharSet) {
    TMemoryStream data;
    data.WriteBuffer(TclTranslator::GetBytes(AString, ACharSet));
    data.SetPosition(0);
    WriteData(&data);
    // A write cut short by an abort, a read limit or the peer's close.
    ClAssert(data.GetPosition() >= data.GetSize(), "clSocket", 857);
}

void TclSyncConnection::WriteBytes(const std::vector<uint8_t>& AData) {
    TMemoryStream data;
    data.WriteBuffer(AData);
    data.SetPosition(0);
    WriteData(&data);
    ClAssert(data.GetPosition() >= data.GetSize(), "clSocket", 836);
}

std::string TclSyncConnection::ReadString(const std::string& ACharSet) {
    const std::vector<uint8_t> bytes = ReadBytes();
    if (bytes.empty()) {
        return std::string();
    }
    return TclTranslator::GetString(bytes, ACharSet);
}

std::vector<uint8_t> TclSyncConnection::ReadBytes() {
    InitProgress(0, 0);
    TMemoryStream data;
    ReadData(&data);
    return data.Bytes();
}

// ---- TclTcpConnection ----

bool TclTcpConnection::ReadData(TStream* AData) {
    InternalReadData(AData);
    // The layer's wishes are served until it has none; an abort ends that
    // too, and so does a reached read limit: the layer's wish to read on (a
    // TLS record begun past the limit) waits for the next read, which would
    // otherwise find a batch of 0 and ask again forever.
    while (!IsAborted()) {
        const TclNetworkStreamAction action = NetworkStream().NextAction();
        if (action == saRead) {
            if (AData && BytesToProceed() >= 0 && NetworkStream().BytesProceed() >= BytesToProceed()) break;
            InternalReadData(AData);
        } else if (action == saWrite) {
            WriteData(nullptr);
        } else {
            break;
        }
    }
    return true;
}

bool TclTcpConnection::WriteData(TStream* AData) {
    InternalWriteData(AData);
    while (!IsAborted()) {
        const TclNetworkStreamAction action = NetworkStream().NextAction();
        if (action == saRead) {
            ReadData(nullptr);
        } else if (action == saWrite) {
            InternalWriteData(nullptr);
        } else {
            break;
        }
    }
    return true;
}

void TclTcpConnection::DispatchNextAction() {
    const TclNetworkStreamAction action = NetworkStream().NextAction();
    if (action == saRead) {
        ReadData(nullptr);
    } else if (action == saWrite) {
        WriteData(nullptr);
    }
}

void TclTcpConnection::InternalReadData(TStream* AData) {
    RestartTimeOut();
    TclNetworkStream& stream = NetworkStream();
    if (stream.HasReadData()) {
        stream.SetHasReadData(false);
        stream.Read(AData);
        if (stream.NeedClose()) {
            Close(false);
            return;
        }
        if (!(IsReadUntilClose() && Active())) {
            if (!Active()) {
                stream.ClearNextAction();
            }
            return;
        }
    }
    for (;;) {
        if (!Active()) {
            RaiseSocketError(WSAENOTSOCK);
        }
        TclNetworkEvents events;
        if (WaitForEvent(FD_READ, TimeOutTicks(), TimeOut(), events)) {
            if (events.Events & FD_READ) {
                stream.Read(AData);
                // The peer's close is seen when a receive returns 0, that is
                // once everything it sent has been taken; data held back by a
                // read limit stays readable.
                if (stream.NeedClose()) {
                    Close(false);
                    return;
                }
                if (!IsReadUntilClose()) {
                    return;
                }
                RestartTimeOut();
            }
        }
        if (stream.NeedStop()) {
            return;
        }
    }
}

void TclTcpConnection::InternalWriteData(TStream* AData) {
    RestartTimeOut();
    TclNetworkStream& stream = NetworkStream();
    if (stream.Write(AData)) {
        return;
    }
    // Incoming data is noted once; after that only writability and the
    // peer's close are waited for, or a readable socket would wake every turn.
    bool readSeen = stream.HasReadData();
    for (;;) {
        TclNetworkEvents events;
        const int wanted = FD_WRITE | FD_CLOSE | (readSeen ? 0 : FD_READ);
        if (WaitForEvent(wanted, TimeOutTicks(), TimeOut(), events)) {
            if (events.Events & FD_READ) {
                stream.SetHasReadData(true);
                readSeen = true;
            }
            if (events.Events & FD_WRITE) {
                RestartTimeOut();
                if (stream.Write(AData)) {
                    return;
                }
            }
            if (events.Events & FD_CLOSE) {
                if (events.CloseError != 0) {
                    RaiseSocketError(events.CloseError);
                }
                Close(false);
                return;
            }
        }
        if (stream.NeedStop()) {
            return;
        }
    }
}

// ---- TclTcpClientConnection ----

void TclTcpClientConnection::Open(const std::string& AIP, int APort) {
    std::unique_ptr<TclIPAddress> addr = TclIPAddress::CreateIpAddress(AIP);
    TReadUntilCloseGuard guard(*this);
    CreateSocket(addr->AddressFamily(), SOCK_STREAM, IPPROTO_TCP);
    // An abort signalled before this connection existed is not for it.
    AbortEvent().TryReset();
    TclNetworkStream& stream = NetworkStream();
    const std::string binding = Trim(LocalBinding());
    if (!binding.empty()) {
        std::unique_ptr<TclIPAddress> local = TclIPAddress::CreateBindingIpAddress(binding, addr->AddressFamily());
        stream.Bind(*local, 0);
    }
    if (!stream.Connect(*addr, APort)) {
        RestartTimeOut();
        do {
            TclNetworkEvents events;
            if (WaitForEvent(FD_CONNECT, TimeOutTicks(), TimeOut(), events) && (events.Events & FD_CONNECT)) {
                if (events.ConnectError != 0) {
                    RaiseSocketError(events.ConnectError);
                }
                break;
            }
        } while (!IsAborted());
    }
    if (IsAborted()) {
        Close(false);
        return;
    }
    SetActive(true);
    DispatchNextAction();
    if (!Active()) {
        RaiseSocketError(cConnectionNotActive);
    }
    NetworkStream().ConnectEnd();
    NetworkStream().StreamReady();
}

void TclTcpClientConnection::OpenSession() {
    if (!Active()) {
        RaiseSocketError(cConnectionNotActive);
    }
    TReadUntilCloseGuard guard(*this);
    NetworkStream().InitClientSession();
    if (IsAborted()) {
        Close(false);
    } else {
        DispatchNextAction();
        NetworkStream().StreamReady();
    }
}

}  // namespace cl
