#include "Run.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "BlUtils.h"
#include "CommandLine.h"
#include "CommentQueue.h"
#include "MergeQueue.h"
#include "PartList.h"
#include "StartFolders.h"
#include "VideoDownloads.h"
#include "VideoQueue.h"

namespace flvdl {

namespace {

// The window's messages for a page that cannot be resolved, for people who
// do not read Chinese.
const char* EnglishResolveMessage(bl::TResolveResult AResult) {
    switch (AResult) {
        case bl::TResolveResult::EmptyAddress:
            return "the page address is empty";
        case bl::TResolveResult::WrongAddress:
            return "this is not an address of the video site";
        case bl::TResolveResult::FetchFailed:
            return "the page could not be fetched";
        case bl::TResolveResult::NoVideoInfo:
            return "the page holds neither a part list nor an episode list";
        case bl::TResolveResult::NoEntries:
            return "no part could be read from the page; the site may have changed, try again later";
        case bl::TResolveResult::Resolved:
            break;
    }
    return "";
}

void Print(FILE* AStream, const QString& AText) {
    const QByteArray bytes = AText.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), AStream);
    std::fflush(AStream);
}

}  // namespace

TRun::TRun(const TOptions& AOptions, QString AFolder, TProgressView& AProgress, FILE* AErrors)
    : FOptions(AOptions), FFolder(std::move(AFolder)), FProgress(AProgress), FErrors(AErrors) {
    FSession.VideoLoader.SetMaxStartedItems(FOptions.Jobs);
    FSession.VideoLoader.SetBatchSize(clcmdline::kBatchSize);
    FReport.Page = QString::fromStdString(FOptions.PageUrl);
    FReport.Quality = QLatin1String(kQualityNames[FOptions.QualityIndex]);
    FReport.Folder = FFolder;
}

TRun::~TRun() = default;

int TRun::Execute() {
    FClock.start();
    if (const int status = Resolve(); status != kExitDone) return status;
    if (!QueueParts()) return kExitUsage;
    QueueComments();
    WaitUntilFinished();
    if (FInterrupted) {
        Close();
    } else if (FVideos) {
        // As the window's close: a failed segment's partial file goes.
        FVideos->DeleteUnfinishedFiles();
    }
    Conclude();
    return FReport.ExitStatus();
}

void TRun::Interrupt() {
    FInterrupted = true;
    FReport.Interrupted = true;
    // Only asked here: this may run inside a wait of the flows; the close
    // sequence waits once the run's own loop has returned.
    FSession.PlayLoader.Stop();
    FSession.VideoLoader.Stop();
    FSession.CommentLoader.Stop();
}

// --- Resolution ---------------------------------------------------------------

int TRun::Resolve() {
    FParts = std::make_unique<bl::TPartList>(FSession.Http, FSession.PlayLoader, FSession.Request);
    const bl::TResolveResult result = FParts->Resolve(FReport.Page, bl::QualityCode(FOptions.QualityIndex));
    if (FInterrupted) {
        bl::StopAndWait(FSession.PlayLoader);
        return kExitInterrupted;
    }
    if (result != bl::TResolveResult::Resolved) {
        FReport.Unresolved = QString::fromUtf8(bl::ResolveMessage(result));
        Print(FErrors,
              QStringLiteral("flvdl: %1\nflvdl: %2\n")
                  .arg(QString::fromUtf8(bl::ResolveMessage(result)), QLatin1String(EnglishResolveMessage(result))));
        return kExitUnresolved;
    }
    FReport.Title = FParts->Title();
    FReport.Kind = FParts->State() == bl::psEpisodes ? QStringLiteral("series") : QStringLiteral("normal");
    bl::ProcessMessagesUntil([this] { return FInterrupted || !FParts->IsBusy(); });
    if (FInterrupted) {
        bl::StopAndWait(FSession.PlayLoader);
        return kExitInterrupted;
    }
    return kExitDone;
}

// --- Videos -------------------------------------------------------------------

std::optional<QString> TRun::ReleaseJoiner() {
    // The window's rules: next to the program where it can write there, else
    // the packaged tool, else the user's data folder.
    const bl::TStartFolders folders =
        bl::ResolveStartFolders(bl::TStartFolderRules::ForProgram(QCoreApplication::applicationDirPath()));
    if (!folders.JoinerReady) return std::nullopt;
    return folders.JoinerFolder;
}

