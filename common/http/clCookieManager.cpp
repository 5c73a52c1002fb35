#include "http/clCookieManager.h"

#include <algorithm>
#include <cstring>

#include "http/clHttpDate.h"
#include "http/clUriUtils.h"
#include "rtl/clException.h"
#include "rtl/clStrUtils.h"

namespace cl {

namespace {

// ---- stored values: a one-byte tag, then little-endian data ----

enum : uint8_t {
    tgInt8 = 2,
    tgInt16 = 3,
    tgInt32 = 4,
    tgString = 6,
    tgFalse = 8,
    tgTrue = 9,
    tgLongString = 12,
    tgDate = 17,
    tgWideString = 18,
    tgInt64 = 19,
    tgUtf8String = 20,
};

void PutTag(TStream& S, uint8_t ATag) { S.WriteBuffer(&ATag, 1); }

template <typename T>
void PutLE(TStream& S, T AValue) {
    uint8_t b[sizeof(T)];
    auto u = static_cast<std::make_unsigned_t<T>>(AValue);
    for (size_t i = 0; i < sizeof(T); ++i) b[i] = static_cast<uint8_t>(u >> (8 * i));
    S.WriteBuffer(b, sizeof(T));
}

void WriteInteger(TStream& S, int64_t AValue) {
    if (AValue >= -128 && AValue <= 127) {
        PutTag(S, tgInt8);
        PutLE<int8_t>(S, static_cast<int8_t>(AValue));
    } else if (AValue >= -32768 && AValue <= 32767) {
        PutTag(S, tgInt16);
        PutLE<int16_t>(S, static_cast<int16_t>(AValue));
    } else if (AValue >= INT32_MIN && AValue <= INT32_MAX) {
        PutTag(S, tgInt32);
        PutLE<int32_t>(S, static_cast<int32_t>(AValue));
    } else {
        PutTag(S, tgInt64);
        PutLE<int64_t>(S, AValue);
    }
}

void WriteBoolean(TStream& S, bool AValue) { PutTag(S, AValue ? tgTrue : tgFalse); }

void WriteDate(TStream& S, TDateTime AValue) {
    PutTag(S, tgDate);
    uint64_t bits;
    std::memcpy(&bits, &AValue, 8);
    PutLE<uint64_t>(S, bits);
}

void WriteString(TStream& S, const std::string& AValue) {
    const std::u16string units = Utf8ToUtf16(AValue);
    const std::string& utf8 = AValue;
    const bool ascii = std::all_of(utf8.begin(), utf8.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80; });
    // Bytes that are not UTF-8 (a raw header byte, say) are kept as they are
    // in the byte form rather than lost in the UTF-16 one.
    const bool wellFormed = Utf16ToUtf8(units) == AValue;
    if (!utf8.empty() && (utf8.size() < 2 * units.size() || !wellFormed)) {
        if (!ascii) {
            PutTag(S, tgUtf8String);
            PutLE<uint32_t>(S, static_cast<uint32_t>(utf8.size()));
        } else if (utf8.size() <= 255) {
            PutTag(S, tgString);
            PutLE<uint8_t>(S, static_cast<uint8_t>(utf8.size()));
        } else {
            PutTag(S, tgLongString);
            PutLE<uint32_t>(S, static_cast<uint32_t>(utf8.size()));
        }
        S.WriteBuffer(utf8);
        return;
    }
    PutTag(S, tgWideString);
    PutLE<uint32_t>(S, static_cast<uint32_t>(units.size()));
    for (char16_t u : units) PutLE<uint16_t>(S, static_cast<uint16_t>(u));
}

[[noreturn]] void InvalidValue() { throw EReadError("Invalid property value"); }

uint8_t GetTag(TStream& S) {
    uint8_t tag;
    S.ReadBuffer(&tag, 1);
    return tag;
}

template <typename T>
T GetLE(TStream& S) {
    uint8_t b[sizeof(T)];
    S.ReadBuffer(b, sizeof(T));
    std::make_unsigned_t<T> u = 0;
    for (size_t i = 0; i < sizeof(T); ++i) u |= static_cast<std::make_unsigned_t<T>>(b[i]) << (8 * i);
    return static_cast<T>(u);
}

bool ReadIntegerData(TStream& S, uint8_t ATag, int64_t& AValue, bool AAllow64) {
    switch (ATag) {
        case tgInt8:
            AValue = GetLE<int8_t>(S);
            return true;
        case tgInt16:
            AValue = GetLE<int16_t>(S);
            return true;
        case tgInt32:
            AValue = GetLE<int32_t>(S);
            return true;
        case tgInt64:
            if (!AAllow64) return false;
            AValue = GetLE<int64_t>(S);
            return true;
        default:
            return false;
    }
}

int64_t ReadInteger(TStream& S, bool AAllow64 = false) {
    int64_t v = 0;
    if (!ReadIntegerData(S, GetTag(S), v, AAllow64)) InvalidValue();
    return v;
}

bool ReadBoolean(TStream& S) { return GetTag(S) == tgTrue; }

TDateTime ReadDate(TStream& S) {
    const uint8_t tag = GetTag(S);
    if (tag == tgDate) {
        const uint64_t bits = GetLE<uint64_t>(S);
        double d;
        std::memcpy(&d, &bits, 8);
        return d;
    }
    int64_t days = 0;
    if (!ReadIntegerData(S, tag, days, false)) InvalidValue();
    return static_cast<double>(days);
}

std::string ReadBytes(TStream& S, uint32_t ACount) {
    std::string s;
    // Grown as the bytes arrive, so a damaged count cannot demand a huge buffer.
    constexpr uint32_t kChunk = 1 << 16;
    while (ACount > 0) {
        const uint32_t n = std::min(ACount, kChunk);
        const size_t old = s.size();
        s.resize(old + n);
        S.ReadBuffer(s.data() + old, n);
        ACount -= n;
    }
    return s;
}

std::string ReadString(TStream& S) {
    switch (GetTag(S)) {
        case tgString:
            return ReadBytes(S, GetLE<uint8_t>(S));
        case tgLongString:
        case tgUtf8String:
            return ReadBytes(S, GetLE<uint32_t>(S));
        case tgWideString: {
            const std::string raw = ReadBytes(S, GetLE<uint32_t>(S) * 2u);
            std::u16string units(raw.size() / 2, u'\0');
            for (size_t i = 0; i < units.size(); ++i) {
                units[i] =
                    static_cast<char16_t>(static_cast<uint8_t>(raw[2 * i]) | static_cast<uint8_t>(raw[2 * i + 1]) << 8);
            }
            return Utf16ToUtf8(units);
        }
        default:
            InvalidValue();
    }
}

std::string StoredDomain(const std::string& ADomain) {
    std::string d = Trim(ADomain);
    if (d.empty() || d[0] != '.') d = "." + d;
    return d;
}

}  // namespace

