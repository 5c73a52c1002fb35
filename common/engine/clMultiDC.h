// The generic multi-item download component: items with their workers, the
// admission of started items (MaxStartedItems and the delayed queue), the
// busy count, the handling of worker events on the starting thread, the
// take-over of failed ranges, the split of straggling ones and the
// completion of an item in its fixed order. The download component of
// clMultiDownLoader is built on it.
//
// Components and items are used on one thread only, the one that starts
// the items; workers reach them through synchronized calls to that thread,
// so nothing here needs a lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/clDC.h"
#include "engine/clInternetConnection.h"
#include "engine/clResourceState.h"
#include "http/clHttpProxySettings.h"
#include "http/clHttpRequest.h"
#include "http/clUriUtils.h"
#include "rtl/clComponent.h"
#include "rtl/clStringList.h"
#include "transport/clCertificate.h"
#include "transport/clMessagePump.h"

namespace cl {

class TclInternetItem;
class TclCustomInternetControl;
class TclMultiInternetControl;

// The error texts with codes collected during an item's run.
class TclErrorList {
public:
    struct TclErrorEntry {
        std::string Text;
        int Code = 0;
    };
    void Add(const std::string& AText, int ACode) { FItems.push_back({AText, ACode}); }
    void Clear() { FItems.clear(); }
    int Count() const { return static_cast<int>(FItems.size()); }
    const TclErrorEntry& Items(int AIndex) const { return FItems.at(static_cast<size_t>(AIndex)); }
    // The texts, one per line.
    std::string Text() const;

private:
    std::vector<TclErrorEntry> FItems;
};

using TclItemNotifyEvent = std::function<void(TObject* Sender, TclInternetItem* Item)>;
using TclItemStatusChangedEvent = std::function<void(TObject* Sender, TclInternetItem* Item, TclProcessStatus Status)>;
using TclItemGetResourceInfoEvent =
    std::function<void(TObject* Sender, TclInternetItem* Item, TclResourceInfo* ResourceInfo)>;
// CurrentData holds CurrentDataSize bytes followed by a zero byte.
using TclItemDataProceedEvent =
    std::function<void(TObject* Sender, TclInternetItem* Item, TclResourceInfo* ResourceInfo,
                       TclResourceStateItem* AStateItem, const uint8_t* CurrentData, int CurrentDataSize)>;
using TclItemErrorEvent =
    std::function<void(TObject* Sender, TclInternetItem* Item, const std::string& Error, int ErrorCode)>;
using TclItemUrlParsingEvent =
    std::function<void(TObject* Sender, TclInternetItem* Item, TclUrlParser& AURLComponents)>;
using TclItemGetCertificateEvent =
    std::function<void(TObject* Sender, TclInternetItem* Item, TclCertificate*& ACertificate,
                       TclCertificateList& AExtraCerts, bool& Handled)>;

// One running worker of an item and the range it serves (none for the
// resource-information worker and for a resource without ranges).
struct TclThreaderHolder {
    TclCustomThreader* Threader = nullptr;
    TclResourceStateItem* StateItem = nullptr;
    // When the worker started and when its first chunk came: its speed,
    // and what a request costs, for splitting a straggling range.
    std::chrono::steady_clock::time_point Started{};
    std::chrono::steady_clock::time_point FirstData{};
    // Stopped as a straggler: it splits nothing when it ends.
    bool Straggler = false;
    // Stopped before it wrote a byte, its range handed whole to another
    // worker: its status no longer concerns any range.
    bool Retired = false;
};

// A start held back by MaxStartedItems.
struct TclInternetItemInfo {
    TclInternetItem* Item = nullptr;
    bool IsGetResourceInfo = false;
};

class TclInternetItem : public TObject {
public:
    explicit TclInternetItem(TclCustomInternetControl& AControl);
    // Stops and waits for running workers first.
    ~TclInternetItem() override;
    TclInternetItem(const TclInternetItem&) = delete;
    TclInternetItem& operator=(const TclInternetItem&) = delete;

