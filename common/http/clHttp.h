// The synchronous HTTP/1.1 client: one call names a method and an address
// and returns with the response status, header and decoded body. It opens or
// reuses the (TLS) connection, writes the request, frames the response
// (interim 100, chunked, gzip, Content-Length or until close), follows
// redirects, answers authorization challenges, keeps cookies and turns
// failure statuses into EclHttpError.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "http/clCookieManager.h"
#include "http/clHttpHeader.h"
#include "http/clHttpProxySettings.h"
#include "http/clHttpRequest.h"
#include "transport/clTcpClientTls.h"
#include "http/clUriUtils.h"
#include "rtl/clStreams.h"
#include "rtl/clStringList.h"

namespace cl {

enum TclHttpVersion { hvHttp1_0, hvHttp1_1 };

// The client's own transport codes: the server closed the connection before
// the response it announced (its header, or the body by length or chunked
// coding) was complete; the response header (all interim ones included) was
// longer than kMaxResponseHeader bytes or kMaxResponseHeaderLines lines; the
// response did not begin with a status line; its Content-Length is not a
// number or its Content-Length fields disagree; more than
// kMaxInterimResponses interim (1xx) answers came before the final one; the
// request's method, target or a header line holds a line break or another
// character that cannot stand there, and nothing of it was sent.
enum : int {
    cResponseIncomplete = -201,
    cResponseHeaderTooLarge = -202,
    cResponseNoStatusLine = -203,
    cResponseBadLength = -204,
    cResponseTooManyInterim = -205,
    cRequestInvalid = -206,
};
constexpr int64_t kMaxResponseHeader = 1 << 20;
constexpr int kMaxResponseHeaderLines = 1000;
constexpr int kMaxInterimResponses = 16;
// Of a body that is read only for its text (a redirect, a challenge, an
// error) this many decoded bytes are kept; a longer one is cut there and its
// connection closed.
constexpr int64_t kMaxResponseText = 64 * 1024;

// A failure status: the status line as message, the status code as
// ErrorCode, the response body as text.
class EclHttpError : public EclTcpClientError {
public:
    EclHttpError(std::string AErrorMsg, int AErrorCode, std::string AResponseText)
        : EclTcpClientError(std::move(AErrorMsg), AErrorCode), FResponseText(std::move(AResponseText)) {}
    const std::string& ResponseText() const noexcept { return FResponseText; }

private:
    std::string FResponseText;
};

using TclHttpSendRequestEvent = std::function<void(TObject* Sender, const std::string& AMethod, const std::string& AUrl,
                                                   const TStrings& ARequestHeader)>;
using TclHttpReceiveHeaderEvent =
    std::function<void(TObject* Sender, const std::string& AMethod, const std::string& AUrl,
                       const TStrings& AResponseHeader, TclCookieList& ACookies, bool& Cancel)>;
using TclHttpReceiveResponseEvent =
    std::function<void(TObject* Sender, const std::string& AMethod, const std::string& AUrl,
                       const TStrings& AResponseHeader, TclCookieList& ACookies)>;
using TclHttpRedirectEvent = std::function<void(
    TObject* Sender, TStrings& ARequestHeader, int AStatusCode, const TclHttpResponseHeader& AResponseHeader,
    const TStrings& AResponseText, std::string& AMethod, bool& CanRedirect, bool& Handled)>;

class TclHttp : public TclTcpClientTls {
public:
    TclHttp();
    ~TclHttp() override;

    // --- Operations. A null pointer stands for "none". ---
    void SendRequest(const std::string& AMethod, const std::string& AUrl, const TStrings* ARequestHeader,
                     TStream* ARequestBody, TStrings* AResponseHeader, TStream* AResponseBody);
    void SendRequest(const std::string& AMethod, const std::string& AUrl, const TStrings* ARequestHeader,
                     TStream* ARequestBody, TStream* AResponseBody);
    void SendRequest(const std::string& AMethod, const std::string& AUrl, TclHttpRequest* ARequest,
                     TStrings* AResponseHeader, TStream* AResponseBody);
    void SendRequest(const std::string& AMethod, const std::string& AUrl, TclHttpRequest* ARequest,
                     TStream* AResponseBody);

