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
        case TMergeState::Converting:
            return QString::fromUtf8(kConverting);
        case TMergeState::ConvertFailed:
            return QString::fromUtf8(kConvertFailed);
    }
    return QString();
}

QString TMergeRow::SourceFile() const {
    return Folder + (JoinedName.isEmpty() ? BaseName : JoinedName) + QStringLiteral(".flv");
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

void TMergeQueue::AddConversion(const QString& ABaseName, const QString& AFolder) {
    for (const TMergeRow& row : FRows) {
        if (row.Convert && row.SourceFile() == AFolder + ABaseName + QStringLiteral(".flv") &&
            row.State != TMergeState::ConvertFailed) {
            return;
        }
    }
    TMergeRow row{ABaseName, AFolder, 1, TMergeState::Waiting, QString()};
    row.Convert = true;
    FRows.push_back(row);
    if (OnRowAdded) OnRowAdded(Count() - 1);
    EnableTick();
}

void TMergeQueue::EnableTick() {
    if (!FTick.isActive()) FTick.start();
}

void TMergeQueue::TickElapsed() {
    FTick.stop();
    if (FRows.empty() || FJoiner || FConverter || FClosing) return;
    for (int i = 0; i < Count(); ++i) {
        TMergeRow& row = FRows[static_cast<size_t>(i)];
        if (row.State != TMergeState::Waiting) continue;
        if (row.Convert) {
            // A video removed or renamed in the meantime leaves nothing to convert.
            if (!QFileInfo::exists(row.SourceFile())) {
                RemoveRow(i--);
                continue;
            }
            StartConversion(i);
            return;
        }
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
            [this] {
                QMetaObject::invokeMethod(
                    &FContext, [this] { JoinFinished(); }, Qt::QueuedConnection);
            },
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
    // A failed join keeps its row (and its segments) and is not started
    // again; a joined video to be converted keeps its row for that step.
    const bool joined = FJoiner->Joined();
    if (const int i = RowIn(TMergeState::Merging); i >= 0) {
        TMergeRow& row = FRows[static_cast<size_t>(i)];
        row.ExitStatus = FJoiner->JoinerExitStatus();
        row.FailureReason = QString::fromStdString(FJoiner->FailureReason());
        const TMergeRow ended = row;
        row.Convert = joined && ConvertToMp4;
        if (joined && !row.Convert) {
            RemoveRow(i);
        } else {
            SetState(i, joined ? TMergeState::Waiting : TMergeState::Failed);
        }
        if (OnJoinEnded) OnJoinEnded(ended, joined);
    }
    TerminateJoinerProcesses();
    FJoiner.reset();
    EnableTick();
}

void TMergeQueue::StartConversion(int ARow) {
    TMergeRow& row = FRows[static_cast<size_t>(ARow)];
    const QString base = row.JoinedName.isEmpty() ? row.BaseName : row.JoinedName;
    row.Mp4File = QFile::decodeName(QByteArray::fromStdString(Mp4FileName(FileName(row.Folder), FileName(base))));
    SetState(ARow, TMergeState::Converting);
    FConverter = std::make_unique<TConvertWorker>(FileName(row.SourceFile()), FileName(row.Mp4File), FClosing, [this] {
        QMetaObject::invokeMethod(
            &FContext, [this] { ConvertFinished(); }, Qt::QueuedConnection);
    });
}

void TMergeQueue::ConvertFinished() {
    if (!FConverter) return;
    FConverter->WaitFor();
    if (FClosing) {
        FConverter.reset();
        return;
    }
    // A failed conversion keeps its row (and the FLV) and is not tried again.
    const bool converted = FConverter->Converted();
    if (const int i = RowIn(TMergeState::Converting); i >= 0) {
        FRows[static_cast<size_t>(i)].FailureReason = QString::fromStdString(FConverter->FailureReason());
        FRows[static_cast<size_t>(i)].Note = QString::fromStdString(FConverter->Note());
        const TMergeRow ended = FRows[static_cast<size_t>(i)];
        if (converted) {
            RemoveRow(i);
        } else {
            SetState(i, TMergeState::ConvertFailed);
        }
        if (OnConvertEnded) OnConvertEnded(ended, converted);
    }
    FConverter.reset();
    EnableTick();
}

bool TMergeQueue::IsJoinerRunning() const { return FJoiner && FJoiner->IsJoinerRunning(); }

void TMergeQueue::TerminateJoinerProcesses() {
    if (FJoiner) FJoiner->TerminateJoinerProcesses();
}

void TMergeQueue::WaitForJoiner() {
    // The worker sees the close or its ended tool and ends; the thread's
    // events are served meanwhile.
    ProcessMessagesUntil([this] { return !FJoiner && !FConverter; });
}

int TMergeQueue::RowIn(TMergeState AState) const {
    for (int i = Count() - 1; i >= 0; --i)
        if (FRows[static_cast<size_t>(i)].State == AState) return i;
    return -1;
}

void TMergeQueue::SetState(int ARow, TMergeState AState) {
    FRows[static_cast<size_t>(ARow)].State = AState;
    if (OnRowChanged) OnRowChanged(ARow);
}

void TMergeQueue::RemoveRow(int ARow) {
    FRows.erase(FRows.begin() + ARow);
    if (OnRowRemoved) OnRowRemoved(ARow);
}

}  // namespace bl
