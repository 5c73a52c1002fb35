// The download worker: its thread, the attempts of the request cycle, the
// HTTP and FTP steps over the internet connection's actions, and the events
// sent to the creating thread.
#include "engine/clDC.h"

#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>

#include "http/clHttpAuth.h"
#include "http/clHttpDate.h"
#include "http/clHttpHeader.h"
#include "http/clIdnTranslator.h"
#include "rtl/clStrUtils.h"
#include "rtl/clTranslator.h"

namespace cl {

const char* const cHttpResourceAccessError = "HTTP resource access error occured, code = %d";
const char* const cStatusCodeQuery = "Status Code";
const char* const cRangeNotHonoured = "The server did not send the requested range from position %lld";
const char* const cEncodingChanged = "The server changed the content encoding of the resource";
const char* const cBodyEndedEarly = "The server ended the body %lld bytes before the end of the requested range";

namespace {

constexpr int cMaxSends = 4;
constexpr int cMaxForceRetries = 9;
constexpr int cNiceStep = 5;

std::string FormatNumber(const char* AFormat, long long AValue) {
    char text[160];
    std::snprintf(text, sizeof text, AFormat, AValue);
    return text;
}

// Header texts go to the platform in the single-byte code page.
std::string AnsiText(const std::string& AText) {
    const std::vector<uint8_t> bytes = TclTranslator::GetBytes(AText, std::string());
    return std::string(bytes.begin(), bytes.end());
}

bool IsAbsoluteUrl(const TclUrlParser& AParser) { return !AParser.Scheme().empty() && !AParser.Host().empty(); }

bool NamesGzip(const std::string& AContentEncoding) {
    return LowerCase(AContentEncoding).find("gzip") != std::string::npos;
}

// The local date of an HTTP date field; 0 when the text is missing or not a
// date a server should send (such a field counts as absent).
TDateTime ParseDateField(const std::string& AText) {
    if (AText.empty()) return 0;
    try {
        return ParseHttpDate(AText);
    } catch (const EConvertError&) {
        return 0;
    }
}

// A response header text of the request, for the levels that give text.
std::string QueryInfoText(HINTERNET ARequest, uint32_t ALevel) {
    uint32_t length = 0;
    if (HttpQueryInfoA(ARequest, ALevel, nullptr, &length, nullptr) || length == 0) return std::string();
    std::string text(length, '\0');
    if (!HttpQueryInfoA(ARequest, ALevel, text.data(), &length, nullptr)) return std::string();
    text.resize(std::min<size_t>(length, text.size()));
    return text;
}

// The first position of a "bytes FIRST-LAST/TOTAL" range answer; -1 when the
// text is not one.
int64_t ContentRangeStart(const std::string& AContentRange) {
    const std::string text = Trim(AContentRange);
    if (!StartsText("bytes", text)) return -1;
    size_t pos = 5;
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '=')) ++pos;
    int64_t first = -1;
    const auto [end, error] = std::from_chars(text.data() + pos, text.data() + text.size(), first);
    if (error != std::errc() || end == text.data() + pos || end == text.data() + text.size() || *end != '-') {
        return -1;
    }
    return first;
}

}  // namespace

// --- TclResourceInfo ---

TclResourceInfo::TclResourceInfo() : FDate(NowDateTime()) {}

void TclResourceInfo::Assign(const TclResourceInfo* ASource) {
    if (ASource == this) return;
    if (ASource == nullptr) {
        *this = TclResourceInfo();
        FDate = 0;
        return;
    }
    *this = *ASource;
}

bool IsBodyDecodedAtCommit(bool ADoNotGetResourceInfo, bool AAllowCompression, const TclResourceInfo* AInfo) {
    return !ADoNotGetResourceInfo && AAllowCompression && AInfo != nullptr && AInfo->Compressed();
}

// --- the end of the thread, kept apart from the worker, which may free itself ---

struct TclCustomThreader::TThreadState {
    // Signalled once when the thread has ended and never reset, so that any
    // number of waits can poll it.
    TclEvent Ended;
    std::atomic<bool> Done{false};
};

namespace {

// An action in use by the worker. The connection's list holds every action
// from its creation on; ending the use frees the action unless the
// connection keeps it for the next attempt (KeepConnection).
template <class T>
class TclActionLease {
public:
    TclActionLease(T* AAction, bool AFreeAtEnd) : FAction(AAction), FFreeAtEnd(AFreeAtEnd) {}
    ~TclActionLease() {
        // Freeing closes the action's handle and takes it off the connection's list.
        if (FFreeAtEnd) std::unique_ptr<T> owned(FAction);
    }
    TclActionLease(const TclActionLease&) = delete;
    TclActionLease& operator=(const TclActionLease&) = delete;

