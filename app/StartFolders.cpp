#include "StartFolders.h"

#include <QDir>
#include <QFile>
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

// The download folder the XDG user-dirs file names (what `xdg-user-dir
// DOWNLOAD` prints), or empty. Lines read XDG_DOWNLOAD_DIR="$HOME/Downloads";
// only "$HOME/..." and absolute paths are valid there.
QString XdgDownloadFolder(const QString& AHome) {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty()) config = AHome + QStringLiteral("/.config");
    QFile file(config + QStringLiteral("/user-dirs.dirs"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return QString();
    static const QByteArray kKey = QByteArrayLiteral("XDG_DOWNLOAD_DIR=");
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (!line.startsWith(kKey)) continue;
        QString value = QString::fromUtf8(line.mid(kKey.size()));
        if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"'))) {
            value = value.mid(1, value.size() - 2);
        }
        if (value.startsWith(QStringLiteral("$HOME"))) value = AHome + value.mid(5);
        return value.startsWith(QLatin1Char('/')) ? value : QString();
    }
    return QString();
}

QString UserDownloadFolder() {
    const QString home = QDir::homePath();
    for (const QString& folder : {XdgDownloadFolder(home), home + QStringLiteral("/Downloads")}) {
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
