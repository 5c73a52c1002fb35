#include "http/clHttp.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "http/clHeaderFieldList.h"
#include "http/clHttpAuth.h"
#include "http/clHttpUtils.h"
#include "rtl/clTranslator.h"
#include "transport/clWinSock2.h"
#include "http/clZLibStreams.h"
#include "rtl/clStrUtils.h"

namespace cl {

namespace {

// The first line is the request line of an earlier attempt when it has a
// space before any colon.
bool IsRequestLine(const std::string& ALine) {
    const size_t space = ALine.find(' ');
    if (space == std::string::npos) return false;
    const size_t colon = ALine.find(':');
    return colon == std::string::npos || space < colon;
}

int HeaderStartOf(const TStrings& ALines) { return ALines.Count() > 0 && IsRequestLine(ALines[0]) ? 1 : 0; }

// Removes the field of that name, then appends it with the new value.
void SetRequestField(TStrings& ALines, const std::string& AName, const std::string& AValue) {
    TclHeaderFieldList fields;
    fields.Parse(HeaderStartOf(ALines), ALines);
    fields.RemoveField(AName);
    fields.AddField(AName, AValue);
}

void RemoveAllFields(TclHeaderFieldList& AFields, const std::string& AName) {
    while (AFields.GetFieldIndex(AName) >= 0) AFields.RemoveField(AName);
}

// The lower-cased URI up to and including its last "/", ending with "/".
std::string FolderOf(const std::string& AUri) {
    std::string result = LowerCase(AUri);
    const size_t slash = result.rfind('/');
    result = slash == std::string::npos ? std::string() : result.substr(0, slash + 1);
    if (!result.empty() && result.back() != '/') result += '/';
    return result;
}

// Index of the first occurrence of APattern in the bytes from AStart on, or -1.
int64_t IndexOfBytes(const TMemoryStream& AData, int64_t AStart, std::string_view APattern) {
    const auto& bytes = AData.Bytes();
    if (AStart < 0 || static_cast<size_t>(AStart) >= bytes.size()) return -1;
    const auto begin = bytes.begin() + AStart;
    const auto found = std::search(begin, bytes.end(), APattern.begin(), APattern.end());
    return found == bytes.end() ? -1 : found - bytes.begin();
}

// The end of the header beginning at AStart (just past its empty line), or -1.
int64_t HeaderEndOf(const TMemoryStream& AData, int64_t AStart) {
    int64_t terminator = IndexOfBytes(AData, AStart, "\r\n\r\n");
    if (terminator >= 0) return terminator + 4;
    terminator = IndexOfBytes(AData, AStart, "\n\n");
    return terminator >= 0 ? terminator + 2 : -1;
}

// Empty lines before a status line are passed over.
int64_t SkipLineEnds(const TMemoryStream& AData, int64_t AStart) {
    const auto& bytes = AData.Bytes();
    while (static_cast<size_t>(AStart) < bytes.size() &&
           (bytes[static_cast<size_t>(AStart)] == '\r' || bytes[static_cast<size_t>(AStart)] == '\n')) {
        ++AStart;
    }
    return AStart;
}

// The method is a token; every line of the request is free of line breaks
// and NUL, or the caller's text would become lines of the request.
bool IsTokenChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

void CheckRequestMethod(const std::string& AMethod) {
    if (AMethod.empty() || !std::all_of(AMethod.begin(), AMethod.end(), IsTokenChar)) {
        throw EclTcpClientError("The request method is not a valid token", cRequestInvalid);
    }
}

void CheckRequestLines(const TStrings& ALines) {
    for (int i = 0; i < ALines.Count(); ++i) {
        if (ALines[i].find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
            throw EclTcpClientError("A request line holds a line break", cRequestInvalid);
        }
    }
}

std::string OriginOf(const TclUrlParser& AUrl) {
    return LowerCase(AUrl.Scheme()) + "://" + LowerCase(AUrl.Host()) + ":" + std::to_string(AUrl.Port());
}

// An interim answer precedes the final one; 101 ends the exchange instead.
bool IsInterimStatus(int AStatusCode) { return AStatusCode >= 100 && AStatusCode < 200 && AStatusCode != 101; }

struct TclResponseError {
    int Code;
    const char* Message;
};

const TclResponseError cResponseErrors[] = {
    {cResponseIncomplete, "The connection was closed before the whole response was received"},
    {cResponseHeaderTooLarge, "The response header is too large"},
    {cResponseNoStatusLine, "The response does not begin with a status line"},
    {cResponseBadLength, "The response has an invalid or conflicting Content-Length"},
    {cResponseTooManyInterim, "The response has too many interim answers"},
};

std::string AsciiText(const TMemoryStream& AData, int64_t AFrom, int64_t ATo) {
    if (ATo <= AFrom) return std::string();
    return TclTranslator::GetString(AData.Memory() + AFrom, static_cast<int>(ATo - AFrom), "us-ascii");
}

std::string JoinLines(const TStrings& ALines) {
    std::string result;
    for (int i = 0; i < ALines.Count(); ++i) {
        if (i > 0) result += "\r\n";
        result += ALines[i];
    }
    return result;
}

bool IsDeadConnectionError(int ACode) {
    // A keep-alive connection the server closed shows on Linux as a reset
    // more often than as an abort.
    return ACode == WSAECONNABORTED || ACode == WSAENOTSOCK || ACode == WSAECONNRESET;
}

// Runs its action when the scope ends, however it ends: a setting changed for
// one step is put back also when the step fails.
template <class F>
class TclOnScopeExit {
public:
    explicit TclOnScopeExit(F AAction) : FAction(std::move(AAction)) {}
    ~TclOnScopeExit() { FAction(); }
    TclOnScopeExit(const TclOnScopeExit&) = delete;
    TclOnScopeExit& operator=(const TclOnScopeExit&) = delete;

private:
    F FAction;
};

// Routes the connection's progress reports to a handler for one phase.
class TclProgressRoute {
public:
    TclProgressRoute(TclConnection& AConnection, TclProgressEvent AHandler) : FConnection(AConnection) {
        FConnection.OnProgress = std::move(AHandler);
    }
    ~TclProgressRoute() { FConnection.OnProgress = nullptr; }
    TclProgressRoute(const TclProgressRoute&) = delete;
    TclProgressRoute& operator=(const TclProgressRoute&) = delete;

private:
    TclConnection& FConnection;
};

// Passes written bytes on up to a limit. What arrives past it is either not
// in the body and dropped (lDrop), or the rest of a body read only for its
// text, not kept (lRaise: the write raises EFull after storing
// what fits, so that reading and decoding stop there). Its position counts
// every byte written, which is how the layers below measure what they delivered.
class TclLimitedStream : public TStream {
public:
    enum TclPastLimit { lDrop, lRaise };
    struct EFull {};
    TclLimitedStream(TStream& ADestination, int64_t ALimit, TclPastLimit APastLimit = lDrop)
        : FDestination(ADestination), FLeft(ALimit), FPastLimit(APastLimit) {}
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void* ABuffer, int64_t ACount) override {
        if (ACount <= 0) return 0;
        const int64_t taken = std::min(ACount, FLeft);
        if (taken > 0) FDestination.WriteBuffer(ABuffer, taken);
        FLeft -= taken;
        FPosition += ACount;
        if (taken < ACount && FPastLimit == lRaise) throw EFull{};
        return ACount;
    }
    // Write-only: every seek answers the end.
    int64_t Seek(int64_t, TSeekOrigin) override { return FPosition; }

private:
    TStream& FDestination;
    int64_t FLeft;
    TclPastLimit FPastLimit;
    int64_t FPosition = 0;
};

}  // namespace

