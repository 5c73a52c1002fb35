// Where the program takes its joining tool from and where it saves by default.
// A copy in a folder it can write keeps both in its own folder; an installed
// copy (in /usr/bin) falls back to the platform's places instead.
#pragma once

#include <QString>

namespace bl {

// The places the rules choose from, each with a trailing "/".
struct TStartFolderRules {
    QString ProgramFolder;
    // The tool a package installs beside the program: PROGRAM/../lib/flvdownloader/.
    QString PackagedJoinerFolder;
    // The user's data folder: $XDG_DATA_HOME/flvdownloader/.
    QString DataFolder;
    // The user's download folder, else ~/Downloads, else the home folder.
    QString DownloadFolder;

    static TStartFolderRules ForProgram(const QString& AProgramFolder);
};

struct TStartFolders {
    // Where RuvErov.exe and ZURAre.dll are, or where they were last tried when
    // they could be found nowhere and written nowhere (JoinerReady false).
    QString JoinerFolder;
    bool JoinerReady = false;
    QString SaveFolder;
};

// An installed copy (the packaged tool beside it) runs the packaged tool and
// saves into the download folder. Otherwise, where the program folder can be
// written, the tool is written there and videos are saved there; where it
// cannot, the embedded tool is written into the data folder and videos go to
// the download folder.
TStartFolders ResolveStartFolders(const TStartFolderRules& ARules);

}  // namespace bl
