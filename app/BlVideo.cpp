// The window's play-address requests (one item of clMdloader2 per row of
// the video list) and its video download queue (one row of lv1 and one item
// of clMdloader1 per media segment): the downloaders' handlers, the menus on
// lv2 and lv1, and the settings of the download tab.
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QTreeWidget>
#include <algorithm>
#include <exception>
#include <optional>
#include <vector>

#include "Bl.h"
#include "BlTexts.h"
#include "BlUtils.h"
#include "PlayUrl.h"
#include "VideoQueue.h"

using namespace bl;
using cl::TclDownLoadItem;
using cl::TclInternetItem;
using cl::TclProcessStatus;

namespace {

// Status glyphs of lv1.
const QString kWaiting = QStringLiteral("〓");
const QString kRunning = QStringLiteral("►");
const QString kPaused = QStringLiteral("‖");
const QString kFailed = QStringLiteral("×");

// Columns of lv2 and lv1.
enum { kPartCaption = 0, kPartName = 1, kPartCid = 2, kPartUrl = 3, kPartQuality = 4, kPartCount = 5 };
enum { kGlyph = 0, kSegmentName = 1, kSize = 2, kProgress = 3, kSpeed = 4 };

// A play-address document is a few kilobytes; a server that sends without
// end is cut off here rather than filling the memory.
constexpr int64_t kMaxPlayUrlBody = 4 * 1024 * 1024;

// The JSON marker every answer with addresses carries.
constexpr const char* kUrlMarker = "\"url\":\"";

QString RemainingText(int ARowCount) {
    return QString::fromUtf8(kRemainingBefore) + QString::number(ARowCount) + QString::fromUtf8(kRemainingAfter);
}

bool FileExists(const QString& APath) { return QFileInfo::exists(APath); }

}  // namespace

void TForm1::SetUpDownloaders() {
    clMdloader1.SetInternetAgent(kDownloaderAgent);
    clMdloader1.OnIsBusyChanged = [this](cl::TObject*) { clMdloader1IsBusyChanged(); };
    clMdloader1.OnStatusChanged = [this](cl::TObject*, TclInternetItem* Item, TclProcessStatus Status) {
        clMdloader1StatusChanged(Item, Status);
    };
    clMdloader1.OnDataItemProceed = [this](cl::TObject*, TclInternetItem* Item, cl::TclResourceInfo*,
                                           cl::TclResourceStateItem*, const uint8_t*, int CurrentDataSize) {
        clMdloader1DataItemProceed(Item, CurrentDataSize);
    };
    clMdloader1.OnProcessCompleted = [this](cl::TObject*, TclInternetItem* Item) {
        clMdloader1ProcessCompleted(Item);
    };

    clMdloader2.SetReconnectAfter(2000);
    clMdloader2.SetInternetAgent(kDownloaderAgent);
    clMdloader2.SetDoNotGetResourceInfo(true);
    clMdloader2.SetMaxStartedItems(10);
    clMdloader2.OnIsBusyChanged = [this](cl::TObject*) { clMdloader2IsBusyChanged(); };
    clMdloader2.OnStatusChanged = [this](cl::TObject*, TclInternetItem* Item, TclProcessStatus Status) {
        clMdloader2StatusChanged(Item, Status);
    };
    clMdloader2.OnDataItemProceed = [this](cl::TObject*, TclInternetItem* Item, cl::TclResourceInfo*,
                                           cl::TclResourceStateItem*, const uint8_t*, int CurrentDataSize) {
        clMdloader2DataItemProceed(Item, CurrentDataSize);
    };
    clMdloader2.OnProcessCompleted = [this](cl::TObject*, TclInternetItem* Item) {
        clMdloader2ProcessCompleted(Item);
    };
}

// --- Play addresses ---------------------------------------------------------

void TForm1::RequestPlayAddresses() {
    // Answers of an earlier parse that end while we wait belong to rows that
    // are gone: they must not mark the new ones.
    for (auto& [item, request] : FPlayRequests) request.Row = -1;
    StopAndWait(clMdloader2);
    clMdloader2.DownLoadList().Clear();
    FPlayRequests.clear();
    const int rows = lv2->topLevelItemCount();
    for (int i = 0; i < rows; ++i) {
        const QString cid = lv2->topLevelItem(i)->text(kPartCid);
        const QString address =
            ParseState == psEpisodes ? PgcPlayUrl(cid, FParseQuality) : SignedPlayUrl(cid, FParseQuality);
        TclDownLoadItem& item = clMdloader2.DownLoadList().Add();
        item.SetThreadCount(1);
        item.SetURL(address.toStdString());
        item.SetHttpRequest(&clhtprqst1);
        FPlayRequests[&item].Row = i;
        try {
            item.Start(true);
        } catch (const std::exception&) {
            lv2->topLevelItem(i)->setText(kPartCaption, kFailed);
        }
    }
    // Nothing started: no idle report will come to enable the controls.
    if (!clMdloader2.IsBusy()) SetParseControlsEnabled(true);
}

