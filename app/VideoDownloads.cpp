#include "VideoDownloads.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>

#include "BlUtils.h"
#include "PartList.h"
#include "VideoQueue.h"

namespace bl {

using cl::TclDownLoadItem;
using cl::TclInternetItem;

namespace {

bool FileExists(const QString& APath) { return QFileInfo::exists(APath); }

QString LocalName(const std::string& AFile) { return QFile::decodeName(QByteArray::fromStdString(AFile)); }

}  // namespace

QString SegmentGlyph(TSegmentState AState) {
    switch (AState) {
        case TSegmentState::Waiting:
            return QStringLiteral("〓");
        case TSegmentState::Running:
            return QStringLiteral("►");
        case TSegmentState::Paused:
            return QStringLiteral("‖");
        case TSegmentState::Failed:
            return QStringLiteral("×");
    }
    return QString();
}

TVideoDownloads::TVideoDownloads(cl::TclMultiDownLoader& ALoader, cl::TclHttpRequest& ARequest)
    : FLoader(ALoader), FRequest(ARequest) {
    FLoader.OnIsBusyChanged = [this](cl::TObject*) { IsBusyChanged(); };
    FLoader.OnStatusChanged = [this](cl::TObject*, TclInternetItem* AItem, cl::TclProcessStatus AStatus) {
        if (AItem) StatusChanged(*AItem, AStatus);
    };
    FLoader.OnDataItemProceed = [this](cl::TObject*, TclInternetItem* AItem, cl::TclResourceInfo*,
                                       cl::TclResourceStateItem*, const uint8_t*, int ASize) {
        if (AItem) DataItemProceed(*AItem, ASize);
    };
    FLoader.OnProcessCompleted = [this](cl::TObject*, TclInternetItem* AItem) {
        if (AItem) ProcessCompleted(*AItem);
    };
}

TVideoDownloads::~TVideoDownloads() {
    // The events of stopping items no longer reach a queue that is going.
    FLoader.OnIsBusyChanged = nullptr;
    FLoader.OnStatusChanged = nullptr;
    FLoader.OnDataItemProceed = nullptr;
    FLoader.OnProcessCompleted = nullptr;
}

TclDownLoadItem& TVideoDownloads::Item(int AIndex) { return FLoader.DownLoadList().Items(AIndex); }

int TVideoDownloads::IndexOf(const TclInternetItem* AItem) const { return FLoader.DownLoadList().IndexOf(AItem); }

void TVideoDownloads::SetState(int ARow, TSegmentState AState) {
    FRows[static_cast<size_t>(ARow)].State = AState;
    if (OnRowChanged) OnRowChanged(ARow);
}

// --- Queueing ---------------------------------------------------------------

void TVideoDownloads::QueuePart(const TPart& APart, const TQueueSettings& ASettings) {
    if (APart.Addresses.isEmpty()) return;
    const QStringList addresses = SegmentAddresses(APart.Addresses);
    const int count = static_cast<int>(addresses.size());
    const QString base =
        BaseName(APart.Name, APart.Caption, ASettings.Numbered, count, LongestExtensionBytes(addresses));
    for (int k = 1; k <= count; ++k) {
        const QString& address = addresses[k - 1];
        const QString name = SegmentDisplayName(base, count, k);
        FRows.push_back(TSegmentRow{TSegmentState::Waiting, name, -1, 0, 0});
        if (OnRowAdded) OnRowAdded(Count() - 1);
        TclDownLoadItem& item = FLoader.DownLoadList().Add();
        item.SetThreadCount(ASettings.ThreadCount);
        item.SetPriority(ASettings.Priority);
        item.SetURL(address.toStdString());
        item.SetLocalFile(
            (ASettings.Folder + name + SegmentExtension(address) + QLatin1String(kPartialExtension)).toStdString());
        item.SetHttpRequest(&FRequest);
        FOwn[&item].MergeTag = count > 1 ? MergeTag(count, base) : QString();
        StartItem(item);
    }
}

// --- The downloader's events ------------------------------------------------

void TVideoDownloads::IsBusyChanged() {
    if (FLoader.IsBusy()) {
        RunningCount = 0;
        TickBytes = 0;
    }
    if (OnBusyChanged) OnBusyChanged(FLoader.IsBusy());
}

void TVideoDownloads::StatusChanged(TclInternetItem& AItem, cl::TclProcessStatus AStatus) {
    if (AStatus != cl::psProcess) return;
    ++RunningCount;
    const int index = IndexOf(&AItem);
    if (index < 0) return;
    TSegmentRow& row = FRows[static_cast<size_t>(index)];
    row.State = TSegmentState::Running;
    // A resumed item has ranges and keeps its file; a fresh one never
    // overwrites a file that exists.
    if (AItem.ResourceState().Count() == 0) {
        const auto clash =
            ResolveNameClash(QString::fromStdString(AItem.LocalFile()),
                             [this, &AItem](const QString& AName) { return IsNameTaken(AName, &AItem); });
        if (clash) {
            AItem.SetLocalFile(clash->LocalFile.toStdString());
            row.Name = clash->DisplayName;
        }
    }
    FOwn[&AItem].OwnsFile = true;
    if (OnRowChanged) OnRowChanged(index);
}

void TVideoDownloads::DataItemProceed(TclInternetItem& AItem, int ASize) {
    TickBytes += ASize;
    const int index = IndexOf(&AItem);
    if (index < 0) return;
    TSegmentRow& row = FRows[static_cast<size_t>(index)];
    const cl::TclResourceStateList& state = AItem.ResourceState();
    if (row.Size < 0) row.Size = state.ResourceSize();
    row.BytesDone = state.BytesProceed();
    row.Speed = state.Speed();
    if (OnRowChanged) OnRowChanged(index);
}

void TVideoDownloads::ProcessCompleted(TclInternetItem& AItem) {
    const int index = IndexOf(&AItem);
    if (index >= 0) {
        const cl::TclProcessStatus status = AItem.ResourceState().LastStatus();
        if (status == cl::psSuccess) {
            RemoveRow(index);
            const QString localFile = QString::fromStdString(AItem.LocalFile());
            // A final name that is taken already is not overwritten; the
            // segment then keeps its temporary name and is not joined.
            const bool renamed = QFile::rename(localFile, WithoutLastExtension(localFile));
            const auto own = FOwn.find(&AItem);
            if (own != FOwn.end()) {
                const auto merge = ParseMergeTag(own->second.MergeTag);
                const QString folder = QFileInfo(localFile).path() + QLatin1Char('/');
                if (AutoJoin && merge) {
                    const QStringList files = MergedSegmentFiles(folder, *merge);
                    if (std::all_of(files.begin(), files.end(), FileExists) && OnPartReady) {
                        OnPartReady(merge->BaseName, folder, merge->Count);
                    }
                } else if (!merge && renamed && OnVideoReady) {
                    OnVideoReady(WithoutLastExtension(localFile));
                }
                FOwn.erase(own);
            }
            if (OnSegmentEnded) OnSegmentEnded(AItem, true);
            FLoader.DownLoadList().Delete(index);
            --RunningCount;
            return;
        }
        if (status == cl::psFailed || status == cl::psErrors) SetState(index, TSegmentState::Failed);
    }
    if (OnSegmentEnded) OnSegmentEnded(AItem, false);
    --RunningCount;
}

// --- Rows and items -----------------------------------------------------------

bool TVideoDownloads::IsNameTaken(const QString& AName) const { return IsNameTaken(AName, nullptr); }

bool TVideoDownloads::IsNameTaken(const QString& AName, const TclInternetItem* AExcept) const {
    if (FileExists(AName)) return true;
    // A segment of the list may not have made its file yet: two items
    // writing one file would mix their bytes.
    const std::string name = AName.toStdString();
    const std::string partial = name + kPartialExtension;
    const auto& list = FLoader.DownLoadList();
    for (int i = 0; i < list.Count(); ++i) {
        const TclDownLoadItem& other = list.Items(i);
        if (&other != AExcept && (other.LocalFile() == name || other.LocalFile() == partial)) return true;
    }
    return false;
}

void TVideoDownloads::StartItem(TclInternetItem& AItem) { StartWhenIdle(FLoader.DownLoadList(), AItem); }

bool TVideoDownloads::MayDeleteFile(const TclInternetItem& AItem) const {
    const auto own = FOwn.find(&AItem);
    if (own == FOwn.end() || !own->second.OwnsFile || AItem.LocalFile().empty()) return false;
    for (const auto& [item, other] : FOwn) {
        if (item != &AItem && other.OwnsFile && item->LocalFile() == AItem.LocalFile()) return false;
    }
    return true;
}

void TVideoDownloads::DeleteOwnFile(const TclInternetItem& AItem) {
    if (!MayDeleteFile(AItem)) return;
    const QString path = LocalName(AItem.LocalFile());
    if (FileExists(path)) QFile::remove(path);
}

void TVideoDownloads::DeleteUnfinishedFiles() {
    const cl::TclDownLoadList& items = FLoader.DownLoadList();
    for (int i = 0; i < items.Count(); ++i) {
        const TclDownLoadItem& item = items.Items(i);
        if (item.LastStatus() != cl::psSuccess) DeleteOwnFile(item);
    }
}

void TVideoDownloads::RemoveRow(int ARow) {
    FRows.erase(FRows.begin() + ARow);
    if (OnRowRemoved) OnRowRemoved(ARow);
}

void TVideoDownloads::StopWaitingItems() {
    for (int i = 0; i < Count(); ++i) {
        if (FRows[static_cast<size_t>(i)].State == TSegmentState::Waiting && !Item(i).IsBusy()) Item(i).Stop();
    }
}

void TVideoDownloads::RequeueWaitingItems() {
    std::vector<TclDownLoadItem*> waiting;
    for (int i = 0; i < Count(); ++i) {
        if (FRows[static_cast<size_t>(i)].State == TSegmentState::Waiting && !Item(i).IsBusy()) {
            waiting.push_back(&Item(i));
        }
    }
    // Withdrawn from the downloader's queue first, then queued again in
    // list order.
    for (TclDownLoadItem* item : waiting) item->Stop();
    for (TclDownLoadItem* item : waiting) StartItem(*item);
}

void TVideoDownloads::StartItems(const std::vector<TclDownLoadItem*>& AItems) {
    // Each start may wait for an item still stopping, and completions remove
    // rows meanwhile: rows are found by their item, not by a position taken
    // before the waits.
    for (TclDownLoadItem* item : AItems) {
        const int index = IndexOf(item);
        if (index < 0 || FRows[static_cast<size_t>(index)].State == TSegmentState::Running) continue;
        SetState(index, TSegmentState::Waiting);
        StartItem(*item);
    }
    RequeueWaitingItems();
}

// --- The user's controls ---------------------------------------------------------

void TVideoDownloads::Toggle(int ARow) {
    TclDownLoadItem& item = Item(ARow);
    const TSegmentState state = FRows[static_cast<size_t>(ARow)].State;
    if (state == TSegmentState::Running || state == TSegmentState::Waiting) {
        SetState(ARow, TSegmentState::Paused);
        item.Stop();
        return;
    }
    SetState(ARow, TSegmentState::Waiting);
    StartItem(item);
    RequeueWaitingItems();
}

void TVideoDownloads::Start(const std::vector<int>& ARows) {
    std::vector<TclDownLoadItem*> chosen;
    for (int row : ARows) chosen.push_back(&Item(row));
    StartItems(chosen);
}

void TVideoDownloads::StartAll() {
    std::vector<TclDownLoadItem*> all;
    for (int i = 0; i < Count(); ++i) all.push_back(&Item(i));
    StartItems(all);
}

void TVideoDownloads::Pause(const std::vector<int>& ARows) {
    for (int row : ARows) {
        SetState(row, TSegmentState::Paused);
        Item(row).Stop();
    }
}

void TVideoDownloads::PauseAll() {
    StopAndWait(FLoader);
    for (int i = 0; i < Count(); ++i) {
        const TSegmentState state = FRows[static_cast<size_t>(i)].State;
        if (state == TSegmentState::Running || state == TSegmentState::Waiting) SetState(i, TSegmentState::Paused);
    }
}

void TVideoDownloads::Delete(const std::vector<int>& ARows) {
    // From the last row up, by item rather than position: finished segments
    // leave the list during the waits.
    std::vector<int> rows = ARows;
    std::sort(rows.begin(), rows.end(), std::greater<>());
    std::vector<TclDownLoadItem*> chosen;
    for (int row : rows) chosen.push_back(&Item(row));
    auto& list = FLoader.DownLoadList();
    for (TclDownLoadItem* item : chosen) {
        int index = list.IndexOf(item);
        if (index < 0) continue;
        if (FRows[static_cast<size_t>(index)].State == TSegmentState::Running) {
            SetState(index, TSegmentState::Paused);
            item->Stop();
            // The pointer is only compared until the item is known to be in the list.
            ProcessMessagesUntil([&] { return list.IndexOf(item) < 0 || !item->IsBusy(); });
            index = list.IndexOf(item);
            if (index < 0) continue;
        }
        RemoveRow(index);
        DeleteOwnFile(*item);
        FOwn.erase(item);
        list.Delete(index);
    }
}

void TVideoDownloads::Clear() {
    StopAndWait(FLoader);
    auto& list = FLoader.DownLoadList();
    for (int i = 0; i < list.Count(); ++i) DeleteOwnFile(list.Items(i));
    list.Clear();
    FOwn.clear();
    while (!FRows.empty()) RemoveRow(Count() - 1);
}

void TVideoDownloads::SetMaxStartedItems(int ALimit) {
    if (ALimit == FLoader.MaxStartedItems()) return;
    if (!FLoader.IsBusy()) {
        FLoader.SetMaxStartedItems(ALimit);
        return;
    }
    if (ALimit <= RunningCount) TakeBackRunningItems(ALimit);
    FLoader.SetMaxStartedItems(ALimit);
    RequeueWaitingItems();
}

void TVideoDownloads::TakeBackRunningItems(int ALimit) {
    // Nothing waiting may start while running items are taken back.
    StopWaitingItems();
    const int surplus = RunningCount - ALimit;
    std::vector<const TclInternetItem*> taken;
    for (int n = 0; n < surplus; ++n) {
        // The lowest running row waits again and resumes later.
        for (int i = Count() - 1; i >= 0; --i) {
            if (FRows[static_cast<size_t>(i)].State != TSegmentState::Running) continue;
            SetState(i, TSegmentState::Waiting);
            Item(i).Stop();
            taken.push_back(&Item(i));
            break;
        }
    }
    // The items taken back must also have ended their runs: other items
    // finishing meanwhile lower the count too, and a still busy one would be
    // skipped by the requeue and wait for ever. Addresses are only compared
    // until an item is known to be in the list still.
    const auto& list = FLoader.DownLoadList();
    const auto takenBackEnded = [&] {
        return std::all_of(taken.begin(), taken.end(),
                           [&](const TclInternetItem* AItem) { return list.IndexOf(AItem) < 0 || !AItem->IsBusy(); });
    };
    ProcessMessagesUntil([&] { return !FLoader.IsBusy() || (RunningCount <= ALimit && takenBackEnded()); });
}

void TVideoDownloads::SetThreadCount(int ACount) {
    auto& list = FLoader.DownLoadList();
    for (int i = 0; i < list.Count(); ++i) {
        TclDownLoadItem& item = list.Items(i);
        if (!item.IsBusy() && item.ResourceState().Count() == 0) item.SetThreadCount(ACount);
    }
}

void TVideoDownloads::SetPriority(cl::TclProcessPriority APriority) {
    auto& list = FLoader.DownLoadList();
    for (int i = 0; i < list.Count(); ++i) {
        TclDownLoadItem& item = list.Items(i);
        if (!item.IsBusy()) item.SetPriority(APriority);
    }
}

}  // namespace bl
