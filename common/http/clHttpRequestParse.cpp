// Reading a body back into the request's items: a multipart body through a
// decoder that takes it in pieces of any size, anything else as form fields
// or one text.
#include "http/clHttpRequest.h"

#include <algorithm>
#include <cstring>

#include "http/clHttpRequestInternal.h"
#include "rtl/clStrUtils.h"
#include "rtl/clTranslator.h"

namespace cl {

using namespace httprequest;

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

}  // namespace cl