bool TRun::QueueParts() {
    const int count = FParts->Count();
    const TPartSelection& selection = FOptions.Parts;
    if (selection.Highest() > count) {
        Print(FErrors, QStringLiteral("flvdl: --parts %1: the page has %2 part%3\n")
                           .arg(QString::fromStdString(selection.Text()))
                           .arg(count)
                           .arg(count == 1 ? QString() : QStringLiteral("s")));
        return false;
    }

    FVideos = std::make_unique<bl::TVideoDownloads>(FSession.VideoLoader, FSession.Request);
    auto previous = FSession.VideoLoader.OnError;
    FSession.VideoLoader.OnError = [this, previous](cl::TObject* ASender, cl::TclInternetItem* AItem,
                                                    const std::string& AText, int ACode) {
        if (previous) previous(ASender, AItem, AText, ACode);
        if (const auto segment = FSegments.find(AItem); segment != FSegments.end()) {
            segment->second.Error = bl::EngineErrorText(AText, ACode);
        }
    };
    FVideos->OnSegmentEnded = [this](const cl::TclInternetItem& AItem, bool ASucceeded) {
        SegmentEnded(AItem, ASucceeded);
    };

    std::optional<QString> joinerFolder;
    if (FOptions.Join) {
        joinerFolder = ReleaseJoiner();
        if (!joinerFolder) {
            Print(FErrors, QStringLiteral("flvdl: the joining tool is not installed and cannot be written next to "
                                          "the program nor into the data folder; parts of several segments are not "
                                          "joined\n"));
        }
    }
    FVideos->AutoJoin = joinerFolder.has_value();
    if (joinerFolder || FOptions.Mp4) {
        FMergeTick.setSingleShot(true);
        FMergeTick.setInterval(1000);
        FMerge = std::make_unique<bl::TMergeQueue>(
            FMergeTick, joinerFolder ? *joinerFolder + QStringLiteral("RuvErov.exe") : QString(), FClosing,
            [this](const QString& AName) { return FVideos->IsNameTaken(AName); });
        FMerge->ConvertToMp4 = FOptions.Mp4;
        FMerge->OnJoinEnded = [this](const bl::TMergeRow& ARow, bool AJoined) { JoinEnded(ARow, AJoined); };
        FMerge->OnConvertEnded = [this](const bl::TMergeRow& ARow, bool AConverted) { ConvertEnded(ARow, AConverted); };
    }
    if (joinerFolder) {
        FVideos->OnPartReady = [this](const QString& ABaseName, const QString& AFolder, int ACount) {
            FReadyJoin = AFolder + ABaseName;
            FMerge->Add(ABaseName, AFolder, ACount);
        };
    }
    if (FOptions.Mp4) {
        FVideos->OnVideoReady = [this](const QString& AFile) {
            const QFileInfo file(AFile);
            if (file.suffix() != QLatin1String("flv")) return;
            FReadyConversion = AFile;
            FMerge->AddConversion(file.completeBaseName(), file.path() + QLatin1Char('/'));
        };
    }

    const bl::TQueueSettings settings{FFolder, FOptions.Numbered, FOptions.Threads, cl::ppNormal};
    for (int i = 0; i < count; ++i) {
        if (!selection.Contains(i + 1)) continue;
        const bl::TPart& part = FParts->Part(i);
        const int p = static_cast<int>(FReport.Parts.size());
        FChosen.push_back(i);
        FSegmentsEnded.push_back(0);
        TPartReport report;
        report.Number = bl::PadNumber(count, i);
        report.Name = part.Name;
        report.Cid = part.Cid;
        report.Quality = part.Quality;
        report.Segments = part.Count;
        FReport.Parts.push_back(report);
        if (part.Addresses.isEmpty()) {
            const QString reason =
                part.FailureReason.isEmpty() ? QStringLiteral("the answer holds no address") : part.FailureReason;
            Fail(p, QStringLiteral("no play address: %1").arg(reason));
            Event(QStringLiteral("part %1: no play address (%2)").arg(PartLabel(p), reason));
            continue;
        }
        Event(QStringLiteral("part %1: %2, %3 segment%4")
                  .arg(PartLabel(p), part.Quality.isEmpty() ? QStringLiteral("quality unknown") : part.Quality)
                  .arg(part.Count)
                  .arg(part.Count == 1 ? QString() : QStringLiteral("s")));
        const cl::TclDownLoadList& list = FSession.VideoLoader.DownLoadList();
        const int before = list.Count();
        FVideos->QueuePart(part, settings);
        for (int k = before; k < list.Count(); ++k) {
            FSegments[&list.Items(k)] = TSegment{p, FVideos->Row(k).Name, QString()};
        }
    }
    return true;
}