    // Copies the published properties (fires Changed).
    virtual void Assign(const TclInternetItem& ASource);

    // Raises EclInternetError "Operation is in progress" (-1) when busy.
    // A held-back asynchronous start waits in the delayed queue. A
    // synchronous start returns when the item has no worker left, serving
    // the workers' calls meanwhile.
    void Start(bool IsAsynch = true);
    // The stored information when there is some (or the item is busy);
    // otherwise starts an information-only run and returns none
    // (asynchronous) or the information learned (synchronous).
    TclResourceInfo* GetResourceInfo(bool IsAsynch = true);
    // Leaves the delayed queue; stops every worker of a busy item.
    void Stop();
    void CloseConnection();
    void DeleteRemoteFile();
    TclCustomThreader* GetThreader(int AIndex) const;

    // --- published ---
    int ThreadCount() const { return FThreadCount; }
    void SetThreadCount(int AValue);  // 1..10, others ignored
    bool KeepConnection() const { return FKeepConnection; }
    void SetKeepConnection(bool AValue) { FKeepConnection = AValue; }
    const std::string& URL() const { return FURL; }
    void SetURL(const std::string& AValue) { DoSetURL(AValue); }
    const std::string& LocalFile() const { return FLocalFile; }
    void SetLocalFile(const std::string& AValue) { DoSetLocalFile(AValue); }
    const std::string& UserName() const { return FUserName; }
    void SetUserName(const std::string& AValue) { DoSetUserName(AValue); }
    const std::string& Password() const { return FPassword; }
    void SetPassword(const std::string& AValue) { DoSetPassword(AValue); }
    int Port() const { return FPort; }
    void SetPort(int AValue) { DoSetPort(AValue); }
    TclProcessPriority Priority() const { return FPriority; }
    void SetPriority(TclProcessPriority AValue) { FPriority = AValue; }
    TclCertificateFlags CertificateFlags() const { return FCertificateFlags; }
    void SetCertificateFlags(TclCertificateFlags AValue) { FCertificateFlags = AValue; }
    TclHttpRequest* HttpRequest() const { return FHttpRequest; }
    void SetHttpRequest(TclHttpRequest* AValue);
    const TStringList& HttpResponseHeader() const { return FHttpResponseHeader; }
    bool UseHttpRequest() const { return FUseHttpRequest; }
    void SetUseHttpRequest(bool AValue) { DoSetUseHttpRequest(AValue); }

    // --- public ---
    // The caller's stream when set, else the item's own one (or none).
    TStream* DataStream() const { return FDataStream ? FDataStream : FSelfDataStream.get(); }
    // A caller's stream, never freed by the item; frees the item's own one.
    void SetDataStream(TStream* AValue);
    bool IsBusy() const { return !FThreaderList.empty(); }
    TclCustomInternetControl& Control() const { return FControl; }
    const TclErrorList& Errors() const { return FErrors; }
    TclResourceInfo* ResourceInfo() const { return FResourceInfo.get(); }
    TclResourceStateList& ResourceState() { return *FResourceState; }
    const TclResourceStateList& ResourceState() const { return *FResourceState; }
    int ResourceConnectionCount() const { return static_cast<int>(FThreaderList.size()); }
    TclInternetConnection* GetResourceConnections(int AIndex) const;
    // The status last reported through OnStatusChanged.
    TclProcessStatus LastStatus() const { return FLastStatus; }
    void* Data() const { return FData; }
    void SetData(void* AValue) { FData = AValue; }
    // Position in the owner's list (-1 when the item is not in one).
    int Index() const;
    // True only while the commit step runs.
    bool IsCommit() const { return FIsCommit; }
    // True once Stop was called during the current run.
    bool StopRequested() const { return FStopping; }

protected:
    friend class TclCustomInternetControl;
    friend class TclMultiInternetControl;
    friend class TclMultiDownLoader;

