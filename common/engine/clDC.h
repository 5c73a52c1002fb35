// The download worker: one thread that runs the request cycle for one item
// over its internet connection. It fetches what a server says about a
// resource, or downloads one byte range of it into the item's stream, or
// deletes a remote file, retrying failed attempts after a pause. Every event
// runs on the thread that created the worker while the worker waits.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/clInternetConnection.h"
#include "engine/clResourceState.h"
#include "engine/clSyncUtils.h"
#include "http/clHttpProxySettings.h"
#include "http/clUriUtils.h"
#include "rtl/clDateTime.h"
#include "rtl/clSet.h"
#include "rtl/clStreams.h"
#include "rtl/clStringList.h"
#include "transport/clCertificate.h"
#include "transport/clMessagePump.h"
#include "transport/clProxyEndpoint.h"
#include "transport/clTlsSettings.h"

namespace cl {

// The thread priority of an item's workers.
enum TclProcessPriority : uint8_t { ppLower = 0, ppNormal = 1, ppHigher = 2 };

// Certificate checks an HTTPS request may skip after the server failed them
// (cfIgnoreCommonNameInvalid, cfIgnoreDateInvalid, cfIgnoreUnknownAuthority,
// cfIgnoreRevocation, cfIgnoreWrongUsage): the transport's own set.
using TclCertificateFlags = TclCertificateVerifyFlags;

enum TclFtpProxyType : uint8_t { ptNone };

// An FTP proxy; in use when Server is not empty.
class TclFtpProxySettings : public TclProxySettings {
public:
    TclFtpProxySettings() : TclProxySettings(21) {}

    TclFtpProxyType ProxyType() const { return FProxyType; }
    void SetProxyType(TclFtpProxyType AValue) { FProxyType = AValue; }

    void Assign(const TclFtpProxySettings& ASource) { *this = ASource; }

private:
    TclFtpProxyType FProxyType = ptNone;
};

// What a worker learned about a remote resource.
class TclResourceInfo : public TObject {
public:
    // Size 0, Date now.
    TclResourceInfo();

    // Copies every property; with no source clears every one (Date 0).
    void Assign(const TclResourceInfo* ASource);

    // Body length; 0 when the server gave none.
    int64_t Size() const { return FSize; }
    void SetSize(int64_t AValue) { FSize = AValue; }
    // The path part of the URL.
    const std::string& Name() const { return FName; }
    void SetName(const std::string& AValue) { FName = AValue; }
    // Last modification, local time.
    TDateTime Date() const { return FDate; }
    void SetDate(TDateTime AValue) { FDate = AValue; }
    const std::string& ContentType() const { return FContentType; }
    void SetContentType(const std::string& AValue) { FContentType = AValue; }
    int StatusCode() const { return FStatusCode; }
    void SetStatusCode(int AValue) { FStatusCode = AValue; }
    const std::string& StatusText() const { return FStatusText; }
    void SetStatusText(const std::string& AValue) { FStatusText = AValue; }
    // Only with a positive Size.
    bool AllowsRandomAccess() const { return FAllowsRandomAccess && FSize > 0; }
    void SetAllowsRandomAccess(bool AValue) { FAllowsRandomAccess = AValue; }
    const std::string& ContentDisposition() const { return FContentDisposition; }
    void SetContentDisposition(const std::string& AValue) { FContentDisposition = AValue; }
    // The content encoding names gzip.
    bool Compressed() const { return FCompressed; }
    void SetCompressed(bool AValue) { FCompressed = AValue; }

private:
    int64_t FSize = 0;
    std::string FName;
    TDateTime FDate = 0;
    std::string FContentType;
    int FStatusCode = 0;
    std::string FStatusText;
    bool FAllowsRandomAccess = false;
    std::string FContentDisposition;
    bool FCompressed = false;
};

// True when an item stores a gzip body as received and decodes it itself
// when it commits: then its workers must keep the raw bytes (a range of a
// gzip stream cannot be decoded on its own); otherwise a worker that asked
// for gzip lets the transport decode. The one rule both sides follow, so
// that a body is decoded exactly once.
bool IsBodyDecodedAtCommit(bool ADoNotGetResourceInfo, bool AAllowCompression, const TclResourceInfo* AInfo);

// The English texts of the worker.
extern const char* const cHttpResourceAccessError;  // "HTTP resource access error occured, code = %d"
extern const char* const cStatusCodeQuery;          // "Status Code"

using TclStatusChangedEvent = std::function<void(TObject* Sender, TclProcessStatus Status)>;
using TclErrorEvent = std::function<void(TObject* Sender, const std::string& Error, int ErrorCode)>;
using TclGetResourceInfoEvent = std::function<void(TObject* Sender, TclResourceInfo* ResourceInfo)>;
using TclUrlParsingEvent = std::function<void(TObject* Sender, TclUrlParser& AURLComponents)>;
// BytesProceed is the absolute position after the chunk; CurrentData holds
// CurrentDataSize bytes followed by a zero byte.
using TclDataItemProceedEvent = std::function<void(TObject* Sender, TclResourceInfo* ResourceInfo, int64_t BytesProceed,
                                                   const uint8_t* CurrentData, int CurrentDataSize)>;

// The base of the workers: settings, the thread, the run with its attempts,
// the request cycle, resource information and the sending of requests.
class TclCustomThreader : public TObject {
public:
    // Created suspended; Perform starts the thread.
    TclCustomThreader(const std::string& AURL, TStream* ADataStream);
    // Stops and waits for a thread that still runs.
    ~TclCustomThreader() override;
    TclCustomThreader(const TclCustomThreader&) = delete;
    TclCustomThreader& operator=(const TclCustomThreader&) = delete;