void TForm1::clMdloader2StatusChanged(TclInternetItem* Item, TclProcessStatus Status) {
    if (Status != cl::psProcess || Item->DataStream()) return;
    const auto request = FPlayRequests.find(Item);
    if (request == FPlayRequests.end()) return;
    request->second.Body = std::make_unique<cl::TStringStream>(std::string(), "utf-8");
    Item->SetDataStream(request->second.Body.get());
}

void TForm1::clMdloader2DataItemProceed(TclInternetItem* Item, int CurrentDataSize) {
    const auto request = FPlayRequests.find(Item);
    if (request == FPlayRequests.end()) return;
    request->second.Received += CurrentDataSize;
    // A stopped request ends as not successful: its row gets "×".
    if (request->second.Received > kMaxPlayUrlBody) Item->Stop();
}

void TForm1::clMdloader2ProcessCompleted(TclInternetItem* Item) {
    const auto request = FPlayRequests.find(Item);
    if (request == FPlayRequests.end()) return;
    EvaluatePlayUrl(request->second.Row, *Item);
    // The item first, so it never points at a freed stream.
    const int index = clMdloader2.DownLoadList().IndexOf(Item);
    if (index >= 0) clMdloader2.DownLoadList().Delete(index);
    FPlayRequests.erase(request);
}

void TForm1::EvaluatePlayUrl(int ARow, TclInternetItem& AItem) {
    QTreeWidgetItem* row = lv2->topLevelItem(ARow);
    if (!row) return;
    std::optional<TPlayUrlAnswer> answer;
    const auto* body = dynamic_cast<const cl::TStringStream*>(AItem.DataStream());
    if (AItem.ResourceState().LastStatus() == cl::psSuccess && body) {
        const std::string text = body->DataString();
        if (text.find(kUrlMarker) != std::string::npos) {
            if (ParseState == psPages) answer = ParsePlayUrlJson(text);
            if (ParseState == psEpisodes) answer = ParsePgcPlayUrlJson(text);
        }
    }
    if (!answer) {
        row->setText(kPartCaption, kFailed);
        return;
    }
    row->setText(kPartUrl, answer->Addresses);
    row->setText(kPartQuality, answer->Quality);
    row->setText(kPartCount, QString::number(answer->Count));
}

void TForm1::clMdloader2IsBusyChanged() {
    if (!clMdloader2.IsBusy()) SetParseControlsEnabled(true);
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
    for (int i = 0; i < lv2->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = lv2->topLevelItem(i);
        if (!AAllRows && !row->isSelected()) continue;
        if (row->text(kPartUrl).isEmpty()) continue;
        QueuePart(row);
    }
}

void TForm1::QueuePart(QTreeWidgetItem* ARow) {
    const QStringList addresses = SegmentAddresses(ARow->text(kPartUrl));
    const int count = static_cast<int>(addresses.size());
    const QString base = BaseName(ARow->text(kPartName), ARow->text(kPartCaption), chk1->isChecked(), count,
                                  LongestExtensionBytes(addresses));
    for (int k = 1; k <= count; ++k) {
        const QString& address = addresses[k - 1];
        const QString name = SegmentDisplayName(base, count, k);
        new QTreeWidgetItem(lv1, {kWaiting, name, QString(), QString(), QString()});
        TclDownLoadItem& item = clMdloader1.DownLoadList().Add();
        item.SetThreadCount(cbb2->currentIndex() + 1);
        item.SetPriority(static_cast<cl::TclProcessPriority>(cbb3->currentIndex()));
        item.SetURL(address.toStdString());
        item.SetLocalFile(
            (SaveFolder + name + SegmentExtension(address) + QLatin1String(kPartialExtension)).toStdString());
        item.SetHttpRequest(&clhtprqst1);
        FSegments[&item].MergeTag = count > 1 ? MergeTag(count, base) : QString();
        StartVideoItem(item);
    }
}

