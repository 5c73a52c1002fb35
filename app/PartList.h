// The videos of a page: the page address checked, the page fetched and
// cut into videos (a normal page) or episodes (a series), each numbered, then
// the play-address service asked for every video through the play-address
// downloader. The rows are data; a listener hears of every added or changed
// video and of the end of the requests. No window code here.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "PageResolver.h"
#include "engine/clMultiDownLoader.h"
#include "rtl/clStreams.h"

namespace cl {
class TclHttp;
class TclHttpRequest;
}  // namespace cl

namespace bl {

// One video or episode of the page.
struct TPart {
    QString Caption;  // its zero-padded number, or "×" when no play address could be had
    QString Name;
    QString Cid;
    QString Addresses;  // segment addresses in playing order joined with "|"; empty until answered
    QString Quality;    // "1080P", "720P", "480P", "360P" or empty
    int Count = 0;      // segments, 0 until answered
    // Why no play address could be had, once Caption is "×": the engine's
    // error with its code, or what was wrong with the answer.
    QString FailureReason{};
};

// An error of the download engine as a person reads it: an HTTP status
// ("HTTP 404 Not Found"), or the engine's text with its code.
QString EngineErrorText(const std::string& AText, int ACode);

// How a resolution ended; every value but Resolved has a message of its own.
enum class TResolveResult { Resolved, EmptyAddress, WrongAddress, FetchFailed, NoVideoInfo, NoEntries };
// The window's message for a failed resolution (UTF-8), or null for Resolved.
const char* ResolveMessage(TResolveResult AResult);
// The checks made before a page is fetched: EmptyAddress, WrongAddress, or
// Resolved when the address may be fetched.
TResolveResult CheckPageAddress(const QString& AAddress);
// The quality code of the play-address requests for a choice of the list
// "1080p", "720p", "480p", "360p" (index 0 to 3).
QString QualityCode(int AIndex);

class TPartList {
public:
    TPartList(cl::TclHttp& AHttp, cl::TclMultiDownLoader& APlayLoader, cl::TclHttpRequest& ARequest);
    ~TPartList();
    TPartList(const TPartList&) = delete;
    TPartList& operator=(const TPartList&) = delete;

    // Forgets the videos of the last page, checks, fetches and cuts the page
    // (synchronously, serving the thread's events while it waits), numbers
    // the videos and, when some were found, asks for their play addresses
    // with AQualityCode (asynchronously: OnRequestsDone tells the end).
    TResolveResult Resolve(const QString& AAddress, const QString& AQualityCode);

    TParseState State() const { return FState; }
    const QString& Title() const;
    int Count() const { return static_cast<int>(FParts.size()); }
    const TPart& Part(int AIndex) const { return FParts[static_cast<size_t>(AIndex)]; }
    // Play-address requests still running.
    bool IsBusy() const;

    // A video was added (while the page is cut) or changed (numbered, or its
    // play addresses answered).
    std::function<void(int AIndex)> OnPartAdded;
    std::function<void(int AIndex)> OnPartChanged;
    // Every play-address request of the page has ended (also when none could start).
    std::function<void()> OnRequestsDone;

private:
    void RequestPlayAddresses(const QString& AQualityCode);
    void StatusChanged(cl::TclInternetItem& AItem, cl::TclProcessStatus AStatus);
    void DataItemProceed(cl::TclInternetItem& AItem, int ASize);
    void ProcessCompleted(cl::TclInternetItem& AItem);
    void Evaluate(int AIndex, const cl::TclInternetItem& AItem, bool ATooLarge);
    void MarkNoAddress(int AIndex, const QString& AReason);

    cl::TclMultiDownLoader& FLoader;
    cl::TclHttpRequest& FRequest;
    TPageResolver FResolver;
    TParseState FState = psNone;
    std::vector<TPart> FParts;
    // The video each play-address request was made for (-1: a video of an
    // earlier page) and the stream its answer is collected in.
    struct TRequest {
        int Index = 0;
        std::unique_ptr<cl::TStringStream> Body;
        int64_t Received = 0;
        bool TooLarge = false;
    };
    std::unordered_map<const cl::TclInternetItem*, TRequest> FRequests;
};

}  // namespace bl
