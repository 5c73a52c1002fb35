// The window as tests drive it: message boxes and the folder dialog answer
// from fields instead of blocking, and every text shown is kept.
#pragma once

#include <QElapsedTimer>
#include <QPushButton>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

#include "Bl.h"
#include "transport/clMessagePump.h"

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

// Serves the window's events until ADone holds; a hung run fails after a
// minute instead of blocking the suite.
inline bool WaitFor(const std::function<bool()>& ADone) {
    QElapsedTimer watchdog;
    watchdog.start();
    auto pump = cl::TclMessagePump::Current();
    while (!ADone()) {
        if (watchdog.elapsed() > 60000) return false;
        pump->WaitFor({}, nullptr, 20);
    }
    return true;
}

// A parse ends when its play-address requests are answered: then the parse
// button and the video list are enabled again.
inline bool WaitForParseEnd(TTestForm& AForm) {
    return WaitFor([&] { return AForm.btn1->isEnabled() && !AForm.clMdloader2.IsBusy(); });
}
