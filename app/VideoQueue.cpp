#include "VideoQueue.h"

#include <algorithm>

#include "BlUtils.h"

namespace bl {

namespace {

// "（" and "）" around a clash number of up to this many digits.
constexpr int kClashSuffixBytes = 3 + 6 + 3;
constexpr int kLongestExtension = 16;

int Utf8Bytes(const QString& AText) { return static_cast<int>(AText.toUtf8().size()); }

// AStem + "（k）" for the first k from 1 for which AIsFree holds.
QString FirstFreeNumbered(const QString& AStem, const std::function<bool(const QString&)>& AIsFree) {
    for (int k = 1;; ++k) {
        const QString numbered = AStem + QStringLiteral("（") + QString::number(k) + QStringLiteral("）");
        if (AIsFree(numbered)) return numbered;
    }
}

QString LastPathSegment(const QString& AAddress) {
    const qsizetype query = AAddress.indexOf(QLatin1Char('?'));
    QString path = query < 0 ? AAddress : AAddress.left(query);
    const int scheme = static_cast<int>(path.indexOf(QStringLiteral("://")));
    if (scheme >= 0) {
        const int pathStart = static_cast<int>(path.indexOf(QLatin1Char('/'), scheme + 3));
        path = pathStart < 0 ? QString() : path.mid(pathStart);
    }
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

}  // namespace

QString BaseName(const QString& AName, const QString& ACaption, bool ANumbered, int ASegmentCount,
                 int AExtensionBytes) {
    QString base = SanitizeFileName(AName);
    if (ANumbered) base = ACaption + QLatin1Char(' ') + base;
    const QString longestSuffix =
        ASegmentCount > 1 ? SegmentDisplayName(QString(), ASegmentCount, ASegmentCount) : QString();
    const int reserve = Utf8Bytes(longestSuffix) + kClashSuffixBytes + AExtensionBytes +
                        static_cast<int>(sizeof(kPartialExtension) - 1);
    return CutToUtf8Bytes(base, kMaxNameBytes - reserve);
}

QStringList SegmentAddresses(const QString& AUrlColumn) { return AUrlColumn.split(QLatin1Char('|')); }

QString SegmentDisplayName(const QString& ABaseName, int ACount, int AIndex) {
    if (ACount == 1) return ABaseName;
    return ABaseName + QLatin1Char(' ') + QString::number(ACount) + QLatin1Char('-') + QString::number(AIndex);
}

QString SegmentExtension(const QString& AAddress) {
    const QString segment = LastPathSegment(AAddress);
    const int dot = static_cast<int>(segment.lastIndexOf(QLatin1Char('.')));
    if (dot < 0) return QString();
    const QString extension = segment.mid(dot);
    if (Utf8Bytes(extension) > kLongestExtension || SanitizeFileName(extension) != extension) return QString();
    return extension;
}

int LongestExtensionBytes(const QStringList& AAddresses) {
    int longest = 0;
    for (const QString& address : AAddresses) longest = std::max(longest, Utf8Bytes(SegmentExtension(address)));
    return longest;
}

QString MergeTag(int ACount, const QString& ABaseName) {
    return QString::number(ACount) + QLatin1Char('|') + ABaseName;
}

std::optional<TMergeTag> ParseMergeTag(const QString& ATag) {
    const int bar = static_cast<int>(ATag.indexOf(QLatin1Char('|')));
    if (bar < 0) return std::nullopt;
    bool ok = false;
    const int count = ATag.left(bar).toInt(&ok);
    if (!ok || count < 1) return std::nullopt;
    return TMergeTag{count, ATag.mid(bar + 1)};
}

QStringList MergedSegmentFiles(const QString& AFolder, const TMergeTag& ATag) {
    QStringList files;
    for (int k = 1; k <= ATag.Count; ++k) {
        files << AFolder + SegmentDisplayName(ATag.BaseName, ATag.Count, k) + QStringLiteral(".flv");
    }
    return files;
}

std::optional<TClashFreeName> ResolveNameClash(const QString& ALocalFile,
                                               const std::function<bool(const QString&)>& AExists) {
    const QString partial = QLatin1String(kPartialExtension);
    const QString finalName = ALocalFile.endsWith(partial) ? ALocalFile.chopped(partial.size()) : ALocalFile;
    if (!AExists(ALocalFile) && !AExists(finalName)) return std::nullopt;

    const int slash = static_cast<int>(finalName.lastIndexOf(QLatin1Char('/')));
    const int dot = static_cast<int>(finalName.lastIndexOf(QLatin1Char('.')));
    const int split = dot > slash ? dot : static_cast<int>(finalName.size());
    const QString extension = finalName.mid(split);
    const QString numbered = FirstFreeNumbered(finalName.left(split), [&](const QString& ACandidate) {
        return !AExists(ACandidate + extension + partial) && !AExists(ACandidate + extension);
    });
    return TClashFreeName{numbered + extension + partial, numbered.mid(slash + 1)};
}

QString JoinedBaseName(const QString& AFolder, const QString& ABaseName,
                       const std::function<bool(const QString&)>& ATaken) {
    const auto isFree = [&](const QString& AName) { return !ATaken(AFolder + AName + QStringLiteral(".flv")); };
    return isFree(ABaseName) ? ABaseName : FirstFreeNumbered(ABaseName, isFree);
}

QString WithoutLastExtension(const QString& AFileName) {
    const int slash = static_cast<int>(AFileName.lastIndexOf(QLatin1Char('/')));
    const int dot = static_cast<int>(AFileName.lastIndexOf(QLatin1Char('.')));
    return dot > slash ? AFileName.left(dot) : AFileName;
}

}  // namespace bl
