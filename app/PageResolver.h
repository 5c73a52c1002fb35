// Page address resolution: checks a pasted address, fetches the page with the
// window's HTTP client, and cuts the title and the list of parts (a normal
// video) or episodes (a series) out of the page text by its fixed markers.
// It knows nothing of the window: every entry found goes to OnEntry, which
// adds the row and serves the window's events.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>

namespace cl {
class TclHttp;
}

namespace bl {

// What the page held: its kind decides which play-address service is asked.
enum TParseState : int { psNone = 0, psPages = 1, psEpisodes = 2 };

class TPageResolver {
public:
    explicit TPageResolver(cl::TclHttp& AHttp) : FHttp(AHttp) {}

    // The site's domain label between dots, as in its host names.
    static bool IsSiteAddress(const QString& AAddress);

    // The page text decoded from UTF-8, or empty when the exchange failed in
    // any way (also a body past the page limit: a server that sends without end).
    QString FetchPage(const QString& AAddress);
    static constexpr int64_t kMaxPageBytes = 32 * 1024 * 1024;
    void SetMaxPageBytes(int64_t AValue) { FMaxPageBytes = AValue; }

    // Cuts the title and the list and reports every entry, in page order.
    TParseState ParsePage(const QString& APageText);
    const QString& Title() const { return FTitle; }

    // Resolves \uXXXX escapes (each to one UTF-16 unit, the same escape
    // everywhere at once) and \/; other escapes stay. A \u without four
    // hexadecimal digits is left as it stands.
    static QString UnescapeJsonText(const QString& AText);

    std::function<void(const QString& AName, const QString& ACid)> OnEntry;

private:
    void ParsePagesList(QString AList);
    void ParseEpisodeList(QString AList);
    // The name unescaped when it carries \u, or the title (then the cid)
    // when it is empty.
    QString EntryName(const QString& AName, bool AEmpty, const QString& ACid) const;

    cl::TclHttp& FHttp;
    int64_t FMaxPageBytes = kMaxPageBytes;
    QString FTitle;
};

}  // namespace bl
