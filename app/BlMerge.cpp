// The merge queue of the window: rows of lv3, the merge tick that starts
// one joining worker at a time, and the worker's end.
#include <QFile>
#include <QTimer>
#include <QTreeWidget>

#include <QFileInfo>
#include <algorithm>

#include "Bl.h"
#include "GatThread.h"
#include "VideoQueue.h"

using namespace bl;

namespace {

QString Tr(const char* AText) { return QString::fromUtf8(AText); }

// Columns of lv3.
enum { kMergeName = 0, kMergeFolder = 1, kMergeCount = 2, kMergeStatus = 3 };

bool SegmentsPresent(const QString& AFolder, const QString& ABaseName, int ACount) {
    const QStringList files = MergedSegmentFiles(AFolder, TMergeTag{ACount, ABaseName});
    return std::all_of(files.begin(), files.end(), [](const QString& AFile) { return QFileInfo::exists(AFile); });
}

}  // namespace

void TForm1::AddMergeRow(const QString& ABaseName, const QString& AFolder, int ACount) {
    // A part waiting or being joined is queued once: a second join of the same
    // segments would find them deleted by the first and truncate its file.
    for (int i = 0; i < lv3->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* row = lv3->topLevelItem(i);
        if (row->text(kMergeName) == ABaseName && row->text(kMergeFolder) == AFolder &&
            row->text(kMergeStatus) != Tr(kMergeFailed)) {
            return;
        }
    }
    // Inserting the row starts the merge tick (lv3Insert).
    new QTreeWidgetItem(lv3, {ABaseName, AFolder, QString::number(ACount), Tr(kMergeWaiting)});
}

void TForm1::tmr2Timer() {
    tmr2->stop();
    if (lv3->topLevelItemCount() == 0 || Joiner || Closing) return;
    for (int i = 0; i < lv3->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = lv3->topLevelItem(i);
        if (row->text(kMergeStatus) != Tr(kMergeWaiting)) continue;
        const QString folder = row->text(kMergeFolder);
        const QString base = row->text(kMergeName);
        const int count = row->text(kMergeCount).toInt();
        // Segments gone (joined by an earlier row, or removed) leave nothing to join.
        if (!SegmentsPresent(folder, base, count)) {
            delete row;
            --i;
            continue;
        }
        const QString joined =
            JoinedBaseName(folder, base, [this](const QString& AName) { return IsNameTaken(AName, nullptr); });
        row->setText(kMergeStatus, Tr(kMerging));
        Joiner = std::make_unique<GatFlv>(
            QFile::encodeName(folder).toStdString(), QFile::encodeName(base).toStdString(), count,
            [this] { QMetaObject::invokeMethod(this, &TForm1::JoinFinished, Qt::QueuedConnection); },
            QFile::encodeName(FProgramFolder + QStringLiteral("RuvErov.exe")).toStdString(), Closing,
            QFile::encodeName(joined).toStdString());
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
            if (row->text(kMergeStatus) != Tr(kMerging)) continue;
            if (Joiner->Joined()) {
                delete row;
            } else {
                row->setText(kMergeStatus, Tr(kMergeFailed));
            }
            break;
        }
        TerminateJoinerProcesses();
        Joiner.reset();
        lv3Insert();
        return;
    }
    Joiner.reset();
}

bool TForm1::IsJoinerRunning() const { return Joiner && Joiner->IsJoinerRunning(); }

void TForm1::TerminateJoinerProcesses() {
    if (Joiner) Joiner->TerminateJoinerProcesses();
}
