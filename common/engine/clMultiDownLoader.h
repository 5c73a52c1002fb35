// The download component the application uses: items that fetch a remote
// resource in two phases (first its size, dates and abilities, then its
// byte ranges, one worker each, written straight into the local file at
// their positions), the local file naming, the size limits and the
// existing-file question, and the commit step (a gzip body decoded, the
// file time set, a text preview made).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/clMultiDC.h"

namespace cl {

class TclMultiDownLoader;
class TclDownLoadList;

enum TclFileExistsAction { faReplace, faRename, faSkip, faStop };

using TclFileExistsEvent = std::function<void(TObject* Sender, const std::string& AFileName, std::string& ANewName,
                                              TclFileExistsAction& Action)>;
using TclDataTextProceedEvent = std::function<void(TObject* Sender, TclInternetItem* Item, const TStringList& Text)>;

class TclDownLoadItem : public TclInternetItem {
public:
    explicit TclDownLoadItem(TclMultiDownLoader& AControl);
    ~TclDownLoadItem() override;

    void Assign(const TclInternetItem& ASource) override;

    bool AllowCompression() const { return FAllowCompression; }
    void SetAllowCompression(bool AValue) { FAllowCompression = AValue; }
    const TStringList& Preview() const { return FPreview; }
    int NestLevel() const { return 0; }
    TclMultiDownLoader& DownLoader() const { return FDownLoader; }
    // The file the download writes: LocalFile, or LocalFile with "~" when a
    // gzip body is stored and decoded at commit.
    const std::string& CompressedFile() const { return FCompressedFile; }

protected:
    bool CanProcess() override;
    void AssignThreaderParams(TclCustomThreader& AThreader) override;
    TclMultiInternetControl& GetControl() const override;
    TStream* OpenDataStream() override;
    std::unique_ptr<TclDownLoadThreader> CreateThreaderObject(TStream* ADataStream, bool AIsGetResourceInfo) override;
    void InternalStart(bool AIsGetResourceInfo) override;
    void DoSetURL(const std::string& AValue) override;
    void ItemCompleted(TclCustomThreader* AThreader) override;
    void SetLastStatus(TclProcessStatus AStatus) override;
    void AssignResourceInfo(const TclResourceInfo* AResourceInfo) override;
    void CommitWork() override;

    virtual void DoDataTextProceed(const TStringList& AText);
    virtual bool GetCorrectResourceTime() const;
    virtual int GetPreviewCharCount() const;
    virtual std::string GetLocalFolder() const;
    virtual void MakePreview();

private:
    friend class TclMultiDownLoader;
    friend class TclDownLoadList;

    // ResourceState is neither failed nor stopped, and CanProcess agrees.
    bool CanDownload();
    bool IsCompressed() const;
    // Opens the second phase: one worker per range.
    void StartDownload(const TclUrlParser& AURLParser);
    int GetThreadCountForResource() const;
    // Opens LocalFile for the download, resuming when its file still fits.
    std::unique_ptr<TStream> OpenLocalFile();
    bool CanResume() const;
    void CommitLocalFile();
    // Writes what the item's file still holds back; when that fails the
    // item fails, its file is closed, and its ranges count only the bytes
    // that reached the file.
    void FinishWrites();
    // A finished download whose ranges do not add up to the resource fails.
    void CheckAllBytesReceived();

    TclMultiDownLoader& FDownLoader;
    bool FAllowCompression = true;
    TStringList FPreview;
    bool FIsDownloadMode = false;
    bool FIsDownloadProceed = false;
    std::mutex FDataAccessor;
    std::string FCompressedFile;
    // Set when a download phase began; the commit step is its end.
    bool FCommitDue = false;
};

// The items of a TclMultiDownLoader; removing an item destroys it.
class TclDownLoadList {
public:
    explicit TclDownLoadList(TclMultiDownLoader& AOwner) : FOwner(AOwner) {}
    ~TclDownLoadList();
    TclDownLoadList(const TclDownLoadList&) = delete;
    TclDownLoadList& operator=(const TclDownLoadList&) = delete;

    // A new item whose LocalFile is LocalFolder with its trailing "/"
    // (empty when LocalFolder is empty).
    TclDownLoadItem& Add();
    int Count() const { return static_cast<int>(FItems.size()); }
    TclDownLoadItem& Items(int AIndex) const { return *FItems.at(static_cast<size_t>(AIndex)); }
    TclDownLoadItem* GetItem(int AIndex) const;
    int IndexOf(const TclInternetItem* AItem) const;
    // Destroys the item at AIndex (stopping it first when it runs).
    void Delete(int AIndex);
    void Clear();
    // Replaces the items by copies of ASource's.
    void Assign(const TclDownLoadList& ASource);

private:
    TclMultiDownLoader& FOwner;
    std::vector<std::unique_ptr<TclDownLoadItem>> FItems;
};

class TclMultiDownLoader : public TclMultiInternetControl {
public:
    TclMultiDownLoader();
    ~TclMultiDownLoader() override;

    TclDownLoadList& DownLoadList() { return FDownLoadList; }
    const TclDownLoadList& DownLoadList() const { return FDownLoadList; }
    // Copies the items, then re-derives their local file names.
    void SetDownLoadList(const TclDownLoadList& AValue);
    const std::string& LocalFolder() const { return FLocalFolder; }
    // Re-derives the local file names of all items when it changes.
    void SetLocalFolder(const std::string& AValue);
    int PreviewCharCount() const { return FPreviewCharCount; }
    void SetPreviewCharCount(int AValue);  // >= 0
    bool CorrectResourceTime() const { return FCorrectResourceTime; }
    void SetCorrectResourceTime(bool AValue) { FCorrectResourceTime = AValue; }
    bool IsGrabbing() const { return false; }

    TclInternetItem* GetItem(int AIndex) const override { return FDownLoadList.GetItem(AIndex); }
    int GetItemCount() const override { return FDownLoadList.Count(); }

    TclDataTextProceedEvent OnDataTextProceed;
    TclFileExistsEvent OnFileExists;

protected:
    friend class TclDownLoadItem;
    friend class TclDownLoadList;

    bool CanProcessItem(TclInternetItem& AItem) override;
    void SaveProperties(TStringList& AValues) const override;
    void LoadProperties(const TStringList& AValues) override;
    virtual void DoDataTextProceed(TclInternetItem& AItem, const TStringList& AText);
    // The rule of TclDownLoadList.Add applied to every item.
    void UpdateLocalFiles();

private:
    std::string FLocalFolder;
    int FPreviewCharCount = 256;
    bool FCorrectResourceTime = true;
    TclDownLoadList FDownLoadList;  // last: its items refer to the fields above
};

}  // namespace cl
