// URL splitting, relative resolution and composition.
#include "http/clUriUtils.h"

#include <vector>

#include "http/clIdnTranslator.h"
#include "rtl/clTranslator.h"
#include "rtl/clStrUtils.h"

namespace cl {

namespace {

constexpr int kMaxPort = 65535;

bool IsMailto(const std::string& AScheme) { return SameText(AScheme, "mailto"); }

// A port written in an address: decimal digits only, in range; 0 otherwise.
int ReadPort(std::string_view AText) {
    if (AText.empty() || AText.size() > 5) return 0;
    int value = 0;
    for (char c : AText) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + (c - '0');
    }
    return value <= kMaxPort ? value : 0;
}

// Drops "." segments and lets every ".." take away the ordinary segment in
// front of it. A ".." left over at the start (a path climbing above its
// root) gives the empty path.
std::string NormalizePath(const std::string& AText) {
    if (AText.empty()) return std::string();
    std::vector<std::string> segments;
    size_t start = 0;
    for (;;) {
        const size_t slash = AText.find('/', start);
        segments.push_back(AText.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    // "a/." and "a/.." name a folder: keep the trailing "/".
    if (segments.back() == "." || segments.back() == "..") segments.emplace_back();

    std::vector<std::string> kept;
    for (auto& s : segments) {
        if (s == ".") continue;
        if (s == ".." && !kept.empty() && kept.back() != "..") {
            kept.pop_back();
            continue;
        }
        kept.push_back(std::move(s));
    }
    if (!kept.empty() && kept.front() == "..") return std::string();
    std::string r;
    for (const auto& s : kept) r += "/" + s;
    return r;
}

bool NeedsEscape(uint8_t c) {
    static constexpr std::string_view kUnsafe = " <>\"#%{}|\\^~[]`";
    return c < 32 || c > 126 || kUnsafe.find(static_cast<char>(c)) != std::string_view::npos;
}

size_t CountOf(char c, const uint8_t* ABegin, const uint8_t* AEnd) {
    size_t n = 0;
    for (const uint8_t* p = ABegin; p != AEnd; ++p) n += *p == static_cast<uint8_t>(c);
    return n;
}

// The bytes of AText in ACharSet, where every character that the charset
// cannot hold (which the charset turns into "?") is taken as its UTF-8
// bytes instead, so that no character turns into a query separator.
std::vector<uint8_t> UrlBytes(const std::string& AText, const std::string& ACharSet) {
    std::vector<uint8_t> whole = TclTranslator::GetBytes(AText, ACharSet);
    const auto* text = reinterpret_cast<const uint8_t*>(AText.data());
    if (CountOf('?', whole.data(), whole.data() + whole.size()) == CountOf('?', text, text + AText.size())) {
        return whole;
    }
    std::vector<uint8_t> r;
    size_t i = 0;
    while (i < AText.size()) {
        size_t end = i + 1;
        while (end < AText.size() && (static_cast<uint8_t>(AText[end]) & 0xC0) == 0x80) ++end;
        const std::string ch = AText.substr(i, end - i);
        const std::vector<uint8_t> b = TclTranslator::GetBytes(ch, ACharSet);
        if (ch != "?" && b.size() == 1 && b[0] == '?') {
            r.insert(r.end(), ch.begin(), ch.end());
        } else {
            r.insert(r.end(), b.begin(), b.end());
        }
        i = end;
    }
    return r;
}

}  // namespace

int GetDefaultPort(const std::string& AScheme) {
    if (SameText(AScheme, "ftp")) return 21;
    if (SameText(AScheme, "gopher")) return 70;
    if (SameText(AScheme, "http")) return 80;
    if (SameText(AScheme, "https")) return 443;
    return 0;
}

TclUrlType GetUrlType(const std::string& AScheme) {
    if (AScheme == "ftp") return utFTP;
    if (AScheme == "gopher") return utGOPHER;
    if (AScheme == "http") return utHTTP;
    if (AScheme == "https") return utHTTPS;
    if (AScheme == "file") return utFILE;
    if (AScheme == "news") return utNEWS;
    if (AScheme == "mailto") return utMAILTO;
    return utUnknown;
}

void TclUrlParser::SetPort(int AValue) {
    if (AValue >= 0 && AValue <= kMaxPort) FPort = AValue;
}

void TclUrlParser::Clear() {
    FScheme.clear();
    FPath.clear();
    FUserName.clear();
    FQueryString.clear();
    FHost.clear();
    FPassword.clear();
    FPort = 0;
    FFragment.clear();
}

void TclUrlParser::Assign(const TclUrlParser& ASource) {
    FScheme = ASource.FScheme;
    FHost = ASource.FHost;
    FUserName = ASource.FUserName;
    FPassword = ASource.FPassword;
    FPath = ASource.FPath;
    FQueryString = ASource.FQueryString;
    FFragment = ASource.FFragment;
    FPort = ASource.FPort;
}

void TclUrlParser::SplitUrl(const std::string& AText) {
    Clear();
    std::string s = AText;

    size_t p = s.find('#');
    if (p != std::string::npos) {
        FFragment = s.substr(p);
        s.erase(p);
    }
    p = s.find('?');
    if (p != std::string::npos) {
        FQueryString = s.substr(p);
        s.erase(p);
    }

    p = s.find("://");
    if (p != std::string::npos) {
        FScheme = LowerCase(s.substr(0, p));
        s.erase(0, p + 3);
    } else if (s.size() > 6 && SameText(s.substr(0, 7), "mailto:")) {
        FScheme = "mailto";
        s.erase(0, 7);
    }

    p = s.find('/');
    if (p != std::string::npos) {
        // "./a" and "../a" stay whole paths.
        size_t start = p;
        if (p >= 1 && s[p - 1] == '.') {
            start = p - 1;
            if (p >= 2 && s[p - 2] == '.') start = p - 2;
        }
        FPath = s.substr(start);
        s.erase(start);
    }

    p = s.find('@');
    if (p != std::string::npos) {
        const std::string user = s.substr(0, p);
        const size_t colon = user.find(':');
        FUserName = user.substr(0, colon);
        if (colon != std::string::npos) FPassword = user.substr(colon + 1);
        s.erase(0, p + 1);
    }

    // The colons inside an IPv6 literal "[...]" are not the port's.
    size_t portSearch = 0;
    if (!s.empty() && s[0] == '[') {
        const size_t close = s.find(']');
        if (close != std::string::npos) portSearch = close + 1;
    }
    p = s.find(':', portSearch);
    if (p != std::string::npos) {
        FPort = ReadPort(std::string_view(s).substr(p + 1));
        s.erase(p);
    }

    FHost = s;
}

void TclUrlParser::Parse(const std::string& AFullUrl) {
    SplitUrl(AFullUrl);
    if (FScheme.empty() && !FHost.empty()) FScheme = "http";
    if (FPort == 0) FPort = GetDefaultPort(FScheme);
}

void TclUrlParser::Parse(const std::string& ABaseUrl, const std::string& ARelativeUrl) {
    if (ABaseUrl.empty() && ARelativeUrl.empty()) {
        Clear();
        return;
    }
    TclUrlParser base(FCharSet);
    base.SplitUrl(ABaseUrl);

    // "//host/path" names another server under the base's scheme.
    if (ARelativeUrl.starts_with("//")) {
        SplitUrl((base.FScheme.empty() ? std::string("http") : base.FScheme) + ":" + ARelativeUrl);
    } else {
        SplitUrl(ARelativeUrl);
    }

    // Without a scheme of its own, what the splitting took for a host is the
    // first segment of a relative path: take the reference's text as written
    // (before query and fragment), so that "@", ":" and dots in it survive.
    if (!base.FScheme.empty() && FScheme.empty() && !FHost.empty()) {
        FPath = ARelativeUrl.substr(0, ARelativeUrl.find_first_of("?#"));
        FHost.clear();
        FUserName.clear();
        FPassword.clear();
        FPort = 0;
    }
    const bool ownLocation = !FScheme.empty() || !FHost.empty();

    if (FScheme.empty() && !base.FScheme.empty()) {
        FScheme = base.FScheme;
        FHost = base.FHost;
        FUserName = base.FUserName;
        FPassword = base.FPassword;
        FPort = base.FPort;
    }
    if (FScheme.empty() && !FHost.empty()) FScheme = "http";

    std::string text;
    if (!FPath.empty() && FPath[0] == '/') {
        text = FPath.substr(1);
    } else if (ownLocation) {
        // A reference with its own scheme or host never takes the base's path.
        text = FPath;
    } else {
        // The base's folder, without its leading "/".
        const size_t last = base.FPath.rfind('/');
        std::string folder = last == std::string::npos ? std::string() : base.FPath.substr(0, last + 1);
        if (!folder.empty() && folder[0] == '/') folder.erase(0, 1);
        text = folder + FPath;
    }

    const std::string normalized = NormalizePath(text);
    FPath = (FScheme.empty() && FHost.empty() && normalized.empty()) ? text : normalized;

    if (FPort == 0) FPort = GetDefaultPort(FScheme);
}

std::string TclUrlParser::DecodeUrl(const std::string& AText) {
    auto hexValue = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    std::string r;
    r.reserve(AText.size());
    for (size_t i = 0; i < AText.size(); ++i) {
        const auto b1 = static_cast<uint8_t>(i + 1 < AText.size() ? AText[i + 1] : 0);
        const auto b2 = static_cast<uint8_t>(i + 2 < AText.size() ? AText[i + 2] : 0);
        if (AText[i] == '%' && IsHexDigit(b1) && IsHexDigit(b2)) {
            r.push_back(static_cast<char>(hexValue(AText[i + 1]) * 16 + hexValue(AText[i + 2])));
            i += 2;
        } else {
            r.push_back(AText[i]);
        }
    }
    return r;
}

std::string TclUrlParser::EncodeUrl(const std::string& AUrl, const std::string& ACharSet) {
    const std::vector<uint8_t> bytes = UrlBytes(AUrl, ACharSet);
    if (bytes.empty()) return StringReplaceAll(Trim(AUrl), " ", "%20");

    static const char kHex[] = "0123456789ABCDEF";
    std::string r;
    r.reserve(bytes.size() * 3);
    for (size_t i = 0; i < bytes.size(); ++i) {
        const uint8_t c = bytes[i];
        if (c == '%' && i + 2 < bytes.size() && IsHexDigit(bytes[i + 1]) && IsHexDigit(bytes[i + 2])) {
            r.append(reinterpret_cast<const char*>(&bytes[i]), 3);
            i += 2;
        } else if (NeedsEscape(c)) {
            r.push_back('%');
            r.push_back(kHex[c >> 4]);
            r.push_back(kHex[c & 0xF]);
        } else {
            r.push_back(static_cast<char>(c));
        }
    }
    return r;
}

std::string TclUrlParser::GetUrlPrefix() const {
    std::string r;
    if (IsMailto(FScheme)) {
        r = "mailto:";
    } else if (!FScheme.empty()) {
        r = FScheme + "://";
    }
    if (!FHost.empty()) {
        if (!FUserName.empty()) {
            r += FUserName;
            if (!FPassword.empty()) r += ":" + FPassword;
            r += "@";
        }
        r += TclIdnTranslator::GetAscii(FHost);
    }
    if (FPort != 0 && FPort != GetDefaultPort(FScheme)) r += ":" + std::to_string(FPort);
    return r;
}

std::string TclUrlParser::GetPathAndQuery() const {
    std::string r;
    if (!FHost.empty() && FPath.empty() && !IsMailto(FScheme)) {
        r = "/";
    } else if (!FPath.empty() && FPath[0] != '/') {
        r = "/";
    }
    r += FPath;
    if (!FQueryString.empty() && FQueryString[0] != '?') r += "?";
    r += FQueryString;
    r = EncodeUrl(r, FCharSet);
    if (!FFragment.empty()) {
        r += "#" + EncodeUrl(FFragment[0] == '#' ? FFragment.substr(1) : FFragment, FCharSet);
    }
    return r;
}

std::string TclUrlParser::AbsolutePath() const {
    if (FHost == "*") return "*";
    return GetPathAndQuery();
}

std::string TclUrlParser::AbsoluteUri() const { return GetUrlPrefix() + GetPathAndQuery(); }

std::string TclUrlParser::GetLocalFileByURL(const std::string& AFullUrl, const std::string& ALocalFolder) {
    Parse(AFullUrl);
    // AbsoluteUri is empty exactly when every part is; asking it directly
    // would encode the host, which can fail.
    if (FScheme.empty() && FHost.empty() && FPort == 0 && FPath.empty() && FQueryString.empty() && FFragment.empty()) {
        return ALocalFolder;
    }
    std::string r = ALocalFolder;
    if (!r.empty() && r.back() != '/') r += '/';
    return r + FPath.substr(FPath.rfind('/') + 1);
}

std::string TclUrlParser::GetURLByLocalFile(const std::string& AFullUrl, const std::string& ALocalFile) {
    Parse(AFullUrl);
    const size_t last = FPath.rfind('/');
    std::string folder = last == std::string::npos ? std::string() : FPath.substr(0, last + 1);
    if (folder.empty() || folder.back() != '/') folder += '/';
    FPath = folder + ALocalFile.substr(ALocalFile.rfind('/') + 1);
    return AbsoluteUri();
}

}  // namespace cl
