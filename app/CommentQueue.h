// The comment file queue of the third tab: row i of lv4 and item i of the
// comment downloader belong to one file. Each body is collected in memory,
// inflated and written as an .xml file; stored files move to lv5. The
// window's handlers call into it and keep the restriction state.
#pragma once

#include <QByteArray>
#include <QString>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "engine/clMultiDownLoader.h"
#include "rtl/clStreams.h"

class QTreeWidget;
class QTreeWidgetItem;

namespace bl {

// Status texts of lv4.
inline constexpr const char* kCommentWaiting = "等待";
inline constexpr const char* kCommentRunning = "正在下载";
inline constexpr const char* kCommentDone = "完成";
inline constexpr const char* kCommentErrors = "错误";
inline constexpr const char* kCommentStopped = "停止";
inline constexpr const char* kCommentRestricted = "受限制";
inline constexpr const char* kCommentUnknownError = "未知错误";
inline constexpr const char* kCommentStoreFailed = "转存失败";
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
QString CommentFileName(const QString& ACaption, const QString& AName, bool ANumbered, int ARowCount,
                        int ARowIndex);
QString CommentUrl(const QString& ACid);

class TCommentQueue {
public:
    TCommentQueue(cl::TclMultiDownLoader& ADownLoader, QTreeWidget& AList, QTreeWidget& ADoneList,
                  cl::TclHttpRequest& ARequest);
    ~TCommentQueue();
    TCommentQueue(const TCommentQueue&) = delete;
    TCommentQueue& operator=(const TCommentQueue&) = delete;

    // A row and an item at the end, not started.
    void Add(const QString& AFileName, const QString& ALocalFile, const QString& AURL);
    // Captions 1, 2, 3...
    void NumberRows();
    // Starts every item that is not running (in list order; the downloader
    // admits at most its limit at once).
    void StartAll();
    // Marks rows not waiting or running "等待" and starts their items.
    void RestartIdle();
    // Every row "等待" (a start of the whole queue follows).
    void MarkAllWaiting();
    // Stops and waits; waiting and running rows become "停止".
    void StopAll();
    // Stops, waits and forgets every item and both lists (files stay).
    void Clear();
    bool IsEmpty() const;

    // Status text (and the body stream at psProcess); false when the
    // stream could not be made.
    bool StatusChanged(cl::TclInternetItem& AItem, cl::TclProcessStatus AStatus);
    // True for the site's refusal.
    bool Error(cl::TclInternetItem& AItem, int AErrorCode);
    // Inflates and writes a finished body and moves its row to lv5.
    void ProcessCompleted(cl::TclInternetItem& AItem);

private:
    QTreeWidgetItem* RowOf(const cl::TclInternetItem& AItem) const;
    void StartItem(cl::TclInternetItem& AItem);
    void SetStatus(const cl::TclInternetItem& AItem, const char* AText);
    void MarkRows(std::initializer_list<const char*> AFrom, const char* ATo);
    // Detaches and frees the item's body stream; returns its bytes.
    std::vector<uint8_t> TakeBody(cl::TclInternetItem& AItem);
    // The body inflated and written; false leaves the row.
    bool Store(cl::TclInternetItem& AItem, const std::vector<uint8_t>& ABody);

    cl::TclMultiDownLoader& FDownLoader;
    QTreeWidget& FList;
    QTreeWidget& FDoneList;
    cl::TclHttpRequest& FRequest;
    // The body streams handed to running items; the queue owns them.
    std::map<const cl::TclInternetItem*, std::unique_ptr<cl::TMemoryStream>> FStreams;
};

}  // namespace bl
