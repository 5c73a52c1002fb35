// The comment file queue: row i and item i of the comment downloader belong
// to one file. Each body is collected in memory, inflated and written as an
// .xml file; stored files leave the queue for the list of finished files.
// The rows are data; a listener hears of every change and of each file's
// outcome. A refusal of the site can stop the whole queue. No window code
// here.
#pragma once

#include <QByteArray>
#include <QString>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/clMultiDownLoader.h"
#include "rtl/clStreams.h"

namespace bl {

// Status texts of a queued file.
inline constexpr const char* kCommentWaiting = "等待";
inline constexpr const char* kCommentRunning = "正在下载";
inline constexpr const char* kCommentDone = "完成";
inline constexpr const char* kCommentErrors = "错误";
inline constexpr const char* kCommentStopped = "停止";
inline constexpr const char* kCommentRestricted = "受限制";
inline constexpr const char* kCommentUnknownError = "未知错误";
inline constexpr const char* kCommentStoreFailed = "转存失败";
inline constexpr const char* kCommentSubtitlesFailed = "字幕生成失败";
// The window caption when a body stream cannot be made.
inline constexpr const char* kCommentStreamFault = "这里出问题！！！";

// The site's refusal after too many comment files in a row.
inline constexpr int kCommentRestrictedCode = 412;

// The body as the site sends it: raw DEFLATE without a trailer. Inflated
// behind a zlib header (0x78 0x9C); none when it does not inflate.
std::optional<QByteArray> InflateCommentBody(const std::vector<uint8_t>& ABody);

// The file name of a part's comments: its cleaned name plus ".xml", with
// the row's number and a blank in front when ANumbered. A row without play
// addresses ("×") is numbered by its position instead.
QString CommentFileName(const QString& ACaption, const QString& AName, bool ANumbered, int ARowCount, int ARowIndex);
QString CommentUrl(const QString& ACid);

enum class TCommentStatus {
    Waiting,
    Running,
    Done,
    Errors,
    Stopped,
    Restricted,
    UnknownError,
    StoreFailed,
    SubtitlesFailed
};
// The status as shown ("等待", "正在下载", ...).
QString CommentStatusText(TCommentStatus AStatus);

struct TCommentRow {
    int Number = 0;  // from 1; 0 until the rows are numbered
    QString FileName;
    QString LocalFile;
    QString URL;
    TCommentStatus Status = TCommentStatus::Waiting;
};

struct TFinishedComment {
    QString FileName;
    QString LocalFile;
};

// A video whose comments are queued: its caption (number or "×"), name and
// content id, and its position among APartCount videos.
struct TCommentPart {
    QString Caption;
    QString Name;
    QString Cid;
    int Index = 0;
};

// How one file's run ended, as far as a front end reports it.
enum class TCommentOutcome { Stored, Refused, Failed, StoreFailed, SubtitlesFailed };
struct TCommentResult {
    TCommentOutcome Outcome = TCommentOutcome::Stored;
    QString FileName;
    QString LocalFile;
    QString ErrorText;  // Refused and Failed: the downloader's error; SubtitlesFailed: the converter's
    int ErrorCode = 0;
    QString SubtitleFile;  // Stored with subtitles: the .ass beside it
};

// The subtitles of a stored comment file: FILE.ass beside FILE.xml, its stage
// sized from the video FILE.flv beside it when that exists. False with a reason
// when nothing was written.
bool WriteCommentSubtitles(const QString& AXmlFile, QString& ASubtitleFile, QString& AError);

class TCommentQueue {
public:
    // Takes the downloader's events; its settings are the owner's.
    // ARestrictTimer: the restriction stop's timer, set up here; its owner
    // runs RestrictStop() when it fires. Without one the queue keeps its own.
    TCommentQueue(cl::TclMultiDownLoader& ADownLoader, cl::TclHttpRequest& ARequest, QTimer* ARestrictTimer = nullptr);
    ~TCommentQueue();
    TCommentQueue(const TCommentQueue&) = delete;
    TCommentQueue& operator=(const TCommentQueue&) = delete;

