#include "http/clHttpRequest.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include "http/clHttp.h"
#include "rtl/clTranslator.h"
#include "http/clUriUtils.h"
#include "rtl/clException.h"
#include "rtl/clStrUtils.h"

namespace cl {

namespace {

constexpr const char* kModule = "clHttpRequest";
constexpr const char* kFormUrlEncoded = "application/x-www-form-urlencoded";
constexpr const char* kMultipartFormData = "multipart/form-data";
constexpr const char* kCrLf = "\r\n";

// Text placed in a part's header: a line break would add header lines of its
// own, a quote would end a quoted name early.
void CheckPartHeaderText(const std::string& AText, bool AQuoted) {
    if (AText.find_first_of(AQuoted ? "\"\r\n" : "\r\n") != std::string::npos) {
        throw Exception("A form part name holds a quote or a line break: " + AText.substr(0, 64));
    }
}

std::unique_ptr<TStream> BytesStream(const std::vector<uint8_t>& ABytes) {
    auto result = std::make_unique<TMemoryStream>();
    result->WriteBuffer(ABytes);
    result->SetPosition(0);
    return result;
}

// Delimiters and separators travel in the ANSI code page, so a boundary
// taken from a parsed body comes back byte for byte.
std::vector<uint8_t> AnsiBytes(const std::string& AText) { return TclTranslator::GetBytes(AText, kAnsiCharSet); }

int64_t AnsiLength(const std::string& AText) { return static_cast<int64_t>(AnsiBytes(AText).size()); }

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

// Runs AAction between the request's BeginUpdate and EndUpdate, closing the
// bracket also when it fails.
template <class F>
void Updating(TclHttpRequest& ARequest, F&& AAction) {
    ARequest.BeginUpdate();
    try {
        AAction();
    } catch (...) {
        ARequest.EndUpdate();
        throw;
    }
    ARequest.EndUpdate();
}

}  // namespace

// ---- TclMultiStream ----

void TclMultiStream::AddStream(std::unique_ptr<TStream> AStream) {
    const int64_t size = std::max<int64_t>(AStream->GetSize(), 0);
    FList.push_back(Part{std::move(AStream), FSize, size});
    FSize += size;
}

int64_t TclMultiStream::Read(void* ABuffer, int64_t ACount) {
    auto* out = static_cast<uint8_t*>(ABuffer);
    int64_t done = 0;
    while (done < ACount && FPosition < FSize) {
        // The last stream that starts at or before the position holds it.
        auto it = std::upper_bound(FList.begin(), FList.end(), FPosition,
                                   [](int64_t APos, const Part& APart) { return APos < APart.Start; });
        Part& part = *(it - 1);
        const int64_t offset = FPosition - part.Start;
        part.Stream->Seek(offset, soBeginning);
        const int64_t n = part.Stream->Read(out + done, std::min(ACount - done, part.Size - offset));
        // A stream shorter than it was (a file cut while sending) would make
        // the body shorter than its announced length.
        if (n <= 0) throw EReadError("Stream read error");
        done += n;
        FPosition += n;
    }
    return done;
}

int64_t TclMultiStream::Write(const void*, int64_t) { return 0; }

int64_t TclMultiStream::Seek(int64_t AOffset, TSeekOrigin AOrigin) {
    int64_t base = 0;
    if (AOrigin == soCurrent) base = FPosition;
    if (AOrigin == soEnd) base = FSize;
    FPosition = std::clamp(base + AOffset, int64_t{0}, FSize);
    return FPosition;
}

// ---- TclHttpRequestItem ----

TclHttpRequestItem::TclHttpRequestItem(TclHttpRequestItemList* AOwner) : FOwner(AOwner) {
    ClAssert(AOwner != nullptr, kModule, __LINE__);
}

TclHttpRequest* TclHttpRequestItem::Request() const { return FOwner != nullptr ? FOwner->Owner() : nullptr; }

void TclHttpRequestItem::Assign(const TclHttpRequestItem& ASource) { SetCanonicalized(ASource.FCanonicalized); }

void TclHttpRequestItem::SetCanonicalized(bool AValue) {
    if (FCanonicalized == AValue) return;
    FCanonicalized = AValue;
    Changed();
}

void TclHttpRequestItem::SetText(std::string& AField, const std::string& AValue) {
    if (AField == AValue) return;
    AField = AValue;
    Changed();
}

void TclHttpRequestItem::Changed() {
    ResetSize();
    if (TclHttpRequest* request = Request()) {
        request->BeginUpdate();
        request->EndUpdate();
    }
}

std::unique_ptr<TStream> TclHttpRequestItem::GetData() {
    std::unique_ptr<TStream> result = CreateDataStream();
    result->SetPosition(0);
    FSize = result->GetSize();
    return result;
}

int64_t TclHttpRequestItem::GetSize() {
    if (FSize <= 0) GetData();
    return FSize;
}

std::string TclHttpRequestItem::GetCharSet() const {
    TclHttpRequest* request = Request();
    return request != nullptr ? request->Header().CharSet() : std::string();
}

// Letters, digits and * - . _ stay; a space becomes "+"; every other byte of
// the charset's encoding becomes "%" and two upper-case hex digits.
std::string TclHttpRequestItem::Canonicalize(const std::string& AText) {
    if (!FCanonicalized) return AText;
    std::string result;
    for (const uint8_t b : TclTranslator::GetBytes(AText, GetCharSet())) {
        const bool keep = (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || b == '*' ||
                          b == '-' || b == '.' || b == '_';
        if (keep) {
            result += static_cast<char>(b);
        } else if (b == ' ') {
            result += '+';
        } else {
            result += '%' + IntToHex(b, 2);
        }
    }
    return result;
}

void TclHttpRequestItem::EndTextSection(std::string& AValue, std::vector<uint8_t>& APending) {
    if (!APending.empty()) {
        SetText(AValue, AValue + TclTranslator::GetString(APending, GetCharSet()));
        APending.clear();
    }
    TclHttpRequest* request = Request();
    if (request != nullptr && request->OnDataAdded) {
        auto data = BytesStream(TclTranslator::GetBytes(AValue, GetCharSet()));
        request->DoDataAdded(this, data.get());
    }
}

// ---- TclTextRequestItem ----

std::unique_ptr<TclHttpRequestItem> TclTextRequestItem::NewInstance(TclHttpRequestItemList* AOwner) const {
    return std::make_unique<TclTextRequestItem>(AOwner);
}

void TclTextRequestItem::Assign(const TclHttpRequestItem& ASource) {
    TclHttpRequestItem::Assign(ASource);
    if (const auto* source = dynamic_cast<const TclTextRequestItem*>(&ASource)) SetTextData(source->FTextData);
}

std::unique_ptr<TStream> TclTextRequestItem::CreateDataStream() {
    return BytesStream(TclTranslator::GetBytes(FTextData, GetCharSet()));
}

void TclTextRequestItem::AddData(const uint8_t* ABytes, int64_t ACount) {
    FPending.insert(FPending.end(), ABytes, ABytes + ACount);
}

void TclTextRequestItem::AfterAddData() { EndTextSection(FTextData, FPending); }

// ---- TclFormFieldRequestItem ----

std::unique_ptr<TclHttpRequestItem> TclFormFieldRequestItem::NewInstance(TclHttpRequestItemList* AOwner) const {
    return std::make_unique<TclFormFieldRequestItem>(AOwner);
}

void TclFormFieldRequestItem::Assign(const TclHttpRequestItem& ASource) {
    TclHttpRequestItem::Assign(ASource);
    if (const auto* source = dynamic_cast<const TclFormFieldRequestItem*>(&ASource)) {
        SetFieldName(source->FFieldName);
        SetFieldValue(source->FFieldValue);
    }
}

std::unique_ptr<TStream> TclFormFieldRequestItem::CreateDataStream() {
    TclHttpRequest* request = Request();
    std::string text;
    if (request != nullptr && request->IsMultiPartContent()) {
        CheckPartHeaderText(FFieldName, true);
        text = "Content-Disposition: form-data; name=\"" + FFieldName + "\"" + kCrLf + kCrLf + FFieldValue;
    } else if (request != nullptr && request->IsFormFieldRequest()) {
        text = Canonicalize(FFieldName) + "=" + Canonicalize(FFieldValue);
    }
    return BytesStream(TclTranslator::GetBytes(text, GetCharSet()));
}

void TclFormFieldRequestItem::AddData(const uint8_t* ABytes, int64_t ACount) {
    FPending.insert(FPending.end(), ABytes, ABytes + ACount);
}

void TclFormFieldRequestItem::AfterAddData() { EndTextSection(FFieldValue, FPending); }

// ---- TclBinaryRequestItem ----

std::unique_ptr<TclHttpRequestItem> TclBinaryRequestItem::NewInstance(TclHttpRequestItemList* AOwner) const {
    return std::make_unique<TclBinaryRequestItem>(AOwner);
}

std::unique_ptr<TStream> TclBinaryRequestItem::CreateDataStream() {
    std::unique_ptr<TStream> data;
    if (TclHttpRequest* request = Request()) request->DoLoadData(this, data);
    if (!data) return std::make_unique<TclNullStream>();
    data->SetPosition(0);
    return data;
}

void TclBinaryRequestItem::AddData(const uint8_t* ABytes, int64_t ACount) {
    TclHttpRequest* request = Request();
    if (request == nullptr) return;
    if (TStream* destination = request->DataStream(this)) destination->WriteBuffer(ABytes, ACount);
}

void TclBinaryRequestItem::AfterAddData() {
    TclHttpRequest* request = Request();
    if (request == nullptr || request->FDataStreamItem != this || !request->FDataStream) return;
    request->FDataStream->SetPosition(0);
    request->DoDataAdded(this, request->FDataStream.get());
}

// ---- TclSubmitFileRequestItem ----

std::unique_ptr<TclHttpRequestItem> TclSubmitFileRequestItem::NewInstance(TclHttpRequestItemList* AOwner) const {
    return std::make_unique<TclSubmitFileRequestItem>(AOwner);
}

void TclSubmitFileRequestItem::Assign(const TclHttpRequestItem& ASource) {
    TclHttpRequestItem::Assign(ASource);
    if (const auto* source = dynamic_cast<const TclSubmitFileRequestItem*>(&ASource)) {
        SetFileName(source->FFileName);
        SetFieldName(source->FFieldName);
        SetContentType(source->FContentType);
    }
}

void TclSubmitFileRequestItem::ParseItemHeader(const TclHeaderFieldList& AFieldList) {
    SetContentType(AFieldList.GetFieldValue("Content-Type"));
    SetFieldName(AFieldList.GetFieldValueItem(AFieldList.GetFieldValue("Content-Disposition"), "name"));
}

// The section's header lines are encoded with the request's charset, which
// the multipart parser also decodes them with, so a file name outside the
// ANSI code page survives the trip.
std::unique_ptr<TStream> TclSubmitFileRequestItem::CreateDataStream() {
    TclHttpRequest* request = Request();
    if (request == nullptr || !request->IsMultiPartContent()) return std::make_unique<TclNullStream>();
    const std::string shortName = FFileName.substr(FFileName.find_last_of('/') + 1);
    CheckPartHeaderText(FFieldName, true);
    CheckPartHeaderText(shortName, true);
    CheckPartHeaderText(FContentType, false);
    const std::string header = "Content-Disposition: form-data; name=\"" + FFieldName + "\"; filename=\"" + shortName +
                               "\"" + kCrLf + "Content-Type: " + FContentType + kCrLf + kCrLf;
    auto result = std::make_unique<TclMultiStream>();
    result->AddStream(BytesStream(TclTranslator::GetBytes(header, GetCharSet())));
    std::unique_ptr<TStream> data;
    request->DoLoadData(this, data);
    // No file named: an empty part, as a browser sends for an empty file input.
    if (!data && !FFileName.empty()) data = std::make_unique<TFileStream>(FFileName, fmOpenRead | fmShareDenyNone);
    if (!data) data = std::make_unique<TclNullStream>();
    result->AddStream(std::move(data));
    return result;
}

// ---- TclHttpRequestItemList ----

TclHttpRequestItemList::TclHttpRequestItemList(TclHttpRequest* AOwner) : FOwner(AOwner) {
    ClAssert(AOwner != nullptr, kModule, __LINE__);
}

// The owner is being destroyed: the items go without notifications.
TclHttpRequestItemList::~TclHttpRequestItemList() = default;

void TclHttpRequestItemList::CheckIndex(int AIndex) const {
    if (AIndex < 0 || AIndex >= Count()) throw Exception("List index out of bounds (" + std::to_string(AIndex) + ")");
}

TclHttpRequestItem* TclHttpRequestItemList::Items(int AIndex) const {
    CheckIndex(AIndex);
    return FList[static_cast<size_t>(AIndex)].get();
}

TclHttpRequestItem* TclHttpRequestItemList::Add(std::unique_ptr<TclHttpRequestItem> AItem) {
    TclHttpRequestItem* result = AItem.get();
    Updating(*FOwner, [&] {
        AItem->FOwner = this;
        AItem->ResetSize();
        FList.push_back(std::move(AItem));
        FOwner->UpdateContentType();
    });
    return result;
}

std::unique_ptr<TclHttpRequestItem> TclHttpRequestItemList::Delete(int AIndex) {
    CheckIndex(AIndex);
    std::unique_ptr<TclHttpRequestItem> result;
    Updating(*FOwner, [&] {
        result = std::move(FList[static_cast<size_t>(AIndex)]);
        FList.erase(FList.begin() + AIndex);
        result->FOwner = nullptr;
        if (FOwner->FDataStreamItem == result.get()) {
            FOwner->FDataStream.reset();
            FOwner->FDataStreamItem = nullptr;
        }
        FOwner->UpdateContentType();
    });
    return result;
}

void TclHttpRequestItemList::Move(int ACurIndex, int ANewIndex) {
    CheckIndex(ACurIndex);
    CheckIndex(ANewIndex);
    if (ACurIndex == ANewIndex) return;
    Updating(*FOwner, [&] {
        auto item = std::move(FList[static_cast<size_t>(ACurIndex)]);
        FList.erase(FList.begin() + ACurIndex);
        FList.insert(FList.begin() + ANewIndex, std::move(item));
    });
}

void TclHttpRequestItemList::Clear() {
    Updating(*FOwner, [&] {
        FOwner->FDataStream.reset();
        FOwner->FDataStreamItem = nullptr;
        FList.clear();
        FOwner->UpdateContentType();
    });
}

TclFormFieldRequestItem* TclHttpRequestItemList::FormFieldByName(const std::string& AFieldName) const {
    for (const auto& item : FList) {
        auto* field = dynamic_cast<TclFormFieldRequestItem*>(item.get());
        if (field != nullptr && SameText(field->FieldName(), AFieldName)) return field;
    }
    return nullptr;
}

void TclHttpRequestItemList::Assign(const TclHttpRequestItemList& ASource) {
    if (&ASource == this) return;
    Updating(*FOwner, [&] {
        Clear();
        for (const auto& source : ASource.FList) {
            auto item = source->NewInstance(this);
            item->Assign(*source);
            Add(std::move(item));
        }
    });
}

// ---- TclHttpRequest ----

// Sets the parse flag for a scope and puts the previous value back.
class TclHttpRequest::TParseFlag {
public:
    explicit TParseFlag(TclHttpRequest& ARequest) : FRequest(ARequest), FSaved(ARequest.FIsParse) {
        ARequest.FIsParse = true;
    }
    ~TParseFlag() { FRequest.FIsParse = FSaved; }
    TParseFlag(const TParseFlag&) = delete;
    TParseFlag& operator=(const TParseFlag&) = delete;

private:
    TclHttpRequest& FRequest;
    bool FSaved;
};

// The multipart body decoder. It takes the body in pieces of any size and
// keeps its place in named states: bytes that may begin a delimiter are
// held back (they are always a prefix of the delimiter, so the match length
// is all it needs to remember) and handed on when the match fails.
class TclHttpRequest::TMultipartParser {
public:
    TMultipartParser(TclHttpRequest& ARequest, const std::vector<uint8_t>& ABoundary)
        : FRequest(ARequest), FDelimiter(ABoundary.size() + 4) {
        std::memcpy(FDelimiter.data(), "\r\n--", 4);
        std::copy(ABoundary.begin(), ABoundary.end(), FDelimiter.begin() + 4);
        // Failure function of the delimiter, for resuming a broken match.
        FFailure.assign(FDelimiter.size(), 0);
        for (size_t i = 1, k = 0; i < FDelimiter.size(); ++i) {
            while (k > 0 && FDelimiter[i] != FDelimiter[k]) k = FFailure[k - 1];
            if (FDelimiter[i] == FDelimiter[k]) ++k;
            FFailure[i] = k;
        }
    }

    void Feed(const uint8_t* AData, size_t ACount) {
        for (size_t i = 0; i < ACount;) {
            switch (FState) {
                case stPreamble:
                case stData:
                    i = ScanData(AData, i, ACount);
                    break;
                case stAfterDelimiter:
                    FState = AData[i] == '-' ? stAfterDelimiterDash : stHeader;
                    if (FState == stHeader) FHeader.push_back(AData[i]);
                    ++i;
                    break;
                case stAfterDelimiterDash:
                    if (AData[i] == '-') {
                        FState = stEpilogue;
                    } else {
                        FHeader.push_back('-');
                        FState = stHeader;
                    }
                    if (FState == stHeader) FHeader.push_back(AData[i]);
                    ++i;
                    break;
                case stHeader:
                    FHeader.push_back(AData[i++]);
                    if (FHeader.size() >= 4 && std::memcmp(FHeader.data() + FHeader.size() - 4, "\r\n\r\n", 4) == 0) {
                        StartPart();
                    }
                    break;
                case stEpilogue:
                    return;
            }
        }
        FlushOutput();
    }

    // The input has ended: a section cut short keeps the bytes it received.
    void Finish() {
        if (FState != stData) return;
        Output(FDelimiter.data(), FMatched);
        FMatched = 0;
        EndPart();
        FState = stEpilogue;
    }

private:
    enum TState { stPreamble, stAfterDelimiter, stAfterDelimiterDash, stHeader, stData, stEpilogue };

    size_t ScanData(const uint8_t* AData, size_t AIndex, size_t ACount) {
        while (AIndex < ACount) {
            if (FMatched == 0) {
                // Nothing held back: everything before the next CR is data.
                const void* cr = std::memchr(AData + AIndex, '\r', ACount - AIndex);
                const size_t stop =
                    cr == nullptr ? ACount : static_cast<size_t>(static_cast<const uint8_t*>(cr) - AData);
                Output(AData + AIndex, stop - AIndex);
                AIndex = stop;
                if (AIndex == ACount) break;
            }
            const uint8_t c = AData[AIndex++];
            size_t k = FMatched;
            while (k > 0 && FDelimiter[k] != c) k = FFailure[k - 1];
            if (FDelimiter[k] == c) ++k;
            // The held bytes plus c, less the k that still match, are data.
            if (k == 0) {
                Output(FDelimiter.data(), FMatched);
                Output(&c, 1);
            } else {
                Output(FDelimiter.data(), FMatched + 1 - k);
            }
            FMatched = k;
            if (FMatched == FDelimiter.size()) {
                FMatched = 0;
                EndPart();
                FState = stAfterDelimiter;
                break;
            }
        }
        return AIndex;
    }

    void Output(const uint8_t* AData, size_t ACount) {
        if (FState == stData) FOutput.insert(FOutput.end(), AData, AData + ACount);
    }

    // The current item, unless a handler has taken it out of the list.
    TclHttpRequestItem* CurrentItem() const {
        for (int i = 0; i < FRequest.FItems.Count(); ++i) {
            if (FRequest.FItems.Items(i) == FItem) return FItem;
        }
        return nullptr;
    }

    void FlushOutput() {
        if (FOutput.empty()) return;
        if (TclHttpRequestItem* item = CurrentItem())
            item->AddData(FOutput.data(), static_cast<int64_t>(FOutput.size()));
        FOutput.clear();
    }

    void EndPart() {
        if (FState != stData) return;
        FlushOutput();
        if (TclHttpRequestItem* item = CurrentItem()) item->AfterAddData();
        FItem = nullptr;
    }

    void StartPart() {
        TStringList lines;
        lines.SetText(Trim(FRequest.DecodeText(FHeader)));
        FHeader.clear();
        TclHeaderFieldList fields;
        fields.Parse(0, lines);
        FItem = FRequest.CreateItem(fields);
        FState = stData;
        FMatched = 0;
    }

    TclHttpRequest& FRequest;
    std::vector<uint8_t> FDelimiter;
    std::vector<size_t> FFailure;
    TState FState = stPreamble;
    // As though CR LF had come before the first byte.
    size_t FMatched = 2;
    std::vector<uint8_t> FHeader;
    std::vector<uint8_t> FOutput;
    TclHttpRequestItem* FItem = nullptr;
};

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

void TclHttpRequest::SetRequestStream(TStream& AValue) { ParseBody(AValue); }

std::string TclHttpRequest::DecodeText(const std::vector<uint8_t>& ABytes) {
    return TclTranslator::GetString(ABytes, Header().CharSet());
}

void TclHttpRequest::ParseBody(TStream& AStream) {
    TParseFlag parsing(*this);
    Updating(*this, [&] {
        FItems.Clear();
        // The first line, up to 250 bytes, tells a multipart body by its "--".
        AStream.SetPosition(0);
        std::vector<uint8_t> line;
        uint8_t b;
        while (line.size() < 250 && AStream.Read(&b, 1) == 1) {
            line.push_back(b);
            if (line.size() >= 2 && line[line.size() - 2] == '\r' && line.back() == '\n') {
                line.resize(line.size() - 2);
                break;
            }
        }
        AStream.SetPosition(0);
        const std::string first = TclTranslator::GetString(line, kAnsiCharSet);
        bool parsed = false;
        if (first.compare(0, 2, "--") == 0 && !Trim(first.substr(2)).empty()) {
            Header().SetBoundary(Trim(first.substr(2)));
            ParseMultipartBody(AStream);
            // A text that merely starts with "--" and yields no section is kept as text.
            parsed = FItems.Count() > 0;
        }
        if (!parsed) {
            FItems.Clear();
            Header().SetBoundary(std::string());
            AStream.SetPosition(0);
            ParseTextBody(AStream);
        }
        Header().SetContentType(GetItemsContentType());
        FDataStream.reset();
        FDataStreamItem = nullptr;
    });
}

void TclHttpRequest::ParseMultipartBody(TStream& AStream) {
    const std::vector<uint8_t> boundary = AnsiBytes(Header().Boundary());
    TMultipartParser parser(*this, boundary);
    std::vector<uint8_t> buf(std::max<size_t>(static_cast<size_t>(FBatchSize), boundary.size()));
    for (;;) {
        const int64_t n = AStream.Read(buf.data(), static_cast<int64_t>(buf.size()));
        if (n <= 0) break;
        parser.Feed(buf.data(), static_cast<size_t>(n));
    }
    parser.Finish();
}

// Form fields parsed from a body keep the text as it came, already in its
// encoded form, so they are sent back unchanged rather than encoded twice.
void TclHttpRequest::ParseTextBody(TStream& AStream) {
    const std::string text = DecodeText(ReadAll(AStream));
    if (!IsFormFieldRequest()) {
        AddTextData(text)->AfterAddData();
        return;
    }
    size_t start = 0;
    for (;;) {
        const size_t amp = text.find('&', start);
        const std::string segment = text.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
        const bool last = amp == std::string::npos;
        if (last && Trim(segment).empty()) break;
        const size_t eq = segment.find('=');
        TclFormFieldRequestItem* field =
            AddFormField(Trim(segment.substr(0, eq)), eq == std::string::npos ? "" : Trim(segment.substr(eq + 1)));
        field->SetCanonicalized(false);
        field->AfterAddData();
        if (last) break;
        start = amp + 1;
    }
}

TclHttpRequestItem* TclHttpRequest::CreateItem(const TclHeaderFieldList& AFieldList) {
    FDataStream.reset();
    FDataStreamItem = nullptr;
    const std::string disposition = AFieldList.GetFieldValue("Content-Disposition");
    TclHttpRequestItem* item;
    if (LowerCase(AFieldList.GetFieldValueItem(disposition, "")) != "form-data") {
        item = FItems.Add<TclTextRequestItem>();
    } else {
        const std::string name = AFieldList.GetFieldValueItem(disposition, "name");
        // Only the last path component: a received body must not name a
        // local file that sending the request again would read.
        const std::string fileName = AFieldList.GetFieldValueItem(disposition, "filename");
        if (!fileName.empty()) {
            item = AddSubmitFile(name, fileName.substr(fileName.find_last_of("/\\") + 1));
        } else {
            item = AddFormField(name, std::string());
        }
    }
    item->ParseItemHeader(AFieldList);
    return item;
}

TStream* TclHttpRequest::DataStream(TclHttpRequestItem* AItem) {
    if (FDataStreamItem != AItem) {
        FDataStream.reset();
        FDataStreamItem = AItem;
        DoSaveData(AItem, FDataStream);
    }
    return FDataStream.get();
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

std::string TclHttpRequest::BuildFormPostRequest(const TclHtmlForm& AForm) {
    ResetRequest();
    const bool multipart = SameText(AForm.EncType(), kMultipartFormData);
    Updating(*this, [&] {
        std::string radioName;  // the name of the radio run the previous control belongs to
        for (const TclHtmlControl& control : AForm.Controls()) {
            const std::string name = control.Attribute("name");
            if (name.empty()) continue;
            const std::string type = LowerCase(control.Attribute("type"));
            const std::string value = control.Attribute("value");
            const bool radio = control.TagName == "input" && type == "radio";
            if (control.TagName == "select" || control.TagName == "textarea") {
                AddFormField(name, std::string());
            } else if (control.TagName == "input") {
                if (type.empty() || type == "checkbox" || type == "hidden" || type == "password" || type == "text" ||
                    type == "submit") {
                    AddFormField(name, value);
                } else if (radio && radioName != name) {
                    AddFormField(name, std::string());
                } else if (type == "file") {
                    if (multipart) {
                        // Only the caller names local files: the page's value
                        // would upload whatever path the page chose.
                        AddSubmitFile(name, std::string());
                    } else {
                        AddFormField(name, value);
                    }
                }
            }
            radioName = radio ? name : std::string();
        }
    });
    return AForm.Action();
}

std::string TclHttpRequest::BuildFormPostRequest(const TStrings& AHtml) {
    ResetRequest();
    TclHtmlParser parser;
    parser.Parse(AHtml);
    if (parser.Forms().empty()) return std::string();
    const TclHtmlForm* form = nullptr;
    DoGetHtmlForm(&parser, form);
    return BuildFormPostRequest(form != nullptr ? *form : parser.Forms().front());
}

std::string TclHttpRequest::BuildFormPostRequest(TclHtmlParser& AParser, const std::string& AFormName) {
    ResetRequest();
    if (AParser.Forms().empty()) return std::string();
    const TclHtmlForm* form = AFormName.empty() ? &AParser.Forms().front() : AParser.FormByName(AFormName);
    return form != nullptr ? BuildFormPostRequest(*form) : std::string();
}

std::string TclHttpRequest::BuildFormPostRequest(const TStrings& AHtml, const std::string& AFormName) {
    TclHtmlParser parser;
    parser.Parse(AHtml);
    return BuildFormPostRequest(parser, AFormName);
}

std::string TclHttpRequest::BuildFormPostRequestByUrl(const std::string& AUrl) {
    TStringList html;
    {
        TclHttp http;
        http.Get(AUrl, html);
    }
    const std::string action = BuildFormPostRequest(html);
    TclHtmlParser parser;
    parser.Parse(html);
    // A form whose action is empty posts to the page itself; no form at all
    // gives no address.
    if (parser.Forms().empty()) return std::string();
    TclUrlParser url(Header().CharSet());
    url.Parse(AUrl, action);
    return url.AbsoluteUri();
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