// ---- TclHttpProxySettings ----

void TclHttpProxySettings::Assign(const TclHttpProxySettings& ASource) {
    FAuthorizationType = ASource.FAuthorizationType;
    FUserName = ASource.FUserName;
    FPassword = ASource.FPassword;
    FServer = ASource.FServer;
    FPort = ASource.FPort;
}

void TclHttpProxySettings::Clear() { Assign(TclHttpProxySettings()); }

// ---- TclHttp: construction and properties ----

TclHttp::TclHttp()
    : FUrl(std::make_unique<TclUrlParser>()),
      FProxySettings(std::make_unique<TclHttpProxySettings>()),
      FResponseHeader(std::make_unique<TclHttpResponseHeader>()),
      FResponseCookies(std::make_unique<TclCookieList>()) {
    SetTLSFlags(TclTlsFlags{tfUseSSL3, tfUseTLS, tfUseTLS11, tfUseTLS12});
}

TclHttp::~TclHttp() {
    try {
        Close();
    } catch (...) {
    }
    NotifyDestroying();
}

void TclHttp::Notification(TComponent* AComponent, TOperation AOperation) {
    TclTcpClientTls::Notification(AComponent, AOperation);
    if (AOperation != opRemove) return;
    if (AComponent == FRequest) FRequest = nullptr;
    if (AComponent == FCookieManager) FCookieManager = nullptr;
}

void TclHttp::SetRequest(TclHttpRequest* AValue) {
    if (FRequest == AValue) return;
    if (FRequest) RemoveFreeNotification(FRequest);
    FRequest = AValue;
    if (FRequest) FreeNotification(FRequest);
    Changed();
}

TclCookieManager* TclHttp::CookieManager() {
    if (FCookieManager) return FCookieManager;
    if (!FOwnCookieManager) FOwnCookieManager = std::make_unique<TclCookieManager>();
    return FOwnCookieManager.get();
}

void TclHttp::SetCookieManager(TclCookieManager* AValue) {
    if (FCookieManager == AValue) return;
    if (FCookieManager) RemoveFreeNotification(FCookieManager);
    FCookieManager = AValue;
    FOwnCookieManager.reset();
    if (FCookieManager) FreeNotification(FCookieManager);
    Changed();
}

void TclHttp::SetProxySettings(const TclHttpProxySettings& AValue) {
    FProxySettings->Assign(AValue);
    Changed();
}

void TclHttp::SetCharSet(const std::string& AValue) {
    if (FCharSet == AValue) return;
    FCharSet = AValue;
    FUrl->SetCharSet(AValue);
    Changed();
}

void TclHttp::SetBoolProperty(bool& AField, bool AValue) {
    if (AField == AValue) return;
    AField = AValue;
    Changed();
}

void TclHttp::SetStringProperty(std::string& AField, const std::string& AValue) {
    if (AField == AValue) return;
    AField = AValue;
    Changed();
}

void TclHttp::SetIntProperty(int& AField, int AValue) {
    if (AField == AValue) return;
    AField = AValue;
    Changed();
}

void TclHttp::SetHttpVersion(TclHttpVersion AValue) {
    if (FHttpVersion == AValue) return;
    FHttpVersion = AValue;
    Changed();
}

void TclHttp::SetAuthorizationType(TclAuthorizationType AValue) {
    if (FAuthorizationType == AValue) return;
    FAuthorizationType = AValue;
    Changed();
}

void TclHttp::SetUserName(const std::string& AValue) { SetStringProperty(FUserName, AValue); }
void TclHttp::SetPassword(const std::string& AValue) { SetStringProperty(FPassword, AValue); }
void TclHttp::SetAuthorization(const std::string& AValue) { SetStringProperty(FAuthorization, AValue); }
void TclHttp::SetUserAgent(const std::string& AValue) { SetStringProperty(FUserAgent, AValue); }
void TclHttp::SetKeepConnection(bool AValue) { SetBoolProperty(FKeepConnection, AValue); }
void TclHttp::SetAllowCaching(bool AValue) { SetBoolProperty(FAllowCaching, AValue); }
void TclHttp::SetAllowRedirects(bool AValue) { SetBoolProperty(FAllowRedirects, AValue); }
void TclHttp::SetAllowCookies(bool AValue) { SetBoolProperty(FAllowCookies, AValue); }
void TclHttp::SetAllowCompression(bool AValue) { SetBoolProperty(FAllowCompression, AValue); }
void TclHttp::SetSilentHTTP(bool AValue) { SetBoolProperty(FSilentHTTP, AValue); }
void TclHttp::SetExpect100Continue(bool AValue) { SetBoolProperty(FExpect100Continue, AValue); }
void TclHttp::SetMaxRedirects(int AValue) { SetIntProperty(FMaxRedirects, AValue); }
void TclHttp::SetMaxAuthRetries(int AValue) { SetIntProperty(FMaxAuthRetries, AValue); }

// ---- Operations ----

TclHttpRequest& TclHttp::GetActualRequest(TclHttpRequest* ARequest) {
    TclHttpRequest* request = ARequest ? ARequest : FRequest;
    if (!request) {
        if (!FOwnRequest) FOwnRequest = std::make_unique<TclHttpRequest>();
        FOwnRequest->Clear();
        request = FOwnRequest.get();
    }
    if (!FCharSet.empty()) request->Header().SetCharSet(FCharSet);
    return *request;
}

