#include "engine/clInternetConnection.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>

#include <poll.h>

namespace cl {

namespace {

const char* const kModule = "clInternetConnection";

// Which of two auto-reset events a wait reported.
enum class TWaitOutcome { First, Second, TimedOut };

// Waits for AFirst or ASecond (may be null; AFirst wins when both are set)
// through the calling thread's pump, so that calls sent to it keep running.
// The action thread, which nobody sends calls to, has no pump and needs none
// (nor a descriptor for one): it waits with a plain poll.
TWaitOutcome WaitForEvents(TclEvent& AFirst, TclEvent* ASecond, int ATimeOut) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(ATimeOut, 0));
    std::array<TclWaitFd, 2> fds{};
    for (;;) {
        if (AFirst.TryReset()) return TWaitOutcome::First;
        if (ASecond != nullptr && ASecond->TryReset()) return TWaitOutcome::Second;
        int remaining = -1;
        if (ATimeOut >= 0) {
            const auto left = deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero()) return TWaitOutcome::TimedOut;
            // Rounded up, so that the wait does not end a fraction early.
            remaining = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
        }
        fds[0] = TclWaitFd{AFirst.Handle(), POLLIN, 0};
        if (ASecond != nullptr) fds[1] = TclWaitFd{ASecond->Handle(), POLLIN, 0};
        TclMessagePump::WaitOnThisThread(std::span<TclWaitFd>(fds.data(), ASecond != nullptr ? 2 : 1), nullptr,
                                         remaining);
    }
}

void WaitForEvent(TclEvent& AEvent) { WaitForEvents(AEvent, nullptr, -1); }

// What is left of ATimeOut once it ran out for AAction: all of it while the
// call still waits for a free connection to its server (waiting is not
// slowness), else the rest counted from when it got one; 0: none.
int TimeOutLeftAfterWaiting(const TclInternetAction& AAction, int ATimeOut) {
    const TclConnectionWait wait = AAction.ConnectionWait();
    if (wait.Waiting) return ATimeOut;
    if (wait.InUseSince == std::chrono::steady_clock::time_point{}) return 0;
    const auto left = wait.InUseSince + std::chrono::milliseconds(ATimeOut) - std::chrono::steady_clock::now();
    return static_cast<int>(std::max<int64_t>(std::chrono::ceil<std::chrono::milliseconds>(left).count(), 0));
}

// Removes trailing blanks, control characters and periods.
std::string TrimMessageEnd(std::string AText) {
    while (!AText.empty()) {
        const unsigned char last = static_cast<unsigned char>(AText.back());
        if (last > ' ' && last != '.') break;
        AText.pop_back();
    }
    return AText;
}

}  // namespace

const char* const cRequestTimeout = "Request timeout";
const char* const cUnknownError = "Unknown error, code = %d";
const char* const cAdditionalInfo = "Additional info";
const char* const cOperationInProgress = "Operation is in progress";

// --- EclInternetError ---

EclInternetError EclInternetError::CreateByLastError() {
    const int code = static_cast<int>(GetLastError());
    return EclInternetError(GetLastErrorText(code), code);
}

std::string EclInternetError::GetLastErrorText(int ACode) {
    std::string text = TrimMessageEnd(InternetErrorMessage(static_cast<uint32_t>(ACode)));
    if (ACode == static_cast<int>(ERROR_INTERNET_EXTENDED_ERROR)) {
        const std::string response = InternetGetLastResponseText();
        if (!response.empty()) text = text.empty() ? response : text + "; " + cAdditionalInfo + ": " + response;
    }
    if (text.empty()) {
        char buffer[64];
        std::snprintf(buffer, sizeof(buffer), cUnknownError, ACode);
        text = buffer;
    }
    return text;
}

// --- TclInternetAction ---

TclInternetAction::TclInternetAction(TclInternetConnection* AOwner, HINTERNET AInternet)
    : FOwner(AOwner), FInternet(AInternet) {
    if (FOwner != nullptr) FOwner->AddAction(this);
}

TclInternetAction::~TclInternetAction() {
    if (FOwner != nullptr) FOwner->RemoveAction(this);
}

HINTERNET TclInternetAction::Internet() const {
    std::lock_guard<std::mutex> guard(FAccessor);
    return FInternet;
}

bool TclInternetAction::FireAction(int ATimeOut, bool AIsSilent) {
    ClearError();
    ClAssert(FOwner != nullptr, kModule, __LINE__);
    if (FOwner->ExecuteAction(this, ATimeOut)) throw EclTimeoutInternetError(cRequestTimeout, cTimeoutErrorCode);
    if (FErrorText.empty()) return true;
    if (!AIsSilent) throw EclInternetError(FErrorText, FErrorCode);
    return false;
}