// ---- item ----

void TclCookieItem::Assign(const TclCookieItem& ASource) {
    if (&ASource != this) *this = ASource;
}

void TclCookieItem::SetMaxAge(int64_t AValue) {
    if (AValue == FMaxAge) return;
    FMaxAge = AValue;
    if (AValue > 0 && Expires < 0) Expires = NowDateTime() + static_cast<double>(AValue) * 1000.0 / 86400000.0;
}

bool TclCookieItem::IsExpired() const { return FMaxAge == 0 || (IsPersistent() && NowDateTime() > Expires); }

void TclCookieItem::Save(TStream& AStream) const {
    WriteInteger(AStream, Format);
    WriteString(AStream, Name);
    WriteString(AStream, Value);
    WriteDate(AStream, Expires);
    WriteString(AStream, Domain);
    WriteString(AStream, Path);
    WriteBoolean(AStream, Secure);
    WriteString(AStream, Comment);
    WriteInteger(AStream, FMaxAge);
    WriteInteger(AStream, Version);
    WriteString(AStream, CommentURL);
    WriteBoolean(AStream, Discard);
    WriteString(AStream, Port);
    WriteString(AStream, CookieData);
}

void TclCookieItem::Load(TStream& AStream) {
    const int64_t format = ReadInteger(AStream);
    Format = format == cfRFC2109 ? cfRFC2109 : format == cfRFC2965 ? cfRFC2965 : cfNetscape;
    Name = ReadString(AStream);
    Value = ReadString(AStream);
    Expires = ReadDate(AStream);
    Domain = ReadString(AStream);
    Path = ReadString(AStream);
    Secure = ReadBoolean(AStream);
    Comment = ReadString(AStream);
    FMaxAge = ReadInteger(AStream, true);
    Version = static_cast<int>(ReadInteger(AStream));
    CommentURL = ReadString(AStream);
    Discard = ReadBoolean(AStream);
    Port = ReadString(AStream);
    CookieData = ReadString(AStream);
}

