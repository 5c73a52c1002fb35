// The cookie store: cookies read from Set-Cookie and Set-Cookie2 fields,
// matched to requests by host, path, port and security, and written back as
// one Cookie field; a manager keeps them under a lock with veto events.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "http/clHeaderFieldList.h"
#include "rtl/clComponent.h"
#include "rtl/clDateTime.h"
#include "rtl/clEvents.h"
#include "rtl/clStreams.h"
#include "rtl/clStringList.h"

namespace cl {

enum TclCookieFormat { cfNetscape, cfRFC2109, cfRFC2965 };

class TclCookieList;

class TclCookieItem : public TObject {
public:
    TclCookieItem() = default;
    void Assign(const TclCookieItem& ASource);

    bool Secure = false;
    std::string Value;
    TDateTime Expires = -1.0;  // local time; -1 = no expiry date
    std::string Name;
    std::string Domain;
    std::string Path;
    std::string CookieData;
    bool Discard = false;
    int Version = 0;
    std::string Port;
    std::string CommentURL;
    std::string Comment;
    TclCookieFormat Format = cfNetscape;

    int64_t MaxAge() const { return FMaxAge; }
    // A positive Max-Age sets Expires to now + that many seconds unless an
    // expiry date was already given.
    void SetMaxAge(int64_t AValue);
    bool IsPersistent() const { return Expires > 0 || Expires < -1; }
    bool IsExpired() const;

    void Load(TStream& AStream);
    void Save(TStream& AStream) const;

private:
    int64_t FMaxAge = -1;
};

class TclCookieList : public TObject {
public:
    TclCookieList() = default;
    TclCookieList(const TclCookieList&) = delete;
    TclCookieList& operator=(const TclCookieList&) = delete;

    int Count() const { return static_cast<int>(FItems.size()); }
    TclCookieItem& Items(int AIndex) const { return *FItems.at(static_cast<size_t>(AIndex)); }
    TclCookieItem& operator[](int AIndex) const { return Items(AIndex); }

    TclCookieItem& Add();
    TclCookieItem& Add(const std::string& AName, const std::string& AValue, const std::string& ADomain,
                       const std::string& APath);
    // Domain and path come from AUrl's host and absolute path.
    TclCookieItem& Add(const std::string& AName, const std::string& AValue, const std::string& AUrl);
    void Delete(int AIndex);
    void Clear();
    TclCookieItem* CookieByName(const std::string& AName, int AStartFrom = 0) const;
    // By name ascending, then by path descending, both ignoring case.
    void Sort();
    void BeginUpdate() { ++FUpdateCount; }
    void EndUpdate() {
        if (FUpdateCount > 0) --FUpdateCount;
    }

    virtual std::string GetCookieText(const TclCookieItem& ACookie) const;
    virtual void ParseResponseCookie(const TclHeaderFieldList& AFieldList, int AIndex, int APort,
                                     const std::string& APath, const std::string& ADomain);
    // Replaces every Cookie field of the lines by one built from this list.
    virtual void SetRequestCookies(TStrings& ARequestHeader) const;
    // Refills the list from the Set-Cookie and Set-Cookie2 fields.
    virtual void GetResponseCookies(const TStrings& AResponseHeader, const std::string& ADomain,
                                    const std::string& APath, int APort);
    virtual void Load(TStream& AStream);
    virtual void Save(TStream& AStream) const;

private:
    std::vector<std::unique_ptr<TclCookieItem>> FItems;
    int FUpdateCount = 0;
};

// True when the lower-cased word occurs first in AText between blanks, "," or ";"
// (not at the very start).
bool HasCookieFlag(const std::string& AText, const std::string& AWord);
// The expiry text of a Set-Cookie value with "-" taken as a space.
std::string GetCookieExpires(const std::string& AText);
// True when AText has an attribute (a ";"-separated part after the cookie's
// own name=value) whose name is AName, ignoring case.
bool HasCookieAttribute(const std::string& AText, const std::string& AName);
// The host equals the cookie domain or ends with it at a label boundary; a
// domain of a single label ("local", a host-only cookie of such a host)
// matches only that host. "localhost" is the host "local".
bool IsDomainMatch(const std::string& ACookieDomain, const std::string& AHost);
// Whether a response from AHost may set a cookie for the Domain attribute
// ADomain: AHost equals it or is below it, and it has two labels at least.
bool IsDomainAttributeAllowed(const std::string& ADomain, const std::string& AHost);
// The cookie path is the request path (its query left out) or a prefix of
// it that ends at a "/".
bool IsPathMatch(const std::string& ACookiePath, const std::string& ARequestPath);
// The path a cookie without a Path attribute gets: the request path up to,
// not including, its last "/" ("/" when that leaves nothing).
std::string DefaultCookiePath(const std::string& ARequestPath);
bool IsPortMatch(const std::string& ACookiePort, int ARequestPort);

using TclCookieEvent = std::function<void(TObject* Sender, TclCookieItem& ACookie, bool& Allow)>;
using TclUpdateCookieEvent =
    std::function<void(TObject* Sender, TclCookieItem& AOldCookie, TclCookieItem& ANewCookie, bool& Allow)>;
using TclAcceptCookieEvent = std::function<void(TObject* Sender, TclCookieItem& ACookie, const std::string& ADomain,
                                                const std::string& APath, int APort, bool ASecure, bool& Allow)>;

// The store keeps at most this many cookies for one domain and in all, each
// no longer than kMaxCookieSize bytes of name and value; the oldest cookie
// of the domain (or of the store) makes room for a new one.
constexpr int kMaxCookiesPerDomain = 50;
constexpr int kMaxCookies = 1000;
constexpr size_t kMaxCookieSize = 4096;

class TclCookieManager : public TComponent {
public:
    TclCookieManager() = default;
    TclCookieManager(const TclCookieManager&) = delete;
    TclCookieManager& operator=(const TclCookieManager&) = delete;

    // Not guarded: bracket direct access with BeginUpdate/EndUpdate.
    TclCookieList& Cookies() { return FCookies; }

    void AddCookies(const TclCookieList& ACookies);
    void GetCookies(TclCookieList& ACookies, const std::string& ADomain, const std::string& APath, int APort,
                    bool ASecure);
    void Clear();
    void ClearExpired();
    void ClearNonPersistent();
    // The manager's re-entrant lock.
    void BeginUpdate() { FAccessor.lock(); }
    void EndUpdate() { FAccessor.unlock(); }

    TclCookieEvent OnAddCookie;
    TclCookieEvent OnDeleteCookie;
    TclUpdateCookieEvent OnUpdateCookie;
    TclAcceptCookieEvent OnAcceptCookie;

protected:
    virtual void DoAddCookie(TclCookieItem& ACookie, bool& Allow);
    virtual void DoDeleteCookie(TclCookieItem& ACookie, bool& Allow);
    virtual void DoUpdateCookie(TclCookieItem& AOldCookie, TclCookieItem& ANewCookie, bool& Allow);
    virtual void DoAcceptCookie(TclCookieItem& ACookie, const std::string& ADomain, const std::string& APath, int APort,
                                bool ASecure, bool& Allow);

private:
    // Removes stored cookie AIndex unless a handler vetoes it.
    void RemoveCookie(int AIndex);
    void RemoveWhere(const std::function<bool(const TclCookieItem&)>& ACondition);
    int FindCookie(const TclCookieItem& ACookie) const;
    bool MakeRoomFor(const TclCookieItem& ACookie);

    TclCookieList FCookies;
    std::recursive_mutex FAccessor;
};

}  // namespace cl
