#include "PageResolver.h"

#include <stdexcept>

#include "SiteAddresses.h"
#include "http/clHttp.h"
#include "rtl/clStreams.h"

namespace bl {

namespace {

const QString kTitleMarker = QStringLiteral("\"title\":\"");
const QString kPagesMarker = QStringLiteral("\"pages\":[{");
const QString kEpListMarker = QStringLiteral("\"epList\":[{");
const QString kListEnd = QStringLiteral("}]");
const QString kCidMarker = QStringLiteral("\"cid\":");
const QString kPartMarker = QStringLiteral("\"part\":\"");
const QString kTitleFormatMarker = QStringLiteral("\"titleFormat\":\"");
const QString kLongTitleMarker = QStringLiteral("\"longTitle\":\"");
const QString kUnicodeEscape = QStringLiteral("\\u");

// Drops everything up to and including AMarker; false, leaving the text as
// it is, when the marker is absent.
bool DropThrough(QString& AText, const QString& AMarker) {
    const qsizetype at = AText.indexOf(AMarker);
    if (at < 0) return false;
    AText.remove(0, at + AMarker.size());
    return true;
}

// The text before the first AEnd; empty when there is no AEnd.
QString TextBefore(const QString& AText, QChar AEnd) {
    const qsizetype at = AText.indexOf(AEnd);
    return at < 0 ? QString() : AText.left(at);
}

// The cid after its marker: the text up to the comma that follows it within
// the entry. Empty when the entry closes first or the cid is empty: such an
// entry is skipped.
QString EntryCid(const QString& AText) {
    for (qsizetype i = 0; i < AText.size(); ++i) {
        if (AText[i] == QLatin1Char(',')) return AText.left(i);
        if (AText[i] == QLatin1Char('}')) break;
    }
    return QString();
}

bool IsHexDigits(QStringView AText) {
    for (const QChar c : AText) {
        const char16_t u = c.unicode();
        const bool hex = (u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F');
        if (!hex) return false;
    }
    return true;
}

// Collects the body in memory and refuses to grow past a limit, so that a
// server sending without end ends the fetch instead of exhausting memory.
class TLimitedMemoryStream : public cl::TMemoryStream {
public:
    explicit TLimitedMemoryStream(int64_t ALimit) : FLimit(ALimit) {}
    int64_t Write(const void* ABuffer, int64_t ACount) override {
        if (GetPosition() + ACount > FLimit) throw std::length_error("page larger than the limit");
        return TMemoryStream::Write(ABuffer, ACount);
    }

private:
    int64_t FLimit;
};

}  // namespace

bool TPageResolver::IsSiteAddress(const QString& AAddress) {
    return AAddress.contains(QLatin1Char('.') + QString::fromUtf8(vidsite::kDomainLabel) + QLatin1Char('.'));
}

QString TPageResolver::FetchPage(const QString& AAddress) {
    try {
        TLimitedMemoryStream body(FMaxPageBytes);
        FHttp.Get(AAddress.toStdString(), &body);
        return QString::fromUtf8(reinterpret_cast<const char*>(body.Memory()), static_cast<qsizetype>(body.GetSize()));
    } catch (...) {
        // Every failure of the exchange reads as "no page".
        return QString();
    }
}

TParseState TPageResolver::ParsePage(const QString& APageText) {
    FTitle.clear();
    QString titleText = APageText;
    if (DropThrough(titleText, kTitleMarker)) {
        FTitle = TextBefore(titleText, QLatin1Char('"'));
        if (FTitle.contains(kUnicodeEscape)) FTitle = UnescapeJsonText(FTitle);
    }

    // Each list's text keeps its marker minus the leading quote; an episode
    // list after a pages list wins.
    QString list = APageText;
    TParseState state = psNone;
    if (const qsizetype at = list.indexOf(kPagesMarker); at >= 0) {
        list.remove(0, at + 1);
        state = psPages;
    }
    if (const qsizetype at = list.indexOf(kEpListMarker); at >= 0) {
        list.remove(0, at + 1);
        state = psEpisodes;
    }
    if (state == psNone) return state;

    const qsizetype end = list.indexOf(kListEnd);
    list = end < 0 ? QString() : list.left(end + 1);
    if (state == psPages) {
        ParsePagesList(list);
    } else {
        ParseEpisodeList(list);
    }
    return state;
}

void TPageResolver::ParsePagesList(QString AList) {
    while (DropThrough(AList, kCidMarker)) {
        const QString cid = EntryCid(AList);
        if (cid.isEmpty()) continue;
        QString name;
        if (DropThrough(AList, kPartMarker)) name = TextBefore(AList, QLatin1Char('"'));
        if (OnEntry) OnEntry(EntryName(name, name.isEmpty(), cid), cid);
    }
}

void TPageResolver::ParseEpisodeList(QString AList) {
    while (DropThrough(AList, kCidMarker)) {
        const QString cid = EntryCid(AList);
        if (cid.isEmpty()) continue;
        QString numbering;
        QString longTitle;
        if (DropThrough(AList, kTitleFormatMarker)) numbering = TextBefore(AList, QLatin1Char('"'));
        if (DropThrough(AList, kLongTitleMarker)) longTitle = TextBefore(AList, QLatin1Char('"'));
        const QString name = numbering + QLatin1Char(' ') + longTitle;
        if (OnEntry) OnEntry(EntryName(name, name == QLatin1String(" "), cid), cid);
    }
}

QString TPageResolver::EntryName(const QString& AName, bool AEmpty, const QString& ACid) const {
    if (AEmpty) return FTitle.isEmpty() ? ACid : FTitle;
    return AName.contains(kUnicodeEscape) ? UnescapeJsonText(AName) : AName;
}

QString TPageResolver::UnescapeJsonText(const QString& AText) {
    QString text = AText;
    // Replacing one escape everywhere at once can form a new one from its
    // neighbours, so every search starts again at the front; a malformed
    // escape is stepped over. Each replacement shortens the text: it ends.
    qsizetype from = 0;
    for (;;) {
        const qsizetype at = text.indexOf(kUnicodeEscape, from);
        if (at < 0) break;
        const QString escape = text.mid(at, 6);
        const QStringView digits = QStringView(escape).mid(2);
        if (digits.size() != 4 || !IsHexDigits(digits)) {
            from = at + 2;
            continue;
        }
        const char16_t unit = static_cast<char16_t>(digits.toUInt(nullptr, 16));
        text.replace(escape, QString(QChar(unit)), Qt::CaseSensitive);
        from = 0;
    }
    text.replace(QStringLiteral("\\/"), QStringLiteral("/"));
    return text;
}

}  // namespace bl