void TRun::SegmentEnded(const cl::TclInternetItem& AItem, bool ASucceeded) {
    const auto found = FSegments.find(&AItem);
    if (found == FSegments.end()) return;
    const TSegment segment = found->second;
    const int p = segment.Part;
    TPartReport& part = FReport.Parts[static_cast<size_t>(p)];
    if (ASucceeded) {
        const QString file = bl::WithoutLastExtension(QString::fromStdString(AItem.LocalFile()));
        part.Files << file;
        ++part.SegmentsDone;
        FBytesDone += AItem.ResourceState().BytesProceed();
        if (FReadyJoin) {
            FJoins[*FReadyJoin] = p;
            FReadyJoin.reset();
        }
        if (FReadyConversion) {
            FConversions[*FReadyConversion] = p;
            FReadyConversion.reset();
        }
        Event(QStringLiteral("segment done: %1").arg(QFileInfo(file).fileName()));
    } else {
        // A stop is no failure: the run is ending.
        if (FInterrupted || AItem.ResourceState().LastStatus() == cl::psTerminated) return;
        const QString error = segment.Error.isEmpty() ? QStringLiteral("the download failed") : segment.Error;
        Fail(p, QStringLiteral("segment %1: %2").arg(segment.Name, error));
        Event(QStringLiteral("segment failed: %1: %2").arg(segment.Name, error));
    }
    FSegments.erase(found);
    if (++FSegmentsEnded[static_cast<size_t>(p)] == part.Segments) PartSettled(p);
}

void TRun::PartSettled(int APart) {
    TPartReport& part = FReport.Parts[static_cast<size_t>(APart)];
    if (part.Video != TOutcome::Pending) return;
    if (part.Segments == 1 || !FOptions.Join) {
        for (const auto& [file, p] : FConversions)
            if (p == APart) return;  // its conversion decides
        part.Video = TOutcome::Done;
        return;
    }
    for (const auto& [key, p] : FJoins)
        if (p == APart) return;  // its join decides
    Fail(APart, FMerge ? QStringLiteral("the segments were not handed over for joining (not all of them are FLV "
                                        "files under their own names); they are kept")
                       : QStringLiteral("the joining tool is missing; the segments are kept"));
}

void TRun::JoinEnded(const bl::TMergeRow& ARow, bool AJoined) {
    const auto found = FJoins.find(ARow.Folder + ARow.BaseName);
    if (found == FJoins.end()) return;
    const int p = found->second;
    FJoins.erase(found);
    TPartReport& part = FReport.Parts[static_cast<size_t>(p)];
    part.JoinEnded = true;
    part.JoinExitStatus = ARow.ExitStatus;
    const QString joined =
        ARow.Folder + (ARow.JoinedName.isEmpty() ? ARow.BaseName : ARow.JoinedName) + QStringLiteral(".flv");
    if (AJoined) {
        part.Files = QStringList{joined};
        part.Joined = true;
        Event(QStringLiteral("joined: %1").arg(QFileInfo(joined).fileName()));
        if (FOptions.Mp4) {
            FConversions[ARow.SourceFile()] = p;  // the merge queue converts it next
        } else {
            part.Video = TOutcome::Done;
        }
    } else {
        const QString reason =
            ARow.FailureReason.isEmpty() ? QStringLiteral("the joined file was not made") : ARow.FailureReason;
        Fail(p, QStringLiteral("join failed: %1: %2; the segments are kept").arg(QFileInfo(joined).fileName(), reason));
        Event(QStringLiteral("join failed: %1: %2").arg(QFileInfo(joined).fileName(), reason));
    }
}