std::string TclHttp::GetResponseCharSet() const {
    return FResponseHeader->CharSet().empty() ? FCharSet : FResponseHeader->CharSet();
}

void TclHttp::SendRequest(const std::string& AMethod, const std::string& AUrl, const TStrings* ARequestHeader,
                          TStream* ARequestBody, TStrings* AResponseHeader, TStream* AResponseBody) {
    const TStringList emptyLines;
    TStringList ownResponseLines;
    TclNullStream nullBody;
    TclNullStream nullResponse;
    FUrl->Parse(AUrl);
    FCredentialsOrigin = OriginOf(*FUrl);
    InternalSendRequest(AMethod, ARequestHeader ? *ARequestHeader : emptyLines,
                        ARequestBody ? *ARequestBody : nullBody,
                        AResponseHeader ? *AResponseHeader : ownResponseLines,
                        AResponseBody ? *AResponseBody : nullResponse);
}

void TclHttp::SendRequest(const std::string& AMethod, const std::string& AUrl, const TStrings* ARequestHeader,
                          TStream* ARequestBody, TStream* AResponseBody) {
    SendRequest(AMethod, AUrl, ARequestHeader, ARequestBody, nullptr, AResponseBody);
}

void TclHttp::SendRequest(const std::string& AMethod, const std::string& AUrl, TclHttpRequest* ARequest,
                          TStrings* AResponseHeader, TStream* AResponseBody) {
    TclHttpRequest& request = GetActualRequest(ARequest);
    const TStringList lines(request.HeaderSource());
    std::unique_ptr<TStream> body = request.RequestStream();
    SendRequest(AMethod, AUrl, &lines, body.get(), AResponseHeader, AResponseBody);
}

void TclHttp::SendRequest(const std::string& AMethod, const std::string& AUrl, TclHttpRequest* ARequest,
                          TStream* AResponseBody) {
    SendRequest(AMethod, AUrl, ARequest, nullptr, AResponseBody);
}

void TclHttp::InternalGet(const std::string& AUrl, TclHttpRequest* ARequest, TStream* AResponseBody,
                          TStrings* AResponseHeader) {
    TclHttpRequest& request = GetActualRequest(ARequest);
    const std::string query = Trim(request.RequestSource().Text());
    const TStringList lines(request.HeaderSource());
    SendRequest("GET", query.empty() ? AUrl : AUrl + "?" + query, &lines, nullptr, AResponseHeader, AResponseBody);
}

void TclHttp::InternalHead(const std::string& AUrl, TStrings* AResponseHeader) {
    const TStringList lines(GetActualRequest(nullptr).HeaderSource());
    SendRequest("HEAD", AUrl, &lines, nullptr, AResponseHeader, nullptr);
}

void TclHttp::InternalPut(const std::string& AUrl, const std::string& AContentType, TStream* AResponseBody,
                          TStrings* AResponseHeader, TStream* ASource) {
    TclHttpRequest& request = GetActualRequest(nullptr);
    request.Header().SetAccept("");
    if (!AContentType.empty()) request.Header().SetContentType(AContentType);
    const TStringList lines(request.HeaderSource());
    SendRequest("PUT", AUrl, &lines, ASource, AResponseHeader, AResponseBody);
}

void TclHttp::InternalPost(const std::string& AUrl, TclHttpRequest* ARequest, TStream* AResponseBody,
                           TStrings* AResponseHeader) {
    SendRequest("POST", AUrl, &GetActualRequest(ARequest), AResponseHeader, AResponseBody);
}

void TclHttp::InternalDelete(const std::string& AUrl, TStrings* AResponseHeader, TStream* AResponseBody) {
    const TStringList lines(GetActualRequest(nullptr).HeaderSource());
    SendRequest("DELETE", AUrl, &lines, nullptr, AResponseHeader, AResponseBody);
}

// Runs AOperation into a memory stream and decodes what it received into ADestination.
void TclHttp::ReceiveLines(TStrings& ADestination, const std::function<void(TStream&)>& AOperation) {
    TMemoryStream body;
    AOperation(body);
    body.SetPosition(0);
    ADestination.SetText(TclTranslator::GetString(body.Bytes(), GetResponseCharSet()));
}

std::unique_ptr<TStream> TclHttp::LinesToStream(const TStrings& ALines) const {
    auto stream = std::make_unique<TMemoryStream>();
    stream->WriteBuffer(TclTranslator::GetBytes(ALines.Text(), FCharSet));
    stream->SetPosition(0);
    return stream;
}

void TclHttp::Get(const std::string& AUrl, TStream* ADestination) { InternalGet(AUrl, nullptr, ADestination, nullptr); }

void TclHttp::Get(const std::string& AUrl, TStrings* AResponseHeader, TStream* AResponseBody) {
    InternalGet(AUrl, nullptr, AResponseBody, AResponseHeader);
}

void TclHttp::Get(const std::string& AUrl, TclHttpRequest* ARequest, TStream* ADestination) {
    InternalGet(AUrl, ARequest, ADestination, nullptr);
}

void TclHttp::Get(const std::string& AUrl, TclHttpRequest* ARequest, TStrings* AResponseHeader,
                  TStream* AResponseBody) {
    InternalGet(AUrl, ARequest, AResponseBody, AResponseHeader);
}

void TclHttp::Get(const std::string& AUrl, TStrings& ADestination) { Get(AUrl, nullptr, ADestination); }

void TclHttp::Get(const std::string& AUrl, TclHttpRequest* ARequest, TStrings& ADestination) {
    ReceiveLines(ADestination, [&](TStream& ABody) { InternalGet(AUrl, ARequest, &ABody, nullptr); });
}

void TclHttp::Head(const std::string& AUrl) { InternalHead(AUrl, nullptr); }
void TclHttp::Head(const std::string& AUrl, TStrings* AResponseHeader) { InternalHead(AUrl, AResponseHeader); }

void TclHttp::Post(const std::string& AUrl, TStream* AResponseBody) {
    InternalPost(AUrl, nullptr, AResponseBody, nullptr);
}

void TclHttp::Post(const std::string& AUrl, TclHttpRequest* ARequest, TStream* AResponseBody) {
    InternalPost(AUrl, ARequest, AResponseBody, nullptr);
}

void TclHttp::Post(const std::string& AUrl, TclHttpRequest* ARequest, TStrings* AResponseHeader,
                   TStream* AResponseBody) {
    InternalPost(AUrl, ARequest, AResponseBody, AResponseHeader);
}

