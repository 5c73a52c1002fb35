#include "VideoQueue.h"

#include <algorithm>

#include "BlUtils.h"

namespace bl {

namespace {

// "（" and "）" around a clash number of up to this many digits.
constexpr int kClashSuffixBytes = 3 + 6 + 3;
constexpr int kLongestExtension = 16;

int Utf8Bytes(const QString& AText) { return static_cast<int>(AText.toUtf8().size()); }

// Drops whole characters from the end until the text fits.
QString CutToBytes(QString AText, int AMaxBytes) {
    while (!AText.isEmpty() && Utf8Bytes(AText) > AMaxBytes) {
        const bool pair = AText.size() >= 2 && AText.back().isLowSurrogate() &&
                          AText.at(AText.size() - 2).isHighSurrogate();
        AText.chop(pair ? 2 : 1);
    }
    return AText;
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
    return CutToBytes(base, kMaxNameBytes - reserve);
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
    const QString stem = finalName.left(split);
    const QString extension = finalName.mid(split);
    for (int k = 1;; ++k) {
        const QString numbered = stem + QStringLiteral("（") + QString::number(k) + QStringLiteral("）");
        const QString candidate = numbered + extension;
        if (!AExists(candidate + partial) && !AExists(candidate)) {
            return TClashFreeName{candidate + partial, numbered.mid(slash + 1)};
        }
    }
}

QString WithoutLastExtension(const QString& AFileName) {
    const int slash = static_cast<int>(AFileName.lastIndexOf(QLatin1Char('/')));
    const int dot = static_cast<int>(AFileName.lastIndexOf(QLatin1Char('.')));
    return dot > slash ? AFileName.left(dot) : AFileName;
}

}  // namespace bl