// ---- matching helpers ----

bool HasCookieFlag(const std::string& AText, const std::string& AWord) {
    static const std::string kSeparators = std::string("\t\n ,;");
    const std::string text = LowerCase(AText);
    const size_t pos = text.find(LowerCase(AWord));
    if (pos == std::string::npos || pos == 0) return false;
    if (kSeparators.find(text[pos - 1]) == std::string::npos) return false;
    const size_t after = pos + AWord.size();
    return after >= text.size() || kSeparators.find(text[after]) != std::string::npos;
}

std::string GetCookieExpires(const std::string& AText) {
    const size_t pos = LowerCase(AText).find("expires=");
    if (pos == std::string::npos) return std::string();
    const std::string rest = StringReplaceAll(AText.substr(pos + 8), ",", "==");
    TclHeaderFieldList list;
    const std::string item = list.GetFieldValueItem(rest, std::string());
    return StringReplaceAll(StringReplaceAll(item, "==", ","), "-", " ");
}

bool HasCookieAttribute(const std::string& AText, const std::string& AName) {
    size_t start = AText.find(';');
    while (start != std::string::npos) {
        const size_t end = AText.find(';', start + 1);
        const std::string part =
            AText.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
        if (SameText(Trim(part.substr(0, part.find('='))), AName)) return true;
        start = end;
    }
    return false;
}

namespace {

// Lower case, without the leading "."; "localhost" is "local" as in Add.
std::string BareDomain(const std::string& ADomain) {
    std::string d = LowerCase(Trim(ADomain));
    if (!d.empty() && d[0] == '.') d.erase(0, 1);
    return d == "localhost" ? std::string("local") : d;
}

bool IsIpLiteral(const std::string& AHost) {
    return AHost.find(':') != std::string::npos || AHost.find_first_not_of("0123456789.") == std::string::npos;
}

}  // namespace

bool IsDomainMatch(const std::string& ACookieDomain, const std::string& AHost) {
    const std::string domain = BareDomain(ACookieDomain);
    const std::string host = BareDomain(AHost);
    // An empty label (a leading, doubled or trailing ".") names no domain.
    if (domain.empty() || host.empty() || domain[0] == '.' || domain.back() == '.' ||
        domain.find("..") != std::string::npos) {
        return false;
    }
    if (host == domain) return true;
    // A single label is a host of its own, never a domain of others.
    if (domain.find('.') == std::string::npos || IsIpLiteral(host)) return false;
    return host.size() > domain.size() && host.ends_with(domain) && host[host.size() - domain.size() - 1] == '.';
}

bool IsDomainAttributeAllowed(const std::string& ADomain, const std::string& AHost) {
    const std::string domain = BareDomain(ADomain);
    const size_t dot = domain.find('.');
    if (dot == std::string::npos || dot == 0 || domain.back() == '.' || domain.find("..") != std::string::npos) {
        return domain == BareDomain(AHost) && !domain.empty();
    }
    return IsDomainMatch(domain, AHost);
}

bool IsPathMatch(const std::string& ACookiePath, const std::string& ARequestPath) {
    auto norm = [](const std::string& APath) {
        const std::string p = Trim(APath);
        return LowerCase(p.empty() ? "/" : p);
    };
    const std::string cookiePath = norm(ACookiePath);
    std::string requestPath = norm(ARequestPath);
    requestPath = requestPath.substr(0, requestPath.find_first_of("?#"));
    if (requestPath.empty()) requestPath = "/";
    if (!requestPath.starts_with(cookiePath)) return false;
    return requestPath.size() == cookiePath.size() || cookiePath.back() == '/' || requestPath[cookiePath.size()] == '/';
}

