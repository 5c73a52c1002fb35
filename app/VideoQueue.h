// The names of the video download queue: a part's base name, the display
// name and file of each of its segments, the merge tag that goes with a
// segment of a multi-segment video, and the name taken when a file of that name
// exists already. No window code here.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

#include "BlUtils.h"

namespace bl {

// A segment downloads under its final name plus this extension.
inline constexpr char kPartialExtension[] = ".pxr";

// The row's name cleaned for a file name; with ANumbered, the row's caption
// and a blank in front. Shortened at a character boundary so that every name
// derived from it for ASegmentCount segments with extensions of up to
// AExtensionBytes bytes fits in kMaxNameBytes.
QString BaseName(const QString& AName, const QString& ACaption, bool ANumbered, int ASegmentCount, int AExtensionBytes);
// The "URL" column split at "|" (every field counts, empty ones too).
QStringList SegmentAddresses(const QString& AUrlColumn);
// n = 1: the base name; otherwise base name, blank, n, "-", k (k from 1).
QString SegmentDisplayName(const QString& ABaseName, int ACount, int AIndex);
// ".flv" for ".../x.flv?query": the last dot of the address's last path
// segment on; empty when that segment has none, or when what follows the dot
// is no sensible extension (too long, or characters a name cannot hold).
QString SegmentExtension(const QString& AAddress);
// The longest extension the addresses of a part give, in UTF-8 bytes.
int LongestExtensionBytes(const QStringList& AAddresses);

// "n|base name", for videos of several segments.
QString MergeTag(int ACount, const QString& ABaseName);
struct TMergeTag {
    int Count = 0;
    QString BaseName;
};
std::optional<TMergeTag> ParseMergeTag(const QString& ATag);
// The finished segments of a part, in order: folder + base + " n-k.flv".
QStringList MergedSegmentFiles(const QString& AFolder, const TMergeTag& ATag);

// A segment whose file or final file exists already gets the first free
// name b + "（k）" + e (+ ".pxr"), k from 1: b is the file's name without
// ".pxr" and its extension e. None when neither exists.
struct TClashFreeName {
    QString LocalFile;    // with ".pxr"
    QString DisplayName;  // b + "（k）", without folder
};
std::optional<TClashFreeName> ResolveNameClash(const QString& ALocalFile,
                                               const std::function<bool(const QString&)>& AExists);

// The base name of a video's joined file in AFolder: ABaseName, or, when
// AFolder + ABaseName + ".flv" is taken (ATaken), ABaseName + "（k）" for the
// first k that is free. A join never overwrites a file.
QString JoinedBaseName(const QString& AFolder, const QString& ABaseName,
                       const std::function<bool(const QString&)>& ATaken);

// The name without its last extension (the final name of a finished segment).
QString WithoutLastExtension(const QString& AFileName);

}  // namespace bl