    virtual bool CanProcess();
    virtual void AssignThreaderEvents(TclCustomThreader& AThreader);
    virtual void AssignThreaderParams(TclCustomThreader& AThreader);
    virtual TclMultiInternetControl& GetControl() const = 0;
    virtual TStream* OpenDataStream() = 0;
    virtual std::unique_ptr<TclDownLoadThreader> CreateThreaderObject(TStream* ADataStream,
                                                                      bool AIsGetResourceInfo) = 0;
    // Creates, sets up, registers and starts a worker for AStateItem (may
    // be none), optionally with the item's information and a parsed URL.
    void CreateThreader(TclResourceStateItem* AStateItem, bool AIsGetResourceInfo,
                        TclResourceInfo* AResourceInfo = nullptr, const TclUrlParser* AURLParser = nullptr);
    virtual void InternalStart(bool AIsGetResourceInfo);
    virtual void DoSetLocalFile(const std::string& AValue);
    virtual void DoSetPassword(const std::string& AValue);
    virtual void DoSetURL(const std::string& AValue);
    virtual void DoSetUserName(const std::string& AValue);
    virtual void DoSetPort(int AValue);
    virtual void ThreaderTerminated(TclCustomThreader& AThreader);
    virtual void ItemCompleted(TclCustomThreader* AThreader);
    virtual void SetLastStatus(TclProcessStatus AStatus);
    virtual void AssignResourceInfo(const TclResourceInfo* AResourceInfo);
    virtual void Changed();
    virtual void CommitWork();
    virtual void DoSetUseHttpRequest(bool AValue) { FUseHttpRequest = AValue; }

    // The completion of a run: header lines, the commit, the component's
    // ItemProcessed, the busy count, OnProcessCompleted. Runs once per run,
    // whatever its handlers throw.
    void CompleteItem(TclCustomThreader* AThreader);
    // Handled like a worker error: kept in Errors, then OnError, unless the
    // run told that same text already. When OnError itself throws, the run
    // fails with that error (see FailRun).
    void HandleError(const std::string& AError, int AErrorCode);
    // A step of the run raised (a handler threw, most often): the error is
    // kept in Errors and, with AReport, given to OnError once (a throwing
    // OnError is not asked again); the run ends psFailed, and its running
    // workers are stopped, so that the last one's end completes it.
    void FailRun(const std::string& AError, bool AReport);
    // True once FailRun was called in the current run.
    bool RunFailed() const { return FRunFailed; }
    // Reports the list's status; a handler failing now changes nothing more.
    void ReportFinalStatus();
    // True when the workers share one connection (component's or own).
    bool UsesSharedConnection() const;
    // Waits, serving sent calls, until no worker is left; false when the
    // item was deleted meanwhile (then nothing of it may be touched).
    bool WaitForThreaders();
    // Stops the workers and waits for their end (before destruction).
    void StopAndWait();
    TclInternetConnection* SharedConnection();
    // A worker that ended well takes over a failed range of another one;
    // false when there was none to take.
    bool StartTakeOver(TclCustomThreader& AEndingThreader);
    // A worker that ended well and took nothing over splits the running
    // range that would end last, or takes all of its rest from a straggler
    // (stopped where it is); false when no range is worth it.
    bool StartSplit(TclCustomThreader& AEndingThreader);
    // Splits or takes over the running range that would end last, judged
    // with ARequestCost (seconds a new request waits for its first bytes);
    // AExcept is never chosen; ATakeOverOnly: only a straggler's rest is
    // taken, no range is split. False when no range is worth it yet.
    bool SplitSlowestRange(double ARequestCost, const TclThreaderHolder* AExcept, TclCustomThreader& AUrlSource,
                           bool ATakeOverOnly);
    // The timer's look for a straggler; it stops once one was taken over or
    // nothing is left to judge.
    void RecheckStraggler();
    // Discards the ranges (resume state); running workers forget theirs.
    void ClearResourceState();
    // The item's own stream, freed (and its file closed) here.
    void FreeSelfDataStream() {
        FSelfDataStream.reset();
        FRetiredDataStream.reset();
    }
    void SetSelfDataStream(std::unique_ptr<TStream> AStream) { FSelfDataStream = std::move(AStream); }
    TStream* SelfDataStream() const { return FSelfDataStream.get(); }
    void SetLocalFileDirect(const std::string& AValue) { FLocalFile = AValue; }