    // Starts the thread (once).
    virtual void Perform();
    // Marks the thread terminated, ends a pause and abandons a platform call
    // in progress. Any thread.
    void Stop();
    // Until the thread has ended. On the creating thread the wait keeps
    // running the calls sent to it, so the worker's events can run.
    void Wait();

    bool Terminated() const { return FTerminated.load(); }
    // True once the thread has ended.
    bool Finished() const;

    // --- settings, copied in by the item before Perform ---
    const std::string& URL() const { return FURL; }
    TStream* DataStream() const { return FDataStream; }
    const std::string& LastError() const { return FLastError; }
    int LastErrorCode() const { return FLastErrorCode; }
    // Milliseconds per platform call (except opening the internet handle).
    int TimeOut() const { return FTimeOut; }
    void SetTimeOut(int AValue) { FTimeOut = AValue; }
    // Attempts of the whole request cycle.
    int TryCount() const { return FTryCount; }
    void SetTryCount(int AValue) { FTryCount = AValue; }
    // Bytes per read.
    int BatchSize() const { return FBatchSize; }
    void SetBatchSize(int AValue) { FBatchSize = AValue; }
    // Milliseconds between two attempts.
    int ReconnectAfter() const { return FReconnectAfter; }
    void SetReconnectAfter(int AValue) { FReconnectAfter = AValue; }
    // The given connection, or the worker's own, created on first use.
    TclInternetConnection* Connection();
    // Not owned; giving one frees the own one.
    void SetConnection(TclInternetConnection* AValue);
    TclProcessStatus Status() const { return FStatus; }
    TclUrlParser& URLParser() { return FURLParser; }
    void SetURLParser(const TclUrlParser& AValue) { FURLParser.Assign(AValue); }
    TclCertificateFlags CertificateFlags() const { return FCertificateFlags; }
    void SetCertificateFlags(TclCertificateFlags AValue) { FCertificateFlags = AValue; }
    // The platform's error dialog has no counterpart here; kept for the
    // item's settings, it changes nothing.
    bool UseInternetErrorDialog() const { return FUseInternetErrorDialog; }
    void SetUseInternetErrorDialog(bool AValue) { FUseInternetErrorDialog = AValue; }
    const std::string& ProxyBypass() const { return FProxyBypass; }
    void SetProxyBypass(const std::string& AValue) { FProxyBypass = AValue; }
    const std::string& InternetAgent() const { return FInternetAgent; }
    void SetInternetAgent(const std::string& AValue) { FInternetAgent = AValue; }
    // The item's lock around every positioning and write on DataStream.
    std::mutex* DataAccessor() const { return FDataAccessor; }
    void SetDataAccessor(std::mutex* AValue) { FDataAccessor = AValue; }
    // Bytes to fetch, or -1: the whole body, no range.
    int64_t BytesToProceed() const { return FBytesToProceed; }
    void SetBytesToProceed(int64_t AValue) { FBytesToProceed = AValue; }
    // The absolute position of the next byte; grows while the worker reads.
    int64_t ResourcePos() const { return FResourcePos.load(); }
    void SetResourcePos(int64_t AValue) { FResourcePos = AValue; }
    bool KeepConnection() const { return FKeepConnection; }
    void SetKeepConnection(bool AValue) { FKeepConnection = AValue; }
    bool PassiveFTPMode() const { return FPassiveFTPMode; }
    void SetPassiveFTPMode(bool AValue) { FPassiveFTPMode = AValue; }
    // Ask for gzip bodies.
    bool AllowCompression() const { return FAllowCompression; }
    void SetAllowCompression(bool AValue) { FAllowCompression = AValue; }
    // Extra request header lines.
    TStrings& RequestHeader() { return FRequestHeader; }
    void SetRequestHeader(const TStrings& AValue) { FRequestHeader.Assign(AValue); }
    // Skip the separate resource-information request.
    bool DoNotGetResourceInfo() const { return FDoNotGetResourceInfo; }
    void SetDoNotGetResourceInfo(bool AValue) { FDoNotGetResourceInfo = AValue; }
    TclFtpProxySettings& FtpProxySettings() { return FFtpProxySettings; }
    void SetFtpProxySettings(const TclFtpProxySettings& AValue) { FFtpProxySettings.Assign(AValue); }
    TclHttpProxySettings& HttpProxySettings() { return FHttpProxySettings; }
    void SetHttpProxySettings(const TclHttpProxySettings& AValue) { FHttpProxySettings.Assign(AValue); }
    // The raw header lines of the last response.
    const TStrings& ResponseHeader() const { return FResponseHeader; }
    // The supplied information (not owned), or else the worker's own.
    TclResourceInfo* ResourceInfo() const;
    // Giving another object drops the own one.
    void SetResourceInfo(TclResourceInfo* AValue);
    TclProcessPriority Priority() const { return FPriority; }
    void SetPriority(TclProcessPriority AValue) { FPriority = AValue; }
    // The worker deletes itself once its thread ended and OnTerminate ran.
    bool FreeOnTerminate() const { return FFreeOnTerminate; }
    void SetFreeOnTerminate(bool AValue) { FFreeOnTerminate = AValue; }

