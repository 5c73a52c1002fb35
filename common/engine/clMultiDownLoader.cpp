#include "engine/clMultiDownLoader.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include "engine/clDCUtils.h"
#include "rtl/clStrUtils.h"
#include "rtl/clTranslator.h"

namespace cl {

namespace {

// The text recorded when the ranges of a finished download do not add up
// to the resource: a server that ended a body early without an error.
std::string IncompleteDownloadText(int64_t AReceived, int64_t ASize) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "Download incomplete: %lld of %lld bytes received",
                  static_cast<long long>(AReceived), static_cast<long long>(ASize));
    return buf;
}

bool IsNetworkPath(const std::string& AFileName) { return AFileName.size() > 2 && AFileName.rfind("\\\\", 0) == 0; }

}  // namespace

// --- TclDownLoadItem ---

TclDownLoadItem::TclDownLoadItem(TclMultiDownLoader& AControl) : TclInternetItem(AControl), FDownLoader(AControl) {
    SetThreadCount(5);
}

TclDownLoadItem::~TclDownLoadItem() {
    // Stopped here, while the download item is still whole: its workers'
    // last events reach its own overrides.
    StopAndWait();
}

void TclDownLoadItem::Assign(const TclInternetItem& ASource) {
    if (auto* source = dynamic_cast<const TclDownLoadItem*>(&ASource)) FAllowCompression = source->FAllowCompression;
    TclInternetItem::Assign(ASource);
}

TclMultiInternetControl& TclDownLoadItem::GetControl() const { return FDownLoader; }

bool TclDownLoadItem::CanProcess() {
    const TclResourceInfo* info = ResourceInfo();
    if (info && info->Size() > 0) {
        const int64_t size = info->Size();
        const bool fits = (FDownLoader.MinResourceSize() == 0 || size >= FDownLoader.MinResourceSize()) &&
                          (FDownLoader.MaxResourceSize() == 0 || size <= FDownLoader.MaxResourceSize());
        if (!fits) return false;
    }
    return TclInternetItem::CanProcess();
}

void TclDownLoadItem::AssignThreaderParams(TclCustomThreader& AThreader) {
    TclInternetItem::AssignThreaderParams(AThreader);
    AThreader.SetDataAccessor(&FDataAccessor);
    AThreader.SetAllowCompression(FAllowCompression);
}

std::unique_ptr<TclDownLoadThreader> TclDownLoadItem::CreateThreaderObject(TStream* ADataStream,
                                                                           bool AIsGetResourceInfo) {
    std::string url = URL();
    if (UseHttpRequest() && HttpRequest()) url += "?" + Trim(HttpRequest()->RequestSource().Text());
    return std::make_unique<TclDownLoadThreader>(url, ADataStream, AIsGetResourceInfo);
}

void TclDownLoadItem::InternalStart(bool AIsGetResourceInfo) {
    FIsDownloadMode = !AIsGetResourceInfo;
    FIsDownloadProceed = false;
    TclInternetItem::InternalStart(true);
}

void TclDownLoadItem::DoSetURL(const std::string& AValue) {
    const bool differs = AValue != URL();
    TclInternetItem::DoSetURL(AValue);
    if (differs && !FDownLoader.IsLoading() && !GetLocalFolder().empty()) {
        SetLocalFile(GetLocalFileByUrl(URL(), GetLocalFolder()));
    }
}

void TclDownLoadItem::SetLastStatus(TclProcessStatus AStatus) {
    // The end of the information phase is not the end of the run (unless
    // the run failed).
    const bool ended = AStatus == psSuccess || AStatus == psFailed || AStatus == psErrors;
    if (FIsDownloadMode && !RunFailed() && ended) AStatus = psProcess;
    TclInternetItem::SetLastStatus(AStatus);
}

bool TclDownLoadItem::IsCompressed() const {
    return IsBodyDecodedAtCommit(FDownLoader.DoNotGetResourceInfo(), FAllowCompression, ResourceInfo());
}