    TclCustomInternetControl& FControl;

private:
    TclThreaderHolder* FindHolder(const TclCustomThreader* AThreader);
    // Takes the busy count for a run.
    void OpenRun();
    void HandleStatusChanged(TclCustomThreader& AThreader, TclProcessStatus AStatus);
    void HandleDataItemProceed(TclCustomThreader& AThreader, int64_t ABytesProceed, const uint8_t* AData, int ASize);
    void HandleUrlParsing(TclUrlParser& AParser);
    void RemoveHolder(const TclCustomThreader& AThreader);

    int FThreadCount = 1;
    bool FKeepConnection = false;
    std::string FURL;
    std::string FLocalFile;
    std::string FUserName;
    std::string FPassword;
    int FPort = 0;
    TclProcessPriority FPriority = ppNormal;
    TclCertificateFlags FCertificateFlags;
    TclHttpRequest* FHttpRequest = nullptr;
    TStringList FHttpResponseHeader;
    bool FUseHttpRequest = false;
    void* FData = nullptr;

    TStream* FDataStream = nullptr;
    std::unique_ptr<TStream> FSelfDataStream;
    // An own stream replaced while workers still write into it: freed when
    // the run ends, not under their feet.
    std::unique_ptr<TStream> FRetiredDataStream;
    std::vector<TclThreaderHolder> FThreaderList;
    TclProcessStatus FLastStatus = psUnknown;
    std::unique_ptr<TclResourceInfo> FResourceInfo;
    TclErrorList FErrors;
    std::unique_ptr<TclResourceStateList> FResourceState;
    std::unique_ptr<TclInternetConnection> FSelfConnection;
    bool FIsCommit = false;
    // Set by Stop during a run: no worker is started for it any more.
    bool FStopping = false;
    // From the busy count's increment to the start of the completion.
    bool FRunOpen = false;
    bool FRunFailed = false;
    // A worker ended while the running ranges could not be judged yet (too
    // young, or not slow so far): what its request cost, so that the timer
    // looks for a straggler again; negative when none.
    double FPendingSplitCost = -1;
    TclPumpTimer FSplitTimer;
    // Cleared when the item is destroyed; a wait holds a copy.
    std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};

// The settings copied into every worker, and the item hooks (which do
// nothing here; TclMultiInternetControl fires the events).
class TclCustomInternetControl : public TComponent {
public:
    TclCustomInternetControl();
    ~TclCustomInternetControl() override;

    int TryCount() const { return FTryCount; }
    void SetTryCount(int AValue);  // > 0
    int BatchSize() const { return FBatchSize; }
    void SetBatchSize(int AValue);  // > 0
    int TimeOut() const { return FTimeOut; }
    void SetTimeOut(int AValue);  // > 0, ms
    int ReconnectAfter() const { return FReconnectAfter; }
    void SetReconnectAfter(int AValue);  // > 0, ms
    int64_t MinResourceSize() const { return FMinResourceSize; }
    void SetMinResourceSize(int64_t AValue);  // >= 0
    int64_t MaxResourceSize() const { return FMaxResourceSize; }
    void SetMaxResourceSize(int64_t AValue);  // >= 0
    const TclHttpProxySettings& HttpProxySettings() const { return FHttpProxySettings; }
    void SetHttpProxySettings(const TclHttpProxySettings& AValue) { FHttpProxySettings.Assign(AValue); }
    const TclFtpProxySettings& FtpProxySettings() const { return FFtpProxySettings; }
    void SetFtpProxySettings(const TclFtpProxySettings& AValue) { FFtpProxySettings.Assign(AValue); }
    const TStringList& ProxyBypass() const { return FProxyBypass; }
    void SetProxyBypass(const TStringList& AValue) { FProxyBypass.Assign(AValue); }
    const std::string& InternetAgent() const { return FInternetAgent; }
    void SetInternetAgent(const std::string& AValue) { FInternetAgent = AValue; }
    char DefaultChar() const { return FDefaultChar; }
    void SetDefaultChar(char AValue);  // code >= 32 (as unsigned)
    bool PassiveFTPMode() const { return FPassiveFTPMode; }
    void SetPassiveFTPMode(bool AValue) { FPassiveFTPMode = AValue; }
    TclInternetConnection* Connection() const { return FConnection; }
    void SetConnection(TclInternetConnection* AValue);
    bool DoNotGetResourceInfo() const { return FDoNotGetResourceInfo; }
    void SetDoNotGetResourceInfo(bool AValue) { FDoNotGetResourceInfo = AValue; }
    bool UseInternetErrorDialog() const { return FUseInternetErrorDialog; }
    void SetUseInternetErrorDialog(bool AValue) { FUseInternetErrorDialog = AValue; }

