#include "MySelectFolder.h"

#include <QDir>
#include <QFileDialog>

#include "BlTexts.h"

namespace bl {

QString ChooseFolder(QWidget* AOwner, const QString& AInitialFolder) {
    const QString start = QDir(AInitialFolder).exists() ? AInitialFolder : QString();
    // Only local folders: a choice without a file-system path comes back empty.
    const QString chosen = QFileDialog::getExistingDirectory(AOwner, QString::fromUtf8(kChooseFolderTitle), start,
                                                             QFileDialog::ShowDirsOnly);
    return WithTrailingSeparator(chosen);
}

}  // namespace bl