    // "scheme=proxy:port" for the URL's type from the proxy settings; empty
    // without a proxy.
    std::string GetProxyString() const;

    // --- events, all run on the creating thread ---
    TclStatusChangedEvent OnStatusChanged;
    TclErrorEvent OnError;
    TclGetResourceInfoEvent OnGetResourceInfo;
    TclUrlParsingEvent OnUrlParsing;
    TclDataItemProceedEvent OnDataItemProceed;
    TclGetCertificateEvent OnGetCertificate;
    // The thread ended (after its last status).
    TNotifyEvent OnTerminate;

protected:
    // The thread's work: attempts, statuses and the final error.
    virtual void Execute();

    // Overridable steps of the request cycle.
    virtual void GetHttpResourceInfo();
    virtual void GetFtpResourceInfo();
    virtual void ProcessHttp();
    virtual void ProcessFtp();
    virtual void ProcessRequest();
    virtual void AbortConnection();
    virtual int GetActualTimeOut(int ATimeOut) { return ATimeOut; }
    // Ends a pause and abandons a platform call in progress, without
    // marking the thread terminated. Any thread.
    void Interrupt();

    // --- helpers for the workers ---
    void SetStatus(TclProcessStatus AValue);
    // Records the error (an empty text: the platform's last error) and fires
    // OnError; nothing once terminated.
    void SetError(const std::string& AText, const std::string& AExtraText, int ACode);
    // The supplied or own information, the own one created (named after the
    // URL path) when there is none.
    TclResourceInfo& NeedResourceInfo();
    bool HasSuppliedResourceInfo() const { return FResourceInfo != nullptr; }
    void DropOwnResourceInfo() { FSelfResourceInfo.reset(); }
    void DoGetResourceInfo();
    // The status code of the last response (0: none could be read).
    int LastStatusCode() const { return FLastStatusCode; }
    // Opens (or reuses when kept) an HTTP request for AVerb and adds the
    // header lines; ADecodeBody asks the transport to decode gzip bodies.
    TclHttpOpenRequestAction* PrepareHttpRequest(const std::string& AVerb, bool ADecodeBody);
    // Sends ARequest, with the error loop and the 401/407 answers.
    void SendRequest(TclHttpOpenRequestAction& ARequest);
    // Reads the response headers into the resource information.
    void InterpretResponseHeaders(TclHttpOpenRequestAction& ARequest);
    // Opens (or reuses when kept) the remote FTP file for reading.
    TclFtpOpenFileAction* OpenFtpFile();
    // Ends the use of an action: frees it unless the connection keeps it
    // (AAlwaysFree: whatever KeepConnection says).
    void ReleaseAction(TclInternetAction* AAction, bool AAlwaysFree = false);
    // Runs AMethod on the creating thread while this thread waits.
    template <class F>
    void Synchronize(F&& AMethod) {
        FSynchronizer.Synchronize(std::forward<F>(AMethod));
    }
    // The same, doing AWhileWaiting on this thread meanwhile.
    template <class F, class W>
    void Synchronize(F&& AMethod, W&& AWhileWaiting) {
        FSynchronizer.Synchronize(std::forward<F>(AMethod), std::forward<W>(AWhileWaiting));
    }

