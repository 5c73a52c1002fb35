// Sets up, starts, drives and reads one transfer of the internet library,
// and maps how it ended to the library's error codes.
#include "engine/clWinInetTransfer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "engine/clWinInetGlobal.h"
#include "engine/clWinInetProxy.h"

namespace cl::wininet {

TclBufferPool& RingPool() {
    // Never destroyed: a detached worker may still end a transfer while
    // static destructors run. Sixteen idle rings are 4 MiB.
    static TclBufferPool* pool = new TclBufferPool(kRingCapacity, 16);
    return *pool;
}

bool TTransfer::Prepare(const std::string& AUrl, TRoot& ARoot, const std::string& AScheme, const std::string& AHost) {
    Detach();
    ReleaseSlot();
    // A fresh easy handle for every send: a reset one keeps parts of the
    // last transfer's state (its cookie file list).
    FEasy.reset(curl_easy_init());
    if (!Valid()) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    CURL* e = Easy();
    curl_easy_setopt(e, CURLOPT_URL, AUrl.c_str());
    curl_easy_setopt(e, CURLOPT_PRIVATE, this);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    // The server and the TLS settings choose the share: see TSharePool.
    const TOptions& options = FOwner.Options();
    const bool tls = AScheme == "https";
    FShare = ARoot.Shares->Borrow(
        TSharePool::KeyOf(AUrl, tls ? options.SecurityFlags : 0, tls && options.ClientCertificate));
    if (!FShare.Get()) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    curl_easy_setopt(e, CURLOPT_SHARE, FShare.Get());
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 64L * 1024);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &TTransfer::WriteCallback);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &TTransfer::HeaderCallback);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, FErrorBuffer);
    curl_easy_setopt(e, CURLOPT_OPENSOCKETFUNCTION, &TTransfer::OpenSocketCallback);
    curl_easy_setopt(e, CURLOPT_OPENSOCKETDATA, this);
    curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, &TTransfer::PrereqCallback);
    curl_easy_setopt(e, CURLOPT_PREREQDATA, this);
    curl_easy_setopt(e, CURLOPT_USERAGENT, ARoot.Agent.c_str());
    FConnectTo.reset(ConnectToList());
    if (FConnectTo) curl_easy_setopt(e, CURLOPT_CONNECT_TO, FConnectTo.get());
    // Proxies come from the handle only: no environment is read.
    std::string proxy;
    if (ARoot.AccessType == INTERNET_OPEN_TYPE_PROXY && !BypassesProxy(ARoot.ProxyBypass, AHost))
        proxy = ProxyForScheme(ARoot.Proxy, AScheme);
    curl_easy_setopt(e, CURLOPT_PROXY, proxy.c_str());
    if (!options.ProxyUserName.empty() || !options.ProxyPassword.empty()) {
        curl_easy_setopt(e, CURLOPT_PROXYUSERNAME, options.ProxyUserName.c_str());
        curl_easy_setopt(e, CURLOPT_PROXYPASSWORD, options.ProxyPassword.c_str());
        curl_easy_setopt(e, CURLOPT_PROXYAUTH, CURLAUTH_ANY);
    }
    FErrorBuffer[0] = 0;
    return true;
}

void TTransfer::PrepareTls(const std::string& AHost) {
    const TOptions& options = FOwner.Options();
    FTls = std::make_shared<TTlsState>();
    FTls->SecurityFlags = options.SecurityFlags;
    FTls->Host = AHost;
    FTls->ClientCertificate = options.ClientCertificate;
    CURL* e = Easy();
    // The checks are made in the context callback; these two keep
    // connections and sessions of different strictness apart.
    const bool peerChecks =
        !(options.SecurityFlags & (SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                                   SECURITY_FLAG_IGNORE_WRONG_USAGE | SECURITY_FLAG_IGNORE_REVOCATION));
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, peerChecks ? 1L : 0L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST,
                     (options.SecurityFlags & SECURITY_FLAG_IGNORE_CERT_CN_INVALID) ? 0L : 2L);
    // The context callback puts in the process's trust store, built once:
    // libcurl is given no bundle or folder to load for every connection.
    curl_easy_setopt(e, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(e, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, &SslContextSetup);
    curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, &FTls);
    if (options.ClientCertificate) {
        // Connections with and without a certificate must not be mixed.
        curl_easy_setopt(e, CURLOPT_SSL_SESSIONID_CACHE, 0L);
        curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
    }
}

void TTransfer::SetHeaders(curl_slist* AList) {
    FHeaderList.reset(AList);
    curl_easy_setopt(Easy(), CURLOPT_HTTPHEADER, FHeaderList.get());
}