    bool IsBusy() const { return FIsBusyCount > 0; }
    // True while ReadRegistry loads the published properties.
    bool IsLoading() const { return FLoading; }

    // Stores or loads the published properties as a small text file at
    // APath (a folder is created as needed). Loading ignores a missing or
    // malformed file.
    virtual void ReadRegistry(const std::string& APath);
    virtual void WriteRegistry(const std::string& APath);

    TNotifyEvent OnIsBusyChanged;

protected:
    friend class TclInternetItem;

    virtual void ItemStopping(TclInternetItem& /*AItem*/) {}
    virtual void ItemCreated(TclInternetItem& /*AItem*/) {}
    virtual void ItemDeleted(TclInternetItem& /*AItem*/) {}
    virtual bool CanProcessItem(TclInternetItem& /*AItem*/) { return true; }
    virtual void ItemProcessed(TclInternetItem& /*AItem*/) {}
    virtual bool CanStartItem(TclInternetItem& /*AItem*/, bool /*AIsGetResourceInfo*/, bool /*AIsAsynch*/) {
        return true;
    }
    virtual void ComponentRemoved(TComponent& AComponent);
    void Notification(TComponent* AComponent, TOperation AOperation) override;

    // The published properties as name=value lines, and back.
    virtual void SaveProperties(TStringList& AValues) const;
    virtual void LoadProperties(const TStringList& AValues);
    // Called once after loading.
    virtual void Loaded() {}

    virtual void DoIsBusyChanged();
    virtual void DoChanged(TclInternetItem* /*AItem*/) {}
    virtual void DoGetCertificate(TclInternetItem& /*AItem*/, TclCertificate*& /*ACertificate*/,
                                  TclCertificateList& /*AExtraCerts*/, bool& /*Handled*/) {}
    virtual void DoUrlParsing(TclInternetItem& /*AItem*/, TclUrlParser& /*AURLComponents*/) {}
    virtual void DoGetResourceInfo(TclInternetItem& /*AItem*/, TclResourceInfo* /*AResourceInfo*/) {}
    virtual void DoStatusChanged(TclInternetItem& /*AItem*/, TclProcessStatus /*AStatus*/) {}
    virtual void DoDataItemProceed(TclInternetItem& /*AItem*/, TclResourceInfo* /*AResourceInfo*/,
                                   TclResourceStateItem* /*AStateItem*/, const uint8_t* /*CurrentData*/,
                                   int /*CurrentDataSize*/) {}
    virtual void DoError(TclInternetItem& /*AItem*/, const std::string& /*AError*/, int /*AErrorCode*/) {}
    virtual void DoProcessCompleted(TclInternetItem& /*AItem*/) {}

