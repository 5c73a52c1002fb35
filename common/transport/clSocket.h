// One TCP connection: the socket handle, the connection family that runs the
// blocking read and write passes (waiting through the thread's message pump),
// and the network stream, the protocol layer that TLS and SOCKS derive from.
// A stream tells its connection what it needs next (read, write or nothing)
// and the connection obeys; handshakes run inside ordinary reads and writes.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "transport/clIpAddress.h"
#include "transport/clMessagePump.h"
#include "transport/clSocketUtils.h"
#include "transport/clWinSock2.h"
#include "rtl/clEvents.h"
#include "rtl/clStreams.h"

namespace cl {

enum TclNetworkStreamAction : uint8_t { saNone = 0, saRead = 1, saWrite = 2 };

class TclConnection;

// An owned socket handle and its address family (0 while closed).
class TclSocket {
public:
    TclSocket() = default;
    virtual ~TclSocket();
    TclSocket(const TclSocket&) = delete;
    TclSocket& operator=(const TclSocket&) = delete;

    // Closes the handle (raising on a failed close, the handle is forgotten anyway).
    virtual void Close();
    virtual void SetSocket(TSocket ASocket, int AAddressFamily);

    TSocket Socket() const { return FSocket; }
    int AddressFamily() const { return FAddressFamily; }

private:
    int FAddressFamily = 0;
    TSocket FSocket = INVALID_SOCKET;
};

// The protocol layer of one connection; this class is plain TCP.
class TclNetworkStream {
public:
    TclNetworkStream() = default;
    virtual ~TclNetworkStream() = default;
    TclNetworkStream(const TclNetworkStream&) = delete;
    TclNetworkStream& operator=(const TclNetworkStream&) = delete;

    TclConnection* Connection() const { return FConnection; }
    TclNetworkStreamAction NextAction() const { return FNextAction; }
    bool HasReadData() const { return FHasReadData; }
    void SetHasReadData(bool AValue) { FHasReadData = AValue; }
    // The peer closed (a receive returned 0) or the layer saw its session end.
    bool NeedClose() const { return FNeedClose; }
    const std::string& PeerIP() const { return FPeerIP; }
    int PeerPort() const { return FPeerPort; }
    const std::string& IP() const { return FIP; }
    int Port() const { return FPort; }
    // Bytes moved since the last InitProgress (a tunnel layer answers for
    // the stream it carries).
    virtual int64_t BytesProceed() const { return FBytesProceed; }

    virtual void SetConnection(TclConnection* AConnection) { FConnection = AConnection; }
    // Takes over the peer and local address and HasReadData of the layer it replaces.
    virtual void Assign(const TclNetworkStream& ASource);
    // Starts connecting the connection's socket; true when it connected at once.
    virtual bool Connect(TclIPAddress& AAddr, int APort);
    // Reads the local address after connecting.
    virtual void ConnectEnd();
    virtual void Bind(TclIPAddress& AAddr, int APort);
    // Binds to the first free port of the range.
    virtual void Bind(TclIPAddress& AAddr, int APortBegin, int APortEnd);
    virtual void Close(bool ANotifyPeer);
    // The session is ready for data: tells the connection (OnReady).
    virtual void StreamReady();
    // Appends what arrives to AData (null: the layer keeps it); false only
    // when the last receive would have blocked.
    virtual bool Read(TStream* AData);
    // Sends AData from its position (null: only what the layer has pending);
    // false only when the last send would have blocked.
    virtual bool Write(TStream* AData);
    // One receive or send call of at most ALength bytes.
    virtual int ReadBuf(void* ABuffer, int ALength);
    virtual int WriteBuf(const void* ABuffer, int ALength);
    virtual int GetReadBatchSize() { return GetBatchSize(); }
    virtual int GetWriteBatchSize() { return GetBatchSize(); }
    virtual bool IsProceedLimit();
    virtual void InitProgress() { FBytesProceed = 0; }
    virtual void UpdateProgress(int64_t ABytesProceed);
    virtual void InitClientSession() {}
    virtual void InitServerSession() {}

