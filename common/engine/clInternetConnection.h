// Blocking internet calls under a time-out. Each call is an action object
// that a connection runs on its own action thread while the caller waits; a
// call that runs past its time-out, or that the connection's terminate
// signal interrupts, is abandoned by closing the internet handle it derives
// from, which makes the blocked call fail at once.
//
// A connection runs one action at a time and is used by one thread at a time
// (the terminate signal and Close excepted).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/clSyncUtils.h"
#include "engine/clWinInet.h"
#include "rtl/clComponent.h"
#include "rtl/clException.h"

namespace cl {

// A failure of the download engine: a message text and an ErrorCode (a
// platform code, an HTTP status, 258 for a time-out, -1 for an operation in
// progress, or 0).
class EclInternetError : public Exception {
public:
    EclInternetError(std::string AErrorText, int AErrorCode) : Exception(std::move(AErrorText), AErrorCode) {}

    // From the calling thread's last platform error and its text.
    static EclInternetError CreateByLastError();
    // The message for a platform code without trailing blanks, control
    // characters or periods; for 12003 with the server's last response text
    // appended; "Unknown error, code = %d" when there is no text.
    static std::string GetLastErrorText(int ACode);
};

// Raised only when a call ran past its time-out.
class EclTimeoutInternetError : public EclInternetError {
public:
    using EclInternetError::EclInternetError;
};

extern const char* const cRequestTimeout;       // "Request timeout"
extern const char* const cUnknownError;         // "Unknown error, code = %d"
extern const char* const cAdditionalInfo;       // "Additional info"
extern const char* const cOperationInProgress;  // "Operation is in progress"
constexpr int cTimeoutErrorCode = 258;

class TclInternetConnection;

// The base of all actions: one blocking platform call and its last result.
class TclInternetAction : public TObject {
public:
    // Appends the action to AOwner's list (AOwner may be null).
    TclInternetAction(TclInternetConnection* AOwner, HINTERNET AInternet);
    ~TclInternetAction() override;
    TclInternetAction(const TclInternetAction&) = delete;
    TclInternetAction& operator=(const TclInternetAction&) = delete;

    // Clears the error, runs the call on the connection with ATimeOut ms
    // (-1: no limit) and, when it failed, raises EclInternetError with its
    // text and code unless AIsSilent. True when there was no error.
    // A time-out raises EclTimeoutInternetError "Request timeout", 258.
    virtual bool FireAction(int ATimeOut, bool AIsSilent = false);

    // Told that AHandle is being closed; a resource action forgets it.
    virtual void InternetHandleClosed(HINTERNET /*AHandle*/) {}
    // Where the call stands with the per-server connection limit: its
    // time-out runs from when its connection is in use (by default, from
    // the call).
    virtual TclConnectionWait ConnectionWait() const { return {}; }

    TclInternetConnection* Owner() const { return FOwner; }
    HINTERNET Internet() const;
    int ErrorCode() const { return FErrorCode; }
    const std::string& ErrorText() const { return FErrorText; }

protected:
    friend class TclInternetConnection;

    // The platform call, on the action thread; failures go to the error fields.
    virtual void RunAction() = 0;
    // Completes the call on the caller's thread when that cannot block
    // (a read whose bytes have already arrived); false: run it on the thread.
    virtual bool TryRunAtOnce() { return false; }
    // How a call that waits only for the network went on the caller's thread.
    enum class THereOutcome { NotHere, Done, Terminated, TimedOut };
    // Runs the call on the caller's thread when its wait can watch ATerminate
    // and the time-out itself (a read); NotHere: run it on the action thread.
    // Terminated and TimedOut leave the call undone, to be abandoned.
    virtual THereOutcome RunHere(int /*ATimeOut*/, TclEvent& /*ATerminate*/) { return THereOutcome::NotHere; }
    // Stores the calling thread's last error code and its text.
    void SetErrorFromLastError();
    void ClearError();
    // Closes the internet handle this action derives from (once).
    void Abandon();

    TclInternetConnection* FOwner;
    HINTERNET FInternet;
    mutable std::mutex FAccessor;
    int FErrorCode = 0;
    std::string FErrorText;
};

// An action whose call yields a handle, owned by the action.
class TclInternetResourceAction : public TclInternetAction {
public:
    using TclInternetAction::TclInternetAction;
    ~TclInternetResourceAction() override;

