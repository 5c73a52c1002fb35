// The merge queue of the window: rows of lv3, the merge tick that starts
// one joining worker at a time, and the worker's end.
#include <QFile>
#include <QTimer>
#include <QTreeWidget>

#include "Bl.h"
#include "GatThread.h"

using namespace bl;

namespace {

QString Tr(const char* AText) { return QString::fromUtf8(AText); }

}  // namespace

void TForm1::AddMergeRow(const QString& ABaseName, const QString& AFolder, int ACount) {
    // Inserting the row starts the merge tick (lv3Insert).
    new QTreeWidgetItem(lv3, {ABaseName, AFolder, QString::number(ACount), Tr(kMergeWaiting)});
}

void TForm1::tmr2Timer() {
    tmr2->stop();
    if (lv3->topLevelItemCount() == 0 || Joiner || Closing) return;
    for (int i = 0; i < lv3->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = lv3->topLevelItem(i);
        if (row->text(3) != Tr(kMergeWaiting)) continue;
        row->setText(3, Tr(kMerging));
        Joiner = std::make_unique<GatFlv>(
            QFile::encodeName(row->text(1)).toStdString(), QFile::encodeName(row->text(0)).toStdString(),
            row->text(2).toInt(),
            [this] { QMetaObject::invokeMethod(this, &TForm1::JoinFinished, Qt::QueuedConnection); },
            QFile::encodeName(FProgramFolder + QStringLiteral("RuvErov.exe")).toStdString(), Closing);
        return;
    }
}

void TForm1::JoinFinished() {
    if (!Joiner) return;
    Joiner->WaitFor();
    if (!Closing) {
        // A failed join keeps its row (and its segments) and is not started again.
        for (int i = lv3->topLevelItemCount() - 1; i >= 0; --i) {
            QTreeWidgetItem* row = lv3->topLevelItem(i);
            if (row->text(3) != Tr(kMerging)) continue;
            if (Joiner->Joined()) {
                delete row;
            } else {
                row->setText(3, Tr(kMergeFailed));
            }
            break;
        }
        TerminateJoinerProcesses();
        Joiner.reset();
        tmr2->start();
        return;
    }
    Joiner.reset();
}

bool TForm1::IsJoinerRunning() const { return Joiner && Joiner->IsJoinerRunning(); }

void TForm1::TerminateJoinerProcesses() {
    if (Joiner) Joiner->TerminateJoinerProcesses();
}
