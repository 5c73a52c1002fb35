#include "engine/clMultiDC.h"

#include <sys/resource.h>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <span>
#include <utility>

#include "engine/clDCUtils.h"
#include "rtl/clStrUtils.h"
#include "transport/clMessagePump.h"

namespace cl {

namespace {

// The least time a running range must still need before it is split or taken
// over.
constexpr double cMinSplitSeconds = 0.25;
// How often the item looks for a straggler after its first workers ended.
constexpr int cSplitRecheckMs = 100;

// The text of a list, trimmed, with every line break turned into a blank.
std::string OneLineText(const TStringList& AList) {
    const std::string text = Trim(AList.Text());
    std::string r;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        r += text[i] == '\r' || text[i] == '\n' ? ' ' : text[i];
    }
    return r;
}

// Each running worker holds about ten descriptors (its events, its thread's
// pump, the internet library's wake-up pair, its socket), so a few busy
// items pass the usual soft limit of 1024 long before the hard limit. The
// soft limit is raised to the hard one, once per process; a refused raise
// is ignored (items that find no descriptor then fail with the reason).
void RaiseOpenFileLimit() {
    static std::once_flag once;
    std::call_once(once, [] {
        rlimit limit{};
        if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
        limit.rlim_cur = limit.rlim_max;
        (void)setrlimit(RLIMIT_NOFILE, &limit);
    });
}

// A proxy's server, port, user name and password as stored values named
// APrefix + the field name.
void StoreEndpoint(TStringList& AValues, const std::string& APrefix, const TclProxyEndpoint& AEndpoint) {
    AValues.SetValue(APrefix + "Server", AEndpoint.Server);
    AValues.SetValue(APrefix + "Port", std::to_string(AEndpoint.Port));
    AValues.SetValue(APrefix + "UserName", AEndpoint.UserName);
    AValues.SetValue(APrefix + "Password", AEndpoint.Password);
}

// The stored endpoint; a value not stored keeps AEndpoint's.
TclProxyEndpoint LoadEndpoint(const TStringList& AValues, const std::string& APrefix, TclProxyEndpoint AEndpoint) {
    AEndpoint.Server = ReadStoredText(AValues, APrefix + "Server", AEndpoint.Server);
    AEndpoint.Port = static_cast<int>(ReadStoredNumber(AValues, APrefix + "Port", AEndpoint.Port));
    AEndpoint.UserName = ReadStoredText(AValues, APrefix + "UserName", AEndpoint.UserName);
    AEndpoint.Password = ReadStoredText(AValues, APrefix + "Password", AEndpoint.Password);
    return AEndpoint;
}

// The text of the exception being handled.
std::string CurrentExceptionText() {
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown exception";
    }
}

}  // namespace

// --- TclErrorList ---

std::string TclErrorList::Text() const {
    std::string r;
    for (const auto& e : FItems) r += e.Text + "\n";
    return r;
}

// --- TclInternetItem ---

TclInternetItem::TclInternetItem(TclCustomInternetControl& AControl)
    : FControl(AControl), FResourceState(std::make_unique<TclResourceStateList>()) {}

TclInternetItem::~TclInternetItem() {
    StopAndWait();
    FSplitTimer.Stop();
    *FAlive = false;
    if (FHttpRequest) FHttpRequest->RemoveFreeNotification(&FControl);
}

void TclInternetItem::Assign(const TclInternetItem& ASource) {
    FThreadCount = ASource.FThreadCount;
    FKeepConnection = ASource.FKeepConnection;
    FURL = ASource.FURL;
    FLocalFile = ASource.FLocalFile;
    FUserName = ASource.FUserName;
    FPassword = ASource.FPassword;
    FPort = ASource.FPort;
    FPriority = ASource.FPriority;
    FCertificateFlags = ASource.FCertificateFlags;
    FUseHttpRequest = ASource.FUseHttpRequest;
    if (FHttpRequest != ASource.FHttpRequest) {
        FHttpRequest = ASource.FHttpRequest;
        if (FHttpRequest) FHttpRequest->FreeNotification(&FControl);
    }
    Changed();
}

int TclInternetItem::Index() const {
    auto& control = GetControl();
    for (int i = 0; i < control.GetItemCount(); ++i) {
        if (control.GetItem(i) == this) return i;
    }
    return -1;
}

void TclInternetItem::SetThreadCount(int AValue) {
    if (AValue >= 1 && AValue <= 10) FThreadCount = AValue;
}

void TclInternetItem::DoSetLocalFile(const std::string& AValue) {
    if (FLocalFile == AValue) return;
    FLocalFile = AValue;
    Changed();
}

void TclInternetItem::DoSetUserName(const std::string& AValue) {
    if (FUserName == AValue) return;
    FUserName = AValue;
    Changed();
}

void TclInternetItem::DoSetPassword(const std::string& AValue) {
    if (FPassword == AValue) return;
    FPassword = AValue;
    Changed();
}

void TclInternetItem::DoSetPort(int AValue) {
    if (FPort == AValue) return;
    FPort = AValue;
    Changed();
}