    void InternetHandleClosed(HINTERNET AHandle) override;
    // Closes and forgets hResource.
    void CloseResource();
    HINTERNET hResource() const { return FResource.load(); }

protected:
    // Keeps AHandle; a null one counts as a failure with the last error.
    void SetResource(HINTERNET AHandle);

private:
    std::atomic<HINTERNET> FResource{0};
};

class TclInternetOpenAction : public TclInternetResourceAction {
public:
    TclInternetOpenAction(TclInternetConnection* AOwner, const std::string& lpszAgent, uint32_t dwAccessType,
                          const std::string& lpszProxy, const std::string& lpszProxyBypass, uint32_t dwFlags);

protected:
    void RunAction() override;

private:
    std::string FAgent;
    uint32_t FAccessType;
    std::string FProxy;
    std::string FProxyBypass;
    uint32_t FFlags;
};

class TclConnectAction : public TclInternetResourceAction {
public:
    TclConnectAction(TclInternetConnection* AOwner, HINTERNET hInet, const std::string& lpszServerName,
                     uint16_t nServerPort, const std::string& lpszUsername, const std::string& lpszPassword,
                     uint32_t dwService, uint32_t dwFlags);

protected:
    void RunAction() override;

private:
    std::string FServerName;
    uint16_t FServerPort;
    std::string FUserName;
    std::string FPassword;
    uint32_t FService;
    uint32_t FFlags;
};

class TclHttpOpenRequestAction : public TclInternetResourceAction {
public:
    TclHttpOpenRequestAction(TclInternetConnection* AOwner, HINTERNET hInet, HINTERNET hConnect,
                             const std::string& lpszVerb, const std::string& lpszObjectName,
                             const std::string& lpszVersion, const std::string& lpszReferrer,
                             const std::string& lplpszAcceptTypes, uint32_t dwFlags);

protected:
    void RunAction() override;

private:
    HINTERNET FConnect;
    std::string FVerb;
    std::string FObjectName;
    std::string FVersion;
    std::string FReferrer;
    std::string FAcceptTypes;
    uint32_t FFlags;
};

class TclHttpSendRequestAction : public TclInternetAction {
public:
    TclHttpSendRequestAction(TclInternetConnection* AOwner, HINTERNET hInet, HINTERNET hRequest,
                             const std::string& lpszHeaders, const void* lpOptional = nullptr,
                             uint32_t dwOptionalLength = 0);

    TclConnectionWait ConnectionWait() const override { return HttpQueryConnectionWait(FRequest); }

protected:
    void RunAction() override;

private:
    HINTERNET FRequest;
    std::string FHeaders;
    const void* FOptional;
    uint32_t FOptionalLength;
};

class TclInternetReadFileAction : public TclInternetAction {
public:
    // ABuffer must hold at least the bytes asked for by each firing.
    TclInternetReadFileAction(TclInternetConnection* AOwner, HINTERNET hInet, HINTERNET hFile, void* lpBuffer);

    // Set before each firing; the result is in lpdwNumberOfBytesRead.
    uint32_t dwNumberOfBytesToRead = 0;
    uint32_t lpdwNumberOfBytesRead = 0;

protected:
    void RunAction() override;
    bool TryRunAtOnce() override;
    THereOutcome RunHere(int ATimeOut, TclEvent& ATerminate) override;

private:
    HINTERNET FFile;
    void* FBuffer;
};

class TclFtpOpenFileAction : public TclInternetResourceAction {
public:
    TclFtpOpenFileAction(TclInternetConnection* AOwner, HINTERNET hInet, HINTERNET hConnect,
                         const std::string& lpszFileName, uint32_t dwAccess, uint32_t dwFlags);

protected:
    void RunAction() override;

private:
    HINTERNET FConnect;
    std::string FFileName;
    uint32_t FAccess;
    uint32_t FFlags;
};

class TclFtpGetFileSizeAction : public TclInternetAction {
public:
    TclFtpGetFileSizeAction(TclInternetConnection* AOwner, HINTERNET hInet, HINTERNET hFile);