    // The busy count of running items.
    void IncBusyCount();
    void DecBusyCount();
    // Every item whose HttpRequest is ARequest forgets it.
    virtual void ForgetHttpRequest(TclHttpRequest& /*ARequest*/) {}

private:
    int FTryCount = 5;
    int FBatchSize = 8192;
    int FTimeOut = 5000;
    int FReconnectAfter = 5000;
    int64_t FMinResourceSize = 0;
    int64_t FMaxResourceSize = 0;
    TclHttpProxySettings FHttpProxySettings;
    TclFtpProxySettings FFtpProxySettings;
    TStringList FProxyBypass;
    std::string FInternetAgent = "Mozilla/4.0 (compatible; Varnok)";
    char FDefaultChar = static_cast<char>(128);
    bool FPassiveFTPMode = false;
    TclInternetConnection* FConnection = nullptr;
    bool FDoNotGetResourceInfo = false;
    bool FUseInternetErrorDialog = false;
    int FIsBusyCount = 0;
    // A root handle of the internet library held while busy: the roots share
    // their idle connections and TLS sessions only while one is open, and
    // each worker's own root goes with the worker, often before the next
    // worker (of the same item or the next) opens its own.
    HINTERNET FKeptRoot = 0;
    bool FLoading = false;
};

// Admission of started items, the delayed queue, and the events.
class TclMultiInternetControl : public TclCustomInternetControl {
    friend class TclInternetItem;

public:
    TclMultiInternetControl() = default;

    int MaxStartedItems() const { return FMaxStartedItems; }
    void SetMaxStartedItems(int AValue);  // >= 0; 0: no limit
    int StartedItemCount() const { return FStartedItemCount; }
    int DelayedItemCount() const { return static_cast<int>(FDelayedItems.size()); }

    // With no item: every item in index order.
    void Start(TclInternetItem* AItem = nullptr, bool IsAsynch = true);
    virtual void Stop(TclInternetItem* AItem = nullptr);
    TclResourceInfo* GetResourceInfo(TclInternetItem* AItem = nullptr, bool IsAsynch = true);

    virtual TclInternetItem* GetItem(int AIndex) const = 0;
    virtual int GetItemCount() const = 0;

    TclItemStatusChangedEvent OnStatusChanged;
    TclItemGetResourceInfoEvent OnGetResourceInfo;
    TclItemDataProceedEvent OnDataItemProceed;
    TclItemErrorEvent OnError;
    TclItemUrlParsingEvent OnUrlParsing;
    TclItemNotifyEvent OnChanged;
    TclItemGetCertificateEvent OnGetCertificate;
    TclItemNotifyEvent OnProcessCompleted;
    TclItemNotifyEvent OnItemCreated;
    TclItemNotifyEvent OnItemDeleted;

protected:
    void ItemStopping(TclInternetItem& AItem) override;
    void ItemCreated(TclInternetItem& AItem) override;
    void ItemDeleted(TclInternetItem& AItem) override;
    void ItemProcessed(TclInternetItem& AItem) override;
    bool CanStartItem(TclInternetItem& AItem, bool AIsGetResourceInfo, bool AIsAsynch) override;
    void ForgetHttpRequest(TclHttpRequest& ARequest) override;
    void SaveProperties(TStringList& AValues) const override;
    void LoadProperties(const TStringList& AValues) override;
    void Loaded() override;

    virtual void StopItems(TclInternetItem* AItem);

    void DoChanged(TclInternetItem* AItem) override;
    void DoGetCertificate(TclInternetItem& AItem, TclCertificate*& ACertificate, TclCertificateList& AExtraCerts,
                          bool& Handled) override;
    void DoUrlParsing(TclInternetItem& AItem, TclUrlParser& AURLComponents) override;
    void DoGetResourceInfo(TclInternetItem& AItem, TclResourceInfo* AResourceInfo) override;
    void DoStatusChanged(TclInternetItem& AItem, TclProcessStatus AStatus) override;
    void DoDataItemProceed(TclInternetItem& AItem, TclResourceInfo* AResourceInfo, TclResourceStateItem* AStateItem,
                           const uint8_t* CurrentData, int CurrentDataSize) override;
    void DoError(TclInternetItem& AItem, const std::string& AError, int AErrorCode) override;
    void DoProcessCompleted(TclInternetItem& AItem) override;

private:
    void RemoveDelayed(TclInternetItem& AItem);

    int FMaxStartedItems = 5;
    int FStartedItemCount = 0;
    std::deque<TclInternetItemInfo> FDelayedItems;
};

}  // namespace cl