void TclInternetAction::SetErrorFromLastError() {
    FErrorCode = static_cast<int>(GetLastError());
    FErrorText = EclInternetError::GetLastErrorText(FErrorCode);
}

void TclInternetAction::ClearError() {
    FErrorCode = 0;
    FErrorText.clear();
}

void TclInternetAction::Abandon() {
    std::lock_guard<std::mutex> guard(FAccessor);
    if (FInternet == 0) return;
    if (FOwner != nullptr) FOwner->NotifyHandleClosed(this, FInternet);
    InternetCloseHandle(FInternet);
    FInternet = 0;
}

// --- TclInternetResourceAction ---

TclInternetResourceAction::~TclInternetResourceAction() { CloseResource(); }

void TclInternetResourceAction::InternetHandleClosed(HINTERNET AHandle) {
    HINTERNET expected = AHandle;
    FResource.compare_exchange_strong(expected, 0);
}

void TclInternetResourceAction::CloseResource() {
    const HINTERNET handle = FResource.exchange(0);
    if (handle != 0) InternetCloseHandle(handle);
}

void TclInternetResourceAction::SetResource(HINTERNET AHandle) {
    // A handle left from an earlier firing is not leaked.
    const HINTERNET previous = FResource.exchange(AHandle);
    if (previous != 0 && previous != AHandle) InternetCloseHandle(previous);
    if (AHandle == 0) SetErrorFromLastError();
}

// --- the concrete actions ---

namespace {
uintptr_t ContextOf(TclInternetConnection* AOwner) { return reinterpret_cast<uintptr_t>(AOwner); }

std::string Trimmed(const std::string& AText) {
    const auto first = AText.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return std::string();
    const auto last = AText.find_last_not_of(" \t\r\n");
    return AText.substr(first, last - first + 1);
}
}  // namespace

TclInternetOpenAction::TclInternetOpenAction(TclInternetConnection* AOwner, const std::string& lpszAgent,
                                             uint32_t dwAccessType, const std::string& lpszProxy,
                                             const std::string& lpszProxyBypass, uint32_t dwFlags)
    : TclInternetResourceAction(AOwner, 0),
      FAgent(lpszAgent),
      FAccessType(dwAccessType),
      FProxy(Trimmed(lpszProxy)),
      FProxyBypass(Trimmed(lpszProxyBypass)),
      FFlags(dwFlags) {}

void TclInternetOpenAction::RunAction() {
    SetResource(InternetOpenA(FAgent, FAccessType, FProxy, FProxyBypass, FFlags));
}

TclConnectAction::TclConnectAction(TclInternetConnection* AOwner, HINTERNET hInet, const std::string& lpszServerName,
                                   uint16_t nServerPort, const std::string& lpszUsername,
                                   const std::string& lpszPassword, uint32_t dwService, uint32_t dwFlags)
    : TclInternetResourceAction(AOwner, hInet),
      FServerName(lpszServerName),
      FServerPort(nServerPort),
      FUserName(lpszUsername),
      FPassword(lpszPassword),
      FService(dwService),
      FFlags(dwFlags) {}

void TclConnectAction::RunAction() {
    SetResource(InternetConnectA(Internet(), FServerName, FServerPort, FUserName, FPassword, FService, FFlags,
                                 ContextOf(FOwner)));
}

TclHttpOpenRequestAction::TclHttpOpenRequestAction(TclInternetConnection* AOwner, HINTERNET hInet, HINTERNET hConnect,
                                                   const std::string& lpszVerb, const std::string& lpszObjectName,
                                                   const std::string& lpszVersion, const std::string& lpszReferrer,
                                                   const std::string& lplpszAcceptTypes, uint32_t dwFlags)
    : TclInternetResourceAction(AOwner, hInet),
      FConnect(hConnect),
      FVerb(lpszVerb),
      FObjectName(lpszObjectName),
      FVersion(lpszVersion),
      FReferrer(lpszReferrer),
      FAcceptTypes(lplpszAcceptTypes),
      FFlags(dwFlags) {}

void TclHttpOpenRequestAction::RunAction() {
    SetResource(
        HttpOpenRequestA(FConnect, FVerb, FObjectName, FVersion, FReferrer, FAcceptTypes, FFlags, ContextOf(FOwner)));
}

