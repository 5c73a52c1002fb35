#include "CommentQueue.h"

#include <QFile>
#include <QSaveFile>
#include <exception>

#include "BlUtils.h"
#include "Convert.h"
#include "SiteAddresses.h"
#include "StageSize.h"
#include "http/clInflate.h"

namespace bl {

namespace {

// The restriction stop comes this long after a refusal.
constexpr int kRestrictStopDelayMs = 500;
constexpr const char* kCommentExtension = ".xml";
// The extension, and the suffix of the temporary file the safe write makes
// beside the comment file (".XXXXXX" and some room).
constexpr int kCommentNameReserve = 4 + 12;
// A comment file is a few hundred KiB; a body inflating past this is refused
// rather than exhausting memory.
constexpr qsizetype kMaxInflatedSize = qsizetype{256} * 1024 * 1024;

// Waiting or running: what a stop marks and a start of the idle rows skips.
bool IsQueued(TCommentStatus AStatus) {
    return AStatus == TCommentStatus::Waiting || AStatus == TCommentStatus::Running;
}

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

QString CommentFileName(const QString& ACaption, const QString& AName, bool ANumbered, int ARowCount, int ARowIndex) {
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

QString CommentStatusText(TCommentStatus AStatus) {
    const char* text = kCommentWaiting;
    switch (AStatus) {
        case TCommentStatus::Waiting:
            text = kCommentWaiting;
            break;
        case TCommentStatus::Running:
            text = kCommentRunning;
            break;
        case TCommentStatus::Done:
            text = kCommentDone;
            break;
        case TCommentStatus::Errors:
            text = kCommentErrors;
            break;
        case TCommentStatus::Stopped:
            text = kCommentStopped;
            break;
        case TCommentStatus::Restricted:
            text = kCommentRestricted;
            break;
        case TCommentStatus::UnknownError:
            text = kCommentUnknownError;
            break;
        case TCommentStatus::StoreFailed:
            text = kCommentStoreFailed;
            break;
        case TCommentStatus::SubtitlesFailed:
            text = kCommentSubtitlesFailed;
            break;
    }
    return QString::fromUtf8(text);
}

TCommentQueue::TCommentQueue(cl::TclMultiDownLoader& ADownLoader, cl::TclHttpRequest& ARequest, QTimer* ARestrictTimer)
    : FDownLoader(ADownLoader), FRequest(ARequest), FRestrictTimer(ARestrictTimer) {
    if (!FRestrictTimer) {
        FOwnTimer = std::make_unique<QTimer>();
        FRestrictTimer = FOwnTimer.get();
        QObject::connect(FRestrictTimer, &QTimer::timeout, FRestrictTimer, [this] { RestrictStop(); });
    }
    FRestrictTimer->setInterval(kRestrictStopDelayMs);
    FRestrictTimer->setSingleShot(true);

    FDownLoader.OnStatusChanged = [this](cl::TObject*, cl::TclInternetItem* AItem, cl::TclProcessStatus AStatus) {
        if (AItem) StatusChanged(*AItem, AStatus);
    };
    FDownLoader.OnError = [this](cl::TObject*, cl::TclInternetItem* AItem, const std::string& AText, int ACode) {
        if (AItem) Error(*AItem, AText, ACode);
    };
    FDownLoader.OnProcessCompleted = [this](cl::TObject*, cl::TclInternetItem* AItem) {
        if (AItem) ProcessCompleted(*AItem);
    };
}

TCommentQueue::~TCommentQueue() {
    FRestrictTimer->stop();
    // The events of the stopping items no longer reach a queue that is going;
    // the items write into the streams, so they go first.
    FDownLoader.OnStatusChanged = nullptr;
    FDownLoader.OnError = nullptr;
    FDownLoader.OnProcessCompleted = nullptr;
    FDownLoader.Stop();
    FDownLoader.DownLoadList().Clear();
}

void TCommentQueue::Queue(const std::vector<TCommentPart>& AParts, int APartCount, const QString& AFolder,
                          bool ANumbered) {
    if (APartCount == 0) return;
    for (const TCommentPart& part : AParts) {
        const QString name = CommentFileName(part.Caption, part.Name, ANumbered, APartCount, part.Index);
        Add(name, AFolder + name, CommentUrl(part.Cid));
    }
    for (int i = 0; i < Count(); ++i) {
        TCommentRow& row = FRows[static_cast<size_t>(i)];
        if (row.Number == i + 1) continue;
        row.Number = i + 1;
        if (OnRowChanged) OnRowChanged(i);
    }
    FRestrictStopped = false;
    StartItems();
}

void TCommentQueue::Add(const QString& AFileName, const QString& ALocalFile, const QString& AURL) {
    cl::TclDownLoadItem& item = FDownLoader.DownLoadList().Add();
    item.SetThreadCount(1);
    item.SetLocalFile(QFile::encodeName(ALocalFile).toStdString());
    item.SetURL(AURL.toStdString());
    item.SetHttpRequest(&FRequest);
    FRows.push_back({0, AFileName, ALocalFile, AURL, TCommentStatus::Waiting});
    if (OnRowAdded) OnRowAdded(Count() - 1);
}

void TCommentQueue::StartItems() {
    // A running item cannot be started again; the others start in list order.
    cl::TclDownLoadList& items = FDownLoader.DownLoadList();
    for (int i = 0; i < items.Count(); ++i) StartItem(items.Items(i));
}

void TCommentQueue::StartItem(cl::TclInternetItem& AItem) {
    if (AItem.IsBusy()) return;
    try {
        AItem.Start(true);
    } catch (const std::exception&) {
        // Nothing may escape into the event loop; the row says it.
        SetStatus(AItem, TCommentStatus::UnknownError);
    }
}

void TCommentQueue::StartAll() {
    if (FRows.empty()) return;
    FRestrictStopped = false;
    if (FDownLoader.IsBusy()) {
        RestartIdle();
        return;
    }
    for (int i = 0; i < Count(); ++i) SetStatus(i, TCommentStatus::Waiting);
    StartItems();
}

void TCommentQueue::RestartIdle() {
    cl::TclDownLoadList& items = FDownLoader.DownLoadList();
    std::vector<cl::TclInternetItem*> idle;
    for (int i = 0; i < Count() && i < items.Count(); ++i) {
        if (IsQueued(FRows[static_cast<size_t>(i)].Status)) continue;
        SetStatus(i, TCommentStatus::Waiting);
        idle.push_back(&items.Items(i));
    }
    // A row marked a moment ago may belong to an item still ending its run:
    // its start waits for that end, and rows may go meanwhile, so each item
    // is taken by itself rather than by its position.
    for (cl::TclInternetItem* item : idle) {
        if (!StartWhenIdle(items, *item) && items.IndexOf(item) >= 0) SetStatus(*item, TCommentStatus::UnknownError);
    }
}

void TCommentQueue::StopAll() {
    if (!FRows.empty()) StopAndMark();
}

void TCommentQueue::RestrictStop() {
    FRestrictTimer->stop();
    FRestrictStopped = true;
    StopAndMark();
}

void TCommentQueue::StopAndMark() {
    StopAndWait(FDownLoader);
    for (int i = 0; i < Count(); ++i) {
        if (IsQueued(FRows[static_cast<size_t>(i)].Status)) SetStatus(i, TCommentStatus::Stopped);
    }
}

void TCommentQueue::Clear() {
    StopAndWait(FDownLoader);
    FDownLoader.DownLoadList().Clear();
    FStreams.clear();
    FRows.clear();
    FFinished.clear();
    if (OnCleared) OnCleared();
}

void TCommentQueue::StatusChanged(cl::TclInternetItem& AItem, cl::TclProcessStatus AStatus) {
    bool streamMade = true;
    switch (AStatus) {
        case cl::psUnknown:
            SetStatus(AItem, TCommentStatus::Waiting);
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
            SetStatus(AItem, TCommentStatus::Running);
            break;
        case cl::psSuccess:
            SetStatus(AItem, TCommentStatus::Done);
            break;
        case cl::psErrors:
            SetStatus(AItem, TCommentStatus::Errors);
            break;
        case cl::psTerminated:
            SetStatus(AItem, TCommentStatus::Stopped);
            break;
        case cl::psFailed:
            break;
    }
    if (!streamMade && OnStreamFault) OnStreamFault();
}

void TCommentQueue::Error(cl::TclInternetItem& AItem, const std::string& AText, int AErrorCode) {
    const bool refused = AErrorCode == kCommentRestrictedCode;
    const int row = RowOf(AItem);
    SetStatus(row, refused ? TCommentStatus::Restricted : TCommentStatus::UnknownError);
    // Several refusals before the next start stop the queue once; a refusal
    // while the stop counts down does not put it off.
    if (refused && StopOnRefusal && !FRestrictStopped && !FRestrictTimer->isActive()) FRestrictTimer->start();
    Tell(refused ? TCommentOutcome::Refused : TCommentOutcome::Failed, row, AText, AErrorCode);
}

void TCommentQueue::ProcessCompleted(cl::TclInternetItem& AItem) {
    if (AItem.LastStatus() != cl::psSuccess) {
        // A restart fetches the file from the beginning.
        TakeBody(AItem);
        AItem.ResourceState().Clear();
        return;
    }
    const std::vector<uint8_t> body = TakeBody(AItem);
    if (Store(AItem, body) == TCommentOutcome::StoreFailed) {
        const int row = RowOf(AItem);
        SetStatus(row, TCommentStatus::StoreFailed);
        AItem.ResourceState().Clear();
        Tell(TCommentOutcome::StoreFailed, row);
    }
}

bool WriteCommentSubtitles(const QString& AXmlFile, QString& ASubtitleFile, QString& AError) {
    const std::string xml = QFile::encodeName(AXmlFile).toStdString();
    const std::string stem = xml.size() > 4 && xml.ends_with(".xml") ? xml.substr(0, xml.size() - 4) : xml;
    subtitles::Options options;
    options.stage = subtitles::StageOfVideo(stem + ".flv");
    const std::string ass = subtitles::AssPathFor(xml);
    const subtitles::Result result = subtitles::ConvertFile(xml, ass, options);
    if (!result.ok) {
        AError = QString::fromStdString(result.error);
        return false;
    }
    ASubtitleFile = QFile::decodeName(QByteArray::fromStdString(ass));
    return true;
}

TCommentOutcome TCommentQueue::Store(cl::TclInternetItem& AItem, const std::vector<uint8_t>& ABody) {
    const int row = RowOf(AItem);
    if (row < 0) return TCommentOutcome::StoreFailed;
    // A body that does not inflate, or holds nothing, is not a stored file.
    const std::optional<QByteArray> text = InflateCommentBody(ABody);
    if (!text || text->isEmpty()) return TCommentOutcome::StoreFailed;
    const QString localFile = QFile::decodeName(QByteArray::fromStdString(AItem.LocalFile()));
    QSaveFile file(localFile);
    if (!file.open(QIODevice::WriteOnly) || file.write(*text) != text->size() || !file.commit()) {
        return TCommentOutcome::StoreFailed;
    }
    QString subtitleFile;
    if (WriteSubtitles) {
        QString error;
        if (!WriteCommentSubtitles(localFile, subtitleFile, error)) {
            SetStatus(row, TCommentStatus::SubtitlesFailed);
            AItem.ResourceState().Clear();
            Tell(TCommentOutcome::SubtitlesFailed, row, error.toStdString());
            return TCommentOutcome::SubtitlesFailed;
        }
    }
    FFinished.push_back({FRows[static_cast<size_t>(row)].FileName, localFile});
    if (OnFinishedAdded) OnFinishedAdded(static_cast<int>(FFinished.size()) - 1);
    Tell(TCommentOutcome::Stored, row, {}, 0, subtitleFile);
    FRows.erase(FRows.begin() + row);
    if (OnRowRemoved) OnRowRemoved(row);
    // Nothing touches the item after its completion event: it may go here.
    FDownLoader.DownLoadList().Delete(row);
    return TCommentOutcome::Stored;
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

int TCommentQueue::RowOf(const cl::TclInternetItem& AItem) const {
    const int index = AItem.Index();
    return index >= 0 && index < Count() ? index : -1;
}

void TCommentQueue::SetStatus(int ARow, TCommentStatus AStatus) {
    if (ARow < 0) return;
    TCommentStatus& status = FRows[static_cast<size_t>(ARow)].Status;
    if (status == AStatus) return;
    status = AStatus;
    if (OnRowChanged) OnRowChanged(ARow);
}

void TCommentQueue::Tell(TCommentOutcome AOutcome, int ARow, const std::string& AErrorText, int AErrorCode,
                         const QString& ASubtitleFile) {
    if (!OnOutcome) return;
    TCommentResult result{AOutcome, {}, {}, QString::fromStdString(AErrorText), AErrorCode, ASubtitleFile};
    if (ARow >= 0) {
        result.FileName = FRows[static_cast<size_t>(ARow)].FileName;
        result.LocalFile = FRows[static_cast<size_t>(ARow)].LocalFile;
    }
    OnOutcome(result);
}

}  // namespace bl