// --- The video downloader's events ---------------------------------------------

void TForm1::clMdloader1IsBusyChanged() { VideoDownloadsBusyChanged(clMdloader1.IsBusy()); }

void TForm1::clMdloader1StatusChanged(TclInternetItem* Item, TclProcessStatus Status) {
    if (Status != cl::psProcess) return;
    ++RunningCount;
    QTreeWidgetItem* row = VideoRow(Item);
    if (!row) return;
    row->setText(kGlyph, kRunning);
    // A resumed item has ranges and keeps its file; a fresh one never
    // overwrites a file that exists.
    if (Item->ResourceState().Count() == 0) {
        const auto clash = ResolveNameClash(QString::fromStdString(Item->LocalFile()),
                                            [this, Item](const QString& AName) { return IsNameTaken(AName, Item); });
        if (clash) {
            Item->SetLocalFile(clash->LocalFile.toStdString());
            row->setText(kSegmentName, clash->DisplayName);
        }
    }
    FSegments[Item].OwnsFile = true;
}

void TForm1::clMdloader1DataItemProceed(TclInternetItem* Item, int CurrentDataSize) {
    TickBytes += CurrentDataSize;
    QTreeWidgetItem* row = VideoRow(Item);
    if (!row) return;
    const cl::TclResourceStateList& state = Item->ResourceState();
    if (row->text(kSize).isEmpty()) row->setText(kSize, FormatSize(state.ResourceSize()));
    // An unchanged text repaints nothing.
    row->setText(kProgress, ProgressText(state.BytesProceed(), state.ResourceSize()));
    row->setText(kSpeed, FormatSpeed(state.Speed()));
}

void TForm1::clMdloader1ProcessCompleted(TclInternetItem* Item) {
    const int index = clMdloader1.DownLoadList().IndexOf(Item);
    if (index >= 0) {
        const TclProcessStatus status = Item->ResourceState().LastStatus();
        if (status == cl::psSuccess) {
            delete lv1->takeTopLevelItem(index);
            const QString localFile = QString::fromStdString(Item->LocalFile());
            // A final name that is taken already is not overwritten; the
            // segment then keeps its temporary name and is not joined.
            QFile::rename(localFile, WithoutLastExtension(localFile));
            const auto segment = FSegments.find(Item);
            if (segment != FSegments.end()) {
                const auto merge = ParseMergeTag(segment->second.MergeTag);
                const QString folder = QFileInfo(localFile).path() + QLatin1Char('/');
                if (chk3->isChecked() && merge) {
                    const QStringList files = MergedSegmentFiles(folder, *merge);
                    if (std::all_of(files.begin(), files.end(), FileExists)) {
                        AddMergeRow(merge->BaseName, folder, merge->Count);
                    }
                }
                FSegments.erase(segment);
            }
            clMdloader1.DownLoadList().Delete(index);
        } else if (status == cl::psFailed || status == cl::psErrors) {
            lv1->topLevelItem(index)->setText(kGlyph, kFailed);
        }
    }
    lbl3->setText(RemainingText(lv1->topLevelItemCount()));
    --RunningCount;
}

// --- Rows and items -------------------------------------------------------------

bool TForm1::IsNameTaken(const QString& AName, const TclInternetItem* AItem) const {
    if (FileExists(AName)) return true;
    // Another segment of the list may not have made its file yet: two items
    // writing one file would mix their bytes.
    const std::string name = AName.toStdString();
    const std::string partial = name + kPartialExtension;
    const auto& list = clMdloader1.DownLoadList();
    for (int i = 0; i < list.Count(); ++i) {
        const TclDownLoadItem& other = list.Items(i);
        if (&other != AItem && (other.LocalFile() == name || other.LocalFile() == partial)) return true;
    }
    return false;
}

TclDownLoadItem& TForm1::VideoItem(int ARow) { return clMdloader1.DownLoadList().Items(ARow); }

QTreeWidgetItem* TForm1::VideoRow(const TclInternetItem* AItem) const {
    const int index = clMdloader1.DownLoadList().IndexOf(AItem);
    return index < 0 ? nullptr : lv1->topLevelItem(index);
}

void TForm1::StartVideoItem(TclInternetItem& AItem) { StartWhenIdle(clMdloader1.DownLoadList(), AItem); }

