// The items of a request body (text, form field, binary data, file upload),
// the list that owns them, and the stream that sends them back to back.
#include "http/clHttpRequest.h"

#include <algorithm>

#include "http/clHttpRequestInternal.h"
#include "rtl/clException.h"
#include "rtl/clStrUtils.h"
#include "rtl/clTranslator.h"

namespace cl {

using namespace httprequest;

namespace {

constexpr const char* kModule = "clHttpRequest";

// Text placed in a part's header: a line break would add header lines of its
// own, a quote would end a quoted name early.
void CheckPartHeaderText(const std::string& AText, bool AQuoted) {
    if (AText.find_first_of(AQuoted ? "\"\r\n" : "\r\n") != std::string::npos) {
        throw Exception("A form part name holds a quote or a line break: " + AText.substr(0, 64));
    }
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

}  // namespace cl
