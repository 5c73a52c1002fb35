// The comment tab of the window: queueing parts' comment files, the comment
// downloader's events, the restriction stop, start all, stop all, clear;
// and the close step that deletes unfinished video segments.
#include <QCheckBox>
#include <QFile>
#include <QTimer>
#include <QTreeWidget>
#include <exception>

#include "Bl.h"
#include "BlUtils.h"
#include "CommentQueue.h"

using namespace bl;

void TForm1::SetUpComments() {
    clMdloader3.SetReconnectAfter(2000);
    clMdloader3.SetInternetAgent(kDownloaderAgent);
    clMdloader3.SetDoNotGetResourceInfo(true);
    clMdloader3.SetMaxStartedItems(10);
    clMdloader3.OnStatusChanged = [this](cl::TObject*, cl::TclInternetItem* AItem, cl::TclProcessStatus AStatus) {
        clMdloader3StatusChanged(AItem, AStatus);
    };
    clMdloader3.OnError = [this](cl::TObject*, cl::TclInternetItem* AItem, const std::string&, int AErrorCode) {
        clMdloader3Error(AItem, AErrorCode);
    };
    clMdloader3.OnProcessCompleted = [this](cl::TObject*, cl::TclInternetItem* AItem) {
        clMdloader3ProcessCompleted(AItem);
    };
    FComments = std::make_unique<TCommentQueue>(clMdloader3, *lv4, *lv5, clhtprqst1);
}

void TForm1::N9Click() { QueueComments(false); }

void TForm1::XML1Click() { QueueComments(true); }

void TForm1::QueueComments(bool AAllRows) {
    const int count = lv2->topLevelItemCount();
    if (count == 0) return;
    for (int i = 0; i < count; ++i) {
        const QTreeWidgetItem* row = lv2->topLevelItem(i);
        if (!AAllRows && !row->isSelected()) continue;
        const QString name = CommentFileName(row->text(0), row->text(1), chk1->isChecked(), count, i);
        FComments->Add(name, SaveFolder + name, CommentUrl(row->text(2)));
    }
    FComments->NumberRows();
    RestrictStopped = false;
    FComments->StartAll();
}

void TForm1::clMdloader3StatusChanged(cl::TclInternetItem* Item, cl::TclProcessStatus Status) {
    if (!Item) return;
    if (!FComments->StatusChanged(*Item, Status)) setWindowTitle(QString::fromUtf8(kCommentStreamFault));
}

void TForm1::clMdloader3Error(cl::TclInternetItem* Item, int ErrorCode) {
    if (!Item) return;
    // Several refusals before the next start stop the queue once; a refusal
    // while the stop counts down does not put it off.
    if (FComments->Error(*Item, ErrorCode) && chk2->isChecked() && !RestrictStopped && !tmr3->isActive()) {
        tmr3->start();
    }
}

void TForm1::clMdloader3ProcessCompleted(cl::TclInternetItem* Item) {
    if (Item) FComments->ProcessCompleted(*Item);
}

void TForm1::tmr3Timer() {
    tmr3->stop();
    RestrictStopped = true;
    FComments->StopAll();
}

void TForm1::btn4Click() {
    if (FComments->IsEmpty()) return;
    RestrictStopped = false;
    if (clMdloader3.IsBusy()) {
        FComments->RestartIdle();
    } else {
        FComments->MarkAllWaiting();
        FComments->StartAll();
    }
}

void TForm1::btn5Click() {
    if (FComments->IsEmpty()) return;
    FComments->StopAll();
}

void TForm1::btn3Click() { FComments->Clear(); }

void TForm1::DeleteUnfinishedSegments() {
    if (lv1->topLevelItemCount() == 0) return;
    const cl::TclDownLoadList& items = clMdloader1.DownLoadList();
    for (int i = 0; i < items.Count(); ++i) {
        const cl::TclDownLoadItem& item = items.Items(i);
        if (item.LastStatus() == cl::psSuccess || !MayDeleteFile(item)) continue;
        const QString file = QFile::decodeName(QByteArray::fromStdString(item.LocalFile()));
        if (QFile::exists(file)) QFile::remove(file);
    }
}