void TclHttp::Post(const std::string& AUrl, TStrings& AResponseBody) { Post(AUrl, nullptr, AResponseBody); }

void TclHttp::Post(const std::string& AUrl, TclHttpRequest* ARequest, TStrings& AResponseBody) {
    ReceiveLines(AResponseBody, [&](TStream& ABody) { InternalPost(AUrl, ARequest, &ABody, nullptr); });
}

void TclHttp::Put(const std::string& AUrl, const std::string& AContentType, TStream* ASource,
                  TStream* AResponseBody) {
    InternalPut(AUrl, AContentType, AResponseBody, nullptr, ASource);
}

void TclHttp::Put(const std::string& AUrl, TStream* ASource, TStream* AResponseBody) {
    Put(AUrl, "", ASource, AResponseBody);
}

void TclHttp::Put(const std::string& AUrl, const std::string& AContentType, const TStrings& ASource,
                  TStrings* AResponseBody) {
    std::unique_ptr<TStream> source = LinesToStream(ASource);
    if (!AResponseBody) {
        InternalPut(AUrl, AContentType, nullptr, nullptr, source.get());
        return;
    }
    ReceiveLines(*AResponseBody,
                 [&](TStream& ABody) { InternalPut(AUrl, AContentType, &ABody, nullptr, source.get()); });
}

void TclHttp::Put(const std::string& AUrl, const TStrings& ASource, TStrings* AResponseBody) {
    Put(AUrl, "", ASource, AResponseBody);
}

void TclHttp::Patch(const std::string& AUrl, TStream* ASource, TStream* AResponseBody) {
    Patch(AUrl, nullptr, ASource, AResponseBody);
}

void TclHttp::Patch(const std::string& AUrl, const TStrings* ARequestHeader, TStream* ASource,
                    TStream* AResponseBody) {
    TclHttpRequest& request = GetActualRequest(nullptr);
    if (ARequestHeader) request.Header().ParseHeader(*ARequestHeader);
    request.Header().SetAccept("");
    const TStringList lines(request.HeaderSource());
    SendRequest("PATCH", AUrl, &lines, ASource, nullptr, AResponseBody);
}

void TclHttp::Patch(const std::string& AUrl, const TStrings& ASource, TStrings* AResponseBody) {
    std::unique_ptr<TStream> source = LinesToStream(ASource);
    if (!AResponseBody) {
        Patch(AUrl, nullptr, source.get(), nullptr);
        return;
    }
    ReceiveLines(*AResponseBody, [&](TStream& ABody) { Patch(AUrl, nullptr, source.get(), &ABody); });
}

void TclHttp::Delete(const std::string& AUrl, TStrings* AResponseHeader, TStream* AResponseBody) {
    InternalDelete(AUrl, AResponseHeader, AResponseBody);
}

// ---- The request loop ----

void TclHttp::InternalSendRequest(const std::string& AMethod, const TStrings& ARequestHeader, TStream& ARequestBody,
                                  TStrings& AResponseHeader, TStream& AResponseBody) {
    TStringList requestLines(ARequestHeader);
    TStringList responseText;
    TMemoryStream headerBuffer;
    TclNullStream emptyBody;
    TStream* body = &ARequestBody;
    CheckRequestMethod(AMethod);
    CheckRequestLines(requestLines);
    FMethod = AMethod;

    SendCredentialsUpFront(requestLines);

    const int64_t bodyStart = body->GetPosition();
    int redirects = 0;
    int authTries = 0;
    int proxyAuthTries = 0;
    bool closeAfter = false;
    int mode = 0;

    // Ends the call for a status that is not resolved: its text goes to the
    // caller's stream when silent, else it is raised.
    auto fail = [&] {
        if (FSilentHTTP) {
            SaveResponseText(responseText, &AResponseBody);
            return;
        }
        RaiseHttpError(AResponseHeader, responseText);
    };

    try {
        for (;;) {
            mode = GetTunnelMode();
            const bool wasOpen = Active();
            try {
                body->SetPosition(bodyStart);
                SendHeader(mode, requestLines, *body);
                SendBody(*body);
                DoSendRequest(FMethod, FUrl->AbsoluteUri(), requestLines);
                if (!ReadResponseHeader(AResponseHeader, headerBuffer)) {
                    closeAfter = true;
                    break;
                }
            } catch (const EclHttpError&) {
                throw;
            } catch (const EclSocketError& E) {
                // A reused connection the server had closed ends before the
                // status line: retry on a fresh one.
                if (wasOpen && (IsDeadConnectionError(E.ErrorCode()) || E.ErrorCode() == cResponseIncomplete)) {
                    Close();
                    continue;
                }
                throw;
            }
            const int64_t already = headerBuffer.GetSize() - headerBuffer.GetPosition();
            closeAfter = !IsKeepAlive() || !IsFramed();

            if (FStatusCode >= 300 && FStatusCode < 400 && FStatusCode != 304 && FStatusCode != 305) {
                ++redirects;
                if (!ReadResponseText(AResponseHeader, headerBuffer, responseText, already)) closeAfter = true;
                std::string method = FMethod;
                if ((FMaxRedirects > 0 && redirects > FMaxRedirects) || !FAllowRedirects ||
                    !ProcessRedirect(requestLines, responseText, method)) {
                    fail();
                    break;
                }
                if (SameText(method, "GET")) body = &emptyBody;
                FMethod = method;
                if (IsUseProxy()) closeAfter = true;
            } else if (FStatusCode == 401 || (FStatusCode == 407 && mode != 2)) {
                // Inside a tunnel a 407 comes from the origin server, not the
                // proxy: it is that server's error like any other 4xx.
                const bool proxy = FStatusCode == 407;
                int& tries = proxy ? proxyAuthTries : authTries;
                ++tries;
                if (!ReadResponseText(AResponseHeader, headerBuffer, responseText, already)) closeAfter = true;
                if ((!proxy && !FAuthorization.empty()) || (FMaxAuthRetries > 0 && tries > FMaxAuthRetries) ||
                    !Authorize(requestLines, proxy, tries, closeAfter)) {
                    fail();
                    break;
                }
            } else if (FStatusCode >= 400) {
                if (FSilentHTTP) {
                    ReadResponse(AResponseHeader, headerBuffer, &AResponseBody, already);
                    break;
                }
                if (!ReadResponseText(AResponseHeader, headerBuffer, responseText, already)) closeAfter = true;
                RaiseHttpError(AResponseHeader, responseText);
            } else {
                ReadResponse(AResponseHeader, headerBuffer, &AResponseBody, already);
                break;
            }
            if (closeAfter) Close();
        }
    } catch (const EclHttpError&) {
        // The whole response was read: the connection is in a known state.
        if (closeAfter && mode != 1) Close();
        throw;
    } catch (...) {
        // Anything else may leave part of a response unread on the
        // connection; the next call must not take it for its own.
        if (mode != 1) {
            try {
                Close();
            } catch (...) {
            }
        }
        throw;
    }
    if (closeAfter && mode != 1) Close();
}

