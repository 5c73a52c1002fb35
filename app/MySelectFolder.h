// The folder chooser of the save folder: Qt's folder dialog, starting at the
// current folder when it exists.
#pragma once

#include <QString>

class QWidget;

namespace bl {

// The chosen folder with a trailing "/", or empty when the user cancelled.
QString ChooseFolder(QWidget* AOwner, const QString& AInitialFolder);

// The dialog's answer as the chooser returns it: empty stays empty, any
// other path gets a trailing "/" unless it has one.
QString WithTrailingSeparator(const QString& AFolder);

}  // namespace bl