void TclDownLoadItem::AssignResourceInfo(const TclResourceInfo* AResourceInfo) {
    TclInternetItem::AssignResourceInfo(AResourceInfo);
    const TclResourceInfo* info = ResourceInfo();
    if (!AResourceInfo || !info || FDownLoader.DoNotGetResourceInfo()) return;
    // Such a resource cannot be resumed: it is fetched whole.
    if (info->Size() == 0 || !info->AllowsRandomAccess()) ClearResourceState();
    const std::string name = GetContentDispositionFileName(info->ContentDisposition());
    if (LocalFile().empty() && !name.empty() && !GetLocalFolder().empty()) {
        SetLocalFile(IncludeTrailingPathDelimiter(GetLocalFolder()) + name);
    }
}

bool TclDownLoadItem::CanDownload() {
    const TclProcessStatus status = ResourceState().LastStatus();
    return status != psFailed && status != psTerminated && CanProcess();
}

void TclDownLoadItem::ItemCompleted(TclCustomThreader* AThreader) {
    // A run that failed on the way has no download phase.
    if (RunFailed()) FIsDownloadMode = false;
    // A stop that came as the information request ended still stops the run.
    if (FIsDownloadMode && StopRequested() && ResourceState().LastStatus() != psFailed) {
        ResourceState().UpdateStatus(nullptr, psTerminated);
    }
    if (FIsDownloadMode && !StopRequested() && CanDownload()) {
        FIsDownloadMode = false;
        FIsDownloadProceed = true;
        FCommitDue = true;
        try {
            TclUrlParser parser;
            if (AThreader) parser.Assign(AThreader->URLParser());
            StartDownload(parser);
            return;
        } catch (const std::exception& e) {
            HandleError(e.what(), 0);
            ResourceState().UpdateStatus(nullptr, psFailed);
            SetLastStatus(ResourceState().LastStatus());
            FIsDownloadProceed = false;
            // Workers that did start end the run themselves.
            if (IsBusy()) return;
        }
        CompleteItem(AThreader);
        return;
    }
    // No download phase follows: the statuses are reported as they are.
    FIsDownloadMode = false;
    FinishWrites();
    if (FIsDownloadProceed) {
        FIsDownloadProceed = false;
        CheckAllBytesReceived();
        try {
            MakePreview();
        } catch (const std::exception& e) {
            FailRun(e.what(), true);
        }
    }
    CompleteItem(AThreader);
}

void TclDownLoadItem::FinishWrites() {
    auto* file = dynamic_cast<TclFileMappingStream*>(SelfDataStream());
    if (!file) return;
    try {
        file->Flush();
        return;
    } catch (const std::exception& e) {
        const std::string error = e.what();
        // Bytes a range counted but the file never got are fetched again
        // when the item resumes; the ranges they belong to have failed.
        TclResourceStateList& state = ResourceState();
        for (int i = 0; i < state.Count(); ++i) {
            TclResourceStateItem* range = state.GetItem(i);
            const int64_t start = range->ResourcePos();
            range->SetBytesProceed(file->WrittenUpTo(start, start + range->BytesProceed()) - start);
            if (range->BytesProceed() < range->BytesToProceed()) state.UpdateStatus(range, psFailed);
        }
        state.UpdateStatus(nullptr, psFailed);
        // Closed at once: its destructor's flush would fail again, unheard.
        FreeSelfDataStream();
        HandleError(error, 0);
    }
}

void TclDownLoadItem::CheckAllBytesReceived() {
    TclResourceStateList& state = ResourceState();
    const TclProcessStatus status = state.LastStatus();
    if (status != psSuccess && status != psErrors) return;
    const int64_t size = state.ResourceSize();
    int64_t wanted = 0;
    for (int i = 0; i < state.Count(); ++i) wanted += state.GetItem(i)->BytesToProceed();
    if (size <= 0 || wanted != size || state.BytesProceed() >= size) return;
    HandleError(IncompleteDownloadText(state.BytesProceed(), size), 0);
    // The short ranges fail (a failed range outranks one with errors) and
    // keep their progress for the next start.
    for (int i = 0; i < state.Count(); ++i) {
        TclResourceStateItem* range = state.GetItem(i);
        if (range->BytesProceed() < range->BytesToProceed()) state.UpdateStatus(range, psFailed);
    }
}

int TclDownLoadItem::GetThreadCountForResource() const {
    const TclResourceInfo* info = ResourceInfo();
    if (!info || info->Size() <= 0 || !info->AllowsRandomAccess() || UsesSharedConnection()) return 1;
    const int64_t byBatch = info->Size() / FDownLoader.BatchSize();
    return static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(byBatch, ThreadCount())));
}

