// The merge queue: videos whose segments are all on disk wait in it; a
// one-shot tick starts one joining worker at a time (GatFlv), and the
// worker's end removes the video's row, or marks it failed when the joined
// file was not made (its segments then stay). When finished videos are to
// become MP4 files, a joined video's row stays for one more step, and a
// video of one segment comes in for that step alone: the tick starts the
// conversion worker (TConvertWorker) instead, one job at a time, and its
// end removes the row, or marks it failed and keeps the FLV. The rows are
// data; a listener hears of every change. No window code here.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "ConvertWorker.h"
#include "GatThread.h"

namespace bl {

enum class TMergeState { Waiting, Merging, Failed, Converting, ConvertFailed };
// "等待", "正在合并", "合并失败", "正在转换", "转换失败".
QString MergeStateText(TMergeState AState);

struct TMergeRow {
    QString BaseName;  // the video's base name: segments BaseName + " n-k.flv"
    QString Folder;    // with trailing "/"
    int Count = 0;
    TMergeState State = TMergeState::Waiting;
    QString JoinedName;  // the joined file's base name, once its join started
    // Once its join ended: why it failed (empty when it joined), and the status
    // the joining tool exited with by itself (-1 when it did not run or was
    // ended by a signal).
    QString FailureReason{};
    int ExitStatus = -1;
    // Its step is the conversion of its finished FLV file (SourceFile()) into
    // Mp4File; once that ended, what the user should know of it (a source
    // cut short), and in FailureReason why it failed.
    bool Convert = false;
    QString Mp4File{};
    QString Note{};

    // The video's finished FLV: the joined file, or the video's only segment.
    QString SourceFile() const;
};

class TMergeQueue {
public:
    // ATick: the one-shot tick of 1000 ms (the window's tmr2), owned by the
    // caller; AJoinerProgram: the joining tool; AClosing: set once when the
    // program closes, read by the worker; ANameTaken: whether a file name is
    // in use (a file, or a download that will write it).
    TMergeQueue(QTimer& ATick, QString AJoinerProgram, const std::atomic<bool>& AClosing,
                std::function<bool(const QString&)> ANameTaken);
    ~TMergeQueue();
    TMergeQueue(const TMergeQueue&) = delete;
    TMergeQueue& operator=(const TMergeQueue&) = delete;

    // Queues a video once (a video waiting or being joined is not added again)
    // and enables the tick.
    void Add(const QString& ABaseName, const QString& AFolder, int ACount);
    // Queues the conversion of a finished video of one segment, AFolder +
    // ABaseName + ".flv", once.
    void AddConversion(const QString& ABaseName, const QString& AFolder);
    // Whether a joined video goes on to be converted (set by the caller).
    bool ConvertToMp4 = false;
    int Count() const { return static_cast<int>(FRows.size()); }
    const TMergeRow& Row(int AIndex) const { return FRows[static_cast<size_t>(AIndex)]; }

    // The joining tool, once the start-up has found where it is.
    void SetJoinerProgram(QString AJoinerProgram) { FJoinerProgram = std::move(AJoinerProgram); }

    // Starts the tick unless it is counting down already: restarting it
    // would let a stream of insertions put the tick off for ever.
    void EnableTick();
    // The tick: the first waiting row whose segments are all there is joined.
    void TickElapsed();
    // The workers' ends, on this thread.
    void JoinFinished();
    void ConvertFinished();
    // The running worker, or none.
    GatFlv* Joiner() const { return FJoiner.get(); }
    bool IsJoinerRunning() const;
    void TerminateJoinerProcesses();
    // Close: serves the thread's events until the worker (joining or
    // converting) has ended; a conversion stops once the closing flag is set.
    void WaitForJoiner();
    bool IsConverting() const { return FConverter != nullptr; }

    std::function<void(int ARow)> OnRowAdded;
    std::function<void(int ARow)> OnRowChanged;
    std::function<void(int ARow)> OnRowRemoved;
    // A join ended; AJoined: the joined file Folder + JoinedName + ".flv" holds
    // every segment and the segments are gone.
    std::function<void(const TMergeRow& ARow, bool AJoined)> OnJoinEnded;
    // A conversion ended; AConverted: ARow.Mp4File is in place and checked,
    // and the FLV is gone. Otherwise the FLV is kept.
    std::function<void(const TMergeRow& ARow, bool AConverted)> OnConvertEnded;

private:
    void RemoveRow(int ARow);
    void SetState(int ARow, TMergeState AState);
    // The last row in AState (the step a worker runs), or -1.
    int RowIn(TMergeState AState) const;
    void StartConversion(int ARow);

    QTimer& FTick;
    QString FJoinerProgram;
    const std::atomic<bool>& FClosing;
    std::function<bool(const QString&)> FNameTaken;
    std::vector<TMergeRow> FRows;
    std::unique_ptr<GatFlv> FJoiner;
    std::unique_ptr<TConvertWorker> FConverter;
    // The context of the worker's end posted to this thread: calls still
    // pending when the queue goes are dropped with it.
    QObject FContext;
};

}  // namespace bl
