// One transfer of the internet library: an easy handle in a multi handle of
// its own, driven by the thread that makes the call. A send runs it until
// the final header block is in, a read until bytes are buffered; the body
// goes through the ring, or is gathered whole for listings.
//
// clWinInetTransfer.cpp sets it up, starts, drives and reads it and maps its
// failures; clWinInetTransferCallbacks.cpp holds libcurl's callbacks (header
// lines, body pieces, sockets).
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/clWinInetCookies.h"
#include "engine/clWinInetHandles.h"
#include "engine/clWinInetRing.h"
#include "engine/clWinInetTls.h"

namespace cl::wininet {

struct TCurlEasyDeleter {
    void operator()(CURL* AEasy) const { curl_easy_cleanup(AEasy); }
};
struct TCurlMultiDeleter {
    void operator()(CURLM* AMulti) const { curl_multi_cleanup(AMulti); }
};
struct TSlistDeleter {
    void operator()(curl_slist* AList) const { curl_slist_free_all(AList); }
};
using TSlistPtr = std::unique_ptr<curl_slist, TSlistDeleter>;

constexpr size_t kRingCapacity = 256 * 1024;
constexpr size_t kResumeRoom = 64 * 1024;
constexpr size_t kMaxListing = 16 * 1024 * 1024;
constexpr long kMaxRedirects = 10;
// What is left of a body closed unread is read and dropped when it is at
// most this many bytes and comes within kDrainMs: the connection then goes
// back to the cache for the next request (an information request's, say).
constexpr curl_off_t kMaxDrain = 256 * 1024;
constexpr int kDrainMs = 100;

// The storage of the transfers' rings, kept across transfers.
TclBufferPool& RingPool();

enum class TDrive { Ready, WouldBlock, Closed };

class TTransfer {
public:
    TTransfer(THandle& AOwner, bool AIsFtp)
        : FOwner(AOwner), FIsFtp(AIsFtp), FEasy(curl_easy_init()), FMulti(curl_multi_init()) {}
    ~TTransfer() {
        Detach();
        ReleaseSlot();
    }
    TTransfer(const TTransfer&) = delete;
    TTransfer& operator=(const TTransfer&) = delete;

    CURL* Easy() const { return FEasy.get(); }
    // False when libcurl could not make its handles (no memory).
    bool Valid() const { return FEasy && FMulti; }
    void Wake() {
        if (FMulti) curl_multi_wakeup(FMulti.get());
    }

    // Common options; the caller adds the protocol's own before Start.
    // False (with the last error) when no easy handle can be made.
    bool Prepare(const std::string& AUrl, TRoot& ARoot, const std::string& AScheme, const std::string& AHost);
    // TLS settings for an https URL.
    void PrepareTls(const std::string& AHost);
    void SetHeaders(curl_slist* AList);
    void SetQuote(curl_slist* AList);
    // Cookies for this transfer, from the process-wide store and back to it.
    void UseCookies();
    // The body is gathered whole (listings) instead of going through the ring.
    void CollectBody() { FCollect = true; }
    const std::string& Collected() const { return FCollected; }

    // Starts the transfer, waiting for a free connection slot of AServer.
    bool Start(const std::string& AServer, bool AHasCredentials, bool AHasProxyCredentials);

    bool Started() const { return FAttached || FDone; }
    bool Done() const { return FDone; }
    bool HeadersDone() const { return FHeadersDone; }
    bool BodyStarted() const { return FBodyStarted; }
    const std::string& RawHeaders() const { return FRawHeaders; }
    int Status() const { return FStatus; }

    // Runs the transfer until APredicate holds or it ends; without
    // ABlocking one round only.
    template <class P>
    TDrive Drive(bool ABlocking, P APredicate) {
        for (;;) {
            if (FOwner.IsClosed()) return TDrive::Closed;
            if (FDone || APredicate()) return TDrive::Ready;
            int running = 0;
            curl_multi_perform(FMulti.get(), &running);
            CollectResult();
            if (FOwner.IsClosed()) return TDrive::Closed;
            if (FDone || APredicate()) return TDrive::Ready;
            if (!ABlocking) return TDrive::WouldBlock;
            curl_multi_poll(FMulti.get(), nullptr, 0, 1000, nullptr);
        }
    }

    // The failure of a finished transfer as a library code (setting the
    // thread's last response text for server refusals).
    uint32_t FailureCode() const;
    bool Succeeded() const { return FDone && FResult == CURLE_OK; }

