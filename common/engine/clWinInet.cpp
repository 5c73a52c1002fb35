// The internet library over libcurl. Every request (and every FTP file,
// listing or command) is one easy handle in a multi handle of its own, driven
// by the thread that makes the call: a send runs the transfer until the final
// header block is in, a read runs it until bytes are buffered. The body goes
// through a bounded ring; while the reader does not take the bytes the
// transfer is paused, so memory stays flat for any body size.
//
// Handles are numbers in a process-wide table mapping to shared objects, so
// that a handle closed on one thread while another thread is blocked on it
// (or on a handle derived from it) wakes that thread, which then fails the
// call; the object goes away with the last thread that uses it.
#include "engine/clWinInet.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fnmatch.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "rtl/clStrUtils.h"
#include "transport/clCertificate.h"
#include "transport/clIpAddress.h"

namespace cl {

namespace {

thread_local uint32_t tLastError = 0;
thread_local std::string tLastResponse;

bool Fail(uint32_t ACode) {
    tLastError = ACode;
    return false;
}

// --- the library's message table ---

struct TErrorText {
    uint32_t Code;
    const char* Text;
};

const TErrorText kErrorTexts[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_TOO_MANY_OPEN_FILES, "Too many open files."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_NO_MORE_FILES, "There are no more files."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {WAIT_TIMEOUT, "The wait operation timed out."},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress."},
    {ERROR_INTERNET_OUT_OF_HANDLES, "No more handles could be generated at this time."},
    {ERROR_INTERNET_TIMEOUT, "The operation timed out."},
    {ERROR_INTERNET_EXTENDED_ERROR, "An extended error was returned from the server."},
    {ERROR_INTERNET_INTERNAL_ERROR, "An internal error occurred."},
    {ERROR_INTERNET_INVALID_URL, "The URL is invalid."},
    {ERROR_INTERNET_UNRECOGNIZED_SCHEME, "The URL does not use a recognized protocol."},
    {ERROR_INTERNET_NAME_NOT_RESOLVED, "The server name or address could not be resolved."},
    {ERROR_INTERNET_INVALID_OPTION, "The option is invalid."},
    {ERROR_INTERNET_LOGIN_FAILURE, "The login request was denied."},
    {ERROR_INTERNET_OPERATION_CANCELLED, "The operation was canceled."},
    {ERROR_INTERNET_INCORRECT_HANDLE_TYPE, "The handle is of the wrong type for this operation."},
    {ERROR_INTERNET_INCORRECT_HANDLE_STATE, "The handle is in the wrong state for this operation."},
    {ERROR_INTERNET_CANNOT_CONNECT, "A connection with the server could not be established."},
    {ERROR_INTERNET_CONNECTION_ABORTED, "The connection with the server was terminated abnormally."},
    {ERROR_INTERNET_CONNECTION_RESET, "The connection with the server was reset."},
    {ERROR_INTERNET_FORCE_RETRY, "The request must be sent again."},
    {ERROR_INTERNET_SEC_CERT_DATE_INVALID, "The server certificate has expired or is not yet valid."},
    {ERROR_INTERNET_SEC_CERT_CN_INVALID, "The server certificate does not match the host name."},
    {ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED, "The server requires a client certificate."},
    {ERROR_INTERNET_INVALID_CA, "The server certificate was issued by an authority that is not trusted."},
    {ERROR_INTERNET_SECURITY_CHANNEL_ERROR, "An error occurred in the secure channel support."},
    {ERROR_INTERNET_INVALID_OPERATION, "The operation is not valid for this handle."},
    {ERROR_FTP_TRANSFER_IN_PROGRESS, "A file transfer is already in progress on this connection."},
    {ERROR_FTP_DROPPED, "The FTP operation was not completed because the session was aborted."},
    {ERROR_HTTP_HEADER_NOT_FOUND, "The requested header could not be found."},
    {ERROR_HTTP_INVALID_SERVER_RESPONSE, "The server response could not be parsed."},
    {ERROR_HTTP_REDIRECT_FAILED, "The redirection failed."},
};

// --- process-wide state: the libcurl share, the limits, the handle table ---

class THandle;

class TConnectionLimits {
public:
    // Waits until the server has a free slot, or until AIsClosed holds.
    bool Acquire(const std::string& AServer, const THandle& AWaiter);
    void Release(const std::string& AServer);
    // Wakes waiters to look at their handles again (one was closed).
    void WakeWaiters() {
        std::lock_guard<std::mutex> guard(FLock);
        FChanged.notify_all();
    }
    uint32_t Max(uint32_t AOption) const {
        return AOption == INTERNET_OPTION_MAX_CONNS_PER_SERVER ? FMaxPerServer.load() : FMaxPer10Server.load();
    }
    void SetMax(uint32_t AOption, uint32_t AValue) {
        (AOption == INTERNET_OPTION_MAX_CONNS_PER_SERVER ? FMaxPerServer : FMaxPer10Server).store(AValue);
        WakeWaiters();
    }

private:
    std::mutex FLock;
    std::condition_variable FChanged;
    std::map<std::string, uint32_t> FInUse;
    // The library's defaults: two connections to an HTTP/1.1 server, four to
    // an HTTP/1.0 one. Every request counts against the first.
    std::atomic<uint32_t> FMaxPerServer{2};
    std::atomic<uint32_t> FMaxPer10Server{4};
};

// A libcurl share of connections, DNS results, TLS sessions and cookies,
// with its locks. Each root handle owns one: a worker's next request reuses
// its connection, and closing the root closes its connections.
class TShare {
public:
    TShare() : FShare(curl_share_init()) {
        if (!FShare) return;
        curl_share_setopt(FShare, CURLSHOPT_LOCKFUNC, &TShare::LockData);
        curl_share_setopt(FShare, CURLSHOPT_UNLOCKFUNC, &TShare::UnlockData);
        curl_share_setopt(FShare, CURLSHOPT_USERDATA, this);
        for (const curl_lock_data data :
             {CURL_LOCK_DATA_COOKIE, CURL_LOCK_DATA_DNS, CURL_LOCK_DATA_SSL_SESSION, CURL_LOCK_DATA_CONNECT})
            curl_share_setopt(FShare, CURLSHOPT_SHARE, data);
    }
    ~TShare() {
        if (FShare) curl_share_cleanup(FShare);
    }
    TShare(const TShare&) = delete;
    TShare& operator=(const TShare&) = delete;
    CURLSH* Get() const { return FShare; }

private:
    static void LockData(CURL*, curl_lock_data AData, curl_lock_access, void* AUser) {
        static_cast<TShare*>(AUser)->FLocks[AData % CURL_LOCK_DATA_LAST].lock();
    }
    static void UnlockData(CURL*, curl_lock_data AData, void* AUser) {
        static_cast<TShare*>(AUser)->FLocks[AData % CURL_LOCK_DATA_LAST].unlock();
    }

    CURLSH* FShare;
    std::mutex FLocks[CURL_LOCK_DATA_LAST];
};

// How far a root's cookie jar has caught up with the process-wide store.
struct TCookieSync {
    uint64_t Generation = UINT64_MAX;  // never imported
    std::set<std::string> Known;        // keys of the store at the last meeting
};

// The one cookie store of the process. libcurl keeps cookies per share, so
// every root's jar meets this store: it takes the store's cookies before a
// request when they changed, and gives back what the responses changed.
class TCookieStore {
public:
    // Brings the jar behind AEasy (its root's share) up to date.
    void Import(CURL* AEasy, TCookieSync& ASync) {
        std::lock_guard<std::mutex> guard(FLock);
        if (ASync.Generation == FGeneration) return;
        curl_easy_setopt(AEasy, CURLOPT_COOKIELIST, "ALL");
        ASync.Known.clear();
        for (const auto& [key, line] : FCookies) {
            curl_easy_setopt(AEasy, CURLOPT_COOKIELIST, line.c_str());
            ASync.Known.insert(key);
        }
        ASync.Generation = FGeneration;
    }
    // Takes the jar's additions, changes and removals into the store.
    void Export(CURL* AEasy, TCookieSync& ASync) {
        curl_slist* list = nullptr;
        curl_easy_getinfo(AEasy, CURLINFO_COOKIELIST, &list);
        std::map<std::string, std::string> jar;
        for (curl_slist* item = list; item != nullptr; item = item->next) jar.emplace(KeyOf(item->data), item->data);
        curl_slist_free_all(list);
        std::lock_guard<std::mutex> guard(FLock);
        const bool wasCurrent = ASync.Generation == FGeneration;
        bool changed = false;
        for (const auto& [key, line] : jar) {
            auto& stored = FCookies[key];
            changed = changed || stored != line;
            stored = line;
        }
        for (const std::string& key : ASync.Known)
            if (jar.count(key) == 0) changed = FCookies.erase(key) > 0 || changed;
        if (changed) ++FGeneration;
        ASync.Known.clear();
        for (const auto& entry : jar) ASync.Known.insert(entry.first);
        if (wasCurrent) ASync.Generation = FGeneration;
    }
    // Drops the cookies without an expiry time (those of this session).
    void FlushSession() {
        std::lock_guard<std::mutex> guard(FLock);
        for (auto it = FCookies.begin(); it != FCookies.end();)
            it = Field(it->second, 4) == "0" ? FCookies.erase(it) : std::next(it);
        ++FGeneration;
    }

private:
    // Fields of a cookie line: domain, subdomains, path, secure, expiry, name, value.
    static std::string Field(const std::string& ALine, int AIndex) {
        size_t start = 0;
        for (int i = 0; i < AIndex; ++i) {
            start = ALine.find('\t', start);
            if (start == std::string::npos) return std::string();
            ++start;
        }
        return ALine.substr(start, ALine.find('\t', start) - start);
    }
    static std::string KeyOf(const std::string& ALine) {
        return Field(ALine, 0) + '\t' + Field(ALine, 2) + '\t' + Field(ALine, 5);
    }