    TclInternetOpenAction* FOpenAction = nullptr;
    TclConnectAction* FConnectAction = nullptr;

private:
    struct TThreadState;
    void ThreadMain();
    void ApplyPriority();
    void ParseUrl();
    // The raw header lines, the status code and text of the last send;
    // false when the status code could not be read.
    bool ReadStatusAndHeaders(TclHttpOpenRequestAction& ARequest);
    void SendWithErrorLoop(TclHttpOpenRequestAction& ARequest);
    // Handles a send failure the platform lets us answer; false otherwise.
    bool HandleSendError(TclHttpOpenRequestAction& ARequest, int AErrorCode);
    void SetCertificateFlagsOnRequest(TclHttpOpenRequestAction& ARequest);
    void SetClientCertificate(TclHttpOpenRequestAction& ARequest);
    void SetCredentials(TclHttpOpenRequestAction& ARequest, uint32_t AUserOption, uint32_t APasswordOption,
                        const std::string& AUserName, const std::string& APassword);
    std::string RequestHeaderBlock() const;
    void PauseBeforeNextAttempt();
    // The resource-information step shared by HTTP and FTP.
    void RunResourceInfoStep(bool AIsFtp);
    // Fires a request or file action that has no handle yet; a failure
    // releases it.
    void FireNewAction(TclInternetResourceAction& AAction);
    // Applies AChange to the resource information: on the creating thread
    // when the information is the item's.
    template <class F>
    void ModifyResourceInfo(F&& AChange);