    static void CreateEndPoint(TclIPAddress& AAddr, int APort) { AAddr.SetPort(APort); }
    void SetPeerInfo(const std::string& AIP, int APort);
    void ClearNextAction() { FNextAction = saNone; }
    // Takes effect only while no other action is pending.
    void SetNextAction(TclNetworkStreamAction AAction);
    // The connection is aborted or the read limit is reached.
    bool NeedStop();

protected:
    virtual int GetBatchSize();
    void SetNeedClose(bool AValue) { FNeedClose = AValue; }
    // Counts moved bytes without reporting them to the connection.
    void CountBytesProceed(int64_t ABytes) { FBytesProceed += ABytes; }
    void SetLocalInfo(const std::string& AIP, int APort);
    // The connection, asserted to be there.
    TclConnection& RequireConnection() const;
    // Sleeps after a receive or send of ABytes when a bandwidth limit is set.
    void BandwidthPause(int ABytes);
    // One receive call of at most ALength bytes into ABuffer, followed by the
    // bandwidth pause: the count received, 0 when the peer closed (NeedClose
    // is then set) or -1 when the receive would block; other errors raise.
    // The caller reports the count with UpdateProgress once it has the bytes.
    int ReceiveBatch(uint8_t* ABuffer, int ALength);
    // The size of the next receive call: the read batch size where it is
    // observable (a read limit, a bandwidth cap), else at least 64 KiB, so
    // that a large body takes one call where the batch size would take eight.
    int ReceiveSize();

private:
    TclConnection* FConnection = nullptr;
    TclNetworkStreamAction FNextAction = saNone;
    std::string FIP;
    int FPort = 0;
    std::string FPeerIP;
    int FPeerPort = 0;
    bool FHasReadData = false;
    int64_t FBytesProceed = 0;
    bool FNeedClose = false;
    std::vector<uint8_t> FBuffer;  // receive and send buffer, kept across calls
};

class TclConnection : public TObject {
public:
    TclConnection();
    ~TclConnection() override;
    TclConnection(const TclConnection&) = delete;
    TclConnection& operator=(const TclConnection&) = delete;

    // The current layer; "NetworkStream is required" (-5) when there is none.
    TclNetworkStream& NetworkStream() const;
    bool HasNetworkStream() const { return FNetworkStream != nullptr; }
    // Installs a new layer (null removes it). An old and a new layer: the new
    // one takes over the old one's addresses (Assign), then the old one goes.
    void SetNetworkStream(std::unique_ptr<TclNetworkStream> AStream);

    bool IsAborted() const { return FIsAborted.load(std::memory_order_acquire); }
    bool Active() const { return FActive; }
    TclSocket& Socket() { return FSocket; }
    int BatchSize() const { return FBatchSize; }
    void SetBatchSize(int AValue) { FBatchSize = AValue; }
    int BitsPerSec() const { return FBitsPerSec; }
    void SetBitsPerSec(int AValue) { FBitsPerSec = AValue; }
    int64_t BytesProceed() const { return FTotalBytesProceed; }
    int64_t BytesToProceed() const { return FBytesToProceed; }
    void SetBytesToProceed(int64_t AValue) { FBytesToProceed = AValue; }
    const std::string& IP() const { return FIP; }
    int Port() const { return FPort; }
    const std::string& PeerIP() const { return FPeerIP; }
    int PeerPort() const { return FPeerPort; }

    TclProgressEvent OnProgress;
    TNotifyEvent OnReady;

    virtual void CleanUp();
    virtual void DoProgress(int64_t ABytesProceed, int64_t ATotalBytes);
    virtual void DoReady();
    virtual void Close(bool ANotifyPeer);
    virtual bool ReadData(TStream* AData) = 0;
    virtual bool WriteData(TStream* AData) = 0;
    virtual void DispatchNextAction() {}
    // Any thread: the waiting pass returns at its next turn.
    virtual void Abort();