void TclInternetItem::DoSetURL(const std::string& AValue) {
    if (FURL == AValue) return;
    FURL = AValue;
    if (!FControl.IsLoading()) {
        TclUrlParser parser;
        parser.Parse(AValue);
        if (!parser.Scheme().empty() && !parser.Host().empty()) {
            SetUserName(parser.UserName());
            SetPassword(parser.Password());
        }
    }
    Changed();
}

void TclInternetItem::SetHttpRequest(TclHttpRequest* AValue) {
    if (FHttpRequest && FHttpRequest != AValue) FHttpRequest->RemoveFreeNotification(&FControl);
    FHttpRequest = AValue;
    if (FHttpRequest) FHttpRequest->FreeNotification(&FControl);
    Changed();
}

void TclInternetItem::SetDataStream(TStream* AValue) {
    if (FDataStream == AValue) return;
    if (IsBusy() && FSelfDataStream) FRetiredDataStream = std::move(FSelfDataStream);
    FSelfDataStream.reset();
    FDataStream = AValue;
}

TclInternetConnection* TclInternetItem::GetResourceConnections(int AIndex) const {
    if (AIndex < 0 || AIndex >= ResourceConnectionCount()) return nullptr;
    return FThreaderList[static_cast<size_t>(AIndex)].Threader->Connection();
}

TclCustomThreader* TclInternetItem::GetThreader(int AIndex) const {
    if (AIndex < 0 || AIndex >= ResourceConnectionCount()) return nullptr;
    return FThreaderList[static_cast<size_t>(AIndex)].Threader;
}

void TclInternetItem::Start(bool IsAsynch) {
    if (IsBusy()) throw EclInternetError(cOperationInProgress, -1);
    if (GetControl().CanStartItem(*this, false, IsAsynch)) InternalStart(false);
    if (!IsAsynch) WaitForThreaders();
}

TclResourceInfo* TclInternetItem::GetResourceInfo(bool IsAsynch) {
    if (FResourceInfo || IsBusy()) {
        if (!IsBusy()) GetControl().DoGetResourceInfo(*this, FResourceInfo.get());
        return FResourceInfo.get();
    }
    if (GetControl().CanStartItem(*this, true, IsAsynch)) InternalStart(true);
    if (IsAsynch || !WaitForThreaders()) return nullptr;
    return FResourceInfo.get();
}

void TclInternetItem::Stop() {
    FControl.ItemStopping(*this);
    if (IsBusy()) FStopping = true;
    for (auto& h : FThreaderList) h.Threader->Stop();
}

void TclInternetItem::CloseConnection() {
    if (UsesSharedConnection()) SharedConnection()->Close();
}

void TclInternetItem::DeleteRemoteFile() {
    TclDeleteThreader threader(FURL);
    AssignThreaderParams(threader);
    threader.SetFreeOnTerminate(false);
    threader.OnUrlParsing = [this](TObject*, TclUrlParser& AParser) { HandleUrlParsing(AParser); };
    threader.OnGetCertificate = [this](TObject*, TclCertificate*& ACertificate, TclCertificateList& AExtraCerts,
                                       bool& Handled) {
        GetControl().DoGetCertificate(*this, ACertificate, AExtraCerts, Handled);
    };
    threader.Perform();
    threader.Wait();
    if (threader.Status() != psSuccess) throw EclInternetError(threader.LastError(), threader.LastErrorCode());
}

bool TclInternetItem::CanProcess() { return FControl.CanProcessItem(*this); }

bool TclInternetItem::UsesSharedConnection() const { return FControl.Connection() != nullptr || FKeepConnection; }

TclInternetConnection* TclInternetItem::SharedConnection() {
    if (FControl.Connection()) {
        FSelfConnection.reset();
        return FControl.Connection();
    }
    if (!FSelfConnection) FSelfConnection = std::make_unique<TclInternetConnection>();
    return FSelfConnection.get();
}

void TclInternetItem::InternalStart(bool AIsGetResourceInfo) {
    RaiseConnectionLimits();
    FStopping = false;
    FRunFailed = false;
    FLastStatus = psUnknown;
    FResourceInfo.reset();
    FHttpResponseHeader.Clear();
    FErrors.Clear();
    FResourceState->InitStatistic();
    // Nothing raises out of here: the caller may be the completion of
    // another item, which must not fail for this one.
    try {
        if (!AIsGetResourceInfo && !CanProcess()) {
            // Admitted but not run: the admission is given back at once.
            GetControl().ItemProcessed(*this);
            return;
        }
    } catch (...) {
        OpenRun();
        FailRun(CurrentExceptionText(), true);
        CompleteItem(nullptr);
        return;
    }
    OpenRun();
    if (!FRunFailed) {
        try {
            CreateThreader(FResourceState->GetItem(0), AIsGetResourceInfo);
        } catch (...) {
            HandleError(CurrentExceptionText(), 0);
            FResourceState->UpdateStatus(nullptr, psFailed);
            ReportFinalStatus();
        }
    }
    if (!IsBusy()) CompleteItem(nullptr);
}

void TclInternetItem::OpenRun() {
    FRunOpen = true;
    FPendingSplitCost = -1;
    try {
        FControl.IncBusyCount();
    } catch (...) {
        FailRun(CurrentExceptionText(), true);
    }
}

