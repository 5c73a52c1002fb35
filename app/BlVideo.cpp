// The window's video download tab as a view of the video queue: the menus on
// the video list and on lv1, the settings of the tab, and the rows of lv1
// drawn from the queue's rows.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QTimer>
#include <QTreeWidget>
#include <vector>

#include "Bl.h"
#include "BlTexts.h"
#include "BlUtils.h"
#include "ProgressDelegate.h"
#include "SiteSession.h"
#include "VideoDownloads.h"

using namespace bl;

namespace {

// Columns of lv1.
enum { kGlyph = 0, kSegmentName = 1, kSize = 2, kProgress = 3, kSpeed = 4 };

// "剩余：N 个任务".
QString RemainingText(int ARowCount) {
    return QString::fromUtf8(kRemainingBefore) + QString::number(ARowCount) + QString::fromUtf8(kRemainingAfter);
}

}  // namespace

void TForm1::SetUpDownloaders() {
    SetUpVideoLoader(clMdloader1);
    SetUpDocumentLoader(clMdloader2);
    SetUpDocumentLoader(clMdloader3);
}

void TForm1::SetUpVideos() {
    FVideos.OnRowAdded = [this](int ARow) {
        lv1->insertTopLevelItem(ARow, new QTreeWidgetItem({QString(), QString(), QString(), QString(), QString()}));
        ShowVideoRow(ARow);
    };
    FVideos.OnRowChanged = [this](int ARow) { ShowVideoRow(ARow); };
    FVideos.OnRowRemoved = [this](int ARow) { delete lv1->takeTopLevelItem(ARow); };
    FVideos.OnBusyChanged = [this](bool ABusy) { VideoDownloadsBusyChanged(ABusy); };
    FVideos.OnSegmentEnded = [this](const cl::TclInternetItem&, bool) {
        lbl3->setText(RemainingText(lv1->topLevelItemCount()));
    };
    FVideos.OnPartReady = [this](const QString& ABaseName, const QString& AFolder, int ACount) {
        if (chk3->isChecked()) AddMergeRow(ABaseName, AFolder, ACount);
    };
    FVideos.OnVideoReady = [this](const QString& AFile) { AddConversionRow(AFile); };
}

void TForm1::ShowVideoRow(int ARow) {
    QTreeWidgetItem* item = lv1->topLevelItem(ARow);
    if (!item) return;
    const TSegmentRow& row = FVideos.Row(ARow);
    item->setText(kGlyph, SegmentGlyph(row.State));
    item->setText(kSegmentName, row.Name);
    if (row.Size < 0) return;
    // The size is shown once, when the first data arrives; an unchanged
    // text repaints nothing.
    if (item->text(kSize).isEmpty()) item->setText(kSize, FormatSize(row.Size));
    item->setText(kProgress, ProgressText(row.BytesDone, row.Size));
    if (row.Size > 0) {
        item->setData(kProgress, TProgressDelegate::kProgressRole,
                      static_cast<double>(row.BytesDone) / static_cast<double>(row.Size));
    }
    item->setText(kSpeed, FormatSpeed(row.Speed));
}

// --- The status line: the speed tick and the remaining tasks ---------------------

void TForm1::tmr1Timer() {
    DownSpeed->setText(FormatSpeed(static_cast<double>(TickBytes)));
    TickBytes = 0;
}

void TForm1::VideoDownloadsBusyChanged(bool ABusy) {
    if (ABusy) {
        RunningCount = 0;
        TickBytes = 0;
        tmr1->start();
        return;
    }
    tmr1->stop();
    TickBytes = 0;
    DownSpeed->clear();
    ShowRemainingTasks(lv1->topLevelItemCount());
}

void TForm1::ShowRemainingTasks(int ARowCount) {
    lbl3->setText(ARowCount > 0 ? RemainingText(ARowCount) : QString::fromUtf8(kDownloadsFinished));
}

// --- Queueing -----------------------------------------------------------------

void TForm1::N1Click() {
    if (lv2->topLevelItemCount() == 0 || lv2->selectedItems().isEmpty()) return;
    QueueParts(false);
}

void TForm1::N2Click() {
    if (lv2->topLevelItemCount() == 0) return;
    QueueParts(true);
}

void TForm1::QueueParts(bool AAllRows) {
    const TQueueSettings settings{SaveFolder, chk1->isChecked(), cbb2->currentIndex() + 1,
                                  static_cast<cl::TclProcessPriority>(cbb3->currentIndex())};
    for (int i = 0; i < lv2->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* row = lv2->topLevelItem(i);
        if (!AAllRows && !row->isSelected()) continue;
        FVideos.QueuePart(PartOfRow(*row), settings);
    }
}

TPart TForm1::PartOfRow(const QTreeWidgetItem& ARow) {
    return TPart{ARow.text(0), ARow.text(1), ARow.text(2), ARow.text(3), ARow.text(4), ARow.text(5).toInt()};
}

// --- User controls on lv1 ---------------------------------------------------

std::vector<int> TForm1::SelectedVideoRows() const {
    std::vector<int> rows;
    for (int i = 0; i < lv1->topLevelItemCount(); ++i) {
        if (lv1->topLevelItem(i)->isSelected()) rows.push_back(i);
    }
    return rows;
}

void TForm1::lv1DblClick() {
    const std::vector<int> rows = SelectedVideoRows();
    if (!rows.empty()) FVideos.Toggle(rows.front());
}

void TForm1::N3Click() {
    if (lv1->topLevelItemCount() == 0 || lv1->selectedItems().isEmpty()) return;
    FVideos.Start(SelectedVideoRows());
}

void TForm1::N4Click() {
    if (lv1->topLevelItemCount() == 0 || lv1->selectedItems().isEmpty()) return;
    FVideos.Pause(SelectedVideoRows());
}

void TForm1::N5Click() {
    if (lv1->topLevelItemCount() == 0) return;
    FVideos.StartAll();
}

void TForm1::N6Click() {
    if (lv1->topLevelItemCount() == 0) return;
    FVideos.PauseAll();
}

void TForm1::N7Click() {
    if (lv1->topLevelItemCount() == 0 || lv1->selectedItems().isEmpty()) return;
    FVideos.Delete(SelectedVideoRows());
    ShowRemainingTasks(lv1->topLevelItemCount());
}

void TForm1::N8Click() {
    if (lv1->topLevelItemCount() == 0) return;
    FVideos.Clear();
    lbl3->clear();
}

// --- Settings of the download tab ----------------------------------------------

void TForm1::cbb1Change() {
    // Disabled while a change is applied, so that a second one cannot
    // interleave with its waits.
    cbb1->setEnabled(false);
    FVideos.SetMaxStartedItems(cbb1->currentText().toInt());
    cbb1->setEnabled(true);
}

void TForm1::cbb2Change() { FVideos.SetThreadCount(cbb2->currentIndex() + 1); }

void TForm1::cbb3Change() { FVideos.SetPriority(static_cast<cl::TclProcessPriority>(cbb3->currentIndex())); }

void TForm1::DeleteUnfinishedSegments() {
    if (lv1->topLevelItemCount() > 0) FVideos.DeleteUnfinishedFiles();
}