    T* operator->() const { return FAction; }
    T& operator*() const { return *FAction; }
    T* get() const { return FAction; }

private:
    T* FAction;
    bool FFreeAtEnd;
};

// The connection's action of kind T, or a new one made from AArgs: the
// connection owns it until the worker releases it.
template <class T, class... TArgs>
T* AcquireAction(TclInternetConnection& AConnection, TArgs&&... AArgs) {
    if (T* kept = AConnection.GetActionByClass<T>()) return kept;
    return std::make_unique<T>(&AConnection, std::forward<TArgs>(AArgs)...).release();
}

}  // namespace

// --- TclCustomThreader ---

TclCustomThreader::TclCustomThreader(const std::string& AURL, TStream* ADataStream)
    : FURL(AURL), FDataStream(ADataStream) {}

TclCustomThreader::~TclCustomThreader() {
    // A worker freed by another thread while it runs is stopped first; the
    // thread freeing itself has nothing left to wait for.
    if (FThreadState && !FFreeingItself && !FThreadState->Done) {
        Stop();
        Wait();
    }
}

void TclCustomThreader::Perform() {
    if (FThreadState) return;
    FThreadState = std::make_shared<TThreadState>();
    // The end is observed through the thread state, so the worker can free
    // itself on its own thread; nobody joins the thread but the engine.
    StartEngineThread("cl-worker", [this] { ThreadMain(); });
}

void TclCustomThreader::ThreadMain() {
    std::shared_ptr<TThreadState> state = FThreadState;
    ApplyPriority();
    try {
        Execute();
    } catch (...) {
        // Execute reports its own failures; a handler that throws while the
        // failure is reported has nobody left to tell.
    }
    try {
        if (OnTerminate) Synchronize([this] { OnTerminate(this); });
    } catch (...) {
    }
    if (FFreeOnTerminate) {
        FFreeingItself = true;
        std::unique_ptr<TclCustomThreader>{this}.reset();
    }
    state->Done = true;
    state->Ended.Signal();
}

void TclCustomThreader::ApplyPriority() {
    const int step = FPriority == ppLower ? cNiceStep : FPriority == ppHigher ? -cNiceStep : 0;
    if (step == 0) return;
    // Nice values belong to the thread on Linux; a new thread starts with its
    // creator's. A raise the system refuses is ignored.
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, 0);
    if (current == -1 && errno != 0) return;
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), current + step);
}

bool TclCustomThreader::Finished() const { return FThreadState && FThreadState->Done; }

void TclCustomThreader::Stop() {
    FTerminated = true;
    Interrupt();
}

void TclCustomThreader::Interrupt() {
    FSleepEvent.Signal();
    AbortConnection();
}

void TclCustomThreader::AbortConnection() {
    std::lock_guard<std::mutex> guard(FConnectionAccessor);
    TclInternetConnection* connection = FConnection ? FConnection : FSelfConnection.get();
    if (connection) connection->SignalTerminate();
}

void TclCustomThreader::Wait() {
    // The state is held here: the worker may free itself while we wait.
    std::shared_ptr<TThreadState> state = FThreadState;
    if (!state) return;
    TclWaitFd ended{state->Ended.Handle(), POLLIN, 0};
    if (std::this_thread::get_id() == FSynchronizer.SyncBaseThreadID()) {
        // The worker's events are sent to this thread: keep serving them.
        std::shared_ptr<TclMessagePump> pump = TclMessagePump::Current();
        while (!state->Done) {
            ended.REvents = 0;
            pump->WaitFor(std::span<TclWaitFd>(&ended, 1), nullptr, -1);
        }
        pump->ProcessMessages();
        return;
    }
    // Nothing of the worker is sent to this thread; it pumps only if it has
    // a pump of its own already.
    while (!state->Done) {
        TclMessagePump::WaitOnThisThread(std::span<TclWaitFd>(&ended, 1), nullptr, -1);
    }
}

TclInternetConnection* TclCustomThreader::Connection() {
    std::lock_guard<std::mutex> guard(FConnectionAccessor);
    if (FConnection) return FConnection;
    if (!FSelfConnection) FSelfConnection = std::make_unique<TclInternetConnection>();
    return FSelfConnection.get();
}

void TclCustomThreader::SetConnection(TclInternetConnection* AValue) {
    std::unique_ptr<TclInternetConnection> dropped;
    {
        std::lock_guard<std::mutex> guard(FConnectionAccessor);
        FConnection = AValue;
        if (AValue) dropped = std::move(FSelfConnection);
    }
}

TclResourceInfo* TclCustomThreader::ResourceInfo() const {
    return FResourceInfo ? FResourceInfo : FSelfResourceInfo.get();
}

void TclCustomThreader::SetResourceInfo(TclResourceInfo* AValue) {
    if (AValue == ResourceInfo()) return;
    FSelfResourceInfo.reset();
    FResourceInfo = AValue;
}