void TclDownLoadItem::StartDownload(const TclUrlParser& AURLParser) {
    const int64_t size = ResourceInfo() ? ResourceInfo()->Size() : 0;
    // Ranges of another size belong to another resource.
    if (ResourceState().Count() > 0 && ResourceState().ResourceSize() != size) ClearResourceState();
    if (TStream* stream = OpenDataStream()) stream->SetSize(size);
    const TclProcessStatus s = ResourceState().LastStatus();
    ResourceState().Init(GetThreadCountForResource(), size);
    ResourceState().UpdateStatus(nullptr, s);
    for (int i = 0; i < ResourceState().Count(); ++i) {
        CreateThreader(ResourceState().GetItem(i), false, ResourceInfo(), &AURLParser);
    }
}

TStream* TclDownLoadItem::OpenDataStream() {
    if (TStream* stream = DataStream()) return stream;
    if (!LocalFile().empty()) {
        SetSelfDataStream(OpenLocalFile());
    } else {
        SetSelfDataStream(std::make_unique<TMemoryStream>());
    }
    return DataStream();
}

bool TclDownLoadItem::CanResume() const {
    if (ResourceState().Count() == 0) return false;
    const int64_t fileSize = GetReadableFileSize(FCompressedFile);
    if (fileSize < 0) return false;
    const int64_t size = ResourceInfo() ? ResourceInfo()->Size() : 0;
    return size <= 0 || fileSize == size;
}

std::unique_ptr<TStream> TclDownLoadItem::OpenLocalFile() {
    FCompressedFile = LocalFile() + (IsCompressed() ? "~" : "");
    // The file actually written is the one whose size tells whether the
    // earlier run can go on.
    const bool resume = CanResume();
    if (!resume) ClearResourceState();
    ForceFileFolders(FCompressedFile);
    const TclResourceInfo* info = ResourceInfo();
    if (!IsNetworkPath(FCompressedFile) && info && info->AllowsRandomAccess() && info->Size() > 0) {
        return std::make_unique<TclFileMappingStream>(FCompressedFile, info->Size(), !resume);
    }
    return std::make_unique<TFileStream>(FCompressedFile, resume ? fmOpenReadWrite : fmCreate);
}

void TclDownLoadItem::CommitWork() {
    // Whatever ended the run (a start that failed half-way too), no byte
    // the file may have lost is left counted.
    FinishWrites();
    FreeSelfDataStream();
    // Only a run that downloaded has a file to finish: an information-only
    // run or a skipped item leaves an existing file as it is.
    const bool due = FCommitDue;
    FCommitDue = false;
    try {
        if (due && CanDownload()) CommitLocalFile();
    } catch (const std::exception& e) {
        HandleError(e.what(), 0);
    }
    // The final status of the run, now that nothing changes it any more
    // (also when the run ended before its information phase did).
    FIsDownloadMode = false;
    SetLastStatus(ResourceState().LastStatus());
}

void TclDownLoadItem::CommitLocalFile() {
    if (IsCompressed() && FCompressedFile != LocalFile() && FileExists(FCompressedFile)) {
        try {
            GunzipFile(FCompressedFile, LocalFile());
        } catch (const std::exception& e) {
            // A body that does not decode is not a download: the raw bytes
            // stay in the "~" file and the item fails.
            DeleteFile(LocalFile());
            HandleError(e.what(), 0);
            ResourceState().UpdateStatus(nullptr, psFailed);
            return;
        }
        DeleteFile(FCompressedFile);
    }
    if (GetCorrectResourceTime() && ResourceInfo() && !LocalFile().empty() && FileExists(LocalFile())) {
        SetFileTimes(LocalFile(), ResourceInfo()->Date());
    }
}

void TclDownLoadItem::MakePreview() {
    FPreview.Clear();
    TStream* stream = DataStream();
    if (!stream) return;
    const int64_t total = stream->GetSize();
    int64_t count = GetPreviewCharCount();
    if (count == 0 || count > total) count = total;
    std::vector<uint8_t> bytes(static_cast<size_t>(std::max<int64_t>(count, 0)));
    const int64_t position = stream->GetPosition();
    stream->SetPosition(0);
    const int64_t read = stream->Read(bytes.data(), count);
    stream->SetPosition(position);
    bytes.resize(static_cast<size_t>(std::max<int64_t>(read, 0)));
    // Control bytes are replaced before decoding, so DefaultChar is a
    // character of the code page (code 128 reads as its euro sign).
    const uint8_t replacement = static_cast<uint8_t>(FDownLoader.DefaultChar());
    for (uint8_t& b : bytes) {
        if (b < 32 && b != '\t' && b != '\n' && b != '\r') b = replacement;
    }
    FPreview.SetText(TclTranslator::GetString(bytes));
    DoDataTextProceed(FPreview);
}

