// The window as tests drive it: message boxes and the folder dialog answer
// from fields instead of blocking, and every text shown is kept.
#pragma once

#include <QStringList>
#include <QTemporaryDir>

#include "Bl.h"

class TTestForm : public TForm1 {
public:
    using TForm1::TForm1;

    QStringList Messages;
    QStringList Captions;
    QMessageBox::StandardButton Answer = QMessageBox::Yes;
    QStringList FoldersAsked;
    QString FolderAnswer;

protected:
    QMessageBox::StandardButton ShowMessageBox(const QString& AText, const QString& ACaption,
                                               QMessageBox::StandardButtons) override {
        Messages << AText;
        Captions << ACaption;
        return Answer;
    }
    QString SelectFolder(const QString& AInitialFolder) override {
        FoldersAsked << AInitialFolder;
        return FolderAnswer;
    }
};

// A program folder of its own for each test.
inline QString FolderOf(const QTemporaryDir& ADir) { return ADir.path() + QLatin1Char('/'); }