void TTransfer::SetQuote(curl_slist* AList) {
    FQuoteList.reset(AList);
    curl_easy_setopt(Easy(), CURLOPT_QUOTE, FQuoteList.get());
}

void TTransfer::UseCookies() {
    curl_easy_setopt(Easy(), CURLOPT_COOKIEFILE, "");
    FCookieSync = TCookieSync();
    TGlobal::Get().Cookies.Import(Easy(), FCookieSync);
    FCookieEngine = true;
}

bool TTransfer::Start(const std::string& AServer, bool AHasCredentials, bool AHasProxyCredentials) {
    FRing.Clear();
    FCollected.clear();
    FPaused = false;
    FBodyWanted = false;
    FDone = false;
    FResult = CURLE_OK;
    FHeadersDone = false;
    FBodyStarted = false;
    FBlock.clear();
    FRawHeaders.clear();
    FStatus = 0;
    FRedirects = 0;
    FAuthAnswered = false;
    FProxyAuthAnswered = false;
    FHasCredentials = AHasCredentials;
    FHasProxyCredentials = AHasProxyCredentials;
    FLastResponse.clear();
    FPendingResponse.clear();
    FSocketErrno = 0;
    FWaitingForSlot.store(true, std::memory_order_release);
    const bool acquired = TGlobal::Get().Limits.Acquire(AServer, FOwner);
    FSlotTakenAt.store(std::chrono::steady_clock::now().time_since_epoch().count(), std::memory_order_release);
    FWaitingForSlot.store(false, std::memory_order_release);
    if (!acquired) return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
    FSlot = AServer;
    Notify(INTERNET_STATUS_RESOLVING_NAME, AServer);
    if (curl_multi_add_handle(FMulti.get(), Easy()) != CURLM_OK) return Fail(ERROR_INTERNET_INTERNAL_ERROR);
    FAttached = true;
    return true;
}

bool TTransfer::Read(uint8_t* ABuffer, uint32_t ACount, uint32_t* ARead, bool ABlocking) {
    *ARead = 0;
    if (!Started()) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    if (FOwner.IsClosed()) return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
    if (ACount == 0) return true;
    FBodyWanted = true;
    // Bytes that come while the ring is empty go straight into ABuffer (one
    // copy fewer); the ring takes what does not fit, after them.
    FDirect = {ABuffer, ACount, 0};
    struct TDirectEnd {
        TDirectTarget& Direct;
        ~TDirectEnd() { Direct = {}; }
    } directEnd{FDirect};
    const auto have = [this] { return FDirect.Got + FRing.Size(); };
    if (have() < ACount && !FDone) {
        Resume();
        if (Drive(false, [&] { return have() >= ACount; }) == TDrive::Closed)
            return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
        if (have() == 0 && !FDone) {
            if (!ABlocking) return Fail(ERROR_IO_PENDING);
            if (Drive(true, [&] { return have() > 0; }) == TDrive::Closed)
                return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
        }
    }
    if (have() > 0) {
        const size_t direct = FDirect.Got;
        *ARead = static_cast<uint32_t>(direct + FRing.Take(ABuffer + direct, ACount - direct));
        if (FPaused && FRing.Free() >= kResumeRoom) Resume();
        return true;
    }
    if (FResult != CURLE_OK) return Fail(FailureCode());
    return true;  // the end of the body
}

void TTransfer::ReadAhead() {
    if (!Started() || FDone || FCollect || FRing.Free() < kResumeRoom) return;
    FBodyWanted = true;
    Resume();
    Drive(false, [] { return false; });
}

bool TTransfer::ReadUntil(uint8_t* ABuffer, uint32_t ACount, uint32_t* ARead, int AWakeFd, int ATimeOutMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(ATimeOutMs, 0));
    for (;;) {
        if (Read(ABuffer, ACount, ARead, false)) return true;
        if (GetLastError() != ERROR_IO_PENDING) return false;
        int wait = 1000;  // as Drive: a close wakes the poll, the loop looks again
        if (ATimeOutMs >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return Fail(ERROR_IO_PENDING);
            wait = static_cast<int>(std::min<int64_t>(left, wait));
        }
        curl_waitfd wake{AWakeFd, CURL_WAIT_POLLIN, 0};
        curl_multi_poll(FMulti.get(), &wake, 1, wait, nullptr);
        if (wake.revents != 0) return Fail(ERROR_IO_PENDING);
    }
}

void TTransfer::DrainForReuse() {
    if (!FAttached || FDone || !FHeadersDone || FCollect || FIsFtp || FOwner.IsClosed()) return;
    curl_off_t received = 0;
    curl_easy_getinfo(Easy(), CURLINFO_SIZE_DOWNLOAD_T, &received);
    const curl_off_t length = ContentLength();
    if (length < 0 || length - received > kMaxDrain) return;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kDrainMs);
    FDraining = true;
    Resume();
    while (Drive(false, [] { return false; }) == TDrive::WouldBlock) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return;
        curl_multi_poll(FMulti.get(), nullptr, 0, static_cast<int>(left), nullptr);
    }
}