bool TForm1::MayDeleteFile(const TclInternetItem& AItem) const {
    const auto own = FSegments.find(&AItem);
    if (own == FSegments.end() || !own->second.OwnsFile || AItem.LocalFile().empty()) return false;
    for (const auto& [item, segment] : FSegments) {
        if (item != &AItem && segment.OwnsFile && item->LocalFile() == AItem.LocalFile()) return false;
    }
    return true;
}

void TForm1::DeleteOwnFile(const TclInternetItem& AItem) {
    if (!MayDeleteFile(AItem)) return;
    const QString path = QFile::decodeName(QByteArray::fromStdString(AItem.LocalFile()));
    if (FileExists(path)) QFile::remove(path);
}

void TForm1::StartVideoItems(const std::vector<TclDownLoadItem*>& AItems) {
    // Each start may wait for an item still stopping, and completions remove
    // rows meanwhile: rows are found by their item, not by a position taken
    // before the waits.
    const auto& list = clMdloader1.DownLoadList();
    for (TclDownLoadItem* item : AItems) {
        const int index = list.IndexOf(item);
        if (index < 0) continue;
        QTreeWidgetItem* row = lv1->topLevelItem(index);
        if (row->text(kGlyph) == kRunning) continue;
        row->setText(kGlyph, kWaiting);
        StartVideoItem(*item);
    }
    RequeueWaitingItems();
}

void TForm1::StopWaitingItems() {
    for (int i = 0; i < lv1->topLevelItemCount(); ++i) {
        if (lv1->topLevelItem(i)->text(kGlyph) == kWaiting && !VideoItem(i).IsBusy()) VideoItem(i).Stop();
    }
}

void TForm1::RequeueWaitingItems() {
    std::vector<TclDownLoadItem*> waiting;
    for (int i = 0; i < lv1->topLevelItemCount(); ++i) {
        if (lv1->topLevelItem(i)->text(kGlyph) == kWaiting && !VideoItem(i).IsBusy()) waiting.push_back(&VideoItem(i));
    }
    // Withdrawn from the downloader's queue first, then queued again in
    // list order.
    for (TclDownLoadItem* item : waiting) item->Stop();
    for (TclDownLoadItem* item : waiting) StartVideoItem(*item);
}

void TForm1::DeleteVideoRow(int ARow) {
    delete lv1->takeTopLevelItem(ARow);
    TclDownLoadItem& item = VideoItem(ARow);
    DeleteOwnFile(item);
    FSegments.erase(&item);
    clMdloader1.DownLoadList().Delete(ARow);
}

// --- User controls on lv1 ---------------------------------------------------

void TForm1::lv1DblClick() {
    const QList<QTreeWidgetItem*> selected = lv1->selectedItems();
    if (selected.isEmpty()) return;
    QTreeWidgetItem* row = selected.first();
    TclDownLoadItem& item = VideoItem(lv1->indexOfTopLevelItem(row));
    const QString glyph = row->text(kGlyph);
    if (glyph == kRunning || glyph == kWaiting) {
        row->setText(kGlyph, kPaused);
        item.Stop();
        return;
    }
    row->setText(kGlyph, kWaiting);
    StartVideoItem(item);
    RequeueWaitingItems();
}

void TForm1::N3Click() {
    if (lv1->topLevelItemCount() == 0 || lv1->selectedItems().isEmpty()) return;
    std::vector<TclDownLoadItem*> chosen;
    for (int i = 0; i < lv1->topLevelItemCount(); ++i) {
        if (lv1->topLevelItem(i)->isSelected()) chosen.push_back(&VideoItem(i));
    }
    StartVideoItems(chosen);
}

void TForm1::N4Click() {
    if (lv1->topLevelItemCount() == 0 || lv1->selectedItems().isEmpty()) return;
    for (int i = 0; i < lv1->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = lv1->topLevelItem(i);
        if (!row->isSelected()) continue;
        row->setText(kGlyph, kPaused);
        VideoItem(i).Stop();
    }
}

void TForm1::N5Click() {
    if (lv1->topLevelItemCount() == 0) return;
    std::vector<TclDownLoadItem*> all;
    for (int i = 0; i < lv1->topLevelItemCount(); ++i) all.push_back(&VideoItem(i));
    StartVideoItems(all);
}

void TForm1::N6Click() {
    if (lv1->topLevelItemCount() == 0) return;
    StopAndWait(clMdloader1);
    for (int i = 0; i < lv1->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = lv1->topLevelItem(i);
        if (row->text(kGlyph) == kRunning || row->text(kGlyph) == kWaiting) row->setText(kGlyph, kPaused);
    }
}