void TclDownLoadItem::DoDataTextProceed(const TStringList& AText) { FDownLoader.DoDataTextProceed(*this, AText); }

bool TclDownLoadItem::GetCorrectResourceTime() const { return FDownLoader.CorrectResourceTime(); }

int TclDownLoadItem::GetPreviewCharCount() const { return FDownLoader.PreviewCharCount(); }

std::string TclDownLoadItem::GetLocalFolder() const { return FDownLoader.LocalFolder(); }

// --- TclDownLoadList ---

TclDownLoadList::~TclDownLoadList() { Clear(); }

TclDownLoadItem& TclDownLoadList::Add() {
    FItems.push_back(std::make_unique<TclDownLoadItem>(FOwner));
    TclDownLoadItem& item = *FItems.back();
    if (!FOwner.LocalFolder().empty()) item.SetLocalFile(GetLocalFileByFolder(FOwner.LocalFolder(), item.LocalFile()));
    FOwner.ItemCreated(item);
    return item;
}

TclDownLoadItem* TclDownLoadList::GetItem(int AIndex) const {
    if (AIndex < 0 || AIndex >= Count()) return nullptr;
    return FItems[static_cast<size_t>(AIndex)].get();
}

int TclDownLoadList::IndexOf(const TclInternetItem* AItem) const {
    for (int i = 0; i < Count(); ++i) {
        if (FItems[static_cast<size_t>(i)].get() == AItem) return i;
    }
    return -1;
}

void TclDownLoadList::Delete(int AIndex) {
    TclDownLoadItem* item = GetItem(AIndex);
    if (!item) return;
    item->StopAndWait();
    // The wait served other calls: the item's place may have moved.
    const int index = IndexOf(item);
    if (index < 0) return;
    std::unique_ptr<TclDownLoadItem> owned = std::move(FItems[static_cast<size_t>(index)]);
    FItems.erase(FItems.begin() + index);
    FOwner.ItemDeleted(*owned);
}

void TclDownLoadList::Clear() {
    while (Count() > 0) Delete(Count() - 1);
}

void TclDownLoadList::Assign(const TclDownLoadList& ASource) {
    Clear();
    for (int i = 0; i < ASource.Count(); ++i) Add().Assign(ASource.Items(i));
}

// --- TclMultiDownLoader ---

TclMultiDownLoader::TclMultiDownLoader() : FDownLoadList(*this) {}

TclMultiDownLoader::~TclMultiDownLoader() { FDownLoadList.Clear(); }

void TclMultiDownLoader::SetDownLoadList(const TclDownLoadList& AValue) {
    FDownLoadList.Assign(AValue);
    if (!IsLoading()) UpdateLocalFiles();
}

void TclMultiDownLoader::SetLocalFolder(const std::string& AValue) {
    if (FLocalFolder == AValue) return;
    FLocalFolder = AValue;
    if (!IsLoading()) UpdateLocalFiles();
}

void TclMultiDownLoader::SetPreviewCharCount(int AValue) {
    if (AValue >= 0) FPreviewCharCount = AValue;
}

void TclMultiDownLoader::UpdateLocalFiles() {
    for (int i = 0; i < FDownLoadList.Count(); ++i) {
        TclDownLoadItem& item = FDownLoadList.Items(i);
        item.SetLocalFile(GetLocalFileByFolder(FLocalFolder, item.LocalFile()));
    }
}

bool TclMultiDownLoader::CanProcessItem(TclInternetItem& AItem) {
    if (AItem.IsCommit() || AItem.LocalFile().empty() || !FileExists(AItem.LocalFile())) return true;
    std::string newName;
    TclFileExistsAction action = faReplace;
    if (OnFileExists) OnFileExists(this, AItem.LocalFile(), newName, action);
    switch (action) {
        case faRename:
            AItem.SetLocalFileDirect(newName);
            return true;
        case faSkip:
            return false;
        case faStop:
            Stop(nullptr);
            return false;
        case faReplace:
            break;
    }
    return true;
}

