// The HTTP client's face: construction and properties, the public
// operations (Get, Head, Post, Put, Patch, Delete) that all end in
// SendRequest, the events, and the helpers its other files share.
#include "http/clHttp.h"

#include "http/clHeaderFieldList.h"
#include "http/clHttpInternal.h"
#include "rtl/clStrUtils.h"
#include "rtl/clTranslator.h"

namespace cl {

// ---- Helpers shared by the client's files ----

namespace httpclient {

bool IsRequestLine(const std::string& ALine) {
    const size_t space = ALine.find(' ');
    if (space == std::string::npos) return false;
    const size_t colon = ALine.find(':');
    return colon == std::string::npos || space < colon;
}

int HeaderStartOf(const TStrings& ALines) { return ALines.Count() > 0 && IsRequestLine(ALines[0]) ? 1 : 0; }

void SetRequestField(TStrings& ALines, const std::string& AName, const std::string& AValue) {
    TclHeaderFieldList fields;
    fields.Parse(HeaderStartOf(ALines), ALines);
    fields.RemoveField(AName);
    fields.AddField(AName, AValue);
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

}  // namespace httpclient

using namespace httpclient;

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
    InternalSendRequest(AMethod, ARequestHeader ? *ARequestHeader : emptyLines, ARequestBody ? *ARequestBody : nullBody,
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

void TclHttp::Put(const std::string& AUrl, const std::string& AContentType, TStream* ASource, TStream* AResponseBody) {
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

void TclHttp::Patch(const std::string& AUrl, const TStrings* ARequestHeader, TStream* ASource, TStream* AResponseBody) {
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
    if (OnRedirect)
        OnRedirect(this, ARequestHeader, AStatusCode, AResponseHeader, AResponseText, AMethod, CanRedirect, Handled);
}

}  // namespace cl