void TForm1::N7Click() {
    if (lv1->topLevelItemCount() == 0 || lv1->selectedItems().isEmpty()) return;
    // Items, not positions: finished segments leave the list during the waits.
    std::vector<TclDownLoadItem*> chosen;
    for (int i = lv1->topLevelItemCount() - 1; i >= 0; --i) {
        if (lv1->topLevelItem(i)->isSelected()) chosen.push_back(&VideoItem(i));
    }
    auto& list = clMdloader1.DownLoadList();
    for (TclDownLoadItem* item : chosen) {
        int index = list.IndexOf(item);
        if (index < 0) continue;
        if (lv1->topLevelItem(index)->text(kGlyph) == kRunning) {
            lv1->topLevelItem(index)->setText(kGlyph, kPaused);
            item->Stop();
            // The pointer is only compared until the item is known to be in the list.
            ProcessMessagesUntil([&] { return list.IndexOf(item) < 0 || !item->IsBusy(); });
            index = list.IndexOf(item);
            if (index < 0) continue;
        }
        DeleteVideoRow(index);
    }
    ShowRemainingTasks(lv1->topLevelItemCount());
}

void TForm1::N8Click() {
    if (lv1->topLevelItemCount() == 0) return;
    StopAndWait(clMdloader1);
    auto& list = clMdloader1.DownLoadList();
    for (int i = 0; i < list.Count(); ++i) DeleteOwnFile(list.Items(i));
    list.Clear();
    FSegments.clear();
    lv1->clear();
    lbl3->clear();
}

// --- Settings of the download tab ----------------------------------------------

void TForm1::cbb1Change() {
    // Disabled while a change is applied, so that a second one cannot
    // interleave with its waits.
    cbb1->setEnabled(false);
    const int limit = cbb1->currentText().toInt();
    if (limit != clMdloader1.MaxStartedItems()) {
        if (!clMdloader1.IsBusy()) {
            clMdloader1.SetMaxStartedItems(limit);
        } else {
            if (limit <= RunningCount) TakeBackRunningItems(limit);
            clMdloader1.SetMaxStartedItems(limit);
            RequeueWaitingItems();
        }
    }
    cbb1->setEnabled(true);
}

void TForm1::TakeBackRunningItems(int ALimit) {
    // Nothing waiting may start while running items are taken back.
    StopWaitingItems();
    const int surplus = RunningCount - ALimit;
    std::vector<const TclInternetItem*> taken;
    for (int n = 0; n < surplus; ++n) {
        // The lowest running row waits again and resumes later.
        for (int i = lv1->topLevelItemCount() - 1; i >= 0; --i) {
            if (lv1->topLevelItem(i)->text(kGlyph) != kRunning) continue;
            lv1->topLevelItem(i)->setText(kGlyph, kWaiting);
            VideoItem(i).Stop();
            taken.push_back(&VideoItem(i));
            break;
        }
    }
    // The items taken back must also have ended their runs: other items
    // finishing meanwhile lower the count too, and a still busy one would be
    // skipped by the requeue and wait for ever. Addresses are only compared
    // until an item is known to be in the list still.
    const auto& list = clMdloader1.DownLoadList();
    const auto takenBackEnded = [&] {
        return std::all_of(taken.begin(), taken.end(), [&](const TclInternetItem* AItem) {
            return list.IndexOf(AItem) < 0 || !AItem->IsBusy();
        });
    };
    ProcessMessagesUntil([&] { return !clMdloader1.IsBusy() || (RunningCount <= ALimit && takenBackEnded()); });
}

void TForm1::cbb2Change() {
    auto& list = clMdloader1.DownLoadList();
    for (int i = 0; i < list.Count(); ++i) {
        TclDownLoadItem& item = list.Items(i);
        if (!item.IsBusy() && item.ResourceState().Count() == 0) item.SetThreadCount(cbb2->currentIndex() + 1);
    }
}

void TForm1::cbb3Change() {
    auto& list = clMdloader1.DownLoadList();
    for (int i = 0; i < list.Count(); ++i) {
        TclDownLoadItem& item = list.Items(i);
        if (!item.IsBusy()) item.SetPriority(static_cast<cl::TclProcessPriority>(cbb3->currentIndex()));
    }
}