void TclHttp::SendCredentialsUpFront(TStrings& ARequestLines) {
    if (FAuthorizationType == atBasic) {
        const std::string value = BasicCredentials(ActualUserName(), ActualPassword());
        if (!value.empty()) SetRequestField(ARequestLines, "Authorization", value);
    } else if (!FAuthorization.empty()) {
        SetRequestField(ARequestLines, "Authorization", FAuthorization);
    }
}

std::string TclHttp::BasicCredentials(const std::string& AUserName, const std::string& APassword) {
    TStringList challenge{"Basic"};
    bool startNew = false;
    std::string value;
    TclHttpAuthorization::Authorize(*FUrl, FMethod, AUserName, APassword, challenge, this, startNew, value);
    return value;
}

bool TclHttp::IsCredentialsOrigin() const { return OriginOf(*FUrl) == FCredentialsOrigin; }

std::string TclHttp::ActualUserName() const {
    return !FUserName.empty() && IsCredentialsOrigin() ? FUserName : TclUrlParser::DecodeUrl(FUrl->UserName());
}

std::string TclHttp::ActualPassword() const {
    return !FPassword.empty() && IsCredentialsOrigin() ? FPassword : TclUrlParser::DecodeUrl(FUrl->Password());
}

bool TclHttp::Authorize(TStrings& ARequestLines, bool AProxy, int ATries, bool& ACloseAfter) {
    const std::string user = AProxy ? FProxySettings->UserName() : ActualUserName();
    const std::string password = AProxy ? FProxySettings->Password() : ActualPassword();
    const TStrings& challenges = AProxy ? FResponseHeader->ProxyAuthenticate() : FResponseHeader->Authenticate();
    bool startNew = false;
    std::string value;
    if (!TclHttpAuthorization::Authorize(*FUrl, FMethod, user, password, challenges, this, startNew, value)) {
        return false;
    }
    SetRequestField(ARequestLines, AProxy ? "Proxy-Authorization" : "Authorization", value);
    SetKeepConnection(true);
    if (ATries == 1 && startNew) ACloseAfter = true;
    return true;
}

// ---- Connection ----

int TclHttp::GetTunnelMode() const {
    if (!IsUseProxy() || FUrl->UrlType() != utHTTPS) return 0;
    return SameText(FMethod, "CONNECT") ? 1 : 2;
}

namespace {
// A bracketed IPv6 literal is connected to, and checked in certificates, without its brackets.
std::string HostForConnect(const std::string& AHost) {
    if (AHost.size() >= 2 && AHost.front() == '[' && AHost.back() == ']') return AHost.substr(1, AHost.size() - 2);
    return AHost;
}
}  // namespace

void TclHttp::PrepareConnection(int AMode) {
    if (IsUseProxy()) {
        if (FProxySettings->Server() != FOldProxyServer || FProxySettings->Port() != FOldProxyPort) Close();
        FOldProxyServer = FProxySettings->Server();
        FOldProxyPort = FProxySettings->Port();
    }
    if (!FUrl->Host().empty() && FUrl->Host() != "*") {
        const std::string host = HostForConnect(FUrl->Host());
        if (Server() != host || Port() != FUrl->Port()) Close();
        SetServer(host);
        SetPort(FUrl->Port());
    }
    if (IsUseProxy() && FUrl->UrlType() == utHTTPS && AMode != 1) {
        // A tunnel still open to the same host is used again: a CONNECT
        // inside it would go to the origin server, not to the proxy.
        if (!(Active() && IsTls())) {
            OpenTunnel();
            StartTls();
        }
        Open();
        return;
    }
    const bool useTls = !IsUseProxy() && FUrl->UrlType() == utHTTPS;
    // Same host and port under another scheme: the open connection speaks
    // the wrong protocol.
    if (Active() && IsTls() != useTls) Close();
    SetUseTLS(useTls ? ctImplicit : ctNone);
    if (!Active()) Open();
}

void TclHttp::OpenTunnel() {
    const std::string method = FMethod;
    const TclHttpVersion version = FHttpVersion;
    const bool allowCookies = FAllowCookies;
    const bool allowCompression = FAllowCompression;
    FHttpVersion = hvHttp1_0;
    FKeepConnection = true;
    FAllowCompression = false;
    FAllowCaching = false;
    FAllowCookies = false;
    TclOnScopeExit restore([&] {
        FMethod = method;
        FHttpVersion = version;
        FAllowCookies = allowCookies;
        FAllowCompression = allowCompression;
    });
    const TStringList noLines;
    TStringList scratch;
    TclNullStream noBody;
    TclNullStream noResponse;
    InternalSendRequest("CONNECT", noLines, noBody, scratch, noResponse);
}

void TclHttp::OpenConnection(const std::string& AServer, int APort) {
    if (IsUseProxy()) {
        TclTcpClientTls::OpenConnection(FProxySettings->Server(), FProxySettings->Port());
    } else {
        TclTcpClientTls::OpenConnection(AServer, APort);
    }
}

// ---- Writing the request ----