    std::string FURL;
    TStream* FDataStream;
    std::string FLastError;
    int FLastErrorCode = 0;
    int FTimeOut = 5000;
    int FTryCount = 5;
    int FBatchSize = 8192;
    std::unique_ptr<TclInternetConnection> FSelfConnection;
    TclInternetConnection* FConnection = nullptr;
    std::atomic<TclProcessStatus> FStatus{psUnknown};
    TclUrlParser FURLParser;
    TclCertificateFlags FCertificateFlags;
    bool FUseInternetErrorDialog = false;
    TclCertificate* FCertificate = nullptr;
    bool FCertificateHandled = false;
    std::string FProxyBypass;
    std::string FInternetAgent = "Mozilla/4.0 (compatible; Varnok)";
    std::unique_ptr<TclResourceInfo> FSelfResourceInfo;
    std::mutex* FDataAccessor = nullptr;
    std::mutex FConnectionAccessor;
    int64_t FBytesToProceed = -1;
    std::atomic<int64_t> FResourcePos{0};
    bool FKeepConnection = false;
    bool FPassiveFTPMode = false;
    int FReconnectAfter = 5000;
    TclEvent FSleepEvent;
    bool FAllowCompression = false;
    TclThreadSynchronizer FSynchronizer;
    TStringList FRequestHeader;
    bool FDoNotGetResourceInfo = false;
    TclFtpProxySettings FFtpProxySettings;
    TclHttpProxySettings FHttpProxySettings;
    TStringList FResponseHeader;
    TclResourceInfo* FResourceInfo = nullptr;
    int FLastStatusCode = 0;

    std::atomic<bool> FTerminated{false};
    TclProcessPriority FPriority = ppNormal;
    bool FFreeOnTerminate = false;
    std::shared_ptr<TThreadState> FThreadState;
    // Set by the thread just before it frees the worker.
    bool FFreeingItself = false;
};

// Fetches the resource information only, or downloads one range (or the
// whole body) into DataStream.
class TclDownLoadThreader : public TclCustomThreader {
public:
    TclDownLoadThreader(const std::string& AURL, TStream* ADataStream, bool AIsGetResourceInfo);

    bool IsGetResourceInfo() const { return FIsGetResourceInfo; }
    // Bytes this worker wrote so far, over all its attempts.
    int64_t DownloadedBytes() const { return FDownloadedBytes.load(); }

    // Where a ranged worker stops: the end of its range, unless the item
    // moved it down (the rest of a straggling range is fetched by another
    // worker). Every write happens under DataAccessor, and so does the
    // move: a write never passes the stop, bytes read beyond it are
    // dropped, and the worker ends there, closing its request.
    int64_t StopPos() const;
    // Under DataAccessor. APos below ResourcePos() is taken as ResourcePos():
    // what is written stays. AAbandon also abandons a call in progress and
    // a pause before the next attempt (the straggler's connection is closed
    // at once instead of at its next chunk).
    void StopAt(int64_t APos, bool AAbandon);
    // True once the worker was stopped early and has reached its stop.
    bool ReachedEarlyStop() const;

protected:
    void ProcessRequest() override;
    void ProcessHttp() override;
    void ProcessFtp() override;

private:
    // The bytes still wanted of the range; -1 for a whole-body download.
    int64_t RemainingBytes() const;
    void AddRangeHeader(TclHttpOpenRequestAction& ARequest);
    // Refuses a response whose body does not start at the wanted position,
    // or whose encoding is not what the item can store (AKeepRaw: the item
    // decodes gzip at commit).
    void CheckDataResponse(bool AKeepRaw);
    // Reads AFile in BatchSize chunks into DataStream, dropping the first
    // ASkipBytes bytes of the body.
    void ReadData(HINTERNET AFile, int64_t ASkipBytes);
    void RemoveContentHeaderLines();

    bool FIsGetResourceInfo;
    // The read buffer: BatchSize bytes and a spare zero byte.
    std::vector<uint8_t> FBuffer;
    uint32_t FLastChunkSize = 0;
    std::atomic<int64_t> FDownloadedBytes{0};
    // Where a whole-body download started, for starting over.
    int64_t FStartPos = -1;
    // StopPos moved down by the item; INT64_MAX while the range ends as created.
    std::atomic<int64_t> FEarlyStop{INT64_MAX};
};

// Deletes the remote file (or, for FTP, the directory ending in "/").
class TclDeleteThreader : public TclCustomThreader {
public:
    explicit TclDeleteThreader(const std::string& AURL);

protected:
    void ProcessHttp() override;
    void ProcessFtp() override;
};

}  // namespace cl