void TclInternetItem::CreateThreader(TclResourceStateItem* AStateItem, bool AIsGetResourceInfo,
                                     TclResourceInfo* AResourceInfo, const TclUrlParser* AURLParser) {
    TStream* stream = AIsGetResourceInfo ? nullptr : OpenDataStream();
    std::unique_ptr<TclDownLoadThreader> threader = CreateThreaderObject(stream, AIsGetResourceInfo);
    AssignThreaderEvents(*threader);
    AssignThreaderParams(*threader);
    if (AStateItem) {
        threader->SetResourcePos(AStateItem->ResourcePos() + AStateItem->BytesProceed());
        if (AStateItem->BytesToProceed() > 0) {
            threader->SetBytesToProceed(AStateItem->BytesToProceed() - AStateItem->BytesProceed());
        }
    }
    if (AResourceInfo) threader->SetResourceInfo(AResourceInfo);
    if (AURLParser) threader->SetURLParser(*AURLParser);
    TclThreaderHolder holder;
    holder.Threader = threader.get();
    holder.StateItem = AStateItem;
    holder.Started = std::chrono::steady_clock::now();
    FThreaderList.push_back(holder);
    try {
        threader->Perform();
    } catch (...) {
        FThreaderList.pop_back();
        throw;
    }
    // From here on the worker frees itself once its end has been handled.
    threader.release();
}

void TclInternetItem::AssignThreaderEvents(TclCustomThreader& AThreader) {
    TclCustomThreader* t = &AThreader;
    AThreader.OnStatusChanged = [this, t](TObject*, TclProcessStatus AStatus) { HandleStatusChanged(*t, AStatus); };
    AThreader.OnError = [this](TObject*, const std::string& AError, int AErrorCode) {
        HandleError(AError, AErrorCode);
    };
    AThreader.OnGetResourceInfo = [this](TObject*, TclResourceInfo* AResourceInfo) {
        AssignResourceInfo(AResourceInfo);
    };
    AThreader.OnUrlParsing = [this](TObject*, TclUrlParser& AParser) { HandleUrlParsing(AParser); };
    AThreader.OnDataItemProceed = [this, t](TObject*, TclResourceInfo*, int64_t ABytesProceed, const uint8_t* AData,
                                            int ASize) { HandleDataItemProceed(*t, ABytesProceed, AData, ASize); };
    AThreader.OnGetCertificate = [this](TObject*, TclCertificate*& ACertificate, TclCertificateList& AExtraCerts,
                                        bool& Handled) {
        GetControl().DoGetCertificate(*this, ACertificate, AExtraCerts, Handled);
    };
    AThreader.OnTerminate = [this, t](TObject*) { ThreaderTerminated(*t); };
}

void TclInternetItem::AssignThreaderParams(TclCustomThreader& AThreader) {
    if (FHttpRequest) AThreader.SetRequestHeader(FHttpRequest->HeaderSource());
    AThreader.SetPriority(FPriority);
    AThreader.SetBatchSize(FControl.BatchSize());
    AThreader.SetTryCount(FControl.TryCount());
    AThreader.SetTimeOut(FControl.TimeOut());
    AThreader.SetReconnectAfter(FControl.ReconnectAfter());
    AThreader.SetUseInternetErrorDialog(FControl.UseInternetErrorDialog());
    AThreader.SetHttpProxySettings(FControl.HttpProxySettings());
    AThreader.SetFtpProxySettings(FControl.FtpProxySettings());
    AThreader.SetInternetAgent(FControl.InternetAgent());
    AThreader.SetPassiveFTPMode(FControl.PassiveFTPMode());
    AThreader.SetDoNotGetResourceInfo(FControl.DoNotGetResourceInfo());
    AThreader.SetProxyBypass(OneLineText(FControl.ProxyBypass()));
    AThreader.SetCertificateFlags(FCertificateFlags);
    AThreader.SetKeepConnection(FKeepConnection);
    AThreader.SetFreeOnTerminate(true);
    if (UsesSharedConnection()) AThreader.SetConnection(SharedConnection());
}

TclThreaderHolder* TclInternetItem::FindHolder(const TclCustomThreader* AThreader) {
    for (auto& h : FThreaderList) {
        if (h.Threader == AThreader) return &h;
    }
    return nullptr;
}

void TclInternetItem::HandleStatusChanged(TclCustomThreader& AThreader, TclProcessStatus AStatus) {
    // The workers of a failed run were stopped for the failure.
    if (FRunFailed && AStatus == psTerminated) AStatus = psFailed;
    const TclThreaderHolder* holder = FindHolder(&AThreader);
    if (holder && holder->Retired) return;
    FResourceState->UpdateStatus(holder ? holder->StateItem : nullptr, AStatus);
    SetLastStatus(FResourceState->LastStatus());
}

void TclInternetItem::HandleDataItemProceed(TclCustomThreader& AThreader, int64_t ABytesProceed, const uint8_t* AData,
                                            int ASize) {
    TclResourceStateItem* range = nullptr;
    if (TclThreaderHolder* holder = FindHolder(&AThreader)) {
        range = holder->StateItem;
        if (holder->FirstData == std::chrono::steady_clock::time_point{}) {
            holder->FirstData = std::chrono::steady_clock::now();
        }
    }
    FResourceState->UpdateProceed(range, ABytesProceed - (range ? range->ResourcePos() : 0));
    GetControl().DoDataItemProceed(*this, FResourceInfo.get(), range, AData, ASize);
}