    // Reads up to ACount body bytes; see InternetReadFile.
    bool Read(uint8_t* ABuffer, uint32_t ACount, uint32_t* ARead, bool ABlocking);
    // Takes in what the network has sent while the ring has room.
    void ReadAhead();
    // Waits for bytes on this thread; see InternetReadFileUntil.
    bool ReadUntil(uint8_t* ABuffer, uint32_t ACount, uint32_t* ARead, int AWakeFd, int ATimeOutMs);

    curl_off_t ContentLength() const;
    // Any thread: where the last Start stands with the connection limit.
    TclConnectionWait ConnectionWait() const {
        // The time is stored before the flag drops, and read after it.
        TclConnectionWait wait;
        wait.Waiting = FWaitingForSlot.load(std::memory_order_acquire);
        wait.InUseSince = std::chrono::steady_clock::time_point(
            std::chrono::steady_clock::duration(FSlotTakenAt.load(std::memory_order_acquire)));
        return wait;
    }

    // Before a request nobody reads any more is closed: reads what is left
    // of a small body, unannounced, so that its connection can be kept.
    void DrainForReuse();

private:
    void Detach();
    void ReleaseSlot();
    void Resume();
    void CollectResult();

    void Notify(uint32_t AStatus, const std::string& AText) const;
    void NotifyCount(uint32_t AStatus, uint32_t ACount) const;

    // --- header lines and body pieces (clWinInetTransferCallbacks.cpp) ---
    void FinishHeaders(const std::string& ABlock);
    bool BlockHas(const char* AName) const;
    // Whether libcurl will answer this header block itself (continue, follow
    // a redirection, answer a challenge) so that another block follows.
    bool BlockIsFinal();
    void HttpHeaderLine(std::string_view ALine);
    // FTP server replies: the last complete one is kept for error texts.
    void FtpResponseLine(std::string_view ALine);

    static size_t HeaderCallback(char* AData, size_t ASize, size_t ACount, void* AUser);
    static size_t WriteCallback(char* AData, size_t ASize, size_t ACount, void* AUser);
    static curl_socket_t OpenSocketCallback(void* AUser, curlsocktype, curl_sockaddr* AAddress);
    static int PrereqCallback(void* AUser, char* AServerIp, char*, int, int);

    THandle& FOwner;
    bool FCookieEngine = false;
    // The jar of this easy handle against the process-wide store.
    TCookieSync FCookieSync;
    const bool FIsFtp;
    // Borrowed for the easy handle below, which must go first.
    TSharePool::TLease FShare;
    std::unique_ptr<CURL, TCurlEasyDeleter> FEasy;
    std::unique_ptr<CURLM, TCurlMultiDeleter> FMulti;
    TSlistPtr FHeaderList;
    TSlistPtr FQuoteList;
    TSlistPtr FConnectTo;
    std::shared_ptr<TTlsState> FTls;
    char FErrorBuffer[CURL_ERROR_SIZE] = {0};
    bool FAttached = false;
    std::string FSlot;
    std::atomic<bool> FWaitingForSlot{false};
    std::atomic<std::chrono::steady_clock::rep> FSlotTakenAt{0};

    TRing FRing{RingPool()};
    // The buffer of the read in progress, filled while the ring is empty.
    struct TDirectTarget {
        uint8_t* Data = nullptr;
        size_t Room = 0;
        size_t Got = 0;
    };
    TDirectTarget FDirect;
    bool FPaused = false;
    // Whether the body was asked for (a read, or a read ahead).
    bool FBodyWanted = false;
    bool FCollect = false;
    // The body is being drained: bytes are dropped, nothing is announced.
    bool FDraining = false;
    std::string FCollected;
    bool FDone = false;
    CURLcode FResult = CURLE_OK;

    bool FHeadersDone = false;
    bool FBodyStarted = false;
    std::string FBlock;
    std::string FRawHeaders;
    int FStatus = 0;
    long FRedirects = 0;
    bool FHasCredentials = false;
    bool FHasProxyCredentials = false;
    bool FAuthAnswered = false;
    bool FProxyAuthAnswered = false;

    std::string FLastResponse;
    std::string FPendingResponse;
    // Why the last socket could not be made (0: it could).
    int FSocketErrno = 0;
};

// A handle that runs a transfer: a request, an FTP file, or an FTP exchange
// of its own below a connection.
class TTransferHandle : public THandle {
public:
    TTransferHandle(THandleKind AKind, std::shared_ptr<THandle> AParent, uintptr_t AContext, bool AIsFtp)
        : THandle(AKind, std::move(AParent), AContext), Transfer(*this, AIsFtp) {}
    TConnect& Connect() const { return static_cast<TConnect&>(*Parent()); }
    TTransfer Transfer;

protected:
    void Wake() override { Transfer.Wake(); }
};

}  // namespace cl::wininet
