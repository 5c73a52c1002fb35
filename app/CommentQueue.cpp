#include "CommentQueue.h"

#include <QFile>
#include <QSaveFile>
#include <QTreeWidget>
#include <exception>

#include "BlUtils.h"
#include "http/clInflate.h"
#include "site/VidSiteConstants.h"

namespace bl {

namespace {

QString Tr(const char* AText) { return QString::fromUtf8(AText); }

// Column of the status text in lv4.
constexpr int kStatusColumn = 2;
constexpr const char* kCommentExtension = ".xml";
// The extension, and the suffix of the temporary file the safe write makes
// beside the comment file (".XXXXXX" and some room).
constexpr int kCommentNameReserve = 4 + 12;
// A comment file is a few hundred KiB; a body inflating past this is refused
// rather than exhausting memory.
constexpr qsizetype kMaxInflatedSize = qsizetype{256} * 1024 * 1024;

}  // namespace

std::optional<QByteArray> InflateCommentBody(const std::vector<uint8_t>& ABody) {
    try {
        // Raw DEFLATE: the same as the data behind a zlib header, and its end
        // is known exactly, so a body cut short is refused.
        cl::TclInflater inflater(/*ANoHeader=*/true);
        inflater.SetInput(ABody);
        QByteArray output;
        std::vector<uint8_t> block(4096);
        while (!inflater.IsFinished()) {
            const int produced = inflater.Inflate(block);
            output.append(reinterpret_cast<const char*>(block.data()), produced);
            if (output.size() > kMaxInflatedSize) return std::nullopt;
            // Nothing more comes out and no input is left: the body ended
            // inside the stream.
            if (produced == 0 && inflater.IsNeedingInput()) return std::nullopt;
        }
        return output;
    } catch (const std::exception&) {
        // A broken stream.
        return std::nullopt;
    }
}

QString CommentFileName(const QString& ACaption, const QString& AName, bool ANumbered, int ARowCount,
                        int ARowIndex) {
    QString name = SanitizeFileName(AName);
    if (ANumbered) {
        const QString number = ACaption == QStringLiteral("×") ? PadNumber(ARowCount, ARowIndex) : ACaption;
        name = number + QLatin1Char(' ') + name;
    }
    return CutToUtf8Bytes(name, kMaxNameBytes - kCommentNameReserve) + kCommentExtension;
}

QString CommentUrl(const QString& ACid) {
    return QStringLiteral("https://") + QString::fromLatin1(vidsite::kApiHost) +
           QString::fromLatin1(vidsite::kCommentPath) + QStringLiteral("?oid=") + ACid;
}

TCommentQueue::TCommentQueue(cl::TclMultiDownLoader& ADownLoader, QTreeWidget& AList, QTreeWidget& ADoneList,
                             cl::TclHttpRequest& ARequest)
    : FDownLoader(ADownLoader), FList(AList), FDoneList(ADoneList), FRequest(ARequest) {}

TCommentQueue::~TCommentQueue() {
    // The events of the stopping items no longer reach a queue that is going;
    // the items write into the streams, so they go first.
    FDownLoader.OnStatusChanged = nullptr;
    FDownLoader.OnError = nullptr;
    FDownLoader.OnProcessCompleted = nullptr;
    FDownLoader.Stop();
    FDownLoader.DownLoadList().Clear();
}

void TCommentQueue::Add(const QString& AFileName, const QString& ALocalFile, const QString& AURL) {
    new QTreeWidgetItem(&FList, {QString(), AFileName, Tr(kCommentWaiting)});
    cl::TclDownLoadItem& item = FDownLoader.DownLoadList().Add();
    item.SetThreadCount(1);
    item.SetLocalFile(QFile::encodeName(ALocalFile).toStdString());
    item.SetURL(AURL.toStdString());
    item.SetHttpRequest(&FRequest);
}

void TCommentQueue::NumberRows() {
    for (int i = 0; i < FList.topLevelItemCount(); ++i) FList.topLevelItem(i)->setText(0, QString::number(i + 1));
}

void TCommentQueue::StartAll() {
    // A running item cannot be started again; the others start in list order.
    cl::TclDownLoadList& items = FDownLoader.DownLoadList();
    for (int i = 0; i < items.Count(); ++i) StartItem(items.Items(i));
}

void TCommentQueue::StartItem(cl::TclInternetItem& AItem) {
    if (AItem.IsBusy()) return;
    try {
        AItem.Start(true);
    } catch (const std::exception&) {
        // Nothing may escape into the window's event loop; the row says it.
        SetStatus(AItem, kCommentUnknownError);
    }
}

void TCommentQueue::RestartIdle() {
    cl::TclDownLoadList& items = FDownLoader.DownLoadList();
    std::vector<cl::TclInternetItem*> idle;
    for (int i = 0; i < FList.topLevelItemCount() && i < items.Count(); ++i) {
        QTreeWidgetItem* row = FList.topLevelItem(i);
        const QString status = row->text(kStatusColumn);
        if (status == Tr(kCommentWaiting) || status == Tr(kCommentRunning)) continue;
        row->setText(kStatusColumn, Tr(kCommentWaiting));
        idle.push_back(&items.Items(i));
    }
    // A row marked a moment ago may belong to an item still ending its run:
    // its start waits for that end, and rows may go meanwhile, so each item
    // is taken by itself rather than by its position.
    for (cl::TclInternetItem* item : idle) {
        if (!StartWhenIdle(items, *item) && items.IndexOf(item) >= 0) SetStatus(*item, kCommentUnknownError);
    }
}

void TCommentQueue::MarkAllWaiting() {
    for (int i = 0; i < FList.topLevelItemCount(); ++i) FList.topLevelItem(i)->setText(kStatusColumn, Tr(kCommentWaiting));
}

void TCommentQueue::StopAll() {
    StopAndWait(FDownLoader);
    MarkRows({kCommentWaiting, kCommentRunning}, kCommentStopped);
}

void TCommentQueue::Clear() {
    StopAndWait(FDownLoader);
    FDownLoader.DownLoadList().Clear();
    FStreams.clear();
    FList.clear();
    FDoneList.clear();
}

bool TCommentQueue::IsEmpty() const { return FList.topLevelItemCount() == 0; }

bool TCommentQueue::StatusChanged(cl::TclInternetItem& AItem, cl::TclProcessStatus AStatus) {
    bool streamMade = true;
    switch (AStatus) {
        case cl::psUnknown:
            SetStatus(AItem, kCommentWaiting);
            break;
        case cl::psProcess:
            if (!AItem.DataStream()) {
                try {
                    auto stream = std::make_unique<cl::TMemoryStream>();
                    AItem.SetDataStream(stream.get());
                    FStreams[&AItem] = std::move(stream);
                } catch (const std::exception&) {
                    AItem.SetDataStream(nullptr);
                    streamMade = false;
                }
            }
            SetStatus(AItem, kCommentRunning);
            break;
        case cl::psSuccess:
            SetStatus(AItem, kCommentDone);
            break;
        case cl::psErrors:
            SetStatus(AItem, kCommentErrors);
            break;
        case cl::psTerminated:
            SetStatus(AItem, kCommentStopped);
            break;
        case cl::psFailed:
            break;
    }
    return streamMade;
}

bool TCommentQueue::Error(cl::TclInternetItem& AItem, int AErrorCode) {
    const bool restricted = AErrorCode == kCommentRestrictedCode;
    SetStatus(AItem, restricted ? kCommentRestricted : kCommentUnknownError);
    return restricted;
}

void TCommentQueue::ProcessCompleted(cl::TclInternetItem& AItem) {
    if (AItem.LastStatus() != cl::psSuccess) {
        // A restart fetches the file from the beginning.
        TakeBody(AItem);
        AItem.ResourceState().Clear();
        return;
    }
    const std::vector<uint8_t> body = TakeBody(AItem);
    if (!Store(AItem, body)) {
        SetStatus(AItem, kCommentStoreFailed);
        AItem.ResourceState().Clear();
    }
}

bool TCommentQueue::Store(cl::TclInternetItem& AItem, const std::vector<uint8_t>& ABody) {
    QTreeWidgetItem* row = RowOf(AItem);
    if (!row) return false;
    // A body that does not inflate, or holds nothing, is not a stored file.
    const std::optional<QByteArray> text = InflateCommentBody(ABody);
    if (!text || text->isEmpty()) return false;
    const QString localFile = QFile::decodeName(QByteArray::fromStdString(AItem.LocalFile()));
    QSaveFile file(localFile);
    if (!file.open(QIODevice::WriteOnly) || file.write(*text) != text->size() || !file.commit()) return false;
    new QTreeWidgetItem(&FDoneList, {row->text(1), localFile});
    const int index = AItem.Index();
    delete row;
    // Nothing touches the item after its completion event: it may go here.
    FDownLoader.DownLoadList().Delete(index);
    return true;
}

std::vector<uint8_t> TCommentQueue::TakeBody(cl::TclInternetItem& AItem) {
    std::vector<uint8_t> body;
    const auto found = FStreams.find(&AItem);
    if (found == FStreams.end()) return body;
    if (AItem.DataStream() == found->second.get()) AItem.SetDataStream(nullptr);
    body = found->second->Bytes();
    FStreams.erase(found);
    return body;
}

QTreeWidgetItem* TCommentQueue::RowOf(const cl::TclInternetItem& AItem) const {
    const int index = AItem.Index();
    return index >= 0 ? FList.topLevelItem(index) : nullptr;
}

void TCommentQueue::SetStatus(const cl::TclInternetItem& AItem, const char* AText) {
    if (QTreeWidgetItem* row = RowOf(AItem)) row->setText(kStatusColumn, Tr(AText));
}

void TCommentQueue::MarkRows(std::initializer_list<const char*> AFrom, const char* ATo) {
    for (int i = 0; i < FList.topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = FList.topLevelItem(i);
        for (const char* from : AFrom) {
            if (row->text(kStatusColumn) == Tr(from)) {
                row->setText(kStatusColumn, Tr(ATo));
                break;
            }
        }
    }
}

}  // namespace bl