void TclHttp::BuildRequestHeader(int AMode, TStrings& ARequestLines, TStream& ABody) {
    const int64_t remaining = ABody.GetSize() - ABody.GetPosition();
    if (ARequestLines.Count() > 0 && IsRequestLine(ARequestLines[0])) ARequestLines.Delete(0);
    while (ARequestLines.Count() > 0 && ARequestLines[ARequestLines.Count() - 1].empty()) {
        ARequestLines.Delete(ARequestLines.Count() - 1);
    }

    std::string target;
    if (!IsUseProxy() || AMode == 2) {
        target = FUrl->AbsolutePath();
    } else if (AMode == 1) {
        target = FUrl->Host() + ":" + std::to_string(FUrl->Port());
    } else {
        // The proxy sees the address, never the user information in it.
        TclUrlParser withoutUser;
        withoutUser.Assign(*FUrl);
        withoutUser.SetUserName("");
        withoutUser.SetPassword("");
        target = withoutUser.AbsoluteUri();
    }
    if (target.empty()) target = "/";
    ARequestLines.Insert(0, FMethod + " " + target + (FHttpVersion == hvHttp1_0 ? " HTTP/1.0" : " HTTP/1.1"));

    TclHeaderFieldList fields;
    fields.Parse(1, ARequestLines);
    fields.RemoveField("Host");
    if (FAllowCompression) fields.AddFieldIfNotExist("Accept-Encoding", "gzip");
    const std::string host = FUrl->Host().empty() ? Server() : FUrl->Host();
    const int port = FUrl->Host().empty() ? Port() : FUrl->Port();
    fields.AddField("Host", port == 80 || port == 443 ? host : host + ":" + std::to_string(port));
    fields.AddFieldIfNotExist("User-Agent", FUserAgent);

    const bool hasLength = fields.GetFieldIndex("Content-Length") >= 0;
    const int64_t declared = StrToInt64Def(Trim(fields.GetFieldValue("Content-Length")), 0);
    if (declared > 0 && remaining == 0) {
        fields.RemoveField("Content-Length");
        fields.RemoveField("Content-Type");
    } else if (!hasLength) {
        if (AMode == 1 || remaining > 0) {
            fields.AddField("Content-Length", std::to_string(remaining));
        } else if (SameText(FMethod, "POST")) {
            fields.AddField("Content-Length", "0");
        }
    }
    if (!FAllowCaching) fields.AddFieldIfNotExist(FHttpVersion == hvHttp1_0 ? "Pragma" : "Cache-Control", "no-cache");
    if (FKeepConnection) fields.AddFieldIfNotExist(IsUseProxy() ? "Proxy-Connection" : "Connection", "Keep-Alive");
    // Proxy credentials are for the proxy: on CONNECT and on plain requests
    // through it, never inside a tunnel, where the origin would read them.
    if (AMode == 2) {
        RemoveAllFields(fields, "Proxy-Authorization");
    } else if (IsUseProxy() && FProxySettings->AuthorizationType() == atBasic &&
               fields.GetFieldIndex("Proxy-Authorization") < 0) {
        const std::string value = BasicCredentials(FProxySettings->UserName(), FProxySettings->Password());
        if (!value.empty()) fields.AddField("Proxy-Authorization", value);
    }
    fields.RemoveField("Expect");
    if (FExpect100Continue && remaining > 0) fields.AddField("Expect", "100-continue");
    if (FAllowCookies) {
        TclCookieList cookies;
        CookieManager()->GetCookies(cookies, FUrl->Host(), FUrl->AbsolutePath(), FUrl->Port(),
                                    FUrl->UrlType() == utHTTPS);
        RemoveAllFields(fields, "Cookie");
        cookies.SetRequestCookies(ARequestLines);
    }
    ARequestLines.Add("");
}

void TclHttp::SendHeader(int AMode, TStrings& ARequestLines, TStream& ABody) {
    PrepareConnection(AMode);
    BuildRequestHeader(AMode, ARequestLines, ABody);
    // The address gives the request line, Host and the cookies: checked as written.
    CheckRequestLines(ARequestLines);
    Connection()->WriteString(ARequestLines.Text(), "us-ascii");
}

void TclHttp::SendBody(TStream& ABody) {
    const int64_t size = ABody.GetSize();
    if (size == 0) return;
    TclTcpClientConnection& connection = *Connection();
    FProgressHandled = false;
    connection.InitProgress(ABody.GetPosition(), size);
    {
        TclProgressRoute route(connection, [this](TObject*, int64_t ADone, int64_t ATotal) {
            DoSendProgress(ADone, ATotal);
        });
        connection.WriteData(&ABody);
    }
    if (!FProgressHandled) DoSendProgress(size, size);
}

// ---- Reading the response ----

bool TclHttp::ReadResponseHeader(TStrings& AResponseHeaderLines, TMemoryStream& AHeaderBuffer) {
    TclTcpClientConnection& connection = *Connection();
    AHeaderBuffer.Clear();
    FStatusCode = 0;
    FStatusText.clear();
    FResponseVersion = FHttpVersion;
    FContentLength = -1;
    connection.SetIsReadUntilClose(false);
    connection.InitProgress(0, 0);

    int64_t start = 0;
    int64_t headerEnd = -1;
    int interim = 0;
    bool first = true;
    while (headerEnd < 0) {
        if (first) {
            // The first read stops near BatchSize, so that a large body is
            // not pulled into the header buffer.
            TclOnScopeExit restoreLimit([&connection, saved = connection.BytesToProceed()] {
                connection.SetBytesToProceed(saved);
            });
            connection.SetBytesToProceed(BatchSize());
            first = false;
            connection.ReadData(&AHeaderBuffer);
        } else {
            connection.ReadData(&AHeaderBuffer);
        }
        // Every complete header in the buffer; interim answers are passed over.
        for (;;) {
            start = SkipLineEnds(AHeaderBuffer, start);
            if (!ReadStatusLine(AHeaderBuffer, start)) break;
            const int64_t end = HeaderEndOf(AHeaderBuffer, start);
            if (end < 0) break;
            if (!IsInterimStatus(FStatusCode)) {
                headerEnd = end;
                break;
            }
            if (++interim > kMaxInterimResponses) RaiseResponseError(cResponseTooManyInterim);
            start = end;
        }
        // Interim headers count too: a peer must not fill the memory with
        // a header that never ends, nor with endless interim answers.
        if (headerEnd >= 0) break;
        if (AHeaderBuffer.GetSize() > kMaxResponseHeader) RaiseResponseError(cResponseHeaderTooLarge);
        if (!connection.Active()) RaiseResponseError(cResponseIncomplete);
    }
    if (headerEnd > kMaxResponseHeader) RaiseResponseError(cResponseHeaderTooLarge);

    AResponseHeaderLines.SetText(AsciiText(AHeaderBuffer, start, headerEnd));
    if (AResponseHeaderLines.Count() > kMaxResponseHeaderLines) RaiseResponseError(cResponseHeaderTooLarge);
    AHeaderBuffer.SetPosition(headerEnd);
    FResponseHeader->ParseHeader(AResponseHeaderLines);
    ReadContentLength(AResponseHeaderLines);
    FResponseCookies->GetResponseCookies(AResponseHeaderLines, FUrl->Host(), FUrl->AbsolutePath(), FUrl->Port());
    if (FAllowCookies) CookieManager()->AddCookies(*FResponseCookies);
    bool cancel = false;
    DoReceiveHeader(FMethod, FUrl->AbsoluteUri(), AResponseHeaderLines, *FResponseCookies, cancel);
    return !cancel;
}