    std::mutex FLock;
    std::map<std::string, std::string> FCookies;
    uint64_t FGeneration = 0;
};

// What the process shares: libcurl's global state, the limits, the cookies.
class TGlobal {
public:
    static TGlobal& Get() {
        static TGlobal* global = new TGlobal();  // outlives every detached worker
        return *global;
    }
    TConnectionLimits Limits;
    TCookieStore Cookies;

private:
    TGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
};

// --- handles ---

enum THandleKind { hkRoot, hkConnect, hkRequest, hkFtpFile, hkFtpFind, hkOperation };

struct TClientCertificate {
    X509* Certificate = nullptr;
    EVP_PKEY* Key = nullptr;
    TClientCertificate(X509* ACertificate, EVP_PKEY* AKey) : Certificate(ACertificate), Key(AKey) {
        if (Certificate) X509_up_ref(Certificate);
        if (Key) EVP_PKEY_up_ref(Key);
    }
    ~TClientCertificate() {
        X509_free(Certificate);
        EVP_PKEY_free(Key);
    }
    TClientCertificate(const TClientCertificate&) = delete;
    TClientCertificate& operator=(const TClientCertificate&) = delete;
};

// Settings a handle passes on to the handles created from it.
struct TOptions {
    uint32_t SecurityFlags = 0;
    bool Decoding = false;
    std::string UserName;
    std::string Password;
    std::string ProxyUserName;
    std::string ProxyPassword;
    std::shared_ptr<TClientCertificate> ClientCertificate;
};

class THandle : public std::enable_shared_from_this<THandle> {
public:
    THandle(THandleKind AKind, std::shared_ptr<THandle> AParent, uintptr_t AContext)
        : FKind(AKind), FParent(std::move(AParent)), FContext(AContext) {
        if (FParent) {
            FOptions = FParent->FOptions;
            FCallback.store(FParent->FCallback.load());
        }
    }
    virtual ~THandle() = default;
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;

    THandleKind Kind() const { return FKind; }
    const std::shared_ptr<THandle>& Parent() const { return FParent; }
    uintptr_t Context() const { return FContext; }
    TOptions& Options() { return FOptions; }
    const TOptions& Options() const { return FOptions; }

    // True when this handle or one it derives from has been closed.
    bool IsClosed() const {
        for (const THandle* h = this; h != nullptr; h = h->FParent.get())
            if (h->FClosed.load()) return true;
        return false;
    }

    void AttachToParent() {
        if (!FParent) return;
        std::lock_guard<std::mutex> guard(FParent->FChildLock);
        auto& children = FParent->FChildren;
        children.erase(std::remove_if(children.begin(), children.end(),
                                      [](const std::weak_ptr<THandle>& AChild) { return AChild.expired(); }),
                       children.end());
        children.push_back(weak_from_this());
    }

    // Marks the handle closed and wakes every call blocked on it or below it.
    void Close() {
        FClosed.store(true);
        WakeTree();
        TGlobal::Get().Limits.WakeWaiters();
    }

    void SetCallback(INTERNET_STATUS_CALLBACK ACallback) { FCallback.store(ACallback); }
    INTERNET_STATUS_CALLBACK Callback() const { return FCallback.load(); }
    void Notify(HINTERNET AHandle, uint32_t AStatus, const void* AInfo, uint32_t ALength) const {
        if (INTERNET_STATUS_CALLBACK callback = FCallback.load()) callback(AHandle, FContext, AStatus, AInfo, ALength);
    }

    HINTERNET Id = 0;

protected:
    virtual void Wake() {}

private:
    void WakeTree() {
        Wake();
        std::vector<std::shared_ptr<THandle>> children;
        {
            std::lock_guard<std::mutex> guard(FChildLock);
            for (auto& weak : FChildren)
                if (auto child = weak.lock()) children.push_back(std::move(child));
        }
        for (auto& child : children) child->WakeTree();
    }