    // A row and an item per video, in order, into AFolder (with trailing
    // "/"); then every row is numbered from 1, the restriction is lifted and
    // every item not running starts (also when no video was given).
    void Queue(const std::vector<TCommentPart>& AParts, int APartCount, const QString& AFolder, bool ANumbered);
    // Every row waits again and starts; while the downloader runs, only the
    // rows neither waiting nor running. Lifts the restriction.
    void StartAll();
    // Stops and waits; waiting and running rows become stopped.
    void StopAll();
    // Stops, waits and forgets every item, row and finished file (files stay).
    void Clear();
    // The restriction stop: the queue stops as StopAll does and stays
    // restricted until the next queue action or start.
    void RestrictStop();

    int Count() const { return static_cast<int>(FRows.size()); }
    const TCommentRow& Row(int AIndex) const { return FRows[static_cast<size_t>(AIndex)]; }
    const std::vector<TFinishedComment>& Finished() const { return FFinished; }
    bool RestrictStopped() const { return FRestrictStopped; }
    bool IsRestrictStopPending() const { return FRestrictTimer->isActive(); }
    // Whether a refusal stops the whole queue.
    bool StopOnRefusal = true;
    // Whether each stored file also gets its subtitles; a failure keeps the
    // row (the XML stays) with its own status.
    bool WriteSubtitles = false;

    // The downloader's events.
    void StatusChanged(cl::TclInternetItem& AItem, cl::TclProcessStatus AStatus);
    void Error(cl::TclInternetItem& AItem, const std::string& AText, int AErrorCode);
    void ProcessCompleted(cl::TclInternetItem& AItem);

    std::function<void(int ARow)> OnRowAdded;
    std::function<void(int ARow)> OnRowChanged;
    std::function<void(int ARow)> OnRowRemoved;
    std::function<void(int AIndex)> OnFinishedAdded;
    std::function<void()> OnCleared;
    // A running item's body stream could not be made.
    std::function<void()> OnStreamFault;
    std::function<void(const TCommentResult& AResult)> OnOutcome;

private:
    void Add(const QString& AFileName, const QString& ALocalFile, const QString& AURL);
    void StartItems();
    void StartItem(cl::TclInternetItem& AItem);
    void RestartIdle();
    void StopAndMark();
    // The row of an item, or -1 (an item without a row).
    int RowOf(const cl::TclInternetItem& AItem) const;
    void SetStatus(int ARow, TCommentStatus AStatus);
    void SetStatus(const cl::TclInternetItem& AItem, TCommentStatus AStatus) { SetStatus(RowOf(AItem), AStatus); }
    void Tell(TCommentOutcome AOutcome, int ARow, const std::string& AErrorText = {}, int AErrorCode = 0,
              const QString& ASubtitleFile = {});
    // Detaches and frees the item's body stream; returns its bytes.
    std::vector<uint8_t> TakeBody(cl::TclInternetItem& AItem);
    // The body inflated and written (with its subtitles when asked), and the
    // row moved to the finished files; any other outcome leaves the row.
    TCommentOutcome Store(cl::TclInternetItem& AItem, const std::vector<uint8_t>& ABody);

    cl::TclMultiDownLoader& FDownLoader;
    cl::TclHttpRequest& FRequest;
    std::vector<TCommentRow> FRows;
    std::vector<TFinishedComment> FFinished;
    bool FRestrictStopped = false;
    std::unique_ptr<QTimer> FOwnTimer;
    QTimer* FRestrictTimer = nullptr;
    // The body streams handed to running items; the queue owns them.
    std::map<const cl::TclInternetItem*, std::unique_ptr<cl::TMemoryStream>> FStreams;
};

}  // namespace bl