TclResourceInfo& TclCustomThreader::NeedResourceInfo() {
    if (FResourceInfo) return *FResourceInfo;
    if (!FSelfResourceInfo) {
        FSelfResourceInfo = std::make_unique<TclResourceInfo>();
        FSelfResourceInfo->SetName(FURLParser.Path());
    }
    return *FSelfResourceInfo;
}

template <class F>
void TclCustomThreader::ModifyResourceInfo(F&& AChange) {
    // A supplied information belongs to the item and is read on the item's
    // thread: it is changed there, while this thread waits.
    if (FResourceInfo) {
        Synchronize([&] { AChange(*FResourceInfo); });
    } else {
        AChange(NeedResourceInfo());
    }
}

std::string TclCustomThreader::GetProxyString() const {
    std::string scheme;
    std::string server;
    int port = 0;
    switch (FURLParser.UrlType()) {
        case utFTP:
            scheme = "ftp";
            server = FFtpProxySettings.Server();
            port = FFtpProxySettings.Port();
            break;
        case utHTTP:
        case utHTTPS:
            scheme = FURLParser.UrlType() == utHTTP ? "http" : "https";
            server = FHttpProxySettings.Server();
            port = FHttpProxySettings.Port();
            break;
        default:
            return std::string();
    }
    if (server.empty()) return std::string();
    const std::string text = StartsText("http", server) || StartsText("ftp", server) ? server : scheme + "://" + server;
    return scheme + "=" + text + ":" + std::to_string(port);
}

void TclCustomThreader::SetStatus(TclProcessStatus AValue) {
    if (FStatus == AValue) return;
    FStatus = AValue;
    if (OnStatusChanged) Synchronize([this, AValue] { OnStatusChanged(this, AValue); });
}

void TclCustomThreader::SetError(const std::string& AText, const std::string& AExtraText, int ACode) {
    if (Terminated()) return;
    if (AText.empty()) {
        const uint32_t code = GetLastError();
        FLastErrorCode = static_cast<int>(code);
        FLastError = EclInternetError::GetLastErrorText(static_cast<int>(code));
    } else {
        FLastErrorCode = ACode;
        FLastError = AText;
    }
    if (!AExtraText.empty()) FLastError += ": " + AExtraText;
    if (OnError) Synchronize([this] { OnError(this, FLastError, FLastErrorCode); });
}

void TclCustomThreader::Execute() {
    FResponseHeader.Clear();
    int attemptsLeft = FTryCount;
    try {
        SetStatus(psProcess);
        ParseUrl();
        for (;;) {
            try {
                ProcessRequest();
                if (Terminated()) {
                    SetStatus(psTerminated);
                } else {
                    SetStatus(FLastError.empty() ? psSuccess : psErrors);
                }
                return;
            } catch (const EclInternetError&) {
                if (--attemptsLeft < 1 || Terminated()) throw;
            }
            PauseBeforeNextAttempt();
        }
    } catch (const EclInternetError& e) {
        SetError(e.Message(), std::string(), e.ErrorCode());
    } catch (const std::exception& e) {
        SetError(e.what(), std::string(), 0);
    }
    // A stop that abandoned the last attempt is still a stop, not a failure.
    SetStatus(Terminated() ? psTerminated : psFailed);
}

void TclCustomThreader::PauseBeforeNextAttempt() {
    TclMessagePump::SleepOnThisThread(GetActualTimeOut(FReconnectAfter), &FSleepEvent);
    FSleepEvent.TryReset();
}