void TclInternetItem::HandleUrlParsing(TclUrlParser& AParser) {
    if (!FUserName.empty()) AParser.SetUserName(FUserName);
    if (!FPassword.empty()) AParser.SetPassword(FPassword);
    if (FPort != 0) AParser.SetPort(FPort);
    GetControl().DoUrlParsing(*this, AParser);
}

void TclInternetItem::HandleError(const std::string& AError, int AErrorCode) {
    // One failure met by several workers (a full disk, say) is told once
    // per run; Errors keeps every report.
    bool told = false;
    for (int i = 0; i < FErrors.Count() && !told; ++i) told = FErrors.Items(i).Text == AError;
    FErrors.Add(AError, AErrorCode);
    if (told) return;
    try {
        GetControl().DoError(*this, AError, AErrorCode);
    } catch (...) {
        FailRun(CurrentExceptionText(), false);
    }
}

void TclInternetItem::FailRun(const std::string& AError, bool AReport) {
    FRunFailed = true;
    FErrors.Add(AError, 0);
    for (int i = 0; i < FResourceState->Count(); ++i) {
        TclResourceStateItem* range = FResourceState->GetItem(i);
        if (range->Status() == psTerminated) FResourceState->UpdateStatus(range, psFailed);
    }
    FResourceState->UpdateStatus(nullptr, psFailed);
    FStopping = true;
    for (auto& h : FThreaderList) h.Threader->Stop();
    if (!AReport) return;
    try {
        GetControl().DoError(*this, AError, 0);
    } catch (...) {
        // Already kept in Errors; asking OnError again would not end.
    }
}

void TclInternetItem::ReportFinalStatus() {
    try {
        SetLastStatus(FResourceState->LastStatus());
    } catch (...) {
        // The run has its outcome already; the status stays recorded.
    }
}

void TclInternetItem::AssignResourceInfo(const TclResourceInfo* AResourceInfo) {
    if (!AResourceInfo) {
        FResourceInfo.reset();
    } else if (AResourceInfo != FResourceInfo.get()) {
        // Assigned in place: running workers may have been given this object.
        if (!FResourceInfo) FResourceInfo = std::make_unique<TclResourceInfo>();
        FResourceInfo->Assign(AResourceInfo);
    }
    GetControl().DoGetResourceInfo(*this, FResourceInfo.get());
}

void TclInternetItem::ClearResourceState() {
    for (auto& h : FThreaderList) h.StateItem = nullptr;
    FResourceState->Clear();
}

void TclInternetItem::SetLastStatus(TclProcessStatus AStatus) {
    if (AStatus == FLastStatus) return;
    FLastStatus = AStatus;
    GetControl().DoStatusChanged(*this, AStatus);
}

void TclInternetItem::ThreaderTerminated(TclCustomThreader& AThreader) {
    // A stopped run starts no new worker, even while other workers still end.
    if (!FStopping && AThreader.Status() != psFailed && AThreader.Status() != psTerminated &&
        FResourceState->LastStatus() != psTerminated && !StartTakeOver(AThreader)) {
        StartSplit(AThreader);
    }
    RemoveHolder(AThreader);
    if (!FThreaderList.empty()) return;
    // An exception here would end in the worker, which cannot tell anyone:
    // the run would never end, and the item and the queue behind it would
    // stay busy for good.
    const std::shared_ptr<bool> alive = FAlive;
    try {
        ItemCompleted(&AThreader);
    } catch (...) {
        if (!*alive) return;
        FailRun(CurrentExceptionText(), true);
        if (!IsBusy()) CompleteItem(&AThreader);
    }
}

bool TclInternetItem::StartTakeOver(TclCustomThreader& AEndingThreader) {
    const TclThreaderHolder* own = FindHolder(&AEndingThreader);
    for (int i = 0; i < FResourceState->Count(); ++i) {
        TclResourceStateItem* range = FResourceState->GetItem(i);
        if (range->Status() != psFailed || (own && own->StateItem == range)) continue;
        // A range whose failure another worker is already taking over.
        const bool served = std::any_of(FThreaderList.begin(), FThreaderList.end(),
                                        [&](const TclThreaderHolder& h) { return h.StateItem == range; });
        if (served) continue;
        try {
            CreateThreader(range, false, FResourceInfo.get(), &AEndingThreader.URLParser());
        } catch (const std::exception& e) {
            HandleError(e.what(), 0);
        }
        return true;
    }
    return false;
}

bool TclInternetItem::StartSplit(TclCustomThreader& AEndingThreader) {
    const TclThreaderHolder* own = FindHolder(&AEndingThreader);
    if (!own || own->Straggler || own->FirstData == std::chrono::steady_clock::time_point{}) return false;
    // A request costs what the finished worker waited for its first bytes.
    const double cost = std::chrono::duration<double>(own->FirstData - own->Started).count();
    if (SplitSlowestRange(cost, own, AEndingThreader, false)) return true;
    // The workers that finish first may all end before a straggler has shown
    // its pace (or before a range that never answers is old enough to tell):
    // the item looks again while ranges run. Only a straggler's rest is
    // taken then: a split of a range going at the others' pace would ask a
    // new request for bytes the running one has already asked for.
    FPendingSplitCost = cost;
    if (!FSplitTimer.Active()) FSplitTimer.Start(cSplitRecheckMs, [this] { RecheckStraggler(); });
    return false;
}

