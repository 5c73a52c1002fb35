// One run of flvdl: the page resolved into videos, their play addresses
// asked, the chosen videos' segments downloaded, videos of several segments joined
// and their comment files stored, all through the flows the window uses.
// It tells the progress view what happens and keeps the report.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QTimer>
#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Options.h"
#include "Progress.h"
#include "Report.h"
#include "SiteSession.h"

namespace cl {
class TclInternetItem;
}

namespace bl {
class TCommentQueue;
class TMergeQueue;
class TPartList;
class TVideoDownloads;
struct TMergeRow;
struct TCommentResult;
}  // namespace bl

namespace flvdl {

class TRun {
public:
    // AFolder: the prepared save folder, with trailing "/". AErrors:
    // where failures are named (standard error).
    TRun(const TOptions& AOptions, QString AFolder, TProgressView& AProgress, FILE* AErrors);
    ~TRun();
    TRun(const TRun&) = delete;
    TRun& operator=(const TRun&) = delete;

    // Runs to the end and returns the exit status.
    int Execute();
    // Ctrl-C: the run stops what is running and ends with 130. Safe from a
    // nested wait: it only marks and stops.
    void Interrupt();

    const TRunReport& Report() const { return FReport; }

private:
    // The folder the joining tool is run from: next to the program, else
    // the user's data folder; none when neither can hold it.
    std::optional<QString> ReleaseJoiner();
    int Resolve();
    bool QueueParts();
    void QueueComments();
    void WaitUntilFinished();
    bool Finished() const;
    // The close sequence: downloads stopped, a running join ended, the
    // unfinished segment files deleted, the comment queue stopped.
    void Close();
    void Conclude();

    // The flows' events.
    void SegmentEnded(const cl::TclInternetItem& AItem, bool ASucceeded);
    void JoinEnded(const bl::TMergeRow& ARow, bool AJoined);
    void ConvertEnded(const bl::TMergeRow& ARow, bool AConverted);
    void CommentOutcome(const bl::TCommentResult& AResult);
    void PartSettled(int APart);

    void Fail(int APart, const QString& AError);
    void Event(const QString& ALine);
    void ShowProgress();
    QString PartLabel(int APart) const;

    const TOptions& FOptions;
    const QString FFolder;
    TProgressView& FProgress;
    FILE* FErrors;

    bl::TSiteSession FSession;
    std::atomic<bool> FClosing{false};
    QTimer FMergeTick;
    std::unique_ptr<bl::TPartList> FParts;
    std::unique_ptr<bl::TVideoDownloads> FVideos;
    std::unique_ptr<bl::TMergeQueue> FMerge;
    std::unique_ptr<bl::TCommentQueue> FComments;

    TRunReport FReport;
    bool FInterrupted = false;
    // For each chosen video, its index in the video list.
    std::vector<int> FChosen;
    // Per segment item: the video it belongs to (index into the report) and
    // the last error the downloader told of it.
    struct TSegment {
        int Part = 0;
        QString Name;
        QString Error;
    };
    std::map<const cl::TclInternetItem*, TSegment> FSegments;
    std::vector<int> FSegmentsEnded;
    // Multi-segment videos handed over for joining, by folder + base name.
    std::map<QString, int> FJoins;
    // The hand-over of the segment that is ending (told before its end).
    std::optional<QString> FReadyJoin;
    // Finished videos handed over for conversion, by their FLV file.
    std::map<QString, int> FConversions;
    std::optional<QString> FReadyConversion;
    // Comment files by local file, to their video.
    std::map<QString, int> FCommentFiles;

    QElapsedTimer FClock;
    int64_t FBytesDone = 0;
};

}  // namespace flvdl