TclHttpSendRequestAction::TclHttpSendRequestAction(TclInternetConnection* AOwner, HINTERNET hInet, HINTERNET hRequest,
                                                   const std::string& lpszHeaders, const void* lpOptional,
                                                   uint32_t dwOptionalLength)
    : TclInternetAction(AOwner, hInet),
      FRequest(hRequest),
      FHeaders(lpszHeaders),
      FOptional(lpOptional),
      FOptionalLength(dwOptionalLength) {}

void TclHttpSendRequestAction::RunAction() {
    if (!HttpSendRequestA(FRequest, FHeaders, FOptional, FOptionalLength)) SetErrorFromLastError();
}

TclInternetReadFileAction::TclInternetReadFileAction(TclInternetConnection* AOwner, HINTERNET hInet, HINTERNET hFile,
                                                     void* lpBuffer)
    : TclInternetAction(AOwner, hInet), FFile(hFile), FBuffer(lpBuffer) {}

void TclInternetReadFileAction::RunAction() {
    lpdwNumberOfBytesRead = 0;
    if (!InternetReadFile(FFile, FBuffer, dwNumberOfBytesToRead, &lpdwNumberOfBytesRead)) SetErrorFromLastError();
}

bool TclInternetReadFileAction::TryRunAtOnce() {
    lpdwNumberOfBytesRead = 0;
    if (InternetReadFileNoWait(FFile, FBuffer, dwNumberOfBytesToRead, &lpdwNumberOfBytesRead)) return true;
    if (GetLastError() == ERROR_IO_PENDING) return false;
    SetErrorFromLastError();
    return true;
}