void TclInternetItem::RecheckStraggler() {
    TclCustomThreader* source = nullptr;
    for (const TclThreaderHolder& h : FThreaderList) {
        if (h.StateItem && !h.Straggler && dynamic_cast<TclDownLoadThreader*>(h.Threader)) source = h.Threader;
    }
    if (!source || FPendingSplitCost < 0 || FStopping || FRunFailed || FResourceState->LastStatus() == psTerminated ||
        SplitSlowestRange(FPendingSplitCost, nullptr, *source, true)) {
        FPendingSplitCost = -1;
        FSplitTimer.Stop();
    }
}

bool TclInternetItem::SplitSlowestRange(double ARequestCost, const TclThreaderHolder* AExcept,
                                        TclCustomThreader& AUrlSource, bool ATakeOverOnly) {
    using clock = std::chrono::steady_clock;
    const auto seconds = [](clock::duration ADuration) { return std::chrono::duration<double>(ADuration).count(); };
    // Every write of the item's workers and every move of a stop happen
    // under this lock; without it (or on one shared connection, where
    // closing a straggler's connection would close the others') no range
    // is split.
    std::mutex* accessor = AUrlSource.DataAccessor();
    if (!accessor || UsesSharedConnection() || !FResourceInfo || !FResourceInfo->AllowsRandomAccess() ||
        FResourceState->ResourceSize() <= 0) {
        return false;
    }
    const auto running = std::count_if(FThreaderList.begin(), FThreaderList.end(), [&](const TclThreaderHolder& h) {
        return h.StateItem != nullptr && &h != AExcept;
    });
    const double newSpeed = FResourceState->Speed() / static_cast<double>(std::max<std::ptrdiff_t>(running, 1));
    const auto now = clock::now();

    TclThreaderHolder* chosen = nullptr;
    TclRangeSplitPlan plan;
    int64_t stop = 0;
    {
        std::lock_guard<std::mutex> guard(*accessor);
        double longest = -1;
        for (TclThreaderHolder& h : FThreaderList) {
            auto* worker = dynamic_cast<TclDownLoadThreader*>(h.Threader);
            if (&h == AExcept || !h.StateItem || h.Straggler || !worker || worker->BytesToProceed() < 0 ||
                worker->Status() != psProcess || worker->Terminated()) {
                continue;
            }
            // A worker younger than a request has not shown its speed yet; one
            // without a byte yet is given at least cMinSplitSeconds.
            const double age = seconds(now - h.Started);
            if (age <= 2 * ARequestCost || (worker->DownloadedBytes() == 0 && age <= cMinSplitSeconds)) continue;
            const int64_t remaining = worker->StopPos() - worker->ResourcePos();
            const double speed = static_cast<double>(worker->DownloadedBytes()) / age;
            // A range about to end on its own is left alone: a new request for
            // part of it saves next to nothing and asks again for bytes the
            // running request has already asked for.
            if (speed > 0 && static_cast<double>(remaining) / speed < cMinSplitSeconds) continue;
            const TclRangeSplitPlan candidate =
                PlanRangeSplit(remaining, speed, newSpeed, ARequestCost, FControl.BatchSize());
            if (candidate.Kind == TclRangeSplitPlan::skNone ||
                (ATakeOverOnly && candidate.Kind != TclRangeSplitPlan::skTakeRest)) {
                continue;
            }
            const double left = speed > 0 ? static_cast<double>(remaining) / speed : 1e300;
            if (left <= longest) continue;
            longest = left;
            chosen = &h;
            plan = candidate;
        }
        if (!chosen) return false;
        auto* worker = static_cast<TclDownLoadThreader*>(chosen->Threader);
        stop = worker->ResourcePos() + (plan.Kind == TclRangeSplitPlan::skSplit ? plan.Keep : 0);
        worker->StopAt(stop, plan.Kind == TclRangeSplitPlan::skTakeRest);
    }
    // The rest becomes a range of its own, which progress and resume see
    // like any other; a straggler that wrote nothing hands its range on whole.
    TclResourceStateItem* rest = FResourceState->Split(chosen->StateItem, stop);
    if (!rest) {
        rest = chosen->StateItem;
        chosen->StateItem = nullptr;
        chosen->Retired = true;
    }
    chosen->Straggler = plan.Kind == TclRangeSplitPlan::skTakeRest;
    try {
        CreateThreader(rest, false, FResourceInfo.get(), &AUrlSource.URLParser());
    } catch (const std::exception& e) {
        HandleError(e.what(), 0);
    }
    return true;
}

void TclInternetItem::RemoveHolder(const TclCustomThreader& AThreader) {
    auto it = std::find_if(FThreaderList.begin(), FThreaderList.end(),
                           [&](const TclThreaderHolder& h) { return h.Threader == &AThreader; });
    if (it != FThreaderList.end()) FThreaderList.erase(it);
}

