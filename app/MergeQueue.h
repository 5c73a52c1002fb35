// The merge queue: videos whose segments are all on disk wait in it; a
// one-shot tick starts one joining worker at a time (GatFlv), and the
// worker's end removes the video's row, or marks it failed when the joined
// file was not made (its segments then stay). The rows are data; a listener
// hears of every change. No window code here.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "GatThread.h"

namespace bl {

enum class TMergeState { Waiting, Merging, Failed };
// "等待", "正在合并", "合并失败".
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
    int Count() const { return static_cast<int>(FRows.size()); }
    const TMergeRow& Row(int AIndex) const { return FRows[static_cast<size_t>(AIndex)]; }

    // Starts the tick unless it is counting down already: restarting it
    // would let a stream of insertions put the tick off for ever.
    void EnableTick();
    // The tick: the first waiting row whose segments are all there is joined.
    void TickElapsed();
    // The worker's end, on this thread.
    void JoinFinished();
    // The running worker, or none.
    GatFlv* Joiner() const { return FJoiner.get(); }
    bool IsJoinerRunning() const;
    void TerminateJoinerProcesses();
    // Close: serves the thread's events until the worker has ended.
    void WaitForJoiner();

    std::function<void(int ARow)> OnRowAdded;
    std::function<void(int ARow)> OnRowChanged;
    std::function<void(int ARow)> OnRowRemoved;
    // A join ended; AJoined: the joined file Folder + JoinedName + ".flv" holds
    // every segment and the segments are gone.
    std::function<void(const TMergeRow& ARow, bool AJoined)> OnJoinEnded;

private:
    void RemoveRow(int ARow);

    QTimer& FTick;
    QString FJoinerProgram;
    const std::atomic<bool>& FClosing;
    std::function<bool(const QString&)> FNameTaken;
    std::vector<TMergeRow> FRows;
    std::unique_ptr<GatFlv> FJoiner;
    // The context of the worker's end posted to this thread: calls still
    // pending when the queue goes are dropped with it.
    QObject FContext;
};

}  // namespace bl
