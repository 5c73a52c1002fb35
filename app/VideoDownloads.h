// The video download queue: every media segment of a queued video is one row
// and one item of the video downloader (row i belongs to item i), written
// under the names of VideoQueue.h with the temporary extension and renamed
// when finished; a video whose segments are all on disk is handed over for
// joining. The rows are data (state, name, size, progress, speed); a
// listener hears of every change. The user's controls (start, pause, delete,
// clear, the limit of running items, thread count, priority) are operations
// on rows. No window code here.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <unordered_map>
#include <vector>

#include "engine/clMultiDownLoader.h"

namespace cl {
class TclHttpRequest;
}

namespace bl {

struct TPart;

// What a row shows in its first column.
enum class TSegmentState { Waiting, Running, Paused, Failed };
// "〓", "►", "‖", "×".
QString SegmentGlyph(TSegmentState AState);

struct TSegmentRow {
    TSegmentState State = TSegmentState::Waiting;
    QString Name;       // display name, without folder
    int64_t Size = -1;  // the resource size, set when the first data came; -1 before
    int64_t BytesDone = 0;
    double Speed = 0;  // bytes per second
};

// How a video's segments are named and downloaded when queued.
struct TQueueSettings {
    QString Folder;        // with trailing "/"
    bool Numbered = true;  // the video's number in front of its name
    int ThreadCount = 5;   // 1 to 10
    cl::TclProcessPriority Priority = cl::ppNormal;
};

class TVideoDownloads {
public:
    TVideoDownloads(cl::TclMultiDownLoader& ALoader, cl::TclHttpRequest& ARequest);
    ~TVideoDownloads();
    TVideoDownloads(const TVideoDownloads&) = delete;
    TVideoDownloads& operator=(const TVideoDownloads&) = delete;

    // A row and an item for every segment of APart, each started at once
    // (the downloader runs at most its limit; the rest wait). A video without
    // addresses adds nothing.
    void QueuePart(const TPart& APart, const TQueueSettings& ASettings);

    int Count() const { return static_cast<int>(FRows.size()); }
    const TSegmentRow& Row(int AIndex) const { return FRows[static_cast<size_t>(AIndex)]; }
    cl::TclDownLoadItem& Item(int AIndex);
    bool IsBusy() const { return FLoader.IsBusy(); }

    // The user's controls, on rows by their index at the time of the call.
    // A double click: a running or waiting row pauses, any other starts.
    void Toggle(int ARow);
    // Rows not running wait again and start; then waiting rows are queued
    // again in list order.
    void Start(const std::vector<int>& ARows);
    void StartAll();
    void Pause(const std::vector<int>& ARows);
    // Stops every item and waits; running and waiting rows are paused.
    void PauseAll();
    // From the last row up: a running row is stopped and waited for, then
    // removed with the file it wrote.
    void Delete(const std::vector<int>& ARows);
    // Stops and waits, deletes the files the items wrote, forgets every row.
    void Clear();
    // The limit of running items. Lowered below the number running, the
    // lowest running rows wait again and resume later.
    void SetMaxStartedItems(int ALimit);
    // Items not started yet take the thread count; idle ones the priority.
    void SetThreadCount(int ACount);
    void SetPriority(cl::TclProcessPriority APriority);
    // Whether a finished video of several segments is handed over (OnPartReady).
    bool AutoJoin = true;

    // A file of that name exists, or an item of the list will write it.
    bool IsNameTaken(const QString& AName) const;
    // Close: deletes the files of unfinished items that are their own.
    void DeleteUnfinishedFiles();

    // Items in progress (reset when the downloader becomes busy), and the
    // bytes received since the speed tick last took them.
    int32_t RunningCount = 0;
    int64_t TickBytes = 0;

    std::function<void(int ARow)> OnRowAdded;
    std::function<void(int ARow)> OnRowChanged;
    std::function<void(int ARow)> OnRowRemoved;
    std::function<void(bool ABusy)> OnBusyChanged;
    // A segment's run ended; a finished one (ASucceeded) has left the rows,
    // its item goes right after.
    std::function<void(const cl::TclInternetItem& AItem, bool ASucceeded)> OnSegmentEnded;
    // Every segment of a video of several segments is on disk: join them.
    std::function<void(const QString& ABaseName, const QString& AFolder, int ACount)> OnPartReady;
    // The only segment of a video of one segment is on disk as AFile.
    std::function<void(const QString& AFile)> OnVideoReady;

private:
    void StatusChanged(cl::TclInternetItem& AItem, cl::TclProcessStatus AStatus);
    void DataItemProceed(cl::TclInternetItem& AItem, int ASize);
    void ProcessCompleted(cl::TclInternetItem& AItem);
    void IsBusyChanged();

    int IndexOf(const cl::TclInternetItem* AItem) const;
    // AExcept's own name does not count.
    bool IsNameTaken(const QString& AName, const cl::TclInternetItem* AExcept) const;
    void SetState(int ARow, TSegmentState AState);
    void StartItem(cl::TclInternetItem& AItem);
    void StartItems(const std::vector<cl::TclDownLoadItem*>& AItems);
    void RequeueWaitingItems();
    void StopWaitingItems();
    void TakeBackRunningItems(int ALimit);
    void RemoveRow(int ARow);
    // The item's file may go with it: the item resolved the name itself and
    // no other item of the list did so too. A waiting item still carries a
    // name that another item may be writing.
    bool MayDeleteFile(const cl::TclInternetItem& AItem) const;
    void DeleteOwnFile(const cl::TclInternetItem& AItem);

    cl::TclMultiDownLoader& FLoader;
    cl::TclHttpRequest& FRequest;
    std::vector<TSegmentRow> FRows;
    // What is kept of each item on our side: the merge tag of a segment of a
    // video of several segments (so that it never reaches a server as a user name),
    // and whether the item has resolved its file name, which makes the file
    // of that name its own.
    struct TOwn {
        QString MergeTag;
        bool OwnsFile = false;
    };
    std::unordered_map<const cl::TclInternetItem*, TOwn> FOwn;
};

}  // namespace bl