void TclMultiDownLoader::DoDataTextProceed(TclInternetItem& AItem, const TStringList& AText) {
    if (OnDataTextProceed) OnDataTextProceed(this, &AItem, AText);
}

void TclMultiDownLoader::SaveProperties(TStringList& AValues) const {
    TclMultiInternetControl::SaveProperties(AValues);
    AValues.SetValue("LocalFolder", EscapeStoredValue(FLocalFolder));
    AValues.SetValue("PreviewCharCount", std::to_string(FPreviewCharCount));
    AValues.SetValue("CorrectResourceTime", FCorrectResourceTime ? "1" : "0");
    AValues.SetValue("Items", std::to_string(FDownLoadList.Count()));
    for (int i = 0; i < FDownLoadList.Count(); ++i) {
        const TclDownLoadItem& item = FDownLoadList.Items(i);
        const std::string p = "Item" + std::to_string(i) + ".";
        AValues.SetValue(p + "URL", EscapeStoredValue(item.URL()));
        AValues.SetValue(p + "LocalFile", EscapeStoredValue(item.LocalFile()));
        AValues.SetValue(p + "ThreadCount", std::to_string(item.ThreadCount()));
        AValues.SetValue(p + "KeepConnection", item.KeepConnection() ? "1" : "0");
        AValues.SetValue(p + "UserName", EscapeStoredValue(item.UserName()));
        AValues.SetValue(p + "Password", EscapeStoredValue(item.Password()));
        AValues.SetValue(p + "Port", std::to_string(item.Port()));
        AValues.SetValue(p + "Priority", std::to_string(static_cast<int>(item.Priority())));
        AValues.SetValue(p + "CertificateFlags", std::to_string(item.CertificateFlags().Bits()));
        AValues.SetValue(p + "UseHttpRequest", item.UseHttpRequest() ? "1" : "0");
        AValues.SetValue(p + "AllowCompression", item.AllowCompression() ? "1" : "0");
    }
}

void TclMultiDownLoader::LoadProperties(const TStringList& AValues) {
    TclMultiInternetControl::LoadProperties(AValues);
    FLocalFolder = ReadStoredText(AValues, "LocalFolder", FLocalFolder);
    SetPreviewCharCount(static_cast<int>(ReadStoredNumber(AValues, "PreviewCharCount", FPreviewCharCount)));
    FCorrectResourceTime = ReadStoredNumber(AValues, "CorrectResourceTime", FCorrectResourceTime) != 0;
    const int64_t count = ReadStoredNumber(AValues, "Items", -1);
    if (count < 0 || count > 100000) return;
    FDownLoadList.Clear();
    for (int i = 0; i < count; ++i) {
        TclDownLoadItem& item = FDownLoadList.Add();
        const std::string p = "Item" + std::to_string(i) + ".";
        item.SetURL(ReadStoredText(AValues, p + "URL", ""));
        item.SetLocalFile(ReadStoredText(AValues, p + "LocalFile", ""));
        item.SetThreadCount(static_cast<int>(ReadStoredNumber(AValues, p + "ThreadCount", item.ThreadCount())));
        item.SetKeepConnection(ReadStoredNumber(AValues, p + "KeepConnection", 0) != 0);
        item.SetUserName(ReadStoredText(AValues, p + "UserName", ""));
        item.SetPassword(ReadStoredText(AValues, p + "Password", ""));
        item.SetPort(static_cast<int>(ReadStoredNumber(AValues, p + "Port", 0)));
        const int64_t priority = ReadStoredNumber(AValues, p + "Priority", ppNormal);
        if (priority >= ppLower && priority <= ppHigher) item.SetPriority(static_cast<TclProcessPriority>(priority));
        item.SetCertificateFlags(
            TclCertificateFlags::FromBits(static_cast<uint32_t>(ReadStoredNumber(AValues, p + "CertificateFlags", 0))));
        item.SetUseHttpRequest(ReadStoredNumber(AValues, p + "UseHttpRequest", 0) != 0);
        item.SetAllowCompression(ReadStoredNumber(AValues, p + "AllowCompression", 1) != 0);
    }
}

}  // namespace cl