std::string DefaultCookiePath(const std::string& ARequestPath) {
    std::string path = Trim(ARequestPath);
    path = path.substr(0, path.find_first_of("?#"));
    const size_t slash = path.rfind('/');
    if (path.empty() || path[0] != '/' || slash == 0 || slash == std::string::npos) return "/";
    return path.substr(0, slash);
}

bool IsPortMatch(const std::string& ACookiePort, int ARequestPort) {
    if (ACookiePort.empty()) return true;
    const std::string port = std::to_string(ARequestPort);
    size_t start = 0;
    for (;;) {
        const size_t comma = ACookiePort.find(',', start);
        if (ACookiePort.substr(start, comma == std::string::npos ? std::string::npos : comma - start) == port) {
            return true;
        }
        if (comma == std::string::npos) return false;
        start = comma + 1;
    }
}

// ---- list ----

TclCookieItem& TclCookieList::Add() {
    FItems.push_back(std::make_unique<TclCookieItem>());
    return *FItems.back();
}

TclCookieItem& TclCookieList::Add(const std::string& AName, const std::string& AValue, const std::string& ADomain,
                                  const std::string& APath) {
    TclCookieItem& c = Add();
    c.Name = AName;
    c.Value = AValue;
    c.Domain = ADomain;
    c.Path = APath;
    return c;
}

TclCookieItem& TclCookieList::Add(const std::string& AName, const std::string& AValue, const std::string& AUrl) {
    TclUrlParser url;
    url.Parse(AUrl);
    std::string host = url.Host();
    if (SameText(host, "localhost")) host = "local";
    const std::string path = Trim(url.AbsolutePath());
    return Add(AName, AValue, StoredDomain(host), path.empty() ? "/" : path);
}

void TclCookieList::Delete(int AIndex) { FItems.erase(FItems.begin() + AIndex); }

void TclCookieList::Clear() { FItems.clear(); }

TclCookieItem* TclCookieList::CookieByName(const std::string& AName, int AStartFrom) const {
    for (int i = std::max(AStartFrom, 0); i < Count(); ++i) {
        if (SameText(FItems[static_cast<size_t>(i)]->Name, AName)) return FItems[static_cast<size_t>(i)].get();
    }
    return nullptr;
}

void TclCookieList::Sort() {
    BeginUpdate();
    std::stable_sort(FItems.begin(), FItems.end(), [](const auto& A, const auto& B) {
        const int byName = CompareText(A->Name, B->Name);
        if (byName != 0) return byName < 0;
        return CompareText(A->Path, B->Path) > 0;
    });
    EndUpdate();
}

std::string TclCookieList::GetCookieText(const TclCookieItem& ACookie) const {
    return ACookie.Name + "=" + ACookie.Value;
}

void TclCookieList::ParseResponseCookie(const TclHeaderFieldList& AFieldList, int AIndex, int APort,
                                        const std::string& APath, const std::string& ADomain) {
    const std::string text = AFieldList.GetFieldValue(AIndex);
    if (text.empty()) return;
    TclCookieItem& c = Add();
    const size_t eq = text.find('=');
    if (eq == std::string::npos) {
        c.Name = text;
    } else {
        c.Name = Trim(text.substr(0, eq));
        c.Value = AFieldList.GetFieldValueItem(text, LowerCase(c.Name));
        const std::string expires = GetCookieExpires(text);
        if (!expires.empty()) {
            try {
                c.Expires = ParseHttpDate(expires);
            } catch (const Exception&) {
                // a malformed date leaves the cookie without an expiry date
            }
        }
        c.Domain = AFieldList.GetFieldValueItem(text, "domain");
        c.Path = AFieldList.GetFieldValueItem(text, "path");
        c.Secure = HasCookieFlag(text, "secure") || HasCookieAttribute(text, "secure");
        c.Comment = AFieldList.GetFieldValueItem(text, "comment");
        c.SetMaxAge(StrToInt64Def(AFieldList.GetFieldValueItem(text, "max-age"), -1));
        c.Version = StrToIntDef(AFieldList.GetFieldValueItem(text, "version"), 0);
        c.CommentURL = AFieldList.GetFieldValueItem(text, "commenturl");
        c.Port = AFieldList.GetFieldValueItem(text, "port");
        c.Discard = HasCookieFlag(text, "discard");
        if (c.Port.empty() && HasCookieFlag(text, "port")) c.Port = std::to_string(APort);
    }
    c.CookieData = text;
    if (SameText(AFieldList.GetFieldName(AIndex), "set-cookie2")) {
        c.Format = cfRFC2965;
    } else if (c.Version == 1) {
        c.Format = cfRFC2109;
    }
    // A Domain attribute may name the host or a domain above it, nothing else:
    // such a cookie is refused, not stored for the other domain.
    if (!c.Domain.empty() && !IsDomainAttributeAllowed(c.Domain, ADomain)) {
        FItems.pop_back();
        return;
    }
    if (c.Domain.empty()) c.Domain = ADomain;
    c.Domain = Trim(c.Domain);
    if (!c.Domain.empty() && c.Domain[0] != '.') c.Domain = "." + c.Domain;
    c.Path = Trim(c.Path);
    if (c.Path.empty() || c.Path[0] != '/') c.Path = DefaultCookiePath(APath);
}