    void Get(const std::string& AUrl, TStream* ADestination);
    void Get(const std::string& AUrl, TStrings* AResponseHeader, TStream* AResponseBody);
    void Get(const std::string& AUrl, TclHttpRequest* ARequest, TStream* ADestination);
    void Get(const std::string& AUrl, TclHttpRequest* ARequest, TStrings* AResponseHeader, TStream* AResponseBody);
    // The body decoded to lines with the response's charset.
    void Get(const std::string& AUrl, TStrings& ADestination);
    void Get(const std::string& AUrl, TclHttpRequest* ARequest, TStrings& ADestination);

    void Head(const std::string& AUrl);
    void Head(const std::string& AUrl, TStrings* AResponseHeader);

    void Post(const std::string& AUrl, TStream* AResponseBody);
    void Post(const std::string& AUrl, TclHttpRequest* ARequest, TStream* AResponseBody);
    void Post(const std::string& AUrl, TclHttpRequest* ARequest, TStrings* AResponseHeader, TStream* AResponseBody);
    void Post(const std::string& AUrl, TStrings& AResponseBody);
    void Post(const std::string& AUrl, TclHttpRequest* ARequest, TStrings& AResponseBody);

    void Put(const std::string& AUrl, const std::string& AContentType, TStream* ASource,
             TStream* AResponseBody = nullptr);
    void Put(const std::string& AUrl, TStream* ASource, TStream* AResponseBody = nullptr);
    void Put(const std::string& AUrl, const std::string& AContentType, const TStrings& ASource,
             TStrings* AResponseBody = nullptr);
    void Put(const std::string& AUrl, const TStrings& ASource, TStrings* AResponseBody = nullptr);

    void Patch(const std::string& AUrl, TStream* ASource, TStream* AResponseBody = nullptr);
    void Patch(const std::string& AUrl, const TStrings* ARequestHeader, TStream* ASource,
               TStream* AResponseBody = nullptr);
    void Patch(const std::string& AUrl, const TStrings& ASource, TStrings* AResponseBody = nullptr);

    void Delete(const std::string& AUrl, TStrings* AResponseHeader = nullptr, TStream* AResponseBody = nullptr);

    // --- Properties. ---
    // Not owned; the client forgets it when it is destroyed.
    TclHttpRequest* Request() const { return FRequest; }
    void SetRequest(TclHttpRequest* AValue);
    TclHttpVersion HttpVersion() const { return FHttpVersion; }
    void SetHttpVersion(TclHttpVersion AValue);
    const std::string& UserName() const { return FUserName; }
    void SetUserName(const std::string& AValue);
    const std::string& Password() const { return FPassword; }
    void SetPassword(const std::string& AValue);
    const std::string& Authorization() const { return FAuthorization; }
    void SetAuthorization(const std::string& AValue);
    TclAuthorizationType AuthorizationType() const { return FAuthorizationType; }
    void SetAuthorizationType(TclAuthorizationType AValue);
    const std::string& UserAgent() const { return FUserAgent; }
    void SetUserAgent(const std::string& AValue);
    bool KeepConnection() const { return FKeepConnection; }
    void SetKeepConnection(bool AValue);
    bool AllowCaching() const { return FAllowCaching; }
    void SetAllowCaching(bool AValue);
    bool AllowRedirects() const { return FAllowRedirects; }
    void SetAllowRedirects(bool AValue);
    bool AllowCookies() const { return FAllowCookies; }
    void SetAllowCookies(bool AValue);
    bool AllowCompression() const { return FAllowCompression; }
    void SetAllowCompression(bool AValue);
    TclHttpProxySettings& ProxySettings() { return *FProxySettings; }
    void SetProxySettings(const TclHttpProxySettings& AValue);
    int MaxRedirects() const { return FMaxRedirects; }
    void SetMaxRedirects(int AValue);
    int MaxAuthRetries() const { return FMaxAuthRetries; }
    void SetMaxAuthRetries(int AValue);
    // The assigned store, else the client's own, made on first use.
    TclCookieManager* CookieManager();
    // Not owned; assigning another store frees the client's own.
    void SetCookieManager(TclCookieManager* AValue);
    bool SilentHTTP() const { return FSilentHTTP; }
    void SetSilentHTTP(bool AValue);
    bool Expect100Continue() const { return FExpect100Continue; }
    void SetExpect100Continue(bool AValue);
    const std::string& CharSet() const { return FCharSet; }
    // Also the charset of the request path's percent-encoding.
    void SetCharSet(const std::string& AValue);

