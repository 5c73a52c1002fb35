#include "MergeQueue.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>

#include "BlUtils.h"
#include "VideoQueue.h"

namespace bl {

namespace {

bool SegmentsPresent(const TMergeRow& ARow) {
    const QStringList files = MergedSegmentFiles(ARow.Folder, TMergeTag{ARow.Count, ARow.BaseName});
    return std::all_of(files.begin(), files.end(), [](const QString& AFile) { return QFileInfo::exists(AFile); });
}

std::string FileName(const QString& AName) { return QFile::encodeName(AName).toStdString(); }

}  // namespace

QString MergeStateText(TMergeState AState) {
    switch (AState) {
        case TMergeState::Waiting:
            return QString::fromUtf8(kMergeWaiting);
        case TMergeState::Merging:
            return QString::fromUtf8(kMerging);
        case TMergeState::Failed:
            return QString::fromUtf8(kMergeFailed);
    }
    return QString();
}

TMergeQueue::TMergeQueue(QTimer& ATick, QString AJoinerProgram, const std::atomic<bool>& AClosing,
                         std::function<bool(const QString&)> ANameTaken)
    : FTick(ATick), FJoinerProgram(std::move(AJoinerProgram)), FClosing(AClosing), FNameTaken(std::move(ANameTaken)) {
    QObject::connect(&FTick, &QTimer::timeout, &FContext, [this] { TickElapsed(); });
}

TMergeQueue::~TMergeQueue() = default;

void TMergeQueue::Add(const QString& ABaseName, const QString& AFolder, int ACount) {
    // A video waiting or being joined is queued once: a second join of the same
    // segments would find them deleted by the first and truncate its file.
    for (const TMergeRow& row : FRows) {
        if (row.BaseName == ABaseName && row.Folder == AFolder && row.State != TMergeState::Failed) return;
    }
    FRows.push_back(TMergeRow{ABaseName, AFolder, ACount, TMergeState::Waiting, QString()});
    if (OnRowAdded) OnRowAdded(Count() - 1);
    EnableTick();
}

void TMergeQueue::EnableTick() {
    if (!FTick.isActive()) FTick.start();
}

void TMergeQueue::TickElapsed() {
    FTick.stop();
    if (FRows.empty() || FJoiner || FClosing) return;
    for (int i = 0; i < Count(); ++i) {
        TMergeRow& row = FRows[static_cast<size_t>(i)];
        if (row.State != TMergeState::Waiting) continue;
        // Segments gone (joined by an earlier row, or removed) leave nothing to join.
        if (!SegmentsPresent(row)) {
            RemoveRow(i--);
            continue;
        }
        row.JoinedName = JoinedBaseName(row.Folder, row.BaseName, FNameTaken);
        row.State = TMergeState::Merging;
        if (OnRowChanged) OnRowChanged(i);
        FJoiner = std::make_unique<GatFlv>(
            FileName(row.Folder), FileName(row.BaseName), row.Count,
            [this] { QMetaObject::invokeMethod(&FContext, [this] { JoinFinished(); }, Qt::QueuedConnection); },
            FileName(FJoinerProgram), FClosing, FileName(row.JoinedName));
        return;
    }
}

void TMergeQueue::JoinFinished() {
    if (!FJoiner) return;
    FJoiner->WaitFor();
    if (FClosing) {
        FJoiner.reset();
        return;
    }
    // A failed join keeps its row (and its segments) and is not started again.
    const bool joined = FJoiner->Joined();
    for (int i = Count() - 1; i >= 0; --i) {
        TMergeRow& row = FRows[static_cast<size_t>(i)];
        if (row.State != TMergeState::Merging) continue;
        row.ExitStatus = FJoiner->JoinerExitStatus();
        row.FailureReason = QString::fromStdString(FJoiner->FailureReason());
        const TMergeRow ended = row;
        if (joined) {
            RemoveRow(i);
        } else {
            row.State = TMergeState::Failed;
            if (OnRowChanged) OnRowChanged(i);
        }
        if (OnJoinEnded) OnJoinEnded(ended, joined);
        break;
    }
    TerminateJoinerProcesses();
    FJoiner.reset();
    EnableTick();
}

bool TMergeQueue::IsJoinerRunning() const { return FJoiner && FJoiner->IsJoinerRunning(); }

void TMergeQueue::TerminateJoinerProcesses() {
    if (FJoiner) FJoiner->TerminateJoinerProcesses();
}

void TMergeQueue::WaitForJoiner() {
    // The worker sees the close or its ended tool and ends; the thread's
    // events are served meanwhile.
    ProcessMessagesUntil([this] { return !FJoiner; });
}

void TMergeQueue::RemoveRow(int ARow) {
    FRows.erase(FRows.begin() + ARow);
    if (OnRowRemoved) OnRowRemoved(ARow);
}

}  // namespace bl
