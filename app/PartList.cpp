#include "PartList.h"

#include <exception>
#include <nlohmann/json.hpp>
#include <optional>

#include "BlTexts.h"
#include "BlUtils.h"
#include "PlayUrl.h"

namespace bl {

namespace {

// A play-address document is a few kilobytes; a server that sends without
// end is cut off here rather than filling the memory.
constexpr int64_t kMaxPlayUrlBody = 4 * 1024 * 1024;

// The JSON marker every answer with addresses carries.
constexpr const char* kUrlMarker = "\"url\":\"";

const QString kNoAddress = QStringLiteral("×");

// Why a play-address request that did not succeed failed.
QString RequestFailure(const cl::TclInternetItem& AItem) {
    const cl::TclErrorList& errors = AItem.Errors();
    if (errors.Count() > 0) {
        const cl::TclErrorList::TclErrorEntry& last = errors.Items(errors.Count() - 1);
        return EngineErrorText(last.Text, last.Code);
    }
    return AItem.ResourceState().LastStatus() == cl::psTerminated ? QStringLiteral("the request was stopped")
                                                                  : QStringLiteral("the request failed");
}

// An answer without addresses: the site's own code and message when it
// sent an error document ("the answer holds no address (code -404: ...)").
QString NoAddressReason(const std::string& ABody) {
    const QString reason = QStringLiteral("the answer holds no address");
    const nlohmann::json document = nlohmann::json::parse(ABody, nullptr, false);
    if (!document.is_object()) return reason;
    const auto code = document.find("code");
    const auto message = document.find("message");
    if (code == document.end() || !code->is_number_integer() || code->get<int64_t>() == 0) return reason;
    QString note = QStringLiteral("code %1").arg(code->get<int64_t>());
    if (message != document.end() && message->is_string() && !message->get_ref<const std::string&>().empty()) {
        note += QStringLiteral(": ") + QString::fromStdString(message->get<std::string>());
    }
    return QStringLiteral("%1 (%2)").arg(reason, note);
}

}  // namespace

QString EngineErrorText(const std::string& AText, int ACode) {
    const QString text = QString::fromStdString(AText).trimmed();
    if (ACode >= 400 && ACode < 600) return QStringLiteral("HTTP %1 %2").arg(ACode).arg(text).trimmed();
    return ACode != 0 ? QStringLiteral("%1 (code %2)").arg(text).arg(ACode) : text;
}

const char* ResolveMessage(TResolveResult AResult) {
    switch (AResult) {
        case TResolveResult::Resolved:
            return nullptr;
        case TResolveResult::EmptyAddress:
            return kAddressEmpty;
        case TResolveResult::WrongAddress:
            return kAddressWrong;
        case TResolveResult::FetchFailed:
            return kFetchFailed;
        case TResolveResult::NoVideoInfo:
            return kNoVideoInfo;
        case TResolveResult::NoEntries:
            return kNoEntries;
    }
    return nullptr;
}

QString QualityCode(int AIndex) {
    static const char* const kCodes[] = {"80", "64", "32", "16"};
    return QString::fromLatin1(kCodes[AIndex >= 0 && AIndex < 4 ? AIndex : 0]);
}

TResolveResult CheckPageAddress(const QString& AAddress) {
    if (AAddress.isEmpty()) return TResolveResult::EmptyAddress;
    if (!TPageResolver::IsSiteAddress(AAddress)) return TResolveResult::WrongAddress;
    return TResolveResult::Resolved;
}

TPartList::TPartList(cl::TclHttp& AHttp, cl::TclMultiDownLoader& APlayLoader, cl::TclHttpRequest& ARequest)
    : FLoader(APlayLoader), FRequest(ARequest), FResolver(AHttp) {
    FLoader.OnIsBusyChanged = [this](cl::TObject*) {
        if (!FLoader.IsBusy() && OnRequestsDone) OnRequestsDone();
    };
    FLoader.OnStatusChanged = [this](cl::TObject*, cl::TclInternetItem* AItem, cl::TclProcessStatus AStatus) {
        if (AItem) StatusChanged(*AItem, AStatus);
    };
    FLoader.OnDataItemProceed = [this](cl::TObject*, cl::TclInternetItem* AItem, cl::TclResourceInfo*,
                                       cl::TclResourceStateItem*, const uint8_t*, int ASize) {
        if (AItem) DataItemProceed(*AItem, ASize);
    };
    FLoader.OnProcessCompleted = [this](cl::TObject*, cl::TclInternetItem* AItem) {
        if (AItem) ProcessCompleted(*AItem);
    };
}

TPartList::~TPartList() {
    // The answers of stopping requests no longer reach a list that is going;
    // the items write into the streams, so they go first.
    FLoader.OnIsBusyChanged = nullptr;
    FLoader.OnStatusChanged = nullptr;
    FLoader.OnDataItemProceed = nullptr;
    FLoader.OnProcessCompleted = nullptr;
    FLoader.Stop();
    FLoader.DownLoadList().Clear();
}

const QString& TPartList::Title() const { return FResolver.Title(); }

bool TPartList::IsBusy() const { return FLoader.IsBusy(); }

TResolveResult TPartList::Resolve(const QString& AAddress, const QString& AQualityCode) {
    // Answers of an earlier page that end from here on belong to videos that
    // are gone: they must not mark the new ones.
    for (auto& [item, request] : FRequests) request.Index = -1;
    FParts.clear();
    FState = psNone;
    if (const TResolveResult check = CheckPageAddress(AAddress); check != TResolveResult::Resolved) return check;
    const QString page = FResolver.FetchPage(AAddress);
    if (page.isEmpty()) return TResolveResult::FetchFailed;

    FResolver.OnEntry = [this](const QString& AName, const QString& ACid) {
        FParts.push_back(TPart{QString(), AName, ACid, QString(), QString(), 0});
        if (OnPartAdded) OnPartAdded(Count() - 1);
    };
    FState = FResolver.ParsePage(page);
    if (FState == psNone) return TResolveResult::NoVideoInfo;
    if (FParts.empty()) return TResolveResult::NoEntries;
    // A page of one video names it after its title.
    const QString& title = FResolver.Title();
    if (FParts.size() == 1 && !title.isEmpty() && FParts.front().Name != title) {
        FParts.front().Name = title;
        if (OnPartChanged) OnPartChanged(0);
    }
    for (int i = 0; i < Count(); ++i) {
        FParts[static_cast<size_t>(i)].Caption = PadNumber(Count(), i);
        if (OnPartChanged) OnPartChanged(i);
    }
    RequestPlayAddresses(AQualityCode);
    return TResolveResult::Resolved;
}

void TPartList::RequestPlayAddresses(const QString& AQualityCode) {
    StopAndWait(FLoader);
    FLoader.DownLoadList().Clear();
    FRequests.clear();
    for (int i = 0; i < Count(); ++i) {
        const QString& cid = FParts[static_cast<size_t>(i)].Cid;
        const QString address = FState == psEpisodes ? PgcPlayUrl(cid, AQualityCode) : SignedPlayUrl(cid, AQualityCode);
        cl::TclDownLoadItem& item = FLoader.DownLoadList().Add();
        item.SetThreadCount(1);
        item.SetURL(address.toStdString());
        item.SetHttpRequest(&FRequest);
        FRequests[&item].Index = i;
        try {
            item.Start(true);
        } catch (const std::exception& e) {
            MarkNoAddress(i, QStringLiteral("the request could not start: %1").arg(QString::fromUtf8(e.what())));
        }
    }
    // Nothing started: no idle report will come.
    if (!FLoader.IsBusy() && OnRequestsDone) OnRequestsDone();
}

void TPartList::StatusChanged(cl::TclInternetItem& AItem, cl::TclProcessStatus AStatus) {
    if (AStatus != cl::psProcess || AItem.DataStream()) return;
    const auto request = FRequests.find(&AItem);
    if (request == FRequests.end()) return;
    request->second.Body = std::make_unique<cl::TStringStream>(std::string(), "utf-8");
    AItem.SetDataStream(request->second.Body.get());
}

void TPartList::DataItemProceed(cl::TclInternetItem& AItem, int ASize) {
    const auto request = FRequests.find(&AItem);
    if (request == FRequests.end()) return;
    request->second.Received += ASize;
    // A stopped request ends as not successful: its video gets "×".
    if (request->second.Received > kMaxPlayUrlBody && !request->second.TooLarge) {
        request->second.TooLarge = true;
        AItem.Stop();
    }
}

void TPartList::ProcessCompleted(cl::TclInternetItem& AItem) {
    const auto request = FRequests.find(&AItem);
    if (request == FRequests.end()) return;
    if (request->second.Index >= 0 && request->second.Index < Count()) {
        Evaluate(request->second.Index, AItem, request->second.TooLarge);
    }
    // The item first, so it never points at a freed stream.
    const int index = FLoader.DownLoadList().IndexOf(&AItem);
    if (index >= 0) FLoader.DownLoadList().Delete(index);
    FRequests.erase(request);
}

void TPartList::Evaluate(int AIndex, const cl::TclInternetItem& AItem, bool ATooLarge) {
    TPart& part = FParts[static_cast<size_t>(AIndex)];
    if (ATooLarge) {
        MarkNoAddress(AIndex, QStringLiteral("the answer is larger than %1 bytes").arg(kMaxPlayUrlBody));
        return;
    }
    if (AItem.ResourceState().LastStatus() != cl::psSuccess) {
        MarkNoAddress(AIndex, RequestFailure(AItem));
        return;
    }
    std::optional<TPlayUrlAnswer> answer;
    const auto* body = dynamic_cast<const cl::TStringStream*>(AItem.DataStream());
    const std::string text = body ? body->DataString() : std::string();
    if (text.find(kUrlMarker) != std::string::npos) {
        if (FState == psPages) answer = ParsePlayUrlJson(text);
        if (FState == psEpisodes) answer = ParsePgcPlayUrlJson(text);
    }
    if (!answer) {
        MarkNoAddress(AIndex, NoAddressReason(text));
        return;
    }
    part.Addresses = answer->Addresses;
    part.Quality = answer->Quality;
    part.Count = answer->Count;
    if (OnPartChanged) OnPartChanged(AIndex);
}

void TPartList::MarkNoAddress(int AIndex, const QString& AReason) {
    TPart& part = FParts[static_cast<size_t>(AIndex)];
    part.Caption = kNoAddress;
    part.FailureReason = AReason;
    if (OnPartChanged) OnPartChanged(AIndex);
}

}  // namespace bl