void TclInternetItem::ItemCompleted(TclCustomThreader* AThreader) { CompleteItem(AThreader); }

void TclInternetItem::CompleteItem(TclCustomThreader* AThreader) {
    if (!FRunOpen) return;
    FRunOpen = false;
    FSplitTimer.Stop();
    if (AThreader) FHttpResponseHeader.Assign(AThreader->ResponseHeader());
    FIsCommit = true;
    try {
        CommitWork();
    } catch (...) {
        FIsCommit = false;
        FailRun(CurrentExceptionText(), true);
        ReportFinalStatus();
    }
    FIsCommit = false;
    // Starts the next delayed item, whose own failures stay its own.
    GetControl().ItemProcessed(*this);
    try {
        FControl.DecBusyCount();
    } catch (...) {
        FailRun(CurrentExceptionText(), true);
        ReportFinalStatus();
    }
    // The handler may free the item: nothing touches it afterwards, and
    // there is nobody left to tell about its failure.
    try {
        GetControl().DoProcessCompleted(*this);
    } catch (...) {
    }
}

void TclInternetItem::CommitWork() { FreeSelfDataStream(); }

void TclInternetItem::Changed() {
    if (FControl.IsLoading()) return;
    if (!IsBusy()) {
        FResourceInfo.reset();
        FResourceState->Clear();
        if (FSelfConnection) FSelfConnection->Close();
    }
    GetControl().DoChanged(this);
}

void TclInternetItem::StopAndWait() {
    if (!IsBusy()) return;
    Stop();
    WaitForThreaders();
}

bool TclInternetItem::WaitForThreaders() {
    // Every change of FThreaderList arrives as a call sent to this thread,
    // so the pump's wait wakes exactly when there is something to look at.
    // A handler run meanwhile may delete the item: its flag tells.
    const std::shared_ptr<bool> alive = FAlive;
    const auto pump = TclMessagePump::Current();
    while (*alive && IsBusy()) pump->WaitFor(std::span<TclWaitFd>(), nullptr, -1);
    return *alive;
}

// --- TclCustomInternetControl ---

TclCustomInternetControl::TclCustomInternetControl() { RaiseOpenFileLimit(); }

TclCustomInternetControl::~TclCustomInternetControl() {
    NotifyDestroying();
    if (FKeptRoot != 0) InternetCloseHandle(FKeptRoot);
}

void TclCustomInternetControl::SetTryCount(int AValue) {
    if (AValue > 0) FTryCount = AValue;
}

void TclCustomInternetControl::SetBatchSize(int AValue) {
    if (AValue > 0) FBatchSize = AValue;
}

void TclCustomInternetControl::SetTimeOut(int AValue) {
    if (AValue > 0) FTimeOut = AValue;
}

void TclCustomInternetControl::SetReconnectAfter(int AValue) {
    if (AValue > 0) FReconnectAfter = AValue;
}

void TclCustomInternetControl::SetMinResourceSize(int64_t AValue) {
    if (AValue >= 0) FMinResourceSize = AValue;
}

void TclCustomInternetControl::SetMaxResourceSize(int64_t AValue) {
    if (AValue >= 0) FMaxResourceSize = AValue;
}

void TclCustomInternetControl::SetDefaultChar(char AValue) {
    if (static_cast<unsigned char>(AValue) >= 32) FDefaultChar = AValue;
}

void TclCustomInternetControl::SetConnection(TclInternetConnection* AValue) {
    if (FConnection == AValue) return;
    if (FConnection) FConnection->RemoveFreeNotification(this);
    FConnection = AValue;
    if (FConnection) FConnection->FreeNotification(this);
}

void TclCustomInternetControl::Notification(TComponent* AComponent, TOperation AOperation) {
    TComponent::Notification(AComponent, AOperation);
    if (AOperation != opRemove) return;
    if (AComponent == FConnection) FConnection = nullptr;
    ComponentRemoved(*AComponent);
}

void TclCustomInternetControl::ComponentRemoved(TComponent& AComponent) {
    if (auto* request = dynamic_cast<TclHttpRequest*>(&AComponent)) ForgetHttpRequest(*request);
}

void TclCustomInternetControl::IncBusyCount() {
    if (++FIsBusyCount != 1) return;
    if (FKeptRoot == 0) FKeptRoot = InternetOpenA(FInternetAgent, INTERNET_OPEN_TYPE_PRECONFIG, "", "", 0);
    DoIsBusyChanged();
}

void TclCustomInternetControl::DecBusyCount() {
    if (FIsBusyCount == 0) return;
    if (--FIsBusyCount != 0) return;
    if (FKeptRoot != 0) InternetCloseHandle(std::exchange(FKeptRoot, 0));
    DoIsBusyChanged();
}

void TclCustomInternetControl::DoIsBusyChanged() {
    if (OnIsBusyChanged) OnIsBusyChanged(this);
}