    void CreateSocket(int AAddrFamily, int AType, int AProtocol);
    void InitProgress(int64_t ABytesProceed, int64_t ATotalBytes);
    // Marks the connection inactive and closes the socket.
    void CloseEnd();
    void CloseSession(bool ANotifyPeer);
    int ReadBuf(void* ABuffer, int ALength) { return NetworkStream().ReadBuf(ABuffer, ALength); }
    int WriteBuf(const void* ABuffer, int ALength) { return NetworkStream().WriteBuf(ABuffer, ALength); }
    void AddProgress(int64_t ABytesProceed);

    // Set by the layers when they learn the addresses.
    void SetAddressInfo(const std::string& AIP, int APort, const std::string& APeerIP, int APeerPort);

protected:
    void SetActive(bool AValue) { FActive = AValue; }
    void ClearAborted() { FIsAborted.store(false, std::memory_order_release); }
    void SetAborted() { FIsAborted.store(true, std::memory_order_release); }

private:
    TclSocket FSocket;
    int FBatchSize = 8192;
    int FBitsPerSec = 0;
    std::atomic<bool> FIsAborted{false};
    std::unique_ptr<TclNetworkStream> FNetworkStream;
    bool FActive = false;
    int64_t FTotalBytesProceed = 0;
    int64_t FTotalBytes = 0;
    int64_t FBytesToProceed = -1;
    std::string FIP;
    int FPort = 0;
    std::string FPeerIP;
    int FPeerPort = 0;
};

// What one wait on the socket reported: FD_READ, FD_WRITE, FD_CONNECT,
// FD_CLOSE, each with its error code (a socket library number or 0).
struct TclNetworkEvents {
    int Events = 0;
    int ReadError = 0;
    int WriteError = 0;
    int ConnectError = 0;
    int CloseError = 0;
};

// A connection whose passes block the calling thread, pumping its messages,
// with an inactivity time-out.
class TclSyncConnection : public TclConnection {
public:
    TclSyncConnection();

    int TimeOut() const { return FTimeOut; }
    void SetTimeOut(int AValue) { FTimeOut = AValue; }
    const std::string& LocalBinding() const { return FLocalBinding; }
    void SetLocalBinding(const std::string& AValue) { FLocalBinding = AValue; }
    TclEvent& AbortEvent() { return FAbortEvent; }

    void Abort() override;

    void WriteString(const std::string& AString, const std::string& ACharSet = std::string());
    std::string ReadString(const std::string& ACharSet = std::string());
    void WriteBytes(const std::vector<uint8_t>& AData);
    std::vector<uint8_t> ReadBytes();

    // Waits until the socket reports one of AWanted (FD_ bits), the abort
    // event, or a pumped message. True only for the socket; AEvents then
    // holds what happened. "Timeout error occured" (-1) when ATimeOut ms pass
    // without a wake-up, or when a message wakes the thread more than
    // ATimeOut ms after AStartTicks. ATimeOut -1 never times out.
    bool WaitForEvent(int AWanted, int64_t AStartTicks, int ATimeOut, TclNetworkEvents& AEvents);

    // Milliseconds of a steady clock; the time-out is measured from these.
    static int64_t GetTickCount();

protected:
    void RestartTimeOut() { FTimeOutTicks = GetTickCount(); }
    int64_t TimeOutTicks() const { return FTimeOutTicks; }

private:
    int FTimeOut = 5000;
    TclEvent FAbortEvent;
    int64_t FTimeOutTicks = 0;
    std::string FLocalBinding;
};

class TclTcpConnection : public TclSyncConnection {
public:
    bool IsReadUntilClose() const { return FIsReadUntilClose; }
    void SetIsReadUntilClose(bool AValue) { FIsReadUntilClose = AValue; }

    bool ReadData(TStream* AData) override;
    bool WriteData(TStream* AData) override;
    void DispatchNextAction() override;

protected:
    void InternalReadData(TStream* AData);
    void InternalWriteData(TStream* AData);

private:
    bool FIsReadUntilClose = false;
};

class TclTcpClientConnection : public TclTcpConnection {
public:
    // Connects to the address literal AIP and runs the layer's handshake.
    void Open(const std::string& AIP, int APort);
    // Starts the client session of a layer installed on the open socket.
    void OpenSession();
};

}  // namespace cl