    THandleKind FKind;
    std::shared_ptr<THandle> FParent;
    uintptr_t FContext;
    std::atomic<bool> FClosed{false};
    std::atomic<INTERNET_STATUS_CALLBACK> FCallback{nullptr};
    TOptions FOptions;
    std::mutex FChildLock;
    std::vector<std::weak_ptr<THandle>> FChildren;
};

class THandleTable {
public:
    static THandleTable& Get() {
        static THandleTable* table = new THandleTable();
        return *table;
    }
    HINTERNET Add(const std::shared_ptr<THandle>& AHandle) {
        AHandle->AttachToParent();
        std::lock_guard<std::mutex> guard(FLock);
        AHandle->Id = ++FLastId;
        FHandles.emplace(AHandle->Id, AHandle);
        return AHandle->Id;
    }
    std::shared_ptr<THandle> Find(HINTERNET AId) {
        std::lock_guard<std::mutex> guard(FLock);
        auto it = FHandles.find(AId);
        return it == FHandles.end() ? nullptr : it->second;
    }
    std::shared_ptr<THandle> Remove(HINTERNET AId) {
        std::lock_guard<std::mutex> guard(FLock);
        auto it = FHandles.find(AId);
        if (it == FHandles.end()) return nullptr;
        std::shared_ptr<THandle> handle = std::move(it->second);
        FHandles.erase(it);
        return handle;
    }

private:
    std::mutex FLock;
    HINTERNET FLastId = 0;
    std::unordered_map<HINTERNET, std::shared_ptr<THandle>> FHandles;
};

template <class T>
std::shared_ptr<T> FindHandle(HINTERNET AId, std::initializer_list<THandleKind> AKinds) {
    std::shared_ptr<THandle> handle = THandleTable::Get().Find(AId);
    if (!handle) {
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (std::find(AKinds.begin(), AKinds.end(), handle->Kind()) == AKinds.end()) {
        Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
        return nullptr;
    }
    return std::static_pointer_cast<T>(handle);
}

bool TConnectionLimits::Acquire(const std::string& AServer, const THandle& AWaiter) {
    std::unique_lock<std::mutex> lock(FLock);
    FChanged.wait(lock, [&] { return AWaiter.IsClosed() || FInUse[AServer] < std::max<uint32_t>(FMaxPerServer, 1); });
    if (AWaiter.IsClosed()) return false;
    ++FInUse[AServer];
    return true;
}

void TConnectionLimits::Release(const std::string& AServer) {
    std::lock_guard<std::mutex> guard(FLock);
    auto it = FInUse.find(AServer);
    if (it != FInUse.end() && it->second > 0 && --it->second == 0) FInUse.erase(it);
    FChanged.notify_all();
}

class TRoot : public THandle {
public:
    TRoot(std::string AAgent, uint32_t AAccessType, std::string AProxy, std::string AProxyBypass)
        : THandle(hkRoot, nullptr, 0),
          Agent(std::move(AAgent)),
          AccessType(AAccessType),
          Proxy(std::move(AProxy)),
          ProxyBypass(std::move(AProxyBypass)) {}
    const std::string Agent;
    const uint32_t AccessType;
    const std::string Proxy;
    const std::string ProxyBypass;
    // Freed after every handle below the root: its connections close with it.
    TShare Share;
    TCookieSync Cookies;
};

class TConnect : public THandle {
public:
    TConnect(std::shared_ptr<THandle> ARoot, uintptr_t AContext) : THandle(hkConnect, std::move(ARoot), AContext) {}
    TRoot& Root() const { return static_cast<TRoot&>(*Parent()); }
    std::string Server;
    uint16_t Port = 0;
    uint32_t Service = INTERNET_SERVICE_HTTP;
    bool Passive = false;
};

// --- proxy and host override settings for one transfer ---

// The proxy of a "scheme=url:port" list (entries separated by blanks or ";")
// for AScheme; an entry without "=" serves every scheme.
std::string ProxyForScheme(const std::string& AList, const std::string& AScheme) {
    std::string fallback;
    size_t pos = 0;
    while (pos < AList.size()) {
        const size_t end = std::min(AList.find_first_of(" ;", pos), AList.size());
        const std::string entry = AList.substr(pos, end - pos);
        pos = end + 1;
        if (entry.empty()) continue;
        const size_t eq = entry.find('=');
        if (eq == std::string::npos) {
            if (fallback.empty()) fallback = entry;
        } else if (SameText(entry.substr(0, eq), AScheme)) {
            return entry.substr(eq + 1);
        }
    }
    return fallback;
}

// True when AHost is in the bypass list ("<local>": names without a dot;
// "*" wildcards allowed).
bool BypassesProxy(const std::string& ABypass, const std::string& AHost) {
    size_t pos = 0;
    while (pos < ABypass.size()) {
        const size_t end = std::min(ABypass.find_first_of(" ;,", pos), ABypass.size());
        const std::string entry = LowerCase(ABypass.substr(pos, end - pos));
        pos = end + 1;
        if (entry.empty()) continue;
        if (entry == "<local>") {
            if (AHost.find('.') == std::string::npos) return true;
        } else if (fnmatch(entry.c_str(), LowerCase(AHost).c_str(), 0) == 0) {
            return true;
        }
    }
    return false;
}

std::string BracketIPv6(const std::string& AHost) {
    return AHost.find(':') != std::string::npos && AHost.front() != '[' ? "[" + AHost + "]" : AHost;
}

// libcurl's CONNECT_TO entries for the host override table.
curl_slist* ConnectToList() {
    curl_slist* list = nullptr;
    for (const TclHostOverride& entry : TclHostOverrides::Entries()) {
        std::string line = BracketIPv6(entry.Host) + ":" + (entry.Port != 0 ? std::to_string(entry.Port) : "") +
                           ":" + BracketIPv6(entry.TargetAddress) + ":" +
                           (entry.TargetPort != 0 ? std::to_string(entry.TargetPort) : "");
        list = curl_slist_append(list, line.c_str());
    }
    return list;
}

// Escapes the bytes a URL cannot carry as they are (controls, blanks, non-ASCII).
std::string EscapeUnsafe(const std::string& AText) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string result;
    result.reserve(AText.size());
    for (const char c : AText) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b >= 0x7F || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' || c == '`' ||
            c == '{' || c == '|' || c == '}') {
            result += '%';
            result += kHex[b >> 4];
            result += kHex[b & 15];
        } else {
            result += c;
        }
    }
    return result;
}

// An FTP path as a URL path: absolute paths keep their root ("%2F").
std::string FtpUrlPath(const std::string& APath) {
    std::string escaped = EscapeUnsafe(APath);
    for (size_t i = 0; i < escaped.size(); ++i)
        if (escaped[i] == '#' || escaped[i] == '?' || escaped[i] == ';') {
            const std::string code = escaped[i] == '#' ? "%23" : escaped[i] == '?' ? "%3F" : "%3B";
            escaped.replace(i, 1, code);
        }
    if (!escaped.empty() && escaped.front() == '/') return "/%2F" + escaped.substr(1);
    return "/" + escaped;
}

// --- TLS: trust anchors, security flags, client certificates ---

// What the TLS layer of one transfer reports back. The TLS context of a
// connection may outlive the transfer that opened it, so it holds its own
// reference.
struct TTlsState {
    uint32_t SecurityFlags = 0;
    std::string Host;
    std::shared_ptr<TClientCertificate> ClientCertificate;
    std::atomic<int> VerifyError{X509_V_OK};
    std::atomic<bool> CertificateRequested{false};
};

int TlsStateIndex() {
    static const int index = SSL_CTX_get_ex_new_index(
        0, nullptr, nullptr, nullptr, [](void*, void* APtr, CRYPTO_EX_DATA*, int, long, void*) {
            delete static_cast<std::shared_ptr<TTlsState>*>(APtr);
        });
    return index;
}

TTlsState* TlsStateOf(SSL_CTX* AContext) {
    auto* holder = static_cast<std::shared_ptr<TTlsState>*>(SSL_CTX_get_ex_data(AContext, TlsStateIndex()));
    return holder ? holder->get() : nullptr;
}

bool IsDateError(int AError) {
    return AError == X509_V_ERR_CERT_HAS_EXPIRED || AError == X509_V_ERR_CERT_NOT_YET_VALID ||
           AError == X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD || AError == X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD;
}
bool IsNameError(int AError) {
    return AError == X509_V_ERR_HOSTNAME_MISMATCH || AError == X509_V_ERR_IP_ADDRESS_MISMATCH;
}
bool IsUsageError(int AError) { return AError == X509_V_ERR_INVALID_PURPOSE; }
bool IsRevocationError(int AError) {
    return AError == X509_V_ERR_CERT_REVOKED || AError == X509_V_ERR_UNABLE_TO_GET_CRL ||
           AError == X509_V_ERR_CRL_HAS_EXPIRED || AError == X509_V_ERR_CRL_NOT_YET_VALID;
}

int VerifyCallback(int APreverifyOk, X509_STORE_CTX* AStore) {
    if (APreverifyOk) return 1;
    SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(AStore, SSL_get_ex_data_X509_STORE_CTX_idx()));
    TTlsState* state = ssl ? TlsStateOf(SSL_get_SSL_CTX(ssl)) : nullptr;
    const int error = X509_STORE_CTX_get_error(AStore);
    if (state == nullptr) return 0;
    const uint32_t flags = state->SecurityFlags;
    bool ignored = false;
    if (IsDateError(error)) ignored = flags & SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
    else if (IsNameError(error)) ignored = flags & SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
    else if (IsUsageError(error)) ignored = flags & SECURITY_FLAG_IGNORE_WRONG_USAGE;
    else if (IsRevocationError(error)) ignored = flags & SECURITY_FLAG_IGNORE_REVOCATION;
    else ignored = flags & SECURITY_FLAG_IGNORE_UNKNOWN_CA;
    if (ignored) return 1;
    int expected = X509_V_OK;
    state->VerifyError.compare_exchange_strong(expected, error);
    return 0;
}

int ClientCertCallback(SSL* ASsl, X509**, EVP_PKEY**) {
    if (TTlsState* state = TlsStateOf(SSL_get_SSL_CTX(ASsl))) state->CertificateRequested.store(true);
    return 0;  // no certificate to offer
}

CURLcode SslContextSetup(CURL*, void* AContext, void* AUser) {
    auto* ctx = static_cast<SSL_CTX*>(AContext);
    const auto& state = *static_cast<std::shared_ptr<TTlsState>*>(AUser);
    SSL_CTX_set_ex_data(ctx, TlsStateIndex(), new std::shared_ptr<TTlsState>(state));
    // The system store plus the extra trust anchors.
    if (X509_STORE* store = AcquireTrustStore()) SSL_CTX_set_cert_store(ctx, store);
    // Verification is ours: the security flags say which failures to pass.
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, &VerifyCallback);
    if (!(state->SecurityFlags & SECURITY_FLAG_IGNORE_CERT_CN_INVALID) && !state->Host.empty()) {
        X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx);
        if (X509_VERIFY_PARAM_set1_ip_asc(param, state->Host.c_str()) != 1)
            X509_VERIFY_PARAM_set1_host(param, state->Host.c_str(), 0);
    }
    if (state->ClientCertificate && state->ClientCertificate->Certificate) {
        SSL_CTX_use_certificate(ctx, state->ClientCertificate->Certificate);
        if (state->ClientCertificate->Key) SSL_CTX_use_PrivateKey(ctx, state->ClientCertificate->Key);
    } else {
        SSL_CTX_set_client_cert_cb(ctx, &ClientCertCallback);
    }
    return CURLE_OK;
}

// --- the body ring ---

class TRing {
public:
    explicit TRing(size_t ACapacity) : FData(ACapacity) {}
    size_t Size() const { return FSize; }
    size_t Free() const { return FData.size() - FSize; }
    void Clear() { FHead = FSize = 0; }
    // Makes room for AExtra bytes beyond the capacity (one oversized piece).
    void Reserve(size_t AExtra) {
        if (AExtra <= Free()) return;
        std::vector<uint8_t> bigger(FSize + AExtra);
        Take(bigger.data(), FSize, false);
        const size_t size = FSize;
        FData.swap(bigger);
        FHead = 0;
        FSize = size;
    }
    void Put(const uint8_t* AData, size_t ACount) {
        size_t tail = (FHead + FSize) % FData.size();
        const size_t first = std::min(ACount, FData.size() - tail);
        std::memcpy(FData.data() + tail, AData, first);
        std::memcpy(FData.data(), AData + first, ACount - first);
        FSize += ACount;
    }
    size_t Take(uint8_t* ABuffer, size_t ACount, bool AConsume = true) {
        const size_t count = std::min(ACount, FSize);
        const size_t first = std::min(count, FData.size() - FHead);
        std::memcpy(ABuffer, FData.data() + FHead, first);
        std::memcpy(ABuffer + first, FData.data(), count - first);
        if (AConsume) {
            FHead = (FHead + count) % FData.size();
            FSize -= count;
            if (FSize == 0) FHead = 0;
        }
        return count;
    }

private:
    std::vector<uint8_t> FData;
    size_t FHead = 0;
    size_t FSize = 0;
};

// --- one transfer: an easy handle in a multi handle of its own ---

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
    bool Prepare(const std::string& AUrl, TRoot& ARoot, const std::string& AScheme, const std::string& AHost) {
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
        curl_easy_setopt(e, CURLOPT_SHARE, ARoot.Share.Get());
        FRoot = &ARoot;
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
        const TOptions& options = FOwner.Options();
        if (!options.ProxyUserName.empty() || !options.ProxyPassword.empty()) {
            curl_easy_setopt(e, CURLOPT_PROXYUSERNAME, options.ProxyUserName.c_str());
            curl_easy_setopt(e, CURLOPT_PROXYPASSWORD, options.ProxyPassword.c_str());
            curl_easy_setopt(e, CURLOPT_PROXYAUTH, CURLAUTH_ANY);
        }
        FErrorBuffer[0] = 0;
        return true;
    }

    // TLS settings for an https URL.
    void PrepareTls(const std::string& AHost) {
        const TOptions& options = FOwner.Options();
        FTls = std::make_shared<TTlsState>();
        FTls->SecurityFlags = options.SecurityFlags;
        FTls->Host = AHost;
        FTls->ClientCertificate = options.ClientCertificate;
        CURL* e = Easy();
        // The checks are made in the context callback; these two keep
        // connections and sessions of different strictness apart.
        const bool peerChecks = !(options.SecurityFlags & (SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                                                           SECURITY_FLAG_IGNORE_WRONG_USAGE | SECURITY_FLAG_IGNORE_REVOCATION));
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, peerChecks ? 1L : 0L);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, (options.SecurityFlags & SECURITY_FLAG_IGNORE_CERT_CN_INVALID) ? 0L : 2L);
        curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, &SslContextSetup);
        curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, &FTls);
        if (options.ClientCertificate) {
            // Connections with and without a certificate must not be mixed.
            curl_easy_setopt(e, CURLOPT_SSL_SESSIONID_CACHE, 0L);
            curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
        }
    }

    void SetHeaders(curl_slist* AList) {
        FHeaderList.reset(AList);
        curl_easy_setopt(Easy(), CURLOPT_HTTPHEADER, FHeaderList.get());
    }
    void SetQuote(curl_slist* AList) {
        FQuoteList.reset(AList);
        curl_easy_setopt(Easy(), CURLOPT_QUOTE, FQuoteList.get());
    }
    // Cookies for this transfer, from the process-wide store and back to it.
    void UseCookies() {
        curl_easy_setopt(Easy(), CURLOPT_COOKIEFILE, "");
        TGlobal::Get().Cookies.Import(Easy(), FRoot->Cookies);
        FCookieEngine = true;
    }
    // The body is gathered whole (listings) instead of going through the ring.
    void CollectBody() { FCollect = true; }
    const std::string& Collected() const { return FCollected; }

    // Starts the transfer, waiting for a free connection slot of AServer.
    bool Start(const std::string& AServer, bool AHasCredentials, bool AHasProxyCredentials) {
        FRing.Clear();
        FCollected.clear();
        FPaused = false;
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
        if (!TGlobal::Get().Limits.Acquire(AServer, FOwner)) return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
        FSlot = AServer;
        Notify(INTERNET_STATUS_RESOLVING_NAME, AServer);
        if (curl_multi_add_handle(FMulti.get(), Easy()) != CURLM_OK) return Fail(ERROR_INTERNET_INTERNAL_ERROR);
        FAttached = true;
        return true;
    }

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
    bool Read(uint8_t* ABuffer, uint32_t ACount, uint32_t* ARead, bool ABlocking) {
        *ARead = 0;
        if (!Started()) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
        if (FOwner.IsClosed()) return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
        if (ACount == 0) return true;
        if (FRing.Size() < ACount && !FDone) {
            Resume();
            if (Drive(false, [&] { return FRing.Size() >= ACount; }) == TDrive::Closed)
                return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
            if (FRing.Size() == 0 && !FDone) {
                if (!ABlocking) return Fail(ERROR_IO_PENDING);
                if (Drive(true, [&] { return FRing.Size() > 0; }) == TDrive::Closed)
                    return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
            }
        }
        if (FRing.Size() > 0) {
            *ARead = static_cast<uint32_t>(FRing.Take(ABuffer, ACount));
            if (FPaused && FRing.Free() >= kResumeRoom) Resume();
            return true;
        }
        if (FResult != CURLE_OK) return Fail(FailureCode());
        return true;  // the end of the body
    }

    curl_off_t ContentLength() const {
        curl_off_t length = -1;
        curl_easy_getinfo(Easy(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        return length;
    }

private:
    void Detach() {
        if (!FAttached) return;
        curl_multi_remove_handle(FMulti.get(), Easy());
        FAttached = false;
    }
    void ReleaseSlot() {
        if (FSlot.empty()) return;
        TGlobal::Get().Limits.Release(FSlot);
        FSlot.clear();
    }
    void Resume() {
        if (!FPaused) return;
        FPaused = false;
        curl_easy_pause(Easy(), CURLPAUSE_CONT);
    }
    void CollectResult() {
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

    void Notify(uint32_t AStatus, const std::string& AText) const {
        FOwner.Notify(FOwner.Id, AStatus, AText.c_str(), static_cast<uint32_t>(AText.size()));
    }
    void NotifyCount(uint32_t AStatus, uint32_t ACount) const {
        FOwner.Notify(FOwner.Id, AStatus, &ACount, sizeof(ACount));
    }

    void FinishHeaders(const std::string& ABlock) {
        if (FCookieEngine) TGlobal::Get().Cookies.Export(Easy(), FRoot->Cookies);
        FRawHeaders = ABlock;
        if (!FRawHeaders.empty()) FRawHeaders += "\r\n";
        FHeadersDone = true;
        NotifyCount(INTERNET_STATUS_RESPONSE_RECEIVED, static_cast<uint32_t>(FRawHeaders.size()));
    }

    bool BlockHas(const char* AName) const {
        size_t pos = 0;
        const size_t length = std::strlen(AName);
        while ((pos = FBlock.find("\r\n", pos)) != std::string::npos) {
            pos += 2;
            if (FBlock.size() >= pos + length + 1 && SameText(std::string_view(FBlock).substr(pos, length), AName) &&
                FBlock[pos + length] == ':')
                return true;
        }
        return false;
    }

    // Whether libcurl will answer this header block itself (continue, follow
    // a redirection, answer a challenge) so that another block follows.
    bool BlockIsFinal() {
        if (FStatus >= 100 && FStatus < 200) return false;
        if ((FStatus == 301 || FStatus == 302 || FStatus == 303 || FStatus == 307 || FStatus == 308) &&
            BlockHas("Location") && FRedirects < kMaxRedirects) {
            ++FRedirects;
            return false;
        }
        if (FStatus == 401 && FHasCredentials && !FAuthAnswered && BlockHas("WWW-Authenticate")) {
            FAuthAnswered = true;
            return false;
        }
        if (FStatus == 407 && FHasProxyCredentials && !FProxyAuthAnswered && BlockHas("Proxy-Authenticate")) {
            FProxyAuthAnswered = true;
            return false;
        }
        return true;
    }

    void HttpHeaderLine(std::string_view ALine) {
        if (FHeadersDone) return;  // trailers
        if (ALine.substr(0, 5) == "HTTP/") {
            if (FBlock.empty() && FStatus == 0) {
                Notify(INTERNET_STATUS_REQUEST_SENT, std::string());
                Notify(INTERNET_STATUS_RECEIVING_RESPONSE, std::string());
            }
            FBlock.assign(ALine.data(), ALine.size());
            while (!FBlock.empty() && (FBlock.back() == '\r' || FBlock.back() == '\n')) FBlock.pop_back();
            const size_t space = FBlock.find(' ');
            FStatus = space == std::string::npos ? 0 : StrToIntDef(FBlock.substr(space + 1, 3), 0);
            return;
        }
        if (ALine == "\r\n" || ALine == "\n") {
            if (BlockIsFinal()) {
                FinishHeaders(FBlock);
            } else if (FStatus >= 300 && FStatus < 400) {
                Notify(INTERNET_STATUS_REDIRECT, std::string());
            }
            return;
        }
        std::string_view line = ALine;
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
        FBlock += "\r\n";
        FBlock.append(line.data(), line.size());
    }

    // FTP server replies: the last complete one is kept for error texts.
    void FtpResponseLine(std::string_view ALine) {
        std::string_view line = ALine;
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
        if (!FPendingResponse.empty()) FPendingResponse += "\r\n";
        FPendingResponse.append(line.data(), line.size());
        const bool lastLine = line.size() >= 4 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                              std::isdigit(static_cast<unsigned char>(line[1])) &&
                              std::isdigit(static_cast<unsigned char>(line[2])) && line[3] == ' ';
        if (lastLine) {
            FLastResponse = std::move(FPendingResponse);
            FPendingResponse.clear();
        }
    }

    static size_t HeaderCallback(char* AData, size_t ASize, size_t ACount, void* AUser) {
        auto* self = static_cast<TTransfer*>(AUser);
        const std::string_view line(AData, ASize * ACount);
        if (self->FIsFtp) self->FtpResponseLine(line);
        else self->HttpHeaderLine(line);
        return ASize * ACount;
    }

    static size_t WriteCallback(char* AData, size_t ASize, size_t ACount, void* AUser) {
        auto* self = static_cast<TTransfer*>(AUser);
        const size_t count = ASize * ACount;
        if (!self->FBodyStarted) {
            self->FBodyStarted = true;
            if (!self->FHeadersDone) self->FinishHeaders(self->FBlock);
        }
        if (self->FCollect) {
            if (self->FCollected.size() + count > kMaxListing) return 0;  // fails the transfer
            self->FCollected.append(AData, count);
            return count;
        }
        if (count > self->FRing.Free()) {
            if (self->FRing.Size() > 0) {
                self->FPaused = true;
                return CURL_WRITEFUNC_PAUSE;
            }
            self->FRing.Reserve(count);  // a piece larger than the ring
        }
        self->FRing.Put(reinterpret_cast<const uint8_t*>(AData), count);
        self->NotifyCount(INTERNET_STATUS_RESPONSE_RECEIVED, static_cast<uint32_t>(count));
        return count;
    }

    static curl_socket_t OpenSocketCallback(void* AUser, curlsocktype, curl_sockaddr* AAddress) {
        auto* self = static_cast<TTransfer*>(AUser);
        char text[64] = {0};
        if (AAddress->family == AF_INET)
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&AAddress->addr)->sin_addr, text, sizeof(text));
        else if (AAddress->family == AF_INET6)
            inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&AAddress->addr)->sin6_addr, text, sizeof(text));
        self->Notify(INTERNET_STATUS_NAME_RESOLVED, text);
        self->Notify(INTERNET_STATUS_CONNECTING_TO_SERVER, text);
        const curl_socket_t fd = socket(AAddress->family, AAddress->socktype | SOCK_CLOEXEC, AAddress->protocol);
        if (fd == CURL_SOCKET_BAD) self->FSocketErrno = errno;
        return fd;
    }

    static int PrereqCallback(void* AUser, char* AServerIp, char*, int, int) {
        auto* self = static_cast<TTransfer*>(AUser);
        self->Notify(INTERNET_STATUS_CONNECTED_TO_SERVER, AServerIp ? AServerIp : "");
        self->Notify(INTERNET_STATUS_SENDING_REQUEST, std::string());
        return CURL_PREREQFUNC_OK;
    }

    THandle& FOwner;
    TRoot* FRoot = nullptr;  // the root above FOwner, which outlives it
    bool FCookieEngine = false;
    const bool FIsFtp;
    std::unique_ptr<CURL, TCurlEasyDeleter> FEasy;
    std::unique_ptr<CURLM, TCurlMultiDeleter> FMulti;
    TSlistPtr FHeaderList;
    TSlistPtr FQuoteList;
    TSlistPtr FConnectTo;
    std::shared_ptr<TTlsState> FTls;
    char FErrorBuffer[CURL_ERROR_SIZE] = {0};
    bool FAttached = false;
    std::string FSlot;

    TRing FRing{kRingCapacity};
    bool FPaused = false;
    bool FCollect = false;
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

uint32_t TTransfer::FailureCode() const {
    if (FTls && FTls->CertificateRequested.load() && !FTls->ClientCertificate &&
        (FResult == CURLE_SSL_CONNECT_ERROR || FResult == CURLE_RECV_ERROR || FResult == CURLE_SEND_ERROR ||
         FResult == CURLE_SSL_CERTPROBLEM || FResult == CURLE_GOT_NOTHING))
        return ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED;
    if (FTls) {
        int error = FTls->VerifyError.load();
        if (error == X509_V_OK && FResult == CURLE_PEER_FAILED_VERIFICATION) {
            long result = X509_V_OK;
            curl_easy_getinfo(Easy(), CURLINFO_SSL_VERIFYRESULT, &result);
            error = static_cast<int>(result);
            // libcurl's own host name check leaves the chain result clean.
            if (error == X509_V_OK) return ERROR_INTERNET_SEC_CERT_CN_INVALID;
        }
        if (error != X509_V_OK) {
            if (IsDateError(error)) return ERROR_INTERNET_SEC_CERT_DATE_INVALID;
            if (IsNameError(error)) return ERROR_INTERNET_SEC_CERT_CN_INVALID;
            return ERROR_INTERNET_INVALID_CA;
        }
    }
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
        tLastResponse = FLastResponse;
        return FLastResponse.empty() ? ERROR_FTP_DROPPED : ERROR_INTERNET_EXTENDED_ERROR;
    }
    return ERROR_INTERNET_INTERNAL_ERROR;
}

// --- request, FTP file, listing and operation handles ---

class TTransferHandle : public THandle {
public:
    TTransferHandle(THandleKind AKind, std::shared_ptr<THandle> AParent, uintptr_t AContext, bool AIsFtp)
        : THandle(AKind, std::move(AParent), AContext), Transfer(*this, AIsFtp) {}
    TConnect& Connect() const { return static_cast<TConnect&>(*Parent()); }
    TTransfer Transfer;

protected:
    void Wake() override { Transfer.Wake(); }
};

struct THeaderLine {
    std::string Name;
    std::string Line;
};

class TRequest : public TTransferHandle {
public:
    TRequest(std::shared_ptr<THandle> AConnect, uintptr_t AContext)
        : TTransferHandle(hkRequest, std::move(AConnect), AContext, false) {}
    std::string Verb;
    std::string ObjectName;
    std::string Version;
    std::string Referrer;
    bool Secure = false;
    std::vector<THeaderLine> Headers;
    std::vector<uint8_t> Body;
};

class TFindHandle : public THandle {
public:
    TFindHandle(std::shared_ptr<THandle> AConnect, uintptr_t AContext)
        : THandle(hkFtpFind, std::move(AConnect), AContext) {}
    std::vector<WIN32_FIND_DATAW> Entries;
    size_t Next = 0;
};

// Adds header lines with the modifiers of HttpAddRequestHeadersA.
bool AddHeaderLines(std::vector<THeaderLine>& AHeaders, const std::string& AText, uint32_t AModifiers) {
    size_t pos = 0;
    while (pos < AText.size()) {
        size_t end = AText.find('\n', pos);
        if (end == std::string::npos) end = AText.size();
        std::string line = Trim(std::string_view(AText).substr(pos, end - pos));
        pos = end + 1;
        if (line.empty()) continue;
        const size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) return Fail(ERROR_INVALID_PARAMETER);
        const std::string name = Trim(line.substr(0, colon));
        const std::string value = Trim(line.substr(colon + 1));
        auto existing = std::find_if(AHeaders.begin(), AHeaders.end(),
                                     [&](const THeaderLine& AItem) { return SameText(AItem.Name, name); });
        if (AModifiers & HTTP_ADDREQ_FLAG_REPLACE) {
            if (existing != AHeaders.end()) AHeaders.erase(existing);
            if (!value.empty()) AHeaders.push_back({name, name + ": " + value});
        } else if ((AModifiers & HTTP_ADDREQ_FLAG_ADD_IF_NEW) && existing != AHeaders.end()) {
            continue;
        } else {
            AHeaders.push_back({name, name + ": " + value});
        }
    }
    return true;
}

bool HasCredentials(const TOptions& AOptions) { return !AOptions.UserName.empty() || !AOptions.Password.empty(); }
bool HasProxyCredentials(const TOptions& AOptions) {
    return !AOptions.ProxyUserName.empty() || !AOptions.ProxyPassword.empty();
}

std::string ServerKey(const std::string& AScheme, const std::string& AHost, uint16_t APort) {
    return AScheme + "://" + LowerCase(AHost) + ":" + std::to_string(APort);
}

// Sets up and starts one HTTP request transfer.
bool StartHttp(TRequest& ARequest, const std::string& AExtraHeaders) {
    TConnect& connect = ARequest.Connect();
    const TOptions& options = ARequest.Options();
    const std::string scheme = ARequest.Secure ? "https" : "http";
    const uint16_t port = connect.Port != 0 ? connect.Port
                                            : (ARequest.Secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT);
    std::string object = ARequest.ObjectName.empty() ? "/" : ARequest.ObjectName;
    if (object.front() != '/') object.insert(object.begin(), '/');
    const std::string url = scheme + "://" + BracketIPv6(connect.Server) + ":" + std::to_string(port) + EscapeUnsafe(object);

    TTransfer& t = ARequest.Transfer;
    if (!t.Prepare(url, connect.Root(), scheme, connect.Server)) return false;
    CURL* e = t.Easy();
    if (ARequest.Secure) t.PrepareTls(connect.Server);
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, SameText(ARequest.Version, "HTTP/1.0") ? CURL_HTTP_VERSION_1_0
                                                                                     : CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, kMaxRedirects);
    t.UseCookies();
    if (!ARequest.Referrer.empty()) curl_easy_setopt(e, CURLOPT_REFERER, ARequest.Referrer.c_str());
    // Credentials answer a challenge; several methods allowed makes libcurl
    // wait for the server's challenge before it sends any of them.
    if (HasCredentials(options)) {
        curl_easy_setopt(e, CURLOPT_USERNAME, options.UserName.c_str());
        curl_easy_setopt(e, CURLOPT_PASSWORD, options.Password.c_str());
        curl_easy_setopt(e, CURLOPT_HTTPAUTH, CURLAUTH_ANY);
    }

    std::vector<THeaderLine> headers = ARequest.Headers;
    if (!AddHeaderLines(headers, AExtraHeaders, HTTP_ADDREQ_FLAG_ADD)) return false;
    const bool hasAcceptEncoding = std::any_of(headers.begin(), headers.end(), [](const THeaderLine& AItem) {
        return SameText(AItem.Name, "Accept-Encoding");
    });
    curl_slist* list = nullptr;
    for (const THeaderLine& header : headers) list = curl_slist_append(list, header.Line.c_str());
    if (options.Decoding) {
        curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "");
        // The caller says what it accepts; libcurl only decodes.
        if (!hasAcceptEncoding) list = curl_slist_append(list, "Accept-Encoding:");
    } else {
        curl_easy_setopt(e, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    }
    list = curl_slist_append(list, "Expect:");
    t.SetHeaders(list);

    const std::string verb = ARequest.Verb.empty() ? "GET" : UpperCase(ARequest.Verb);
    if (verb == "HEAD") {
        curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
    } else if (verb == "POST" || verb == "PUT" || !ARequest.Body.empty()) {
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(ARequest.Body.size()));
        curl_easy_setopt(e, CURLOPT_COPYPOSTFIELDS, reinterpret_cast<const char*>(ARequest.Body.data()));
        if (verb != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, verb.c_str());
    } else if (verb != "GET") {
        curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, verb.c_str());
    }
    return t.Start(ServerKey(scheme, connect.Server, port), HasCredentials(options), HasProxyCredentials(options));
}

// Sets up one FTP transfer on APath of AConnect.
bool PrepareFtp(TTransfer& ATransfer, const TConnect& AConnect, const std::string& APath) {
    const uint16_t port = AConnect.Port != 0 ? AConnect.Port : INTERNET_DEFAULT_FTP_PORT;
    const std::string url = "ftp://" + BracketIPv6(AConnect.Server) + ":" + std::to_string(port) + FtpUrlPath(APath);
    if (!ATransfer.Prepare(url, AConnect.Root(), "ftp", AConnect.Server)) return false;
    CURL* e = ATransfer.Easy();
    const TOptions& options = AConnect.Options();
    if (!options.UserName.empty()) {
        curl_easy_setopt(e, CURLOPT_USERNAME, options.UserName.c_str());
        curl_easy_setopt(e, CURLOPT_PASSWORD, options.Password.c_str());
    }
    if (!AConnect.Passive) curl_easy_setopt(e, CURLOPT_FTPPORT, "-");
    curl_easy_setopt(e, CURLOPT_TRANSFERTEXT, 0L);
    return true;
}

bool StartFtp(TTransfer& ATransfer, const TConnect& AConnect) {
    const uint16_t port = AConnect.Port != 0 ? AConnect.Port : INTERNET_DEFAULT_FTP_PORT;
    return ATransfer.Start(ServerKey("ftp", AConnect.Server, port), false, false);
}

// Runs a transfer to its end on the calling thread.
bool RunToEnd(TTransfer& ATransfer) {
    if (ATransfer.Drive(true, [] { return false; }) == TDrive::Closed) return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
    if (!ATransfer.Succeeded()) return Fail(ATransfer.FailureCode());
    return true;
}

// A short FTP exchange of its own (login check, delete, remove directory):
// a handle below the connection, so that closing the connection wakes it.
bool RunFtpCommand(const std::shared_ptr<TConnect>& AConnect, const std::string& ACommand) {
    auto op = std::make_shared<TTransferHandle>(hkOperation, AConnect, AConnect->Context(), true);
    op->AttachToParent();
    if (!PrepareFtp(op->Transfer, *AConnect, "/")) return false;
    curl_easy_setopt(op->Transfer.Easy(), CURLOPT_NOBODY, 1L);
    if (!ACommand.empty()) op->Transfer.SetQuote(curl_slist_append(nullptr, ACommand.c_str()));
    if (!StartFtp(op->Transfer, *AConnect)) return false;
    return RunToEnd(op->Transfer);
}

// --- directory listings ---

int64_t ParseMlsdTime(const std::string& AText) {
    if (AText.size() < 14) return 0;
    std::tm tm{};
    tm.tm_year = StrToIntDef(AText.substr(0, 4), 1970) - 1900;
    tm.tm_mon = StrToIntDef(AText.substr(4, 2), 1) - 1;
    tm.tm_mday = StrToIntDef(AText.substr(6, 2), 1);
    tm.tm_hour = StrToIntDef(AText.substr(8, 2), 0);
    tm.tm_min = StrToIntDef(AText.substr(10, 2), 0);
    tm.tm_sec = StrToIntDef(AText.substr(12, 2), 0);
    return static_cast<int64_t>(timegm(&tm));
}

// The lines of a listing, without their line ends.
std::vector<std::string> ListingLines(const std::string& AListing) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < AListing.size()) {
        size_t end = AListing.find('\n', pos);
        if (end == std::string::npos) end = AListing.size();
        lines.push_back(AListing.substr(pos, end - pos));
        if (!lines.back().empty() && lines.back().back() == '\r') lines.back().pop_back();
        pos = end + 1;
    }
    return lines;
}

// "fact=value;fact=value; name" lines.
std::vector<WIN32_FIND_DATAW> ParseMlsd(const std::string& AListing) {
    std::vector<WIN32_FIND_DATAW> entries;
    for (const std::string& line : ListingLines(AListing)) {
        const size_t space = line.find(' ');
        if (space == std::string::npos) continue;
        WIN32_FIND_DATAW entry;
        entry.cFileName = Utf8ToUtf16(line.substr(space + 1));
        entry.dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
        bool skip = false;
        size_t factPos = 0;
        const std::string facts = line.substr(0, space);
        while (factPos < facts.size()) {
            size_t factEnd = facts.find(';', factPos);
            if (factEnd == std::string::npos) factEnd = facts.size();
            const std::string fact = facts.substr(factPos, factEnd - factPos);
            factPos = factEnd + 1;
            const size_t eq = fact.find('=');
            if (eq == std::string::npos) continue;
            const std::string name = LowerCase(fact.substr(0, eq));
            const std::string value = fact.substr(eq + 1);
            if (name == "type") {
                const std::string type = LowerCase(value);
                if (type == "cdir" || type == "pdir") skip = true;
                else if (type == "dir") entry.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
            } else if (name == "size") {
                entry.nFileSize = StrToInt64Def(value, 0);
            } else if (name == "modify") {
                entry.ftLastWriteTime = ParseMlsdTime(value);
            }
        }
        if (!skip) entries.push_back(std::move(entry));
    }
    return entries;
}

// "drwxr-xr-x 1 owner group 1234 Jan 02 12:34 name" lines (times without a
// year are this year's; the server's time zone is taken as UTC).
std::vector<WIN32_FIND_DATAW> ParseUnixList(const std::string& AListing) {
    static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                          "jul", "aug", "sep", "oct", "nov", "dec"};
    std::vector<WIN32_FIND_DATAW> entries;
    for (const std::string& line : ListingLines(AListing)) {
        std::vector<std::string> fields;
        size_t p = 0;
        while (fields.size() < 8 && p < line.size()) {
            const size_t start = line.find_first_not_of(' ', p);
            if (start == std::string::npos) break;
            const size_t stop = std::min(line.find(' ', start), line.size());
            fields.push_back(line.substr(start, stop - start));
            p = stop;
        }
        const size_t nameStart = line.find_first_not_of(' ', p);
        if (fields.size() < 8 || nameStart == std::string::npos || fields[0].size() < 10) continue;
        WIN32_FIND_DATAW entry;
        entry.cFileName = Utf8ToUtf16(line.substr(nameStart));
        if (entry.cFileName == u"." || entry.cFileName == u"..") continue;
        entry.dwFileAttributes = fields[0][0] == 'd' ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
        entry.nFileSize = StrToInt64Def(fields[4], 0);
        std::tm tm{};
        const std::string month = LowerCase(fields[5]);
        for (int m = 0; m < 12; ++m)
            if (month == kMonths[m]) tm.tm_mon = m;
        tm.tm_mday = StrToIntDef(fields[6], 1);
        if (fields[7].find(':') != std::string::npos) {
            const std::time_t now = std::time(nullptr);
            std::tm today{};
            gmtime_r(&now, &today);
            tm.tm_year = today.tm_year;
            tm.tm_hour = StrToIntDef(fields[7].substr(0, fields[7].find(':')), 0);
            tm.tm_min = StrToIntDef(fields[7].substr(fields[7].find(':') + 1), 0);
        } else {
            tm.tm_year = StrToIntDef(fields[7], 1970) - 1900;
        }
        entry.ftLastWriteTime = static_cast<int64_t>(timegm(&tm));
        entries.push_back(std::move(entry));
    }
    return entries;
}

// The whole listing of ADirectory, by MLSD where the server knows it, else by LIST.
bool ListDirectory(const std::shared_ptr<TConnect>& AConnect, const std::string& ADirectory,
                   std::vector<WIN32_FIND_DATAW>& AEntries) {
    std::string dir = ADirectory.empty() ? "/" : ADirectory;
    if (dir.back() != '/') dir += '/';
    for (const bool mlsd : {true, false}) {
        auto op = std::make_shared<TTransferHandle>(hkOperation, AConnect, AConnect->Context(), true);
        op->AttachToParent();
        if (!PrepareFtp(op->Transfer, *AConnect, dir)) return false;
        if (mlsd) curl_easy_setopt(op->Transfer.Easy(), CURLOPT_CUSTOMREQUEST, "MLSD");
        op->Transfer.CollectBody();
        if (!StartFtp(op->Transfer, *AConnect)) return false;
        if (!RunToEnd(op->Transfer)) {
            if (mlsd && GetLastError() == ERROR_INTERNET_EXTENDED_ERROR && StartsText("50", tLastResponse)) continue;
            return false;
        }
        AEntries = mlsd ? ParseMlsd(op->Transfer.Collected()) : ParseUnixList(op->Transfer.Collected());
        return true;
    }
    return false;
}

}  // namespace

// --- the operations ---

uint32_t GetLastError() { return tLastError; }
void SetLastError(uint32_t ACode) { tLastError = ACode; }

std::string InternetErrorMessage(uint32_t ACode) {
    for (const TErrorText& entry : kErrorTexts)
        if (entry.Code == ACode) return entry.Text;
    return std::string();
}

HINTERNET InternetOpenA(const std::string& AAgent, uint32_t AAccessType, const std::string& AProxy,
                        const std::string& AProxyBypass, uint32_t /*AFlags*/) {
    if (AAccessType != INTERNET_OPEN_TYPE_PRECONFIG && AAccessType != INTERNET_OPEN_TYPE_DIRECT &&
        AAccessType != INTERNET_OPEN_TYPE_PROXY) {
        Fail(ERROR_INVALID_PARAMETER);
        return 0;
    }
    TGlobal::Get();
    auto root = std::make_shared<TRoot>(AAgent, AAccessType, AProxy, AProxyBypass);
    if (!root->Share.Get()) return Fail(ERROR_INTERNET_OUT_OF_HANDLES), 0;
    return THandleTable::Get().Add(root);
}

HINTERNET InternetConnectA(HINTERNET AInternet, const std::string& AServerName, uint16_t APort,
                           const std::string& AUserName, const std::string& APassword, uint32_t AService,
                           uint32_t AFlags, uintptr_t AContext) {
    auto root = FindHandle<TRoot>(AInternet, {hkRoot});
    if (!root) return 0;
    if (root->IsClosed()) return Fail(ERROR_INTERNET_OPERATION_CANCELLED), 0;
    if (AServerName.empty()) return Fail(ERROR_INTERNET_INVALID_URL), 0;
    if (AService != INTERNET_SERVICE_HTTP && AService != INTERNET_SERVICE_FTP) return Fail(ERROR_INVALID_PARAMETER), 0;
    auto connect = std::make_shared<TConnect>(root, AContext);
    connect->Server = AServerName;
    connect->Port = APort;
    connect->Service = AService;
    connect->Passive = (AFlags & INTERNET_FLAG_PASSIVE) != 0;
    connect->Options().UserName = AUserName;
    connect->Options().Password = APassword;
    connect->AttachToParent();
    // An FTP connection logs in now, as the session it stands for would.
    if (AService == INTERNET_SERVICE_FTP && !RunFtpCommand(connect, std::string())) return 0;
    const HINTERNET handle = THandleTable::Get().Add(connect);
    connect->Notify(handle, INTERNET_STATUS_HANDLE_CREATED, &handle, sizeof(handle));
    return handle;
}

HINTERNET HttpOpenRequestA(HINTERNET AConnect, const std::string& AVerb, const std::string& AObjectName,
                           const std::string& AVersion, const std::string& AReferrer,
                           const std::string& AAcceptTypes, uint32_t AFlags, uintptr_t AContext) {
    auto connect = FindHandle<TConnect>(AConnect, {hkConnect});
    if (!connect) return 0;
    if (connect->Service != INTERNET_SERVICE_HTTP) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE), 0;
    if (connect->IsClosed()) return Fail(ERROR_INTERNET_OPERATION_CANCELLED), 0;
    // The verb goes onto the request line as it is: letters only.
    if (!std::all_of(AVerb.begin(), AVerb.end(), [](char c) { return std::isalpha(static_cast<unsigned char>(c)); }))
        return Fail(ERROR_INVALID_PARAMETER), 0;
    auto request = std::make_shared<TRequest>(connect, AContext);
    if (!request->Transfer.Valid()) return Fail(ERROR_INTERNET_OUT_OF_HANDLES), 0;
    request->Verb = AVerb;
    request->ObjectName = AObjectName;
    request->Version = AVersion;
    request->Referrer = AReferrer;
    request->Secure = (AFlags & INTERNET_FLAG_SECURE) != 0;
    if (!AAcceptTypes.empty()) AddHeaderLines(request->Headers, "Accept: " + AAcceptTypes, HTTP_ADDREQ_FLAG_ADD);
    const HINTERNET handle = THandleTable::Get().Add(request);
    request->Notify(handle, INTERNET_STATUS_HANDLE_CREATED, &handle, sizeof(handle));
    return handle;
}

bool HttpAddRequestHeadersA(HINTERNET ARequest, const std::string& AHeaders, uint32_t AModifiers) {
    auto request = FindHandle<TRequest>(ARequest, {hkRequest});
    if (!request) return false;
    return AddHeaderLines(request->Headers, AHeaders, AModifiers);
}

bool HttpSendRequestA(HINTERNET ARequest, const std::string& AHeaders, const void* AOptional,
                      uint32_t AOptionalLength) {
    auto request = FindHandle<TRequest>(ARequest, {hkRequest});
    if (!request) return false;
    if (request->IsClosed()) return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
    const auto* body = static_cast<const uint8_t*>(AOptional);
    request->Body.assign(body, body + (body ? AOptionalLength : 0));
    if (!StartHttp(*request, AHeaders)) return false;
    TTransfer& t = request->Transfer;
    if (t.Drive(true, [&] { return t.HeadersDone(); }) == TDrive::Closed)
        return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
    if (!t.HeadersDone()) return Fail(t.FailureCode());
    return true;
}

bool HttpQueryInfoA(HINTERNET ARequest, uint32_t AInfoLevel, void* ABuffer, uint32_t* ABufferLength,
                    uint32_t* /*AIndex*/) {
    auto request = FindHandle<TRequest>(ARequest, {hkRequest});
    if (!request) return false;
    if (ABufferLength == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    TTransfer& t = request->Transfer;
    if (!t.HeadersDone() || t.RawHeaders().empty()) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    const std::string& raw = t.RawHeaders();
    const std::string statusLine = raw.substr(0, raw.find("\r\n"));
    const uint32_t level = AInfoLevel & 0xFFFF;
    const bool asNumber = (AInfoLevel & HTTP_QUERY_FLAG_NUMBER) != 0;

    if (level == HTTP_QUERY_STATUS_CODE && asNumber) {
        if (t.Status() <= 0) return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
        if (ABuffer == nullptr || *ABufferLength < sizeof(uint32_t)) {
            *ABufferLength = sizeof(uint32_t);
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        const uint32_t status = static_cast<uint32_t>(t.Status());
        std::memcpy(ABuffer, &status, sizeof(status));
        *ABufferLength = sizeof(status);
        return true;
    }
    std::string text;
    switch (level) {
        case HTTP_QUERY_RAW_HEADERS_CRLF:
            text = raw + "\r\n";
            break;
        case HTTP_QUERY_RAW_HEADERS:
            text = StringReplaceAll(raw, "\r\n", std::string(1, '\0'));
            text += '\0';
            break;
        case HTTP_QUERY_STATUS_CODE:
            if (t.Status() <= 0) return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
            text = std::to_string(t.Status());
            break;
        case HTTP_QUERY_STATUS_TEXT: {
            const size_t first = statusLine.find(' ');
            const size_t second = first == std::string::npos ? std::string::npos : statusLine.find(' ', first + 1);
            text = second == std::string::npos ? std::string() : statusLine.substr(second + 1);
            break;
        }
        default:
            return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
    }
    if (ABuffer == nullptr || *ABufferLength < text.size() + 1) {
        *ABufferLength = static_cast<uint32_t>(text.size() + 1);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(ABuffer, text.data(), text.size());
    static_cast<char*>(ABuffer)[text.size()] = '\0';
    *ABufferLength = static_cast<uint32_t>(text.size());
    return true;
}

uint32_t InternetSetFilePointer(HINTERNET AFile, int32_t ADistanceToMove, int32_t* ADistanceToMoveHigh,
                                uint32_t AMoveMethod, uintptr_t /*AContext*/) {
    auto request = FindHandle<TRequest>(AFile, {hkRequest, hkFtpFile});
    if (!request) return INVALID_SET_FILE_POINTER;
    if (request->Kind() != hkRequest || AMoveMethod != FILE_END || ADistanceToMove != 0 ||
        (ADistanceToMoveHigh && *ADistanceToMoveHigh != 0)) {
        Fail(ERROR_INTERNET_INVALID_OPERATION);
        return INVALID_SET_FILE_POINTER;
    }
    TTransfer& t = request->Transfer;
    if (!t.HeadersDone()) {
        Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
        return INVALID_SET_FILE_POINTER;
    }
    // A body can be positioned when it came as a range, or when its length
    // is known and the server takes byte ranges.
    const std::string& raw = t.RawHeaders();
    bool acceptsBytes = false;
    size_t pos = 0;
    while ((pos = raw.find("\r\n", pos)) != std::string::npos) {
        pos += 2;
        const size_t end = std::min(raw.find("\r\n", pos), raw.size());
        const std::string line = raw.substr(pos, end - pos);
        const size_t colon = line.find(':');
        if (colon != std::string::npos && SameText(Trim(line.substr(0, colon)), "Accept-Ranges") &&
            FindText("bytes", line.substr(colon + 1)) != std::string::npos)
            acceptsBytes = true;
    }
    const curl_off_t length = t.ContentLength();
    if (t.Status() != 206 && !(acceptsBytes && length >= 0)) {
        Fail(ERROR_INTERNET_INVALID_OPERATION);
        return INVALID_SET_FILE_POINTER;
    }
    const uint64_t size = length > 0 ? static_cast<uint64_t>(length) : 0;
    if (ADistanceToMoveHigh) *ADistanceToMoveHigh = static_cast<int32_t>(size >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<uint32_t>(size & 0xFFFFFFFF);
}

namespace {
bool ReadFileImpl(HINTERNET AFile, void* ABuffer, uint32_t ACount, uint32_t* ARead, bool ABlocking) {
    if (ARead == nullptr || (ABuffer == nullptr && ACount > 0)) return Fail(ERROR_INVALID_PARAMETER);
    *ARead = 0;
    auto handle = FindHandle<TTransferHandle>(AFile, {hkRequest, hkFtpFile});
    if (!handle) return false;
    return handle->Transfer.Read(static_cast<uint8_t*>(ABuffer), ACount, ARead, ABlocking);
}
}  // namespace

bool InternetReadFile(HINTERNET AFile, void* ABuffer, uint32_t ANumberOfBytesToRead, uint32_t* ANumberOfBytesRead) {
    return ReadFileImpl(AFile, ABuffer, ANumberOfBytesToRead, ANumberOfBytesRead, true);
}

bool InternetReadFileNoWait(HINTERNET AFile, void* ABuffer, uint32_t ANumberOfBytesToRead,
                            uint32_t* ANumberOfBytesRead) {
    return ReadFileImpl(AFile, ABuffer, ANumberOfBytesToRead, ANumberOfBytesRead, false);
}

bool InternetCloseHandle(HINTERNET AInternet) {
    std::shared_ptr<THandle> handle = THandleTable::Get().Remove(AInternet);
    if (!handle) return Fail(ERROR_INVALID_HANDLE);
    handle->Notify(AInternet, INTERNET_STATUS_HANDLE_CLOSING, &AInternet, sizeof(AInternet));
    handle->Close();
    return true;
}

bool InternetQueryOptionA(HINTERNET AInternet, uint32_t AOption, void* ABuffer, uint32_t* ABufferLength) {
    if (ABufferLength == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    auto putNumber = [&](uint32_t AValue) {
        if (ABuffer == nullptr || *ABufferLength < sizeof(AValue)) {
            *ABufferLength = sizeof(AValue);
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        std::memcpy(ABuffer, &AValue, sizeof(AValue));
        *ABufferLength = sizeof(AValue);
        return true;
    };
    auto putText = [&](const std::string& AText) {
        if (ABuffer == nullptr || *ABufferLength < AText.size() + 1) {
            *ABufferLength = static_cast<uint32_t>(AText.size() + 1);
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        std::memcpy(ABuffer, AText.c_str(), AText.size() + 1);
        *ABufferLength = static_cast<uint32_t>(AText.size());
        return true;
    };
    if (AOption == INTERNET_OPTION_MAX_CONNS_PER_SERVER || AOption == INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER)
        return putNumber(TGlobal::Get().Limits.Max(AOption));
    auto handle = FindHandle<THandle>(AInternet, {hkRoot, hkConnect, hkRequest, hkFtpFile, hkFtpFind});
    if (!handle) return false;
    const TOptions& options = handle->Options();
    switch (AOption) {
        case INTERNET_OPTION_SECURITY_FLAGS:
            return putNumber(options.SecurityFlags);
        case INTERNET_OPTION_HTTP_DECODING:
            return putNumber(options.Decoding ? 1 : 0);
        case INTERNET_OPTION_USERNAME:
            return putText(options.UserName);
        case INTERNET_OPTION_PASSWORD:
            return putText(options.Password);
        case INTERNET_OPTION_PROXY_USERNAME:
            return putText(options.ProxyUserName);
        case INTERNET_OPTION_PROXY_PASSWORD:
            return putText(options.ProxyPassword);
        default:
            return Fail(ERROR_INTERNET_INVALID_OPTION);
    }
}

bool InternetSetOptionA(HINTERNET AInternet, uint32_t AOption, const void* ABuffer, uint32_t ABufferLength) {
    auto number = [&](uint32_t& AValue) {
        if (ABuffer == nullptr || ABufferLength < 1) return Fail(ERROR_INVALID_PARAMETER);
        AValue = 0;
        std::memcpy(&AValue, ABuffer, std::min<uint32_t>(ABufferLength, sizeof(AValue)));
        return true;
    };
    if (AOption == INTERNET_OPTION_MAX_CONNS_PER_SERVER || AOption == INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER) {
        uint32_t value = 0;
        if (!number(value) || value == 0) return Fail(ERROR_INVALID_PARAMETER);
        TGlobal::Get().Limits.SetMax(AOption, value);
        return true;
    }
    if (AOption == INTERNET_OPTION_END_BROWSER_SESSION) {
        TGlobal::Get().Cookies.FlushSession();
        return true;
    }
    auto handle = FindHandle<THandle>(AInternet, {hkRoot, hkConnect, hkRequest, hkFtpFile, hkFtpFind});
    if (!handle) return false;
    TOptions& options = handle->Options();
    auto text = [&](std::string& AValue) {
        AValue = ABuffer ? std::string(static_cast<const char*>(ABuffer),
                                       strnlen(static_cast<const char*>(ABuffer), ABufferLength))
                         : std::string();
        return true;
    };
    switch (AOption) {
        case INTERNET_OPTION_SECURITY_FLAGS:
            return number(options.SecurityFlags);
        case INTERNET_OPTION_HTTP_DECODING: {
            uint32_t value = 0;
            if (!number(value)) return false;
            options.Decoding = value != 0;
            return true;
        }
        case INTERNET_OPTION_USERNAME:
            return text(options.UserName);
        case INTERNET_OPTION_PASSWORD:
            return text(options.Password);
        case INTERNET_OPTION_PROXY_USERNAME:
            return text(options.ProxyUserName);
        case INTERNET_OPTION_PROXY_PASSWORD:
            return text(options.ProxyPassword);
        case INTERNET_OPTION_CLIENT_CERT_CONTEXT: {
            const auto* certificate = static_cast<const TclCertificate*>(ABuffer);
            if (certificate == nullptr || certificate->Context() == nullptr) return Fail(ERROR_INVALID_PARAMETER);
            options.ClientCertificate =
                std::make_shared<TClientCertificate>(certificate->Context(), certificate->Key());
            return true;
        }
        default:
            return Fail(ERROR_INTERNET_INVALID_OPTION);
    }
}

bool InternetGetLastResponseInfoA(uint32_t* AError, char* ABuffer, uint32_t* ABufferLength) {
    if (ABufferLength == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (AError) *AError = tLastResponse.empty() ? 0 : ERROR_INTERNET_EXTENDED_ERROR;
    if (ABuffer == nullptr || *ABufferLength < tLastResponse.size() + 1) {
        *ABufferLength = static_cast<uint32_t>(tLastResponse.size() + 1);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(ABuffer, tLastResponse.c_str(), tLastResponse.size() + 1);
    *ABufferLength = static_cast<uint32_t>(tLastResponse.size());
    return true;
}

std::string InternetGetLastResponseText() { return tLastResponse; }

INTERNET_STATUS_CALLBACK InternetSetStatusCallback(HINTERNET AInternet, INTERNET_STATUS_CALLBACK ACallback) {
    auto handle = FindHandle<THandle>(AInternet, {hkRoot, hkConnect, hkRequest, hkFtpFile, hkFtpFind});
    if (!handle) return nullptr;
    const INTERNET_STATUS_CALLBACK previous = handle->Callback();
    handle->SetCallback(ACallback);
    return previous;
}

HINTERNET FtpOpenFileA(HINTERNET AConnect, const std::string& AFileName, uint32_t AAccess, uint32_t /*AFlags*/,
                       uintptr_t AContext) {
    auto connect = FindHandle<TConnect>(AConnect, {hkConnect});
    if (!connect) return 0;
    if (connect->Service != INTERNET_SERVICE_FTP) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE), 0;
    if (AAccess != GENERIC_READ) return Fail(ERROR_INVALID_PARAMETER), 0;
    auto file = std::make_shared<TTransferHandle>(hkFtpFile, connect, AContext, true);
    file->AttachToParent();
    if (!PrepareFtp(file->Transfer, *connect, AFileName)) return 0;
    if (!StartFtp(file->Transfer, *connect)) return 0;
    // Open means the server accepted the retrieval: data flows, or it ended.
    TTransfer& t = file->Transfer;
    if (t.Drive(true, [&] { return t.BodyStarted(); }) == TDrive::Closed)
        return Fail(ERROR_INTERNET_OPERATION_CANCELLED), 0;
    if (t.Done() && !t.Succeeded()) return Fail(t.FailureCode()), 0;
    return THandleTable::Get().Add(file);
}

uint32_t FtpGetFileSize(HINTERNET AFile, uint32_t* AFileSizeHigh) {
    auto file = FindHandle<TTransferHandle>(AFile, {hkFtpFile});
    if (!file) return UINT32_MAX;
    const curl_off_t length = file->Transfer.ContentLength();
    const uint64_t size = length > 0 ? static_cast<uint64_t>(length) : 0;
    if (AFileSizeHigh) *AFileSizeHigh = static_cast<uint32_t>(size >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<uint32_t>(size & 0xFFFFFFFF);
}

HINTERNET FtpFindFirstFileW(HINTERNET AConnect, const std::u16string& ASearchFile, WIN32_FIND_DATAW* AFindData,
                            uint32_t /*AFlags*/, uintptr_t AContext) {
    auto connect = FindHandle<TConnect>(AConnect, {hkConnect});
    if (!connect) return 0;
    if (connect->Service != INTERNET_SERVICE_FTP) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE), 0;
    const std::string search = Utf16ToUtf8(ASearchFile);
    const size_t slash = search.rfind('/');
    const std::string directory = slash == std::string::npos ? std::string() : search.substr(0, slash + 1);
    std::string pattern = slash == std::string::npos ? search : search.substr(slash + 1);
    if (pattern.empty() || pattern == "*.*") pattern = "*";
    std::vector<WIN32_FIND_DATAW> all;
    if (!ListDirectory(connect, directory, all)) return 0;
    auto find = std::make_shared<TFindHandle>(connect, AContext);
    for (auto& entry : all)
        if (fnmatch(pattern.c_str(), Utf16ToUtf8(entry.cFileName).c_str(), 0) == 0)
            find->Entries.push_back(std::move(entry));
    if (find->Entries.empty()) return Fail(ERROR_NO_MORE_FILES), 0;
    if (AFindData) *AFindData = find->Entries[0];
    find->Next = 1;
    return THandleTable::Get().Add(find);
}

bool InternetFindNextFileW(HINTERNET AFind, WIN32_FIND_DATAW* AFindData) {
    auto find = FindHandle<TFindHandle>(AFind, {hkFtpFind});
    if (!find) return false;
    if (find->Next >= find->Entries.size()) return Fail(ERROR_NO_MORE_FILES);
    if (AFindData) *AFindData = find->Entries[find->Next];
    ++find->Next;
    return true;
}

namespace {
bool FtpCommand(HINTERNET AConnect, const std::string& AVerb, const std::string& APath) {
    auto connect = FindHandle<TConnect>(AConnect, {hkConnect});
    if (!connect) return false;
    if (connect->Service != INTERNET_SERVICE_FTP) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    if (APath.empty() || APath.find_first_of("\r\n") != std::string::npos) return Fail(ERROR_INVALID_PARAMETER);
    return RunFtpCommand(connect, AVerb + " " + APath);
}
}  // namespace

bool FtpDeleteFileA(HINTERNET AConnect, const std::string& AFileName) { return FtpCommand(AConnect, "DELE", AFileName); }

bool FtpRemoveDirectoryA(HINTERNET AConnect, const std::string& ADirectory) {
    return FtpCommand(AConnect, "RMD", ADirectory);
}

}  // namespace cl