void TclCustomInternetControl::SaveProperties(TStringList& AValues) const {
    AValues.SetValue("TryCount", std::to_string(FTryCount));
    AValues.SetValue("BatchSize", std::to_string(FBatchSize));
    AValues.SetValue("TimeOut", std::to_string(FTimeOut));
    AValues.SetValue("ReconnectAfter", std::to_string(FReconnectAfter));
    AValues.SetValue("MinResourceSize", std::to_string(FMinResourceSize));
    AValues.SetValue("MaxResourceSize", std::to_string(FMaxResourceSize));
    StoreEndpoint(AValues, "HttpProxySettings.", FHttpProxySettings.Endpoint());
    AValues.SetValue("HttpProxySettings.AuthorizationType",
                     std::to_string(static_cast<int>(FHttpProxySettings.AuthorizationType())));
    StoreEndpoint(AValues, "FtpProxySettings.", FFtpProxySettings.Endpoint());
    AValues.SetValue("ProxyBypass", EscapeStoredValue(FProxyBypass.Text()));
    AValues.SetValue("InternetAgent", EscapeStoredValue(FInternetAgent));
    AValues.SetValue("DefaultChar", std::to_string(static_cast<unsigned char>(FDefaultChar)));
    AValues.SetValue("PassiveFTPMode", FPassiveFTPMode ? "1" : "0");
    AValues.SetValue("DoNotGetResourceInfo", FDoNotGetResourceInfo ? "1" : "0");
    AValues.SetValue("UseInternetErrorDialog", FUseInternetErrorDialog ? "1" : "0");
}

void TclCustomInternetControl::LoadProperties(const TStringList& AValues) {
    SetTryCount(static_cast<int>(ReadStoredNumber(AValues, "TryCount", FTryCount)));
    SetBatchSize(static_cast<int>(ReadStoredNumber(AValues, "BatchSize", FBatchSize)));
    SetTimeOut(static_cast<int>(ReadStoredNumber(AValues, "TimeOut", FTimeOut)));
    SetReconnectAfter(static_cast<int>(ReadStoredNumber(AValues, "ReconnectAfter", FReconnectAfter)));
    SetMinResourceSize(ReadStoredNumber(AValues, "MinResourceSize", FMinResourceSize));
    SetMaxResourceSize(ReadStoredNumber(AValues, "MaxResourceSize", FMaxResourceSize));
    FHttpProxySettings.SetEndpoint(LoadEndpoint(AValues, "HttpProxySettings.", FHttpProxySettings.Endpoint()));
    const int64_t auth = ReadStoredNumber(AValues, "HttpProxySettings.AuthorizationType",
                                          static_cast<int>(FHttpProxySettings.AuthorizationType()));
    if (auth >= 0 && auth <= static_cast<int>(atBasic)) {
        FHttpProxySettings.SetAuthorizationType(static_cast<TclAuthorizationType>(auth));
    }
    FFtpProxySettings.SetEndpoint(LoadEndpoint(AValues, "FtpProxySettings.", FFtpProxySettings.Endpoint()));
    FProxyBypass.SetText(ReadStoredText(AValues, "ProxyBypass", FProxyBypass.Text()));
    FInternetAgent = ReadStoredText(AValues, "InternetAgent", FInternetAgent);
    const int64_t ch = ReadStoredNumber(AValues, "DefaultChar", static_cast<unsigned char>(FDefaultChar));
    if (ch >= 32 && ch <= 255) FDefaultChar = static_cast<char>(ch);
    FPassiveFTPMode = ReadStoredNumber(AValues, "PassiveFTPMode", FPassiveFTPMode) != 0;
    FDoNotGetResourceInfo = ReadStoredNumber(AValues, "DoNotGetResourceInfo", FDoNotGetResourceInfo) != 0;
    FUseInternetErrorDialog = ReadStoredNumber(AValues, "UseInternetErrorDialog", FUseInternetErrorDialog) != 0;
}

void TclCustomInternetControl::WriteRegistry(const std::string& APath) {
    TStringList values;
    SaveProperties(values);
    ForceFileFolders(APath);
    TFileStream file(APath, fmCreate);
    values.SaveToStream(file);
}

void TclCustomInternetControl::ReadRegistry(const std::string& APath) {
    TStringList values;
    try {
        TFileStream file(APath, fmOpenRead);
        values.LoadFromStream(file);
    } catch (const std::exception&) {
        return;  // a failure while loading is ignored
    }
    FLoading = true;
    try {
        LoadProperties(values);
    } catch (const std::exception&) {
    }
    FLoading = false;
    Loaded();
}

// --- TclMultiInternetControl ---

void TclMultiInternetControl::SetMaxStartedItems(int AValue) {
    if (AValue >= 0) FMaxStartedItems = AValue;
}

void TclMultiInternetControl::Start(TclInternetItem* AItem, bool IsAsynch) {
    if (AItem) {
        AItem->Start(IsAsynch);
        return;
    }
    for (int i = 0; i < GetItemCount(); ++i) GetItem(i)->Start(IsAsynch);
}

void TclMultiInternetControl::Stop(TclInternetItem* AItem) { StopItems(AItem); }

void TclMultiInternetControl::StopItems(TclInternetItem* AItem) {
    if (AItem) {
        AItem->Stop();
        return;
    }
    for (int i = 0; i < GetItemCount(); ++i) GetItem(i)->Stop();
}

