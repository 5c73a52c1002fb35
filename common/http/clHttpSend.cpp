// Writing a request of the HTTP client: the connection it goes over
// (direct, to a proxy, or through a CONNECT tunnel the client opens), the
// header lines built from the client's settings, and the body.
#include "http/clHttp.h"

#include "http/clHeaderFieldList.h"
#include "http/clHttpInternal.h"
#include "rtl/clStrUtils.h"

namespace cl {

using namespace httpclient;

namespace {

void RemoveAllFields(TclHeaderFieldList& AFields, const std::string& AName) {
    while (AFields.GetFieldIndex(AName) >= 0) AFields.RemoveField(AName);
}

// A bracketed IPv6 literal is connected to, and checked in certificates, without its brackets.
std::string HostForConnect(const std::string& AHost) {
    if (AHost.size() >= 2 && AHost.front() == '[' && AHost.back() == ']') return AHost.substr(1, AHost.size() - 2);
    return AHost;
}

}  // namespace

// ---- Connection ----

int TclHttp::GetTunnelMode() const {
    if (!IsUseProxy() || FUrl->UrlType() != utHTTPS) return 0;
    return SameText(FMethod, "CONNECT") ? 1 : 2;
}

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
        TclProgressRoute route(connection,
                               [this](TObject*, int64_t ADone, int64_t ATotal) { DoSendProgress(ADone, ATotal); });
        connection.WriteData(&ABody);
    }
    if (!FProgressHandled) DoSendProgress(size, size);
}

}  // namespace cl