    int64_t FileSize() const { return FFileSize; }

protected:
    void RunAction() override;

private:
    HINTERNET FFile;
    int64_t FFileSize = 0;
};

class TclFtpFindFirstFileAction : public TclInternetResourceAction {
public:
    TclFtpFindFirstFileAction(TclInternetConnection* AOwner, HINTERNET hInet, HINTERNET hConnect,
                              const std::u16string& lpszSearchFile, uint32_t dwFlags);

    // The first entry, after a successful firing.
    WIN32_FIND_DATAW lpFindFileData;

protected:
    void RunAction() override;

private:
    HINTERNET FConnect;
    std::u16string FSearchFile;
    uint32_t FFlags;
};

using TclInternetActionEvent = std::function<void(TObject* Sender, TclInternetAction* Action)>;
using TclInternetStatusEvent = std::function<void(TObject* Sender, TclInternetAction* Action, uint32_t AInternetStatus,
                                                  const void* AStatusInformation, uint32_t AStatusInformationLength)>;

class TclInternetConnection : public TComponent {
public:
    TclInternetConnection();
    ~TclInternetConnection() override;

    // Stops a running call, frees every action, ends the action thread. Can
    // be called twice; the connection is usable again afterwards. Not from
    // inside a call of this connection (a handler it runs meanwhile).
    void Close();
    // Abandons the call in progress, or the next one when none runs. Any thread.
    void SignalTerminate();

    // The first action of the list that is an AClass (or derived from it);
    // null while the connection is being destroyed.
    template <class AClass>
    AClass* GetActionByClass() {
        std::lock_guard<std::mutex> guard(FListLock);
        if (IsDestroying()) return nullptr;
        for (TclInternetAction* action : FActionList)
            if (auto* found = dynamic_cast<AClass*>(action)) return found;
        return nullptr;
    }
    int ActionCount() const;

    TclThreadSynchronizer& Synchronizer() { return FSynchronizer; }

    TclInternetActionEvent OnActionAdded;
    TclInternetActionEvent OnActionRemoved;
    TclInternetActionEvent OnBeforeFireAction;
    TclInternetActionEvent OnAfterFireAction;
    TclInternetStatusEvent OnStatusCallback;

protected:
    virtual void DoActionAdded(TclInternetAction* AAction);
    virtual void DoActionRemoved(TclInternetAction* AAction);
    virtual void DoBeforeFireAction(TclInternetAction* AAction);
    virtual void DoAfterFireAction(TclInternetAction* AAction);
    virtual void DoStatusCallback(TclInternetAction* AAction, uint32_t AInternetStatus, const void* AStatusInformation,
                                  uint32_t AStatusInformationLength);

private:
    friend class TclInternetAction;
    void AddAction(TclInternetAction* AAction);
    void RemoveAction(TclInternetAction* AAction);
    // Runs AAction with the time-out; true when it timed out.
    bool ExecuteAction(TclInternetAction* AAction, int ATimeOut);
    void AbandonAction(TclInternetAction* AAction);
    void NotifyHandleClosed(TclInternetAction* AClosing, HINTERNET AHandle);
    void EnsureActionThread();
    void StatusCallback(HINTERNET AHandle, uint32_t AInternetStatus, const void* AStatusInformation,
                        uint32_t AStatusInformationLength);
    static void PlatformStatusCallback(HINTERNET AInternet, uintptr_t AContext, uint32_t AInternetStatus,
                                       const void* AStatusInformation, uint32_t AStatusInformationLength);

    mutable std::mutex FListLock;
    std::vector<TclInternetAction*> FActionList;
    // Auto-reset; they live as long as the connection so that the terminate
    // signal can be given from any thread at any time. Close resets them.
    TclEvent FBeginEvent;
    TclEvent FTerminateEvent;
    TclEvent FWaitEvent;
    TclEvent FEndEvent;
    TclEngineThread FThread;
    // Counts finished calls; orders the action thread's results before the
    // caller reads them.
    std::atomic<uint64_t> FCompleted{0};
    std::atomic<TclInternetAction*> FInternetAction{nullptr};
    TclThreadSynchronizer FSynchronizer;
};

// Raises the process-wide limits on simultaneous connections per server
// (options 73 and 74) to 10 where they are lower. Called before an item starts.
void RaiseConnectionLimits();

}  // namespace cl