void TclCookieList::GetResponseCookies(const TStrings& AResponseHeader, const std::string& ADomain,
                                       const std::string& APath, int APort) {
    Clear();
    TStringList lines(AResponseHeader);
    TclHeaderFieldList fields;
    fields.Parse(0, lines);
    for (int i = 0; i < fields.FieldList().Count(); ++i) {
        const std::string& name = fields.FieldList()[i];
        if (name == "set-cookie" || name == "set-cookie2") ParseResponseCookie(fields, i, APort, APath, ADomain);
    }
}

void TclCookieList::SetRequestCookies(TStrings& ARequestHeader) const {
    TclHeaderFieldList fields;
    fields.Parse(0, ARequestHeader);
    for (int i = fields.FieldList().Count() - 1; i >= 0; --i) {
        if (fields.FieldList()[i] == "cookie") fields.RemoveField(i);
    }
    std::string text;
    for (int i = 0; i < Count(); ++i) {
        if (i > 0) text += "; ";
        text += GetCookieText(Items(i));
    }
    fields.AddField("Cookie", text);
}

void TclCookieList::Save(TStream& AStream) const {
    WriteInteger(AStream, Count());
    for (const auto& c : FItems) c->Save(AStream);
}

void TclCookieList::Load(TStream& AStream) {
    Clear();
    const int64_t count = ReadInteger(AStream);
    for (int64_t i = 0; i < count; ++i) Add().Load(AStream);
}

// ---- manager ----

void TclCookieManager::DoAddCookie(TclCookieItem& ACookie, bool& Allow) {
    if (OnAddCookie) OnAddCookie(this, ACookie, Allow);
}

void TclCookieManager::DoDeleteCookie(TclCookieItem& ACookie, bool& Allow) {
    if (OnDeleteCookie) OnDeleteCookie(this, ACookie, Allow);
}

void TclCookieManager::DoUpdateCookie(TclCookieItem& AOldCookie, TclCookieItem& ANewCookie, bool& Allow) {
    if (OnUpdateCookie) OnUpdateCookie(this, AOldCookie, ANewCookie, Allow);
}

void TclCookieManager::DoAcceptCookie(TclCookieItem& ACookie, const std::string& ADomain, const std::string& APath,
                                      int APort, bool ASecure, bool& Allow) {
    if (OnAcceptCookie) OnAcceptCookie(this, ACookie, ADomain, APath, APort, ASecure, Allow);
}

void TclCookieManager::RemoveCookie(int AIndex) {
    bool allow = true;
    DoDeleteCookie(FCookies.Items(AIndex), allow);
    if (allow) FCookies.Delete(AIndex);
}

void TclCookieManager::RemoveWhere(const std::function<bool(const TclCookieItem&)>& ACondition) {
    for (int i = FCookies.Count() - 1; i >= 0; --i) {
        if (i < FCookies.Count() && ACondition(FCookies.Items(i))) RemoveCookie(i);
    }
}

