// The comment tab of the window: queueing parts' comment files, the comment
// downloader's events, the restriction stop, start all, stop all, clear.
// The work is the comment queue's; the window draws its rows into lv4 and
// its finished files into lv5.
#include <QCheckBox>
#include <QTreeWidget>
#include <vector>

#include "Bl.h"
#include "CommentQueue.h"

using namespace bl;

void TForm1::SetUpComments() {
    FComments = std::make_unique<TCommentQueue>(clMdloader3, clhtprqst1, tmr3);
    FComments->StopOnRefusal = chk2->isChecked();
    connect(chk2, &QCheckBox::toggled, this, [this](bool AChecked) { FComments->StopOnRefusal = AChecked; });
    connect(chk4, &QCheckBox::toggled, this, [this](bool AChecked) { FComments->WriteSubtitles = AChecked; });
    FComments->OnRowAdded = [this](int ARow) {
        lv4->addTopLevelItem(new QTreeWidgetItem());
        ShowCommentRow(ARow);
    };
    FComments->OnRowChanged = [this](int ARow) { ShowCommentRow(ARow); };
    FComments->OnRowRemoved = [this](int ARow) { delete lv4->takeTopLevelItem(ARow); };
    FComments->OnFinishedAdded = [this](int AIndex) {
        const TFinishedComment& file = FComments->Finished()[static_cast<size_t>(AIndex)];
        new QTreeWidgetItem(lv5, {file.FileName, file.LocalFile});
    };
    FComments->OnCleared = [this] {
        lv4->clear();
        lv5->clear();
    };
    FComments->OnStreamFault = [this] { setWindowTitle(QString::fromUtf8(kCommentStreamFault)); };
}

void TForm1::ShowCommentRow(int ARow) {
    const TCommentRow& row = FComments->Row(ARow);
    QTreeWidgetItem* item = lv4->topLevelItem(ARow);
    item->setText(0, row.Number > 0 ? QString::number(row.Number) : QString());
    item->setText(1, row.FileName);
    item->setText(2, CommentStatusText(row.Status));
}

bl::TCommentQueue& TForm1::Comments() { return *FComments; }

void TForm1::N9Click() { QueueComments(false); }

void TForm1::XML1Click() { QueueComments(true); }

void TForm1::QueueComments(bool AAllRows) {
    const int count = lv2->topLevelItemCount();
    std::vector<TCommentPart> parts;
    for (int i = 0; i < count; ++i) {
        const QTreeWidgetItem* row = lv2->topLevelItem(i);
        if (AAllRows || row->isSelected()) parts.push_back({row->text(0), row->text(1), row->text(2), i});
    }
    FComments->Queue(parts, count, SaveFolder, chk1->isChecked());
}

void TForm1::clMdloader3StatusChanged(cl::TclInternetItem* Item, cl::TclProcessStatus Status) {
    if (Item) FComments->StatusChanged(*Item, Status);
}

void TForm1::clMdloader3Error(cl::TclInternetItem* Item, int ErrorCode) {
    if (Item) FComments->Error(*Item, {}, ErrorCode);
}

void TForm1::clMdloader3ProcessCompleted(cl::TclInternetItem* Item) {
    if (Item) FComments->ProcessCompleted(*Item);
}

void TForm1::tmr3Timer() { FComments->RestrictStop(); }

void TForm1::btn4Click() { FComments->StartAll(); }

void TForm1::btn5Click() { FComments->StopAll(); }

void TForm1::btn3Click() { FComments->Clear(); }