bool TclHttp::ReadStatusLine(const TMemoryStream& AHeaderBuffer, int64_t AStart) {
    const auto& bytes = AHeaderBuffer.Bytes();
    const auto size = static_cast<int64_t>(bytes.size());
    // Whatever has arrived must be the start of "HTTP/": anything else is
    // refused now rather than waited on until the time-out.
    static constexpr std::string_view cPrefix = "HTTP/";
    for (int64_t i = 0; i < static_cast<int64_t>(cPrefix.size()) && AStart + i < size; ++i) {
        const char c = static_cast<char>(std::toupper(bytes[static_cast<size_t>(AStart + i)]));
        if (c != cPrefix[static_cast<size_t>(i)]) RaiseResponseError(cResponseNoStatusLine);
    }
    const int64_t lineEnd = IndexOfBytes(AHeaderBuffer, AStart, "\n");
    // A status line that never ends is stopped by the caller's header limit.
    if (lineEnd < 0) return false;
    ParseStatusLine(AsciiText(AHeaderBuffer, AStart, lineEnd));
    return true;
}

void TclHttp::ParseStatusLine(const std::string& ALine) {
    // HTTP-version SP 3DIGIT [SP reason-phrase]; the reason may be missing.
    const std::string line = Trim(ALine);
    const size_t versionEnd = line.find(' ');
    if (versionEnd == std::string::npos) RaiseResponseError(cResponseNoStatusLine);
    const std::string version = UpperCase(line.substr(0, versionEnd));
    FResponseVersion = FHttpVersion;
    if (version == "HTTP/1.0") {
        FResponseVersion = hvHttp1_0;
    } else if (version == "HTTP/1.1") {
        FResponseVersion = hvHttp1_1;
    }
    const size_t codeStart = line.find_first_not_of(' ', versionEnd);
    const bool codeOk = codeStart != std::string::npos && line.size() - codeStart >= 3 &&
                        std::isdigit(static_cast<unsigned char>(line[codeStart])) &&
                        std::isdigit(static_cast<unsigned char>(line[codeStart + 1])) &&
                        std::isdigit(static_cast<unsigned char>(line[codeStart + 2])) &&
                        (line.size() == codeStart + 3 || line[codeStart + 3] == ' ');
    if (!codeOk || line[codeStart] == '0') RaiseResponseError(cResponseNoStatusLine);
    FStatusCode = std::stoi(line.substr(codeStart, 3));
    FStatusText = line.size() > codeStart + 3 ? Trim(line.substr(codeStart + 4)) : std::string();
}

// Every Content-Length field, and every item of a listed one, must be the
// same plain decimal number: a length that cannot be read would drop the
// body, and two lengths let two readers frame the same bytes differently.
void TclHttp::ReadContentLength(TStrings& AResponseHeaderLines) {
    TclHeaderFieldList fields;
    fields.Parse(1, AResponseHeaderLines);
    std::string agreed;
    for (int i = 0; i < fields.FieldList().Count(); ++i) {
        if (Trim(fields.FieldList()[i]) != "content-length") continue;
        const std::string value = fields.GetFieldValue(i);
        size_t from = 0;
        for (;;) {
            const size_t comma = value.find(',', from);
            std::string item = Trim(value.substr(from, comma == std::string::npos ? std::string::npos : comma - from));
            const size_t first = item.find_first_not_of('0');
            item = first == std::string::npos ? (item.empty() ? item : std::string("0")) : item.substr(first);
            const bool digits = !item.empty() && item.find_first_not_of("0123456789") == std::string::npos;
            // Eighteen digits always fit 63 bits.
            if (!digits || item.size() > 18 || (!agreed.empty() && item != agreed)) {
                RaiseResponseError(cResponseBadLength);
            }
            agreed = item;
            if (comma == std::string::npos) break;
            from = comma + 1;
        }
    }
    FContentLength = agreed.empty() ? -1 : std::stoll(agreed);
}

bool TclHttp::HasNoBody() const {
    if (SameText(FMethod, "HEAD")) return true;
    if (SameText(FMethod, "CONNECT") && FStatusCode == 200) return true;
    return (FStatusCode >= 100 && FStatusCode < 200) || FStatusCode == 204 || FStatusCode == 304;
}

int64_t TclHttp::GetResponseLength() {
    if (HasNoBody()) return 0;
    const bool hasLength = FContentLength >= 0;
    if ((FHttpVersion == hvHttp1_1 && FResponseVersion == hvHttp1_1) || hasLength) {
        if (hasLength) return FContentLength;
        if ((FStatusCode & 200) != 200) return 0;
        return -1;
    }
    return -1;
}

bool TclHttp::IsChunked() const { return SameText(FResponseHeader->TransferEncoding(), "chunked"); }

bool TclHttp::IsFramed() {
    // The length rules give 0 to an HTTP/1.1 error response that carries
    // neither a length nor chunked coding; whatever body it has is still on
    // the wire, so such a connection is not used again.
    if (HasNoBody() || IsChunked() || FContentLength >= 0) return true;
    return GetResponseLength() != 0;
}

bool TclHttp::ReadResponseBody(const TStrings& AResponseHeaderLines, TMemoryStream& AHeaderBuffer,
                               TStream& ADestination, int64_t AAlready) {
    TclTcpClientConnection& connection = *Connection();
    FProgressHandled = false;
    bool whole = true;
    if (!HasNoBody()) {
        TclProgressRoute route(connection, [this](TObject*, int64_t ADone, int64_t ATotal) {
            DoReceiveProgress(ADone, ATotal);
        });
        std::unique_ptr<TclGZipInflateStream> gzip;
        TStream* destination = &ADestination;
        if (LowerCase(FResponseHeader->ContentEncoding()).find("gzip") != std::string::npos) {
            gzip = std::make_unique<TclGZipInflateStream>(ADestination);
            destination = gzip.get();
        }
        try {
            if (IsChunked()) {
                TclChunkedStream chunked(destination);
                if (AAlready > 0) chunked.CopyFrom(AHeaderBuffer, AAlready);
                connection.InitProgress(AAlready, -1);
                while (connection.Active() && !chunked.IsCompleted()) connection.ReadData(&chunked);
                if (!chunked.IsCompleted()) RaiseResponseError(cResponseIncomplete);
                if (!FProgressHandled) DoReceiveProgress(connection.BytesProceed(), -1);
            } else {
                const int64_t total = GetResponseLength();
                TclLimitedStream body(*destination, total < 0 ? INT64_MAX : total);
                if (AAlready > 0) body.CopyFrom(AHeaderBuffer, AAlready);
                connection.InitProgress(AAlready, total);
                if (total >= 0) {
                    while (connection.Active() && connection.BytesProceed() < total) connection.ReadData(&body);
                    if (connection.BytesProceed() < total) RaiseResponseError(cResponseIncomplete);
                } else if (connection.Active()) {
                    TclOnScopeExit stopReadingUntilClose([&connection] { connection.SetIsReadUntilClose(false); });
                    connection.SetIsReadUntilClose(true);
                    connection.ReadData(&body);
                }
                if (!FProgressHandled) DoReceiveProgress(total, total);
            }
            if (gzip) gzip->Finish();
        } catch (const TclLimitedStream::EFull&) {
            whole = false;
        }
    }
    DoReceiveResponse(FMethod, FUrl->AbsoluteUri(), AResponseHeaderLines, *FResponseCookies);
    return whole;
}