curl_off_t TTransfer::ContentLength() const {
    curl_off_t length = -1;
    curl_easy_getinfo(Easy(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    return length;
}

void TTransfer::Detach() {
    if (!FAttached) return;
    curl_multi_remove_handle(FMulti.get(), Easy());
    FAttached = false;
}

void TTransfer::ReleaseSlot() {
    if (FSlot.empty()) return;
    TGlobal::Get().Limits.Release(FSlot);
    FSlot.clear();
}

void TTransfer::Resume() {
    if (!FPaused) return;
    FPaused = false;
    curl_easy_pause(Easy(), CURLPAUSE_CONT);
}

void TTransfer::CollectResult() {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(FMulti.get(), &left)) {
        if (message->msg != CURLMSG_DONE) continue;
        FResult = message->data.result;
        FDone = true;
        // The connection went back to the shared cache; so does the slot.
        ReleaseSlot();
        // A response without body ends with its headers; a failure
        // before the final header block leaves the headers undone.
        if (!FHeadersDone && FResult == CURLE_OK) FinishHeaders(FBlock);
        Notify(INTERNET_STATUS_REQUEST_COMPLETE, std::string());
    }
}

void TTransfer::Notify(uint32_t AStatus, const std::string& AText) const {
    if (FDraining) return;
    FOwner.Notify(FOwner.Id, AStatus, AText.c_str(), static_cast<uint32_t>(AText.size()));
}

void TTransfer::NotifyCount(uint32_t AStatus, uint32_t ACount) const {
    if (FDraining) return;
    FOwner.Notify(FOwner.Id, AStatus, &ACount, sizeof(ACount));
}

uint32_t TTransfer::FailureCode() const {
    if (FTls)
        if (const uint32_t code = TlsFailureCode(*FTls, FResult, Easy()); code != ERROR_SUCCESS) return code;
    long osError = 0;
    curl_easy_getinfo(Easy(), CURLINFO_OS_ERRNO, &osError);
    switch (FResult) {
        case CURLE_OK:
            return ERROR_SUCCESS;
        case CURLE_OPERATION_TIMEDOUT:
            return ERROR_INTERNET_TIMEOUT;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return ERROR_INTERNET_NAME_NOT_RESOLVED;
        case CURLE_COULDNT_CONNECT:
            // Not the server's fault: the process has no descriptor left.
            if (FSocketErrno == EMFILE || FSocketErrno == ENFILE) return ERROR_TOO_MANY_OPEN_FILES;
            return ERROR_INTERNET_CANNOT_CONNECT;
        case CURLE_GOT_NOTHING:
            // The server closed without a word: sending again is the answer.
            return ERROR_INTERNET_FORCE_RETRY;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
            return osError == ECONNRESET ? ERROR_INTERNET_CONNECTION_RESET : ERROR_INTERNET_CONNECTION_ABORTED;
        case CURLE_PARTIAL_FILE:
            return ERROR_INTERNET_CONNECTION_ABORTED;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_USE_SSL_FAILED:
            return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
        case CURLE_PEER_FAILED_VERIFICATION:
            return ERROR_INTERNET_INVALID_CA;
        case CURLE_TOO_MANY_REDIRECTS:
            return ERROR_HTTP_REDIRECT_FAILED;
        case CURLE_URL_MALFORMAT:
            return ERROR_INTERNET_INVALID_URL;
        case CURLE_UNSUPPORTED_PROTOCOL:
            return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_BAD_CONTENT_ENCODING:
        case CURLE_HTTP2:
        case CURLE_HTTP3:
            return ERROR_HTTP_INVALID_SERVER_RESPONSE;
        case CURLE_OUT_OF_MEMORY:
            return ERROR_NOT_ENOUGH_MEMORY;
        case CURLE_ABORTED_BY_CALLBACK:
            return ERROR_INTERNET_OPERATION_CANCELLED;
        case CURLE_WRITE_ERROR:
            return FCollect ? ERROR_INSUFFICIENT_BUFFER : ERROR_INTERNET_INTERNAL_ERROR;
        default:
            break;
    }
    if (FIsFtp) {
        // Refusals of the FTP server carry its reply.
        LastResponse() = FLastResponse;
        return FLastResponse.empty() ? ERROR_FTP_DROPPED : ERROR_INTERNET_EXTENDED_ERROR;
    }
    return ERROR_INTERNET_INTERNAL_ERROR;
}

}  // namespace cl::wininet
