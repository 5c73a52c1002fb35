// One exchange of the HTTP client: the request loop that sends, reads the
// status and then follows a redirect, answers a challenge with credentials
// or ends the call (returning the body, or raising the failure status).
#include "http/clHttp.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "http/clHeaderFieldList.h"
#include "http/clHttpAuth.h"
#include "http/clHttpInternal.h"
#include "rtl/clStrUtils.h"
#include "transport/clWinSock2.h"

namespace cl {

using namespace httpclient;

namespace {

// The lower-cased URI up to and including its last "/", ending with "/".
std::string FolderOf(const std::string& AUri) {
    std::string result = LowerCase(AUri);
    const size_t slash = result.rfind('/');
    result = slash == std::string::npos ? std::string() : result.substr(0, slash + 1);
    if (!result.empty() && result.back() != '/') result += '/';
    return result;
}

// The method is a token.
bool IsTokenChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

void CheckRequestMethod(const std::string& AMethod) {
    if (AMethod.empty() || !std::all_of(AMethod.begin(), AMethod.end(), IsTokenChar)) {
        throw EclTcpClientError("The request method is not a valid token", cRequestInvalid);
    }
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

}  // namespace

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

}  // namespace cl