void TRun::ConvertEnded(const bl::TMergeRow& ARow, bool AConverted) {
    const auto found = FConversions.find(ARow.SourceFile());
    if (found == FConversions.end()) return;
    const int p = found->second;
    FConversions.erase(found);
    TPartReport& part = FReport.Parts[static_cast<size_t>(p)];
    part.ConvertEnded = true;
    part.Converted = AConverted;
    // A video that cannot be converted is still done: its FLV is kept.
    part.Video = TOutcome::Done;
    const QString flv = QFileInfo(ARow.SourceFile()).fileName();
    if (AConverted) {
        part.Files = QStringList{ARow.Mp4File};
        part.ConvertNote = ARow.Note;
        Event(QStringLiteral("converted: %1").arg(QFileInfo(ARow.Mp4File).fileName()));
        if (!ARow.Note.isEmpty()) Event(QStringLiteral("converted %1, but %2").arg(flv, ARow.Note));
    } else {
        part.ConvertNote = ARow.FailureReason;
        Event(QStringLiteral("not converted: %1: %2; the FLV is kept").arg(flv, ARow.FailureReason));
    }
}

// --- Comments -----------------------------------------------------------------

void TRun::QueueComments() {
    if (!FOptions.Comments || FChosen.empty()) return;
    FComments = std::make_unique<bl::TCommentQueue>(FSession.CommentLoader, FSession.Request);
    FComments->StopOnRefusal = true;
    FComments->WriteSubtitles = FOptions.Subtitles;
    FComments->OnOutcome = [this](const bl::TCommentResult& AResult) { CommentOutcome(AResult); };
    std::vector<bl::TCommentPart> parts;
    for (const int i : FChosen) {
        const bl::TPart& part = FParts->Part(i);
        parts.push_back(bl::TCommentPart{part.Caption, part.Name, part.Cid, i});
    }
    const int before = FComments->Count();
    FComments->Queue(parts, FParts->Count(), FFolder, FOptions.Numbered);
    for (int row = before; row < FComments->Count(); ++row) {
        const int p = row - before;
        FCommentFiles[FComments->Row(row).LocalFile] = p;
        TCommentReport& comment = FReport.Parts[static_cast<size_t>(p)].Comment;
        comment.Asked = true;
        comment.File = FComments->Row(row).LocalFile;
    }
}

void TRun::CommentOutcome(const bl::TCommentResult& AResult) {
    const auto found = FCommentFiles.find(AResult.LocalFile);
    if (found == FCommentFiles.end()) return;
    TCommentReport& comment = FReport.Parts[static_cast<size_t>(found->second)].Comment;
    const QString name = QFileInfo(AResult.LocalFile).fileName();
    switch (AResult.Outcome) {
        case bl::TCommentOutcome::Stored:
            if (QFile::exists(AResult.LocalFile)) {
                comment.Outcome = TOutcome::Done;
                comment.Subtitles = AResult.SubtitleFile;
                Event(QStringLiteral("comment stored: %1").arg(name));
                if (!AResult.SubtitleFile.isEmpty()) {
                    Event(QStringLiteral("subtitles written: %1").arg(QFileInfo(AResult.SubtitleFile).fileName()));
                }
            } else {
                comment.Error = QStringLiteral("the comment body did not inflate to a document");
                comment.Outcome = TOutcome::Failed;
                Event(QStringLiteral("comment failed: %1: %2").arg(name, comment.Error));
            }
            return;
        case bl::TCommentOutcome::Refused:
            comment.Error = QStringLiteral("the site refused comment files for a while (%1)")
                                .arg(bl::EngineErrorText(AResult.ErrorText.toStdString(), AResult.ErrorCode));
            comment.Outcome = TOutcome::Failed;
            Event(QStringLiteral("comment refused: %1").arg(name));
            return;
        case bl::TCommentOutcome::Failed:
            if (FInterrupted) return;
            comment.Error = bl::EngineErrorText(AResult.ErrorText.toStdString(), AResult.ErrorCode);
            break;
        case bl::TCommentOutcome::StoreFailed:
            comment.Error = QStringLiteral("the comment file could not be written");
            break;
        case bl::TCommentOutcome::SubtitlesFailed:
            comment.Error = QStringLiteral("the subtitles could not be made: %1").arg(AResult.ErrorText);
            break;
    }
    comment.Outcome = TOutcome::Failed;
    Event(QStringLiteral("comment failed: %1: %2").arg(name, comment.Error));
}

// --- The run's end ------------------------------------------------------------

bool TRun::Finished() const {
    for (const TPartReport& part : FReport.Parts)
        if (part.Video == TOutcome::Pending) return false;
    if (FComments) {
        bool pending = false;
        for (const TPartReport& part : FReport.Parts)
            pending = pending || (part.Comment.Asked && part.Comment.Outcome == TOutcome::Pending);
        if (pending && (FSession.CommentLoader.IsBusy() || FComments->IsRestrictStopPending())) return false;
    }
    return true;
}