TclInternetAction::THereOutcome TclInternetReadFileAction::RunHere(int ATimeOut, TclEvent& ATerminate) {
    // Waiting for bytes on the caller's thread spares two thread switches
    // per read; the terminate event and the time-out are watched as the
    // caller of the action thread would watch them.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(ATimeOut, 0));
    for (;;) {
        int left = -1;
        if (ATimeOut >= 0) {
            left = static_cast<int>(
                std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
            if (left <= 0) return THereOutcome::TimedOut;
        }
        lpdwNumberOfBytesRead = 0;
        if (InternetReadFileUntil(FFile, FBuffer, dwNumberOfBytesToRead, &lpdwNumberOfBytesRead, ATerminate.Handle(),
                                  left))
            return THereOutcome::Done;
        if (GetLastError() != ERROR_IO_PENDING) {
            SetErrorFromLastError();
            return THereOutcome::Done;
        }
        if (ATerminate.TryReset()) return THereOutcome::Terminated;
    }
}

TclFtpOpenFileAction::TclFtpOpenFileAction(TclInternetConnection* AOwner, HINTERNET hInet, HINTERNET hConnect,
                                           const std::string& lpszFileName, uint32_t dwAccess, uint32_t dwFlags)
    : TclInternetResourceAction(AOwner, hInet),
      FConnect(hConnect),
      FFileName(lpszFileName),
      FAccess(dwAccess),
      FFlags(dwFlags) {}

void TclFtpOpenFileAction::RunAction() {
    SetResource(FtpOpenFileA(FConnect, FFileName, FAccess, FFlags, ContextOf(FOwner)));
}

TclFtpGetFileSizeAction::TclFtpGetFileSizeAction(TclInternetConnection* AOwner, HINTERNET hInet, HINTERNET hFile)
    : TclInternetAction(AOwner, hInet), FFile(hFile) {}

void TclFtpGetFileSizeAction::RunAction() {
    // A failed size query is a failure, not a size of 4 GiB - 1.
    uint32_t high = 0;
    SetLastError(ERROR_SUCCESS);
    const uint32_t low = FtpGetFileSize(FFile, &high);
    if (low == UINT32_MAX && GetLastError() != ERROR_SUCCESS) {
        FFileSize = 0;
        SetErrorFromLastError();
        return;
    }
    FFileSize = static_cast<int64_t>((static_cast<uint64_t>(high) << 32) | low);
}

TclFtpFindFirstFileAction::TclFtpFindFirstFileAction(TclInternetConnection* AOwner, HINTERNET hInet, HINTERNET hConnect,
                                                     const std::u16string& lpszSearchFile, uint32_t dwFlags)
    : TclInternetResourceAction(AOwner, hInet), FConnect(hConnect), FSearchFile(lpszSearchFile), FFlags(dwFlags) {}

void TclFtpFindFirstFileAction::RunAction() {
    lpFindFileData = WIN32_FIND_DATAW();
    SetResource(FtpFindFirstFileW(FConnect, FSearchFile, &lpFindFileData, FFlags, ContextOf(FOwner)));
}

// --- TclInternetConnection ---

TclInternetConnection::TclInternetConnection() = default;

TclInternetConnection::~TclInternetConnection() {
    {
        std::lock_guard<std::mutex> guard(FListLock);
        NotifyDestroying();
    }
    Close();
}

int TclInternetConnection::ActionCount() const {
    std::lock_guard<std::mutex> guard(FListLock);
    return static_cast<int>(FActionList.size());
}

void TclInternetConnection::AddAction(TclInternetAction* AAction) {
    {
        std::lock_guard<std::mutex> guard(FListLock);
        FActionList.push_back(AAction);
    }
    DoActionAdded(AAction);
}

void TclInternetConnection::RemoveAction(TclInternetAction* AAction) {
    {
        std::lock_guard<std::mutex> guard(FListLock);
        FActionList.erase(std::remove(FActionList.begin(), FActionList.end(), AAction), FActionList.end());
    }
    DoActionRemoved(AAction);
}

void TclInternetConnection::NotifyHandleClosed(TclInternetAction* AClosing, HINTERNET AHandle) {
    std::lock_guard<std::mutex> guard(FListLock);
    for (TclInternetAction* action : FActionList)
        if (action != AClosing) action->InternetHandleClosed(AHandle);
}

void TclInternetConnection::EnsureActionThread() {
    if (FThread.Joinable()) return;
    // Nothing is sent to the action thread. A pump of its own could not be
    // made when no descriptor is left, and the failure would end the process.
    FThread = StartJoinedEngineThread("cl-action", [this] {
        for (;;) {
            if (WaitForEvents(FEndEvent, &FBeginEvent, -1) == TWaitOutcome::First) break;
            if (TclInternetAction* action = FInternetAction.load()) {
                try {
                    action->RunAction();
                } catch (...) {
                    // The action's own error fields carry the failure; one
                    // that escaped without setting them is still a failure.
                    if (action->FErrorText.empty()) {
                        action->FErrorCode = static_cast<int>(ERROR_INTERNET_INTERNAL_ERROR);
                        action->FErrorText = EclInternetError::GetLastErrorText(action->FErrorCode);
                    }
                }
            }
            // Publishes the action's results to the caller woken below.
            FCompleted.fetch_add(1, std::memory_order_release);
            FWaitEvent.Signal();
        }
        TclMessagePump::Uninstall();
    });
}

void TclInternetConnection::AbandonAction(TclInternetAction* AAction) { AAction->Abandon(); }

bool TclInternetConnection::ExecuteAction(TclInternetAction* AAction, int ATimeOut) {
    if (IsDestroying()) return false;
    // The waits below use this thread's pump. Making it can fail (no
    // descriptor left), and must fail here: once the action thread has the
    // action, the caller may not leave before it is done with it.
    (void)TclMessagePump::Current();
    FInternetAction.store(AAction);
    struct TClearCurrent {
        std::atomic<TclInternetAction*>& Slot;
        ~TClearCurrent() {
            Slot.store(nullptr);
            Slot.notify_all();
        }
    } clearCurrent{FInternetAction};

    DoBeforeFireAction(AAction);

    EnsureActionThread();
    // A terminate signal given while no call ran abandons this one at once.
    if (FTerminateEvent.TryReset()) {
        AbandonAction(AAction);
        FBeginEvent.Signal();
        WaitForEvent(FWaitEvent);
        FCompleted.load(std::memory_order_acquire);
        return false;
    }
    // A call that cannot block (a read whose bytes are here) completes on
    // the caller's thread: the handoff would cost more than the call.
    if (AAction->TryRunAtOnce()) {
        DoAfterFireAction(AAction);
        return false;
    }
    const TclInternetAction::THereOutcome here = AAction->RunHere(ATimeOut, FTerminateEvent);
    if (here == TclInternetAction::THereOutcome::Done) {
        DoAfterFireAction(AAction);
        return false;
    }
    if (here != TclInternetAction::THereOutcome::NotHere) {
        // As a call abandoned on the action thread: its handle is closed and
        // it fails as cancelled.
        AbandonAction(AAction);
        SetLastError(ERROR_INTERNET_OPERATION_CANCELLED);
        AAction->SetErrorFromLastError();
        return here == TclInternetAction::THereOutcome::TimedOut;
    }

    FBeginEvent.Signal();
    TWaitOutcome outcome = WaitForEvents(FWaitEvent, &FTerminateEvent, ATimeOut);
    for (int left; outcome == TWaitOutcome::TimedOut && (left = TimeOutLeftAfterWaiting(*AAction, ATimeOut)) > 0;)
        outcome = WaitForEvents(FWaitEvent, &FTerminateEvent, left);
    switch (outcome) {
        case TWaitOutcome::First:
            FCompleted.load(std::memory_order_acquire);
            DoAfterFireAction(AAction);
            if (OnStatusCallback) {
                if (auto* open = dynamic_cast<TclInternetOpenAction*>(AAction); open && open->hResource() != 0)
                    InternetSetStatusCallback(open->hResource(), &TclInternetConnection::PlatformStatusCallback);
            }
            return false;
        case TWaitOutcome::Second:
            AbandonAction(AAction);
            WaitForEvent(FWaitEvent);
            FCompleted.load(std::memory_order_acquire);
            return false;
        case TWaitOutcome::TimedOut:
            AbandonAction(AAction);
            WaitForEvent(FWaitEvent);
            FCompleted.load(std::memory_order_acquire);
            return true;
    }
    return false;
}

void TclInternetConnection::SignalTerminate() { FTerminateEvent.Signal(); }

void TclInternetConnection::Close() {
    FTerminateEvent.Signal();
    // A call still running on another thread ends at the signal; its action
    // must not be freed under it.
    for (TclInternetAction* running = FInternetAction.load(); running != nullptr; running = FInternetAction.load())
        FInternetAction.wait(running);

    std::vector<TclInternetAction*> actions;
    {
        std::lock_guard<std::mutex> guard(FListLock);
        actions = FActionList;
    }
    // Each action unregisters itself; the list owns the ones still in it.
    for (TclInternetAction* action : actions) delete action;

    if (FThread.Joinable()) {
        FEndEvent.Signal();
        FThread.Join();
    }
    FBeginEvent.TryReset();
    FTerminateEvent.TryReset();
    FWaitEvent.TryReset();
    FEndEvent.TryReset();
}

void TclInternetConnection::DoActionAdded(TclInternetAction* AAction) {
    if (OnActionAdded) FSynchronizer.Synchronize([&] { OnActionAdded(this, AAction); });
}

void TclInternetConnection::DoActionRemoved(TclInternetAction* AAction) {
    if (OnActionRemoved) FSynchronizer.Synchronize([&] { OnActionRemoved(this, AAction); });
}

void TclInternetConnection::DoBeforeFireAction(TclInternetAction* AAction) {
    if (OnBeforeFireAction) FSynchronizer.Synchronize([&] { OnBeforeFireAction(this, AAction); });
}

void TclInternetConnection::DoAfterFireAction(TclInternetAction* AAction) {
    if (OnAfterFireAction) FSynchronizer.Synchronize([&] { OnAfterFireAction(this, AAction); });
}

void TclInternetConnection::DoStatusCallback(TclInternetAction* AAction, uint32_t AInternetStatus,
                                             const void* AStatusInformation, uint32_t AStatusInformationLength) {
    if (OnStatusCallback)
        FSynchronizer.Synchronize(
            [&] { OnStatusCallback(this, AAction, AInternetStatus, AStatusInformation, AStatusInformationLength); });
}

void TclInternetConnection::StatusCallback(HINTERNET AHandle, uint32_t AInternetStatus, const void* AStatusInformation,
                                           uint32_t AStatusInformationLength) {
    // Handles closed while the connection goes away concern nobody.
    if (IsDestroying()) return;
    TclInternetAction* found = nullptr;
    {
        std::lock_guard<std::mutex> guard(FListLock);
        for (TclInternetAction* action : FActionList) {
            auto* resource = dynamic_cast<TclInternetResourceAction*>(action);
            if (resource != nullptr && resource->hResource() == AHandle) {
                found = resource;
                break;
            }
        }
    }
    DoStatusCallback(found, AInternetStatus, AStatusInformation, AStatusInformationLength);
}

void TclInternetConnection::PlatformStatusCallback(HINTERNET AInternet, uintptr_t AContext, uint32_t AInternetStatus,
                                                   const void* AStatusInformation, uint32_t AStatusInformationLength) {
    if (AContext == 0) return;
    reinterpret_cast<TclInternetConnection*>(AContext)->StatusCallback(AInternet, AInternetStatus, AStatusInformation,
                                                                       AStatusInformationLength);
}

void RaiseConnectionLimits() {
    for (const uint32_t option : {INTERNET_OPTION_MAX_CONNS_PER_SERVER, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER}) {
        uint32_t value = 0;
        uint32_t length = sizeof(value);
        if (InternetQueryOptionA(0, option, &value, &length) && value < 10) {
            value = 10;
            InternetSetOptionA(0, option, &value, sizeof(value));
        }
    }
}

}  // namespace cl
