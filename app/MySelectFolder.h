// The folder chooser of the save folder: Qt's folder dialog, starting at the
// current folder when it exists.
#pragma once

#include <QString>

#include "BlUtils.h"

class QWidget;

namespace bl {

// The chosen folder with a trailing "/", or empty when the user cancelled.
QString ChooseFolder(QWidget* AOwner, const QString& AInitialFolder);

}  // namespace bl