    // --- The last response. ---
    TclUrlParser& Url() { return *FUrl; }
    int StatusCode() const { return FStatusCode; }
    const std::string& StatusText() const { return FStatusText; }
    TclHttpVersion ResponseVersion() const { return FResponseVersion; }
    TclHttpResponseHeader& ResponseHeader() { return *FResponseHeader; }
    TclCookieList& ResponseCookies() { return *FResponseCookies; }

    TclHttpSendRequestEvent OnSendRequest;
    TclHttpReceiveHeaderEvent OnReceiveHeader;
    TclHttpReceiveResponseEvent OnReceiveResponse;
    TclProgressEvent OnSendProgress;
    TclProgressEvent OnReceiveProgress;
    TclHttpRedirectEvent OnRedirect;

    static constexpr const char* DefaultUserAgent = "Mozilla/4.0 (compatible; HTTP/1.1 client)";

protected:
    virtual void InternalGet(const std::string& AUrl, TclHttpRequest* ARequest, TStream* AResponseBody,
                             TStrings* AResponseHeader);
    virtual void InternalHead(const std::string& AUrl, TStrings* AResponseHeader);
    virtual void InternalPut(const std::string& AUrl, const std::string& AContentType, TStream* AResponseBody,
                             TStrings* AResponseHeader, TStream* ASource);
    virtual void InternalPost(const std::string& AUrl, TclHttpRequest* ARequest, TStream* AResponseBody,
                              TStrings* AResponseHeader);
    virtual void InternalDelete(const std::string& AUrl, TStrings* AResponseHeader, TStream* AResponseBody);
    virtual std::string GetRedirectMethod(int AStatusCode, const std::string& AMethod);

    virtual void DoSendRequest(const std::string& AMethod, const std::string& AUrl, const TStrings& ARequestHeader);
    virtual void DoReceiveHeader(const std::string& AMethod, const std::string& AUrl, const TStrings& AResponseHeader,
                                 TclCookieList& ACookies, bool& Cancel);
    virtual void DoReceiveResponse(const std::string& AMethod, const std::string& AUrl, const TStrings& AResponseHeader,
                                   TclCookieList& ACookies);
    virtual void DoSendProgress(int64_t ABytesProceed, int64_t ATotalBytes);
    virtual void DoReceiveProgress(int64_t ABytesProceed, int64_t ATotalBytes);
    virtual void DoRedirect(TStrings& ARequestHeader, int AStatusCode, const TclHttpResponseHeader& AResponseHeader,
                            const TStrings& AResponseText, std::string& AMethod, bool& CanRedirect, bool& Handled);

    int GetDefaultPort() override { return 80; }
    void OpenConnection(const std::string& AServer, int APort) override;
    void Notification(TComponent* AComponent, TOperation AOperation) override;

private:
    // Request loop and request writing.
    void InternalSendRequest(const std::string& AMethod, const TStrings& ARequestHeader, TStream& ARequestBody,
                             TStrings& AResponseHeader, TStream& AResponseBody);
    void SendCredentialsUpFront(TStrings& ARequestLines);
    std::string BasicCredentials(const std::string& AUserName, const std::string& APassword);
    // UserName and Password belong to the scheme, host and port of the
    // address the call was given; any other origin gets the credentials of
    // its own address only (percent-escapes decoded).
    bool IsCredentialsOrigin() const;
    std::string ActualUserName() const;
    std::string ActualPassword() const;
    // Sets the (Proxy-)Authorization field for the next attempt; false when no scheme applies.
    bool Authorize(TStrings& ARequestLines, bool AProxy, int ATries, bool& ACloseAfter);
    int GetTunnelMode() const;
    void PrepareConnection(int AMode);
    void OpenTunnel();
    void BuildRequestHeader(int AMode, TStrings& ARequestLines, TStream& ABody);
    void SendHeader(int AMode, TStrings& ARequestLines, TStream& ABody);
    void SendBody(TStream& ABody);