int TclCookieManager::FindCookie(const TclCookieItem& ACookie) const {
    for (int i = 0; i < FCookies.Count(); ++i) {
        const TclCookieItem& c = FCookies.Items(i);
        if (SameText(c.Name, ACookie.Name) && SameText(c.Domain, ACookie.Domain) && SameText(c.Path, ACookie.Path)) {
            return i;
        }
    }
    return -1;
}

// Frees a place for a new cookie within the limits, the oldest first; false
// when a delete handler kept the cookie that had to go.
bool TclCookieManager::MakeRoomFor(const TclCookieItem& ACookie) {
    auto removed = [this](int AIndex) {
        const int before = FCookies.Count();
        RemoveCookie(AIndex);
        return FCookies.Count() < before;
    };
    int inDomain = 0;
    int oldestInDomain = -1;
    for (int i = 0; i < FCookies.Count(); ++i) {
        if (!SameText(FCookies.Items(i).Domain, ACookie.Domain)) continue;
        if (oldestInDomain < 0) oldestInDomain = i;
        ++inDomain;
    }
    if (inDomain >= kMaxCookiesPerDomain && !removed(oldestInDomain)) return false;
    return FCookies.Count() < kMaxCookies || removed(0);
}

void TclCookieManager::AddCookies(const TclCookieList& ACookies) {
    std::lock_guard<std::recursive_mutex> lock(FAccessor);
    RemoveWhere([](const TclCookieItem& c) { return c.IsExpired(); });
    for (int i = 0; i < ACookies.Count(); ++i) {
        TclCookieItem& incoming = ACookies.Items(i);
        const int found = FindCookie(incoming);
        bool allow = true;
        if (found < 0) {
            if (incoming.Name.size() + incoming.Value.size() > kMaxCookieSize) continue;
            DoAddCookie(incoming, allow);
            if (allow && MakeRoomFor(incoming)) FCookies.Add().Assign(incoming);
        } else if (incoming.IsExpired()) {
            RemoveCookie(found);
        } else {
            TclCookieItem& stored = FCookies.Items(found);
            DoUpdateCookie(stored, incoming, allow);
            if (allow) stored.Assign(incoming);
        }
    }
}

void TclCookieManager::GetCookies(TclCookieList& ACookies, const std::string& ADomain, const std::string& APath,
                                  int APort, bool ASecure) {
    std::lock_guard<std::recursive_mutex> lock(FAccessor);
    ACookies.BeginUpdate();
    RemoveWhere([](const TclCookieItem& c) { return c.IsExpired(); });
    ACookies.Clear();
    for (int i = 0; i < FCookies.Count(); ++i) {
        TclCookieItem& c = FCookies.Items(i);
        // A cookie set without a Domain attribute stays with the host that set it.
        const bool hostOnly = !c.CookieData.empty() && !HasCookieAttribute(c.CookieData, "domain");
        const bool domainMatch =
            hostOnly ? BareDomain(c.Domain) == BareDomain(ADomain) : IsDomainMatch(c.Domain, ADomain);
        bool allow = domainMatch && IsPathMatch(c.Path, APath) && IsPortMatch(c.Port, APort);
        if (allow && c.Secure) allow = ASecure;
        DoAcceptCookie(c, ADomain, APath, APort, ASecure, allow);
        // No handler sends a Secure cookie over a plain connection.
        if (allow && !(c.Secure && !ASecure)) ACookies.Add().Assign(c);
    }
    ACookies.Sort();
    ACookies.EndUpdate();
}

void TclCookieManager::Clear() {
    std::lock_guard<std::recursive_mutex> lock(FAccessor);
    RemoveWhere([](const TclCookieItem&) { return true; });
}

void TclCookieManager::ClearExpired() {
    std::lock_guard<std::recursive_mutex> lock(FAccessor);
    RemoveWhere([](const TclCookieItem& c) { return c.IsExpired(); });
}

void TclCookieManager::ClearNonPersistent() {
    std::lock_guard<std::recursive_mutex> lock(FAccessor);
    RemoveWhere([](const TclCookieItem& c) { return !c.IsPersistent(); });
}

}  // namespace cl
