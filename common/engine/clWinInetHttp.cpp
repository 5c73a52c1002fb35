// HTTP requests of the internet library: header lines as the caller adds
// them, and the options of a request's transfer.
#include "engine/clWinInetHttp.h"

#include <algorithm>

#include "engine/clWinInetLimits.h"
#include "engine/clWinInetProxy.h"
#include "rtl/clStrUtils.h"

namespace cl::wininet {

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

bool StartHttp(TRequest& ARequest, const std::string& AExtraHeaders) {
    TConnect& connect = ARequest.Connect();
    const TOptions& options = ARequest.Options();
    const std::string scheme = ARequest.Secure ? "https" : "http";
    const uint16_t port =
        connect.Port != 0 ? connect.Port : (ARequest.Secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT);
    std::string object = ARequest.ObjectName.empty() ? "/" : ARequest.ObjectName;
    if (object.front() != '/') object.insert(object.begin(), '/');
    const std::string url =
        scheme + "://" + BracketIPv6(connect.Server) + ":" + std::to_string(port) + EscapeUnsafe(object);

    TTransfer& t = ARequest.Transfer;
    if (!t.Prepare(url, connect.Root(), scheme, connect.Server)) return false;
    CURL* e = t.Easy();
    if (ARequest.Secure) t.PrepareTls(connect.Server);
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION,
                     SameText(ARequest.Version, "HTTP/1.0") ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1);
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

}  // namespace cl::wininet