void TRun::WaitUntilFinished() {
    QTimer tick;
    if (FProgress.IsLive()) {
        QObject::connect(&tick, &QTimer::timeout, [this] { ShowProgress(); });
        tick.start(250);
    }
    bl::ProcessMessagesUntil([this] { return FInterrupted || Finished(); });
    tick.stop();
}

void TRun::Close() {
    FProgress.Finish();
    Print(FErrors, QStringLiteral("flvdl: interrupted; stopping\n"));
    bl::StopAndWait(FSession.VideoLoader);
    FClosing = true;
    if (FMerge) {
        FMerge->TerminateJoinerProcesses();
        FMerge->WaitForJoiner();
    }
    if (FVideos) FVideos->DeleteUnfinishedFiles();
    if (FComments) FComments->Clear();
    bl::StopAndWait(FSession.PlayLoader);
}

void TRun::Conclude() {
    FProgress.Finish();
    for (size_t p = 0; p < FReport.Parts.size(); ++p) {
        TPartReport& part = FReport.Parts[p];
        if (part.Video == TOutcome::Pending && !FInterrupted) {
            Fail(static_cast<int>(p), QStringLiteral("not finished"));
        }
        if (part.Comment.Asked && part.Comment.Outcome == TOutcome::Pending && FComments && !FInterrupted) {
            // Stopped after a refusal, or never started.
            for (int row = 0; row < FComments->Count(); ++row) {
                if (FComments->Row(row).LocalFile != part.Comment.File) continue;
                part.Comment.Error =
                    QStringLiteral("not stored (%1)").arg(bl::CommentStatusText(FComments->Row(row).Status));
            }
            if (part.Comment.Error.isEmpty()) part.Comment.Error = QStringLiteral("not stored");
            part.Comment.Outcome = TOutcome::Failed;
        }
        for (const QString& error : part.Errors) {
            Print(FErrors, QStringLiteral("flvdl: part %1: %2\n").arg(PartLabel(static_cast<int>(p)), error));
        }
        if (part.Comment.Outcome == TOutcome::Failed) {
            Print(FErrors, QStringLiteral("flvdl: part %1: comment file %2: %3\n")
                               .arg(PartLabel(static_cast<int>(p)), QFileInfo(part.Comment.File).fileName(),
                                    part.Comment.Error));
        }
    }
}

void TRun::Fail(int APart, const QString& AError) {
    TPartReport& part = FReport.Parts[static_cast<size_t>(APart)];
    part.Errors << AError;
    part.Video = TOutcome::Failed;
}

void TRun::Event(const QString& ALine) { FProgress.Event(ALine); }

QString TRun::PartLabel(int APart) const {
    const TPartReport& part = FReport.Parts[static_cast<size_t>(APart)];
    return part.Number + QLatin1Char(' ') + part.Name;
}

void TRun::ShowProgress() {
    if (!FVideos) return;
    std::vector<TSegmentProgress> running;
    TTotalProgress total;
    total.PartsTotal = static_cast<int>(FReport.Parts.size());
    for (const TPartReport& part : FReport.Parts) total.PartsDone += part.Video == TOutcome::Done ? 1 : 0;
    total.Bytes = FBytesDone;
    int64_t left = 0;
    int64_t knownSizes = 0;
    int known = 0;
    int unknown = 0;
    for (int i = 0; i < FVideos->Count(); ++i) {
        const bl::TSegmentRow& row = FVideos->Row(i);
        if (row.State == bl::TSegmentState::Failed) continue;
        if (row.Size > 0) {
            left += row.Size - row.BytesDone;
            knownSizes += row.Size;
            ++known;
        } else {
            ++unknown;
        }
        if (row.State != bl::TSegmentState::Running) continue;
        running.push_back(TSegmentProgress{row.Name, std::max<int64_t>(row.Size, 0), row.BytesDone, row.Speed});
        total.Bytes += row.BytesDone;
        total.Speed += row.Speed;
    }
    // Segments not begun are taken to be as large as those begun.
    if (known > 0 && total.Speed > 0) {
        left += unknown * (knownSizes / known);
        total.SecondsLeft = static_cast<int64_t>(static_cast<double>(left) / total.Speed);
    }
    FProgress.Show(running, total);
}

}  // namespace flvdl