void TclCustomThreader::ParseUrl() {
    if (IsAbsoluteUrl(FURLParser)) return;
    FURLParser.Parse(FURL);
    if (OnUrlParsing) Synchronize([this] { OnUrlParsing(this, FURLParser); });
    if (!IsAbsoluteUrl(FURLParser)) {
        SetLastError(ERROR_INTERNET_INVALID_URL);
        throw EclInternetError::CreateByLastError();
    }
    // A scheme without a request cycle would end "successfully" with nothing.
    const TclUrlType type = FURLParser.UrlType();
    if (type != utHTTP && type != utHTTPS && type != utFTP) {
        SetLastError(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
        throw EclInternetError::CreateByLastError();
    }
    FURL = FURLParser.AbsoluteUri();
}

void TclCustomThreader::ReleaseAction(TclInternetAction* AAction, bool AAlwaysFree) {
    if (AAction == nullptr || (FKeepConnection && !AAlwaysFree)) return;
    // Freeing closes the action's handle and takes it off the connection's list.
    std::unique_ptr<TclInternetAction> owned(AAction);
}

void TclCustomThreader::ProcessRequest() {
    TclInternetConnection& connection = *Connection();
    const std::string proxy = GetProxyString();
    TclActionLease<TclInternetOpenAction> open(
        AcquireAction<TclInternetOpenAction>(connection, FInternetAgent,
                                             proxy.empty() ? INTERNET_OPEN_TYPE_PRECONFIG : INTERNET_OPEN_TYPE_PROXY,
                                             proxy, FProxyBypass, 0u),
        !KeepConnection());
    FOpenAction = open.get();
    struct TClearCurrent {
        TclCustomThreader& Owner;
        ~TClearCurrent() {
            Owner.FConnectAction = nullptr;
            Owner.FOpenAction = nullptr;
        }
    } clearCurrent{*this};
    // The root handle is opened without a time-out: it cannot be abandoned.
    if (open->hResource() == 0) open->FireAction(-1);
    if (Terminated()) return;

    const bool isFtp = FURLParser.UrlType() == utFTP;
    TclActionLease<TclConnectAction> connect(
        AcquireAction<TclConnectAction>(
            connection, open->hResource(), TclIdnTranslator::GetAscii(FURLParser.Host()),
            static_cast<uint16_t>(FURLParser.Port()), isFtp ? FURLParser.UserName() : std::string(),
            isFtp ? FURLParser.Password() : std::string(), isFtp ? INTERNET_SERVICE_FTP : INTERNET_SERVICE_HTTP,
            isFtp && FPassiveFTPMode ? INTERNET_FLAG_PASSIVE : 0u),
        !KeepConnection());
    FConnectAction = connect.get();
    if (connect->hResource() == 0) connect->FireAction(GetActualTimeOut(FTimeOut));
    if (Terminated()) return;

    switch (FURLParser.UrlType()) {
        case utFTP:
            ProcessFtp();
            break;
        case utHTTP:
        case utHTTPS:
            ProcessHttp();
            break;
        default:
            break;
    }
}

void TclCustomThreader::RunResourceInfoStep(bool AIsFtp) {
    if (Terminated()) return;
    DropOwnResourceInfo();
    if (FDoNotGetResourceInfo) {
        NeedResourceInfo();
        return;
    }
    if (HasSuppliedResourceInfo()) return;
    if (AIsFtp) {
        GetFtpResourceInfo();
    } else {
        GetHttpResourceInfo();
    }
    if (!Terminated()) DoGetResourceInfo();
}

void TclCustomThreader::ProcessHttp() { RunResourceInfoStep(false); }

void TclCustomThreader::ProcessFtp() { RunResourceInfoStep(true); }

void TclCustomThreader::DoGetResourceInfo() {
    if (OnGetResourceInfo) Synchronize([this] { OnGetResourceInfo(this, ResourceInfo()); });
}

void TclCustomThreader::GetHttpResourceInfo() {
    // Only the header block is wanted: the request is closed unread, and
    // never kept for another use.
    TclActionLease<TclHttpOpenRequestAction> request(PrepareHttpRequest("GET", false), true);
    SendRequest(*request);
    if (Terminated()) return;
    InterpretResponseHeaders(*request);
}

void TclCustomThreader::GetFtpResourceInfo() {
    TclInternetConnection& connection = *Connection();
    TclResourceInfo& info = NeedResourceInfo();
    {
        TclActionLease<TclFtpOpenFileAction> file(OpenFtpFile(), !KeepConnection());
        if (Terminated()) return;
        TclFtpGetFileSizeAction size(&connection, FOpenAction->hResource(), file->hResource());
        size.FireAction(GetActualTimeOut(FTimeOut));
        info.SetSize(size.FileSize());
    }
    if (Terminated()) return;
    try {
        TclFtpFindFirstFileAction find(&connection, FOpenAction->hResource(), FConnectAction->hResource(),
                                       Utf8ToUtf16(FURLParser.Path()), INTERNET_FLAG_RELOAD);
        find.FireAction(GetActualTimeOut(FTimeOut));
        if (find.lpFindFileData.ftLastWriteTime > 0) {
            info.SetDate(UnixTimeToLocalDateTime(static_cast<std::time_t>(find.lpFindFileData.ftLastWriteTime)));
        }
    } catch (const EclInternetError&) {
        // Servers that cannot list a file still serve it.
    }
}

TclFtpOpenFileAction* TclCustomThreader::OpenFtpFile() {
    TclFtpOpenFileAction* file =
        AcquireAction<TclFtpOpenFileAction>(*Connection(), FOpenAction->hResource(), FConnectAction->hResource(),
                                            FURLParser.Path(), GENERIC_READ, INTERNET_FLAG_TRANSFER_BINARY);
    FireNewAction(*file);
    return file;
}

void TclCustomThreader::FireNewAction(TclInternetResourceAction& AAction) {
    // A kept action still holds its handle; a new one opens it here.
    if (AAction.hResource() != 0) return;
    try {
        AAction.FireAction(GetActualTimeOut(FTimeOut));
    } catch (...) {
        ReleaseAction(&AAction);
        throw;
    }
}

std::string TclCustomThreader::RequestHeaderBlock() const { return Trim(FRequestHeader.Text()); }

TclHttpOpenRequestAction* TclCustomThreader::PrepareHttpRequest(const std::string& AVerb, bool ADecodeBody) {
    uint32_t flags = INTERNET_FLAG_RELOAD;
    if (FKeepConnection) flags |= INTERNET_FLAG_KEEP_CONNECTION;
    if (FURLParser.UrlType() == utHTTPS) flags |= INTERNET_FLAG_SECURE;
    std::string objectName = FURLParser.AbsolutePath();
    objectName.erase(std::min(objectName.find('#'), objectName.size()));

    TclHttpOpenRequestAction* request =
        AcquireAction<TclHttpOpenRequestAction>(*Connection(), FOpenAction->hResource(), FConnectAction->hResource(),
                                                AVerb, objectName, std::string(), std::string(), std::string(), flags);
    FireNewAction(*request);
    const HINTERNET handle = request->hResource();

    const std::string block = RequestHeaderBlock();
    if (!block.empty()) HttpAddRequestHeadersA(handle, AnsiText(block), HTTP_ADDREQ_FLAG_ADD_IF_NEW);
    if (FAllowCompression) {
        HttpAddRequestHeadersA(handle, "Accept-Encoding: gzip", HTTP_ADDREQ_FLAG_ADD_IF_NEW);
        if (ADecodeBody) {
            const uint32_t decode = 1;
            InternetSetOptionA(handle, INTERNET_OPTION_HTTP_DECODING, &decode, sizeof decode);
        }
    }
    const std::string& proxyUser = FHttpProxySettings.UserName();
    const std::string& proxyPassword = FHttpProxySettings.Password();
    if (FHttpProxySettings.AuthorizationType() == atBasic && (!proxyUser.empty() || !proxyPassword.empty())) {
        bool startNewConnection = false;
        std::string credentials;
        const TStringList basic{"Basic"};
        if (TclHttpAuthorization::Authorize(FURLParser, AVerb, proxyUser, proxyPassword, basic, nullptr,
                                            startNewConnection, credentials)) {
            HttpAddRequestHeadersA(handle, AnsiText("Proxy-Authorization: " + credentials),
                                   HTTP_ADDREQ_FLAG_ADD_IF_NEW);
        }
    }
    return request;
}

void TclCustomThreader::SendRequest(TclHttpOpenRequestAction& ARequest) {
    for (int send = 1;; ++send) {
        SendWithErrorLoop(ARequest);
        if (!ReadStatusAndHeaders(ARequest)) return;
        const int status = FLastStatusCode;
        if (status < 400) return;
        // A fourth refusal is a failure whatever its kind: going on with the
        // refusal's body would store an error page as the resource.
        const bool lastSend = send >= cMaxSends;
        if (status == 401 && !lastSend) {
            SetCredentials(ARequest, INTERNET_OPTION_USERNAME, INTERNET_OPTION_PASSWORD, FURLParser.UserName(),
                           FURLParser.Password());
        } else if (status == 407 && !lastSend && FHttpProxySettings.AuthorizationType() == atAutoDetect) {
            SetCredentials(ARequest, INTERNET_OPTION_PROXY_USERNAME, INTERNET_OPTION_PROXY_PASSWORD,
                           FHttpProxySettings.UserName(), FHttpProxySettings.Password());
        } else {
            throw EclInternetError(FormatNumber(cHttpResourceAccessError, status), status);
        }
        if (Terminated()) return;
    }
}

void TclCustomThreader::SetCredentials(TclHttpOpenRequestAction& ARequest, uint32_t AUserOption,
                                       uint32_t APasswordOption, const std::string& AUserName,
                                       const std::string& APassword) {
    const HINTERNET handle = ARequest.hResource();
    if (!AUserName.empty()) {
        InternetSetOptionA(handle, AUserOption, AUserName.data(), static_cast<uint32_t>(AUserName.size()));
    }
    if (!APassword.empty()) {
        InternetSetOptionA(handle, APasswordOption, APassword.data(), static_cast<uint32_t>(APassword.size()));
    }
}

void TclCustomThreader::SendWithErrorLoop(TclHttpOpenRequestAction& ARequest) {
    TclActionLease<TclHttpSendRequestAction> send(
        std::make_unique<TclHttpSendRequestAction>(Connection(), FOpenAction->hResource(), ARequest.hResource(),
                                                   std::string())
            .release(),
        true);
    int forceRetries = 0;
    int lastHandledCode = 0;
    for (;;) {
        try {
            send->FireAction(GetActualTimeOut(FTimeOut));
            return;
        } catch (const EclTimeoutInternetError&) {
            throw;
        } catch (const EclInternetError& e) {
            if (Terminated()) throw;
            const int code = e.ErrorCode();
            if (code == static_cast<int>(ERROR_INTERNET_FORCE_RETRY)) {
                if (++forceRetries > cMaxForceRetries) throw;
                continue;
            }
            forceRetries = 0;
            if (code == lastHandledCode || !HandleSendError(ARequest, code)) throw;
            lastHandledCode = code;
        }
    }
}

bool TclCustomThreader::HandleSendError(TclHttpOpenRequestAction& ARequest, int AErrorCode) {
    switch (static_cast<uint32_t>(AErrorCode)) {
        case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
        case ERROR_INTERNET_SEC_CERT_CN_INVALID:
        case ERROR_INTERNET_INVALID_CA:
            if (FURLParser.UrlType() == utHTTPS) SetCertificateFlagsOnRequest(ARequest);
            return true;
        case ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED:
            SetClientCertificate(ARequest);
            return true;
        default:
            return false;
    }
}

void TclCustomThreader::SetCertificateFlagsOnRequest(TclHttpOpenRequestAction& ARequest) {
    const HINTERNET handle = ARequest.hResource();
    uint32_t flags = 0;
    uint32_t length = sizeof flags;
    if (!InternetQueryOptionA(handle, INTERNET_OPTION_SECURITY_FLAGS, &flags, &length)) {
        throw EclInternetError::CreateByLastError();
    }
    if (FCertificateFlags.Contains(cfIgnoreCommonNameInvalid)) flags |= SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
    if (FCertificateFlags.Contains(cfIgnoreDateInvalid)) flags |= SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
    if (FCertificateFlags.Contains(cfIgnoreUnknownAuthority)) flags |= SECURITY_FLAG_IGNORE_UNKNOWN_CA;
    if (FCertificateFlags.Contains(cfIgnoreRevocation)) flags |= SECURITY_FLAG_IGNORE_REVOCATION;
    if (FCertificateFlags.Contains(cfIgnoreWrongUsage)) flags |= SECURITY_FLAG_IGNORE_WRONG_USAGE;
    if (!InternetSetOptionA(handle, INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof flags)) {
        throw EclInternetError::CreateByLastError();
    }
}

void TclCustomThreader::SetClientCertificate(TclHttpOpenRequestAction& ARequest) {
    TclCertificateList extraCerts;
    FCertificate = nullptr;
    FCertificateHandled = false;
    if (OnGetCertificate) {
        Synchronize([&] { OnGetCertificate(this, FCertificate, extraCerts, FCertificateHandled); });
    }
    if (!FCertificateHandled || FCertificate == nullptr) return;
    if (!InternetSetOptionA(ARequest.hResource(), INTERNET_OPTION_CLIENT_CERT_CONTEXT, FCertificate,
                            sizeof(TclCertificate*))) {
        throw EclInternetError::CreateByLastError();
    }
}

bool TclCustomThreader::ReadStatusAndHeaders(TclHttpOpenRequestAction& ARequest) {
    const HINTERNET handle = ARequest.hResource();
    FResponseHeader.SetText(QueryInfoText(handle, HTTP_QUERY_RAW_HEADERS_CRLF));
    uint32_t code = 0;
    uint32_t length = sizeof code;
    if (!HttpQueryInfoA(handle, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &length, nullptr)) {
        FLastStatusCode = 0;
        SetError(std::string(), cStatusCodeQuery, 0);
        return false;
    }
    FLastStatusCode = static_cast<int>(code);
    const std::string text = QueryInfoText(handle, HTTP_QUERY_STATUS_TEXT);
    ModifyResourceInfo([&](TclResourceInfo& AInfo) {
        AInfo.SetStatusCode(static_cast<int>(code));
        AInfo.SetStatusText(text);
    });
    return true;
}

void TclCustomThreader::InterpretResponseHeaders(TclHttpOpenRequestAction& ARequest) {
    TclHttpResponseHeader header;
    header.ParseHeader(FResponseHeader);
    const int64_t contentLength = StrToInt64Def(Trim(header.ContentLength()), 0);
    TDateTime date = ParseDateField(header.LastModified());
    if (date == 0) date = ParseDateField(header.Date());
    const bool rangesInBytes = SameText(Trim(header.AcceptRanges()), "bytes");
    const bool compressed = NamesGzip(header.ContentEncoding());

    ModifyResourceInfo([&](TclResourceInfo& AInfo) {
        if (contentLength > 0) AInfo.SetSize(contentLength);
        if (date != 0) {
            AInfo.SetDate(date);
        } else if (!rangesInBytes) {
            AInfo.SetSize(0);
        }
        if (!header.ContentType().empty()) {
            AInfo.SetContentType(header.ContentType());
        } else {
            AInfo.SetSize(0);
        }
        if (!header.ContentDisposition().empty()) AInfo.SetContentDisposition(header.ContentDisposition());
        if (compressed) AInfo.SetCompressed(true);
    });
    // The position test asks the transport and runs here, on this thread.
    const int64_t size = ResourceInfo()->Size();
    const bool randomAccess =
        size > 0 && InternetSetFilePointer(ARequest.hResource(), 0, nullptr, FILE_END, 0) != INVALID_SET_FILE_POINTER;
    ModifyResourceInfo([&](TclResourceInfo& AInfo) { AInfo.SetAllowsRandomAccess(randomAccess); });
}

// --- TclDownLoadThreader ---

TclDownLoadThreader::TclDownLoadThreader(const std::string& AURL, TStream* ADataStream, bool AIsGetResourceInfo)
    : TclCustomThreader(AURL, ADataStream), FIsGetResourceInfo(AIsGetResourceInfo) {}

int64_t TclDownLoadThreader::RemainingBytes() const { return BytesToProceed() < 0 ? -1 : StopPos() - ResourcePos(); }

int64_t TclDownLoadThreader::StopPos() const {
    // The range's end as created: where it started plus its length.
    const int64_t end = ResourcePos() - FDownloadedBytes + BytesToProceed();
    return std::min(end, FEarlyStop.load());
}

void TclDownLoadThreader::StopAt(int64_t APos, bool AAbandon) {
    FEarlyStop = std::max(APos, ResourcePos());
    if (AAbandon) Interrupt();
}

bool TclDownLoadThreader::ReachedEarlyStop() const {
    return FEarlyStop.load() != INT64_MAX && BytesToProceed() >= 0 && RemainingBytes() <= 0;
}

void TclDownLoadThreader::ProcessRequest() {
    // A worker stopped early at the bytes it has is done: the abandoned
    // call's failure, or a pause before the next attempt, ends it well.
    if (ReachedEarlyStop()) return;
    try {
        TclCustomThreader::ProcessRequest();
    } catch (const EclInternetError&) {
        if (!ReachedEarlyStop()) throw;
    }
}

void TclDownLoadThreader::RemoveContentHeaderLines() {
    TStrings& lines = RequestHeader();
    for (int i = lines.Count() - 1; i >= 0; --i) {
        if (FindText("content-", lines[i]) != std::string::npos) lines.Delete(i);
    }
}

void TclDownLoadThreader::ProcessHttp() {
    RemoveContentHeaderLines();
    TclCustomThreader::ProcessHttp();
    if (FIsGetResourceInfo || RemainingBytes() == 0 || Terminated()) return;

    const bool keepRaw = IsBodyDecodedAtCommit(DoNotGetResourceInfo(), AllowCompression(), ResourceInfo());
    TclActionLease<TclHttpOpenRequestAction> request(PrepareHttpRequest("GET", !keepRaw), !KeepConnection());
    if (Terminated()) return;
    AddRangeHeader(*request);
    SendRequest(*request);
    if (Terminated()) return;
    if (DoNotGetResourceInfo()) {
        InterpretResponseHeaders(*request);
        DoGetResourceInfo();
    }
    CheckDataResponse(keepRaw);
    ReadData(request->hResource(), 0);
}

void TclDownLoadThreader::AddRangeHeader(TclHttpOpenRequestAction& ARequest) {
    const int64_t remaining = RemainingBytes();
    if (remaining < 0) return;
    // A later attempt asks only for what is still missing of the range.
    char line[80];
    std::snprintf(line, sizeof line, "Range: bytes=%lld-%lld", static_cast<long long>(ResourcePos()),
                  static_cast<long long>(ResourcePos() + remaining - 1));
    HttpAddRequestHeadersA(ARequest.hResource(), line, HTTP_ADDREQ_FLAG_ADD_IF_NEW);
}

void TclDownLoadThreader::CheckDataResponse(bool AKeepRaw) {
    TclHttpResponseHeader header;
    header.ParseHeader(ResponseHeader());
    const bool ranged = BytesToProceed() >= 0;
    // Raw bytes are stored for a decoding at commit, so they must be gzip;
    // and a range of a gzip stream cannot be decoded by the transport.
    const bool gzip = NamesGzip(header.ContentEncoding());
    if ((AKeepRaw && !gzip) || (ranged && gzip && !AKeepRaw)) {
        throw EclInternetError(cEncodingChanged, static_cast<int>(ERROR_HTTP_INVALID_SERVER_RESPONSE));
    }
    if (!ranged) return;
    const int64_t wanted = ResourcePos();
    // A full answer serves a range only when the range starts the body.
    const bool fits = LastStatusCode() == 206 ? ContentRangeStart(header.ContentRange()) == wanted : wanted == 0;
    if (!fits) {
        throw EclInternetError(FormatNumber(cRangeNotHonoured, wanted),
                               static_cast<int>(ERROR_HTTP_INVALID_SERVER_RESPONSE));
    }
}

void TclDownLoadThreader::ProcessFtp() {
    TclCustomThreader::ProcessFtp();
    if (FIsGetResourceInfo || RemainingBytes() == 0 || Terminated()) return;
    TclActionLease<TclFtpOpenFileAction> file(OpenFtpFile(), !KeepConnection());
    if (Terminated()) return;
    // FTP reads start at the beginning of the file: what precedes the next
    // wanted byte is read past.
    ReadData(file->hResource(), BytesToProceed() < 0 ? 0 : ResourcePos());
}

void TclDownLoadThreader::ReadData(HINTERNET AFile, int64_t ASkipBytes) {
    TStream* stream = DataStream();
    std::mutex* accessor = DataAccessor();
    auto lockStream = [accessor] {
        return accessor ? std::unique_lock<std::mutex>(*accessor) : std::unique_lock<std::mutex>();
    };
    if (BytesToProceed() < 0) {
        // A whole body always starts over.
        if (FStartPos < 0) FStartPos = ResourcePos();
        SetResourcePos(FStartPos);
        FDownloadedBytes = 0;
        if (stream) {
            auto lock = lockStream();
            stream->SetPosition(0);
        }
    }
    const size_t bufferSize = static_cast<size_t>(std::max(BatchSize(), 1)) + 1;
    if (FBuffer.size() != bufferSize) FBuffer.assign(bufferSize, 0);
    const uint32_t batch = static_cast<uint32_t>(bufferSize - 1);

    TclActionLease<TclInternetReadFileAction> read(
        std::make_unique<TclInternetReadFileAction>(Connection(), FOpenAction->hResource(), AFile, FBuffer.data())
            .release(),
        true);
    int64_t skip = ASkipBytes;
    for (;;) {
        const int64_t remaining = RemainingBytes();
        if (remaining == 0) break;
        uint32_t amount = batch;
        if (remaining >= 0 && skip + remaining < amount) amount = static_cast<uint32_t>(skip + remaining);
        read->dwNumberOfBytesToRead = amount;
        read->lpdwNumberOfBytesRead = 0;
        read->FireAction(GetActualTimeOut(TimeOut()));
        const uint32_t count = std::min(read->lpdwNumberOfBytesRead, amount);
        if (count == 0) {
            // An early end of a range is a failure: the next attempt fetches the rest.
            if (remaining > 0 && !Terminated()) {
                throw EclInternetError(FormatNumber(cBodyEndedEarly, remaining),
                                       static_cast<int>(ERROR_INTERNET_CONNECTION_ABORTED));
            }
            break;
        }
        FBuffer[count] = 0;
        uint32_t offset = 0;
        if (skip > 0) {
            offset = static_cast<uint32_t>(std::min<int64_t>(skip, count));
            skip -= offset;
            if (offset == count) continue;
        }
        uint32_t size = count - offset;
        {
            // The stop may move down until the lock is taken, not after.
            auto lock = lockStream();
            if (BytesToProceed() >= 0) size = static_cast<uint32_t>(std::min<int64_t>(size, RemainingBytes()));
            if (size == 0) break;
            if (stream) {
                if (BytesToProceed() >= 0) stream->SetPosition(ResourcePos());
                stream->WriteBuffer(FBuffer.data() + offset, size);
            }
            FDownloadedBytes += size;
            SetResourcePos(ResourcePos() + size);
        }
        FLastChunkSize = size;
        if (OnDataItemProceed) {
            // While the event runs, the transport takes in what the network
            // has sent: often the event is then over without a wait.
            Synchronize(
                [this, offset, size] {
                    OnDataItemProceed(this, ResourceInfo(), ResourcePos(), FBuffer.data() + offset,
                                      static_cast<int>(size));
                },
                [AFile] { InternetReadAhead(AFile); });
        }
        if (Terminated() || RemainingBytes() == 0) break;
    }
}

// --- TclDeleteThreader ---

TclDeleteThreader::TclDeleteThreader(const std::string& AURL) : TclCustomThreader(AURL, nullptr) {}

void TclDeleteThreader::ProcessHttp() {
    TclActionLease<TclHttpOpenRequestAction> request(PrepareHttpRequest("DELETE", false), !KeepConnection());
    if (Terminated()) return;
    SendRequest(*request);
}

void TclDeleteThreader::ProcessFtp() {
    const std::string& path = URLParser().Path();
    const HINTERNET connect = FConnectAction->hResource();
    const bool removed =
        !path.empty() && path.back() == '/' ? FtpRemoveDirectoryA(connect, path) : FtpDeleteFileA(connect, path);
    if (!removed) throw EclInternetError::CreateByLastError();
}

}  // namespace cl