    // Response reading.
    bool ReadResponseHeader(TStrings& AResponseHeaderLines, TMemoryStream& AHeaderBuffer);
    // True once the status line beginning at AStart is complete and parsed;
    // raises at once when the bytes there cannot begin one.
    bool ReadStatusLine(const TMemoryStream& AHeaderBuffer, int64_t AStart);
    void ParseStatusLine(const std::string& ALine);
    void ReadContentLength(TStrings& AResponseHeaderLines);
    int64_t GetResponseLength();
    bool IsChunked() const;
    // HEAD, 1xx, 204, 304 and a tunnel's 200 carry no body, whatever the header says.
    bool HasNoBody() const;
    // Whether the end of the body is known from the header, so the
    // connection can carry another exchange.
    bool IsFramed();
    // False when the destination refused more (a kept prefix was full) and
    // the rest of the body is still on the connection.
    bool ReadResponseBody(const TStrings& AResponseHeaderLines, TMemoryStream& AHeaderBuffer, TStream& ADestination,
                          int64_t AAlready);
    void ReadResponse(const TStrings& AResponseHeaderLines, TMemoryStream& AHeaderBuffer, TStream* ADestination,
                      int64_t AAlready);
    // False when the text was cut at kMaxResponseText: the connection must close.
    bool ReadResponseText(const TStrings& AResponseHeaderLines, TMemoryStream& AHeaderBuffer, TStrings& AResponseText,
                          int64_t AAlready);
    void SaveResponseText(const TStrings& AResponseText, TStream* ADestination);
    bool IsKeepAlive() const;
    [[noreturn]] static void RaiseResponseError(int ACode);

    bool ProcessRedirect(TStrings& ARequestLines, const TStrings& AResponseText, std::string& AMethod);
    [[noreturn]] void RaiseHttpError(const TStrings& AResponseHeaderLines, const TStrings& AResponseText);

    TclHttpRequest& GetActualRequest(TclHttpRequest* ARequest);
    std::string GetResponseCharSet() const;
    bool IsUseProxy() const { return !FProxySettings->Server().empty(); }
    void ReceiveLines(TStrings& ADestination, const std::function<void(TStream&)>& AOperation);
    std::unique_ptr<TStream> LinesToStream(const TStrings& ALines) const;
    void SetBoolProperty(bool& AField, bool AValue);
    void SetStringProperty(std::string& AField, const std::string& AValue);
    void SetIntProperty(int& AField, int AValue);

    std::string FCharSet;
    std::unique_ptr<TclUrlParser> FUrl;
    TclHttpVersion FHttpVersion = hvHttp1_1;
    std::string FUserName;
    std::string FPassword;
    int FStatusCode = 0;
    std::string FStatusText;
    std::string FUserAgent = DefaultUserAgent;
    TclAuthorizationType FAuthorizationType = atAutoDetect;
    bool FKeepConnection = true;
    bool FAllowCaching = true;
    bool FAllowRedirects = true;
    std::unique_ptr<TclHttpProxySettings> FProxySettings;
    int FMaxRedirects = 15;
    int FMaxAuthRetries = 5;
    TclCookieManager* FCookieManager = nullptr;
    std::unique_ptr<TclCookieManager> FOwnCookieManager;
    bool FAllowCookies = true;
    bool FAllowCompression = true;
    TclHttpRequest* FRequest = nullptr;
    std::unique_ptr<TclHttpResponseHeader> FResponseHeader;
    std::string FMethod;
    TclHttpVersion FResponseVersion = hvHttp1_1;
    int64_t FContentLength = -1;     // the response's checked Content-Length; -1: none
    std::string FCredentialsOrigin;  // scheme://host:port the call was given
    std::unique_ptr<TclHttpRequest> FOwnRequest;
    bool FProgressHandled = false;
    std::unique_ptr<TclCookieList> FResponseCookies;
    std::string FOldProxyServer;
    int FOldProxyPort = 0;
    bool FSilentHTTP = false;
    std::string FAuthorization;
    bool FExpect100Continue = false;
};

}  // namespace cl
