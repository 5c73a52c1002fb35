// Where one transfer goes: proxy lists and bypass lists of a root handle, the
// host override table as libcurl's CONNECT_TO entries, and URL text.
#include "engine/clWinInetProxy.h"

#include <fnmatch.h>

#include <algorithm>

#include "rtl/clStrUtils.h"
#include "transport/clIpAddress.h"

namespace cl::wininet {

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

curl_slist* ConnectToList() {
    curl_slist* list = nullptr;
    for (const TclHostOverride& entry : TclHostOverrides::Entries()) {
        std::string line = BracketIPv6(entry.Host) + ":" + (entry.Port != 0 ? std::to_string(entry.Port) : "") + ":" +
                           BracketIPv6(entry.TargetAddress) + ":" +
                           (entry.TargetPort != 0 ? std::to_string(entry.TargetPort) : "");
        list = curl_slist_append(list, line.c_str());
    }
    return list;
}

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

}  // namespace cl::wininet