void TclHttp::RaiseResponseError(int ACode) {
    for (const TclResponseError& error : cResponseErrors) {
        if (error.Code == ACode) throw EclTcpClientError(error.Message, ACode);
    }
    throw EclTcpClientError("The response is malformed", ACode);
}

void TclHttp::ReadResponse(const TStrings& AResponseHeaderLines, TMemoryStream& AHeaderBuffer, TStream* ADestination,
                           int64_t AAlready) {
    if (SameText(FMethod, "HEAD")) return;
    TclNullStream nowhere;
    ReadResponseBody(AResponseHeaderLines, AHeaderBuffer, ADestination ? *ADestination : nowhere, AAlready);
}

bool TclHttp::ReadResponseText(const TStrings& AResponseHeaderLines, TMemoryStream& AHeaderBuffer,
                               TStrings& AResponseText, int64_t AAlready) {
    if (SameText(FMethod, "HEAD")) {
        AResponseText.Clear();
        return true;
    }
    TMemoryStream body;
    TclLimitedStream prefix(body, kMaxResponseText, TclLimitedStream::lRaise);
    const bool whole = ReadResponseBody(AResponseHeaderLines, AHeaderBuffer, prefix, AAlready);
    AResponseText.SetText(TclTranslator::GetString(body.Bytes(), GetResponseCharSet()));
    return whole;
}

void TclHttp::SaveResponseText(const TStrings& AResponseText, TStream* ADestination) {
    if (ADestination) ADestination->WriteBuffer(TclTranslator::GetBytes(AResponseText.Text(), GetResponseCharSet()));
}

bool TclHttp::IsKeepAlive() const {
    // After 101 the connection speaks another protocol.
    if (FStatusCode == 101) return false;
    const std::string& field = IsUseProxy() ? FResponseHeader->ProxyConnection() : FResponseHeader->Connection();
    bool result;
    if (FHttpVersion == hvHttp1_1 && FResponseVersion == hvHttp1_1) {
        result = !SameText(field, "close");
    } else {
        result = SameText(field, "Keep-Alive");
    }
    return result && FKeepConnection;
}

// ---- Redirects and errors ----

bool TclHttp::ProcessRedirect(TStrings& ARequestLines, const TStrings& AResponseText, std::string& AMethod) {
    const std::string location = FResponseHeader->Location();
    bool canRedirect = false;
    bool handled = false;
    const std::string oldFolder = FolderOf(FUrl->AbsoluteUri());
    DoRedirect(ARequestLines, FStatusCode, *FResponseHeader, AResponseText, AMethod, canRedirect, handled);
    if (handled || location.empty()) return canRedirect;
    FUrl->Parse(FUrl->AbsoluteUri(), location);
    const std::string newUri = FUrl->AbsoluteUri();
    canRedirect = !newUri.empty();
    if (canRedirect) {
        AMethod = GetRedirectMethod(FStatusCode, AMethod);
        if (!FolderOf(newUri).starts_with(oldFolder)) {
            TclHeaderFieldList fields;
            fields.Parse(HeaderStartOf(ARequestLines), ARequestLines);
            fields.RemoveField("Authorization");
        }
    }
    return canRedirect;
}

std::string TclHttp::GetRedirectMethod(int AStatusCode, const std::string& AMethod) {
    return AStatusCode == 302 || AStatusCode == 303 ? "GET" : AMethod;
}

void TclHttp::RaiseHttpError(const TStrings& AResponseHeaderLines, const TStrings& AResponseText) {
    throw EclHttpError(AResponseHeaderLines.Count() > 0 ? AResponseHeaderLines[0] : std::string(), FStatusCode,
                       JoinLines(AResponseText));
}

// ---- Events ----

void TclHttp::DoSendRequest(const std::string& AMethod, const std::string& AUrl, const TStrings& ARequestHeader) {
    if (OnSendRequest) OnSendRequest(this, AMethod, AUrl, ARequestHeader);
}

void TclHttp::DoReceiveHeader(const std::string& AMethod, const std::string& AUrl, const TStrings& AResponseHeader,
                              TclCookieList& ACookies, bool& Cancel) {
    if (OnReceiveHeader) OnReceiveHeader(this, AMethod, AUrl, AResponseHeader, ACookies, Cancel);
}

void TclHttp::DoReceiveResponse(const std::string& AMethod, const std::string& AUrl, const TStrings& AResponseHeader,
                                TclCookieList& ACookies) {
    if (OnReceiveResponse) OnReceiveResponse(this, AMethod, AUrl, AResponseHeader, ACookies);
}

void TclHttp::DoSendProgress(int64_t ABytesProceed, int64_t ATotalBytes) {
    FProgressHandled = true;
    if (OnSendProgress) OnSendProgress(this, ABytesProceed, ATotalBytes);
}

void TclHttp::DoReceiveProgress(int64_t ABytesProceed, int64_t ATotalBytes) {
    FProgressHandled = true;
    if (OnReceiveProgress) OnReceiveProgress(this, ABytesProceed, ATotalBytes);
}

void TclHttp::DoRedirect(TStrings& ARequestHeader, int AStatusCode, const TclHttpResponseHeader& AResponseHeader,
                         const TStrings& AResponseText, std::string& AMethod, bool& CanRedirect, bool& Handled) {
    if (OnRedirect) OnRedirect(this, ARequestHeader, AStatusCode, AResponseHeader, AResponseText, AMethod, CanRedirect,
                               Handled);
}

}  // namespace cl