TclResourceInfo* TclMultiInternetControl::GetResourceInfo(TclInternetItem* AItem, bool IsAsynch) {
    if (AItem) return AItem->GetResourceInfo(IsAsynch);
    for (int i = 0; i < GetItemCount(); ++i) GetItem(i)->GetResourceInfo(IsAsynch);
    return nullptr;
}

bool TclMultiInternetControl::CanStartItem(TclInternetItem& AItem, bool AIsGetResourceInfo, bool AIsAsynch) {
    const bool queued = std::any_of(FDelayedItems.begin(), FDelayedItems.end(),
                                    [&](const TclInternetItemInfo& AInfo) { return AInfo.Item == &AItem; });
    // A second start of a waiting item keeps its one place in the queue:
    // two records would start it twice.
    if (AIsAsynch && queued) return false;
    if (AIsAsynch && FMaxStartedItems != 0 && FStartedItemCount >= FMaxStartedItems) {
        FDelayedItems.push_back({&AItem, AIsGetResourceInfo});
        return false;
    }
    if (queued) RemoveDelayed(AItem);
    ++FStartedItemCount;
    return true;
}

void TclMultiInternetControl::ItemProcessed(TclInternetItem& /*AItem*/) {
    if (FStartedItemCount > 0) --FStartedItemCount;
    while (!FDelayedItems.empty()) {
        const TclInternetItemInfo next = FDelayedItems.front();
        FDelayedItems.pop_front();
        if (next.Item->IsBusy()) continue;
        ++FStartedItemCount;
        next.Item->InternalStart(next.IsGetResourceInfo);
        return;
    }
}

void TclMultiInternetControl::RemoveDelayed(TclInternetItem& AItem) {
    auto it = std::find_if(FDelayedItems.begin(), FDelayedItems.end(),
                           [&](const TclInternetItemInfo& AInfo) { return AInfo.Item == &AItem; });
    if (it != FDelayedItems.end()) FDelayedItems.erase(it);
}

void TclMultiInternetControl::ItemStopping(TclInternetItem& AItem) { RemoveDelayed(AItem); }

void TclMultiInternetControl::ItemCreated(TclInternetItem& AItem) {
    if (OnItemCreated) OnItemCreated(this, &AItem);
}

void TclMultiInternetControl::ItemDeleted(TclInternetItem& AItem) {
    RemoveDelayed(AItem);
    if (OnItemDeleted) OnItemDeleted(this, &AItem);
}

void TclMultiInternetControl::ForgetHttpRequest(TclHttpRequest& ARequest) {
    for (int i = 0; i < GetItemCount(); ++i) {
        TclInternetItem* item = GetItem(i);
        if (item->FHttpRequest == &ARequest) item->FHttpRequest = nullptr;
    }
}

void TclMultiInternetControl::SaveProperties(TStringList& AValues) const {
    TclCustomInternetControl::SaveProperties(AValues);
    AValues.SetValue("MaxStartedItems", std::to_string(FMaxStartedItems));
}

void TclMultiInternetControl::LoadProperties(const TStringList& AValues) {
    TclCustomInternetControl::LoadProperties(AValues);
    SetMaxStartedItems(static_cast<int>(ReadStoredNumber(AValues, "MaxStartedItems", FMaxStartedItems)));
}

void TclMultiInternetControl::Loaded() { DoChanged(nullptr); }

void TclMultiInternetControl::DoChanged(TclInternetItem* AItem) {
    if (OnChanged) OnChanged(this, AItem);
}

void TclMultiInternetControl::DoGetCertificate(TclInternetItem& AItem, TclCertificate*& ACertificate,
                                               TclCertificateList& AExtraCerts, bool& Handled) {
    if (OnGetCertificate) OnGetCertificate(this, &AItem, ACertificate, AExtraCerts, Handled);
}

void TclMultiInternetControl::DoUrlParsing(TclInternetItem& AItem, TclUrlParser& AURLComponents) {
    if (OnUrlParsing) OnUrlParsing(this, &AItem, AURLComponents);
}

void TclMultiInternetControl::DoGetResourceInfo(TclInternetItem& AItem, TclResourceInfo* AResourceInfo) {
    if (OnGetResourceInfo) OnGetResourceInfo(this, &AItem, AResourceInfo);
}

void TclMultiInternetControl::DoStatusChanged(TclInternetItem& AItem, TclProcessStatus AStatus) {
    if (OnStatusChanged) OnStatusChanged(this, &AItem, AStatus);
}

void TclMultiInternetControl::DoDataItemProceed(TclInternetItem& AItem, TclResourceInfo* AResourceInfo,
                                                TclResourceStateItem* AStateItem, const uint8_t* CurrentData,
                                                int CurrentDataSize) {
    if (OnDataItemProceed) OnDataItemProceed(this, &AItem, AResourceInfo, AStateItem, CurrentData, CurrentDataSize);
}

void TclMultiInternetControl::DoError(TclInternetItem& AItem, const std::string& AError, int AErrorCode) {
    if (OnError) OnError(this, &AItem, AError, AErrorCode);
}

void TclMultiInternetControl::DoProcessCompleted(TclInternetItem& AItem) {
    if (OnProcessCompleted) OnProcessCompleted(this, &AItem);
}

}  // namespace cl
