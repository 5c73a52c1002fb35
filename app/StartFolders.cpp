#include "StartFolders.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <unistd.h>

#include "BlUtils.h"
#include "JoinerFiles.h"

namespace bl {

namespace {

QString ExistingFolder(const QString& AFolder) {
    return !AFolder.isEmpty() && QFileInfo(AFolder).isDir() ? WithTrailingSeparator(AFolder) : QString();
}

QString UserDownloadFolder() {
    // Qt reads the XDG user-dirs entry (what `xdg-user-dir DOWNLOAD` prints)
    // and answers ~/Downloads where there is none; either may not exist.
    const QString home = QDir::homePath();
    for (const QString& folder :
         {QStandardPaths::writableLocation(QStandardPaths::DownloadLocation), home + QStringLiteral("/Downloads")}) {
        if (const QString existing = ExistingFolder(folder); !existing.isEmpty()) return existing;
    }
    return WithTrailingSeparator(home);
}

// Whether AFolder exists and this process may create files in it.
bool FolderIsWritable(const QString& AFolder) {
    return QFileInfo(AFolder).isDir() && ::access(QFile::encodeName(AFolder).constData(), W_OK | X_OK) == 0;
}

}  // namespace

TStartFolderRules TStartFolderRules::ForProgram(const QString& AProgramFolder) {
    TStartFolderRules rules;
    rules.ProgramFolder = WithTrailingSeparator(AProgramFolder);
    rules.PackagedJoinerFolder =
        WithTrailingSeparator(QDir::cleanPath(rules.ProgramFolder + QStringLiteral("../lib/flvdownloader")));
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (!data.isEmpty()) rules.DataFolder = data + QStringLiteral("/flvdownloader/");
    rules.DownloadFolder = UserDownloadFolder();
    return rules;
}

TStartFolders ResolveStartFolders(const TStartFolderRules& ARules) {
    // A packaged tool marks an installed copy even where its folder can be
    // written (by root): nothing is written into /usr/bin then.
    if (!ARules.PackagedJoinerFolder.isEmpty() && JoinerFilesPresent(ARules.PackagedJoinerFolder)) {
        return {ARules.PackagedJoinerFolder, true, ARules.DownloadFolder};
    }
    if (FolderIsWritable(ARules.ProgramFolder)) {
        const bool ready = ReleaseJoinerFiles(ARules.ProgramFolder) && JoinerFilesPresent(ARules.ProgramFolder);
        return {ARules.ProgramFolder, ready, ARules.ProgramFolder};
    }
    if (ARules.DataFolder.isEmpty()) return {ARules.ProgramFolder, false, ARules.DownloadFolder};
    const bool ready = QDir().mkpath(ARules.DataFolder) &&
                       ReleaseJoinerFiles(ARules.DataFolder, TReleaseMode::ReplaceDiffering) &&
                       JoinerFilesPresent(ARules.DataFolder);
    return {ARules.DataFolder, ready, ARules.DownloadFolder};
}

}  // namespace bl
