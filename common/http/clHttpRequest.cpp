// The request object: its header and body items, the header lines and
// body stream built from them, change notification, and its events.
#include "http/clHttpRequest.h"

#include <ctime>

#include "http/clHttpRequestInternal.h"
#include "rtl/clStrUtils.h"
#include "rtl/clTranslator.h"

namespace cl {

namespace httprequest {

std::unique_ptr<TStream> BytesStream(const std::vector<uint8_t>& ABytes) {
    auto result = std::make_unique<TMemoryStream>();
    result->WriteBuffer(ABytes);
    result->SetPosition(0);
    return result;
}

std::vector<uint8_t> AnsiBytes(const std::string& AText) { return TclTranslator::GetBytes(AText, kAnsiCharSet); }

std::vector<uint8_t> ReadAll(TStream& AStream) {
    std::vector<uint8_t> result;
    uint8_t buf[8192];
    for (;;) {
        const int64_t n = AStream.Read(buf, sizeof(buf));
        if (n <= 0) break;
        result.insert(result.end(), buf, buf + n);
    }
    return result;
}

}  // namespace httprequest

using namespace httprequest;

namespace {

constexpr const char* kFormUrlEncoded = "application/x-www-form-urlencoded";

int64_t AnsiLength(const std::string& AText) { return static_cast<int64_t>(AnsiBytes(AText).size()); }

}  // namespace

// ---- TclHttpRequest ----

TclHttpRequest::TclHttpRequest() : FItems(this) {}

TclHttpRequest::~TclHttpRequest() {
    NotifyDestroying();
    if (FHeader) FHeader->OnChanged = nullptr;
}

std::unique_ptr<TclHttpRequestHeader> TclHttpRequest::CreateHeader() {
    return std::make_unique<TclHttpRequestHeader>();
}

TclHttpRequestHeader& TclHttpRequest::Header() {
    if (!FHeader) {
        FHeader = CreateHeader();
        FHeader->OnChanged = [this](TObject*) { Update(); };
    }
    return *FHeader;
}

void TclHttpRequest::SetHeader(const TclHttpRequestHeader& AValue) { Header().Assign(AValue); }

void TclHttpRequest::SetBatchSize(int AValue) {
    if (AValue > 0) FBatchSize = AValue;
}

void TclHttpRequest::EndUpdate() {
    if (FUpdateCount > 0) --FUpdateCount;
    Update();
}

void TclHttpRequest::Update() {
    if (IsDestroying() || FUpdateCount > 0) return;
    if (!FIsParse && FHeader && !FHeader->Boundary().empty()) {
        // The header reports this change back here; one notification is enough.
        ++FUpdateCount;
        FHeader->SetBoundary(std::string());
        --FUpdateCount;
    }
    FRequestSource.Clear();
    FHeaderSource.Clear();
    ResetItemSizes();
    DoChanged();
}

void TclHttpRequest::ResetItemSizes() {
    for (int i = 0; i < FItems.Count(); ++i) FItems.Items(i)->ResetSize();
}

bool TclHttpRequest::IsMultiPartContent() {
    return LowerCase(Header().ContentType()).find("multipart/") != std::string::npos;
}

bool TclHttpRequest::IsFormFieldRequest() { return SameText(Header().ContentType(), kFormUrlEncoded); }

std::string TclHttpRequest::GetItemsContentType() {
    bool allFields = FItems.Count() > 0;
    for (int i = 0; i < FItems.Count(); ++i) {
        TclHttpRequestItem* item = FItems.Items(i);
        if (dynamic_cast<TclSubmitFileRequestItem*>(item) != nullptr) return kMultipartFormData;
        if (dynamic_cast<TclFormFieldRequestItem*>(item) == nullptr) allFields = false;
    }
    return allFields ? kFormUrlEncoded : "";
}

void TclHttpRequest::UpdateContentType() {
    if (!FIsParse) Header().SetContentType(GetItemsContentType());
}

// 27 hyphens and 12 upper-case hex digits of the local month, day, hour,
// minute, second and millisecond.
std::string TclHttpRequest::GenerateBoundary() {
    std::timespec ts{};
    std::timespec_get(&ts, TIME_UTC);
    std::tm t{};
    localtime_r(&ts.tv_sec, &t);
    const std::string stamp =
        IntToHex(static_cast<uint64_t>(t.tm_mon + 1), 2) + IntToHex(static_cast<uint64_t>(t.tm_mday), 2) +
        IntToHex(static_cast<uint64_t>(t.tm_hour), 2) + IntToHex(static_cast<uint64_t>(t.tm_min), 2) +
        IntToHex(static_cast<uint64_t>(t.tm_sec), 2) + IntToHex(static_cast<uint64_t>(ts.tv_nsec / 1000000), 2);
    return std::string(27, '-') + stamp.substr(0, 12);
}

void TclHttpRequest::InitBoundary() {
    if (IsMultiPartContent()) {
        if (Header().Boundary().empty()) Header().SetBoundary(GenerateBoundary());
    } else {
        Header().SetBoundary(std::string());
    }
}

void TclHttpRequest::InitHeader() {
    InitBoundary();
    const int64_t size = TotalSize();
    Header().SetContentLength(size == 0 ? std::string() : std::to_string(size));
}

const TStrings& TclHttpRequest::HeaderSource() {
    if (FHeaderSource.Count() > 0) return FHeaderSource;
    {
        TParseFlag parsing(*this);
        InitHeader();
    }
    // Built aside: a change handler run above may have built it already.
    TStringList lines;
    Header().AssignHeader(lines);
    FHeaderSource.Assign(lines);
    return FHeaderSource;
}

void TclHttpRequest::SetHeaderSource(const TStrings& AValue) {
    TParseFlag parsing(*this);
    Header().ParseHeader(AValue);
}

int64_t TclHttpRequest::TotalSize() {
    int64_t result = 0;
    const int64_t count = FItems.Count();
    for (int i = 0; i < FItems.Count(); ++i) result += FItems.Items(i)->GetSize();
    if (IsMultiPartContent()) {
        const std::string boundary = Header().Boundary().empty() ? GenerateBoundary() : Header().Boundary();
        result += count * AnsiLength("--" + boundary + kCrLf);
        if (count > 1) result += 2 * (count - 1);
        result += AnsiLength(std::string(kCrLf) + "--" + boundary + "--" + kCrLf);
    } else if (IsFormFieldRequest() && count > 1) {
        result += count - 1;
    }
    return result;
}

std::unique_ptr<TStream> TclHttpRequest::RequestStream() {
    {
        TParseFlag parsing(*this);
        InitBoundary();
    }
    const bool multipart = IsMultiPartContent();
    const bool form = IsFormFieldRequest();
    const std::string boundary = Header().Boundary();
    auto result = std::make_unique<TclMultiStream>();
    for (int i = 0; i < FItems.Count(); ++i) {
        std::string separator;
        if (multipart) {
            separator = (i > 0 ? kCrLf : "") + std::string("--") + boundary + kCrLf;
        } else if (form && i > 0) {
            separator = "&";
        }
        if (!separator.empty()) result->AddStream(BytesStream(AnsiBytes(separator)));
        result->AddStream(FItems.Items(i)->GetData());
    }
    if (multipart) result->AddStream(BytesStream(AnsiBytes(std::string(kCrLf) + "--" + boundary + "--" + kCrLf)));
    return result;
}

const TStrings& TclHttpRequest::RequestSource() {
    if (FRequestSource.Count() > 0) return FRequestSource;
    std::unique_ptr<TStream> body = RequestStream();
    const std::string text = DecodeText(ReadAll(*body));
    FRequestSource.SetText(text);
    return FRequestSource;
}

void TclHttpRequest::SetRequestSource(const TStrings& AValue) {
    TMemoryStream body;
    body.WriteBuffer(TclTranslator::GetBytes(AValue.Text(), Header().CharSet()));
    ParseBody(body);
}

void TclHttpRequest::Clear() {
    Updating(*this, [&] {
        FItems.Clear();
        Header().Clear();
    });
}

void TclHttpRequest::ResetRequest() {
    const std::string charSet = Header().CharSet();
    Updating(*this, [&] {
        Clear();
        Header().SetCharSet(charSet);
    });
}

void TclHttpRequest::Assign(const TclHttpRequest& ASource) {
    if (&ASource == this) return;
    auto& source = const_cast<TclHttpRequest&>(ASource);
    Updating(*this, [&] {
        Clear();
        FItems.Assign(source.FItems);
        Header().Assign(source.Header());
    });
}

TclTextRequestItem* TclHttpRequest::AddTextData(const std::string& ATextData) {
    TclTextRequestItem* result = nullptr;
    Updating(*this, [&] {
        result = FItems.Add<TclTextRequestItem>();
        result->SetTextData(ATextData);
    });
    return result;
}

TclFormFieldRequestItem* TclHttpRequest::AddFormField(const std::string& AFieldName, const std::string& AFieldValue) {
    TclFormFieldRequestItem* result = nullptr;
    Updating(*this, [&] {
        result = FItems.Add<TclFormFieldRequestItem>();
        result->SetFieldName(AFieldName);
        result->SetFieldValue(AFieldValue);
    });
    return result;
}

TclFormFieldRequestItem* TclHttpRequest::AddFormFieldIfNeed(const std::string& AFieldName,
                                                            const std::string& AFieldValue) {
    return AFieldValue.empty() ? nullptr : AddFormField(AFieldName, AFieldValue);
}

TclSubmitFileRequestItem* TclHttpRequest::AddSubmitFile(const std::string& AFieldName, const std::string& AFileName) {
    TclSubmitFileRequestItem* result = nullptr;
    Updating(*this, [&] {
        result = FItems.Add<TclSubmitFileRequestItem>();
        result->SetFieldName(AFieldName);
        result->SetFileName(AFileName);
    });
    return result;
}

TclBinaryRequestItem* TclHttpRequest::AddBinaryData() { return FItems.Add<TclBinaryRequestItem>(); }

void TclHttpRequest::SaveRequest(const std::string& AFileName) {
    std::unique_ptr<TStream> body = RequestStream();
    TFileStream file(AFileName, fmCreate);
    file.CopyFrom(*body, 0);
}

void TclHttpRequest::LoadRequest(const std::string& AFileName) {
    TFileStream file(AFileName, fmOpenRead | fmShareDenyWrite);
    SetRequestStream(file);
}

void TclHttpRequest::BuildJSONRequest(const std::string& AJson) {
    Updating(*this, [&] {
        ResetRequest();
        AddTextData(AJson);
        Header().SetContentType("application/json");
        Header().SetCharSet("utf-8");
    });
}
void TclHttpRequest::DoSaveData(TclHttpRequestItem* AItem, std::unique_ptr<TStream>& AData) {
    if (OnSaveData) OnSaveData(this, AItem, AData);
}

void TclHttpRequest::DoLoadData(TclHttpRequestItem* AItem, std::unique_ptr<TStream>& AData) {
    if (OnLoadData) OnLoadData(this, AItem, AData);
}

void TclHttpRequest::DoDataAdded(TclHttpRequestItem* AItem, TStream* AData) {
    if (OnDataAdded) OnDataAdded(this, AItem, AData);
}

void TclHttpRequest::DoGetHtmlForm(TclHtmlParser* AParser, const TclHtmlForm*& AForm) {
    if (OnGetHtmlForm) OnGetHtmlForm(this, AParser, AForm);
}

void TclHttpRequest::DoChanged() {
    if (OnChanged) OnChanged(this);
}

}  // namespace cl
