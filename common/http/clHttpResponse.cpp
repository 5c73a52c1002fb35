// Reading a response of the HTTP client: status line and header (interim
// answers passed over, sizes bounded), the body by chunks, length or close,
// gunzipped, and whether the connection can carry another exchange.
#include "http/clHttp.h"

#include <algorithm>
#include <cctype>

#include "http/clHeaderFieldList.h"
#include "http/clHttpInternal.h"
#include "http/clHttpUtils.h"
#include "http/clZLibStreams.h"
#include "rtl/clCodeTexts.h"
#include "rtl/clStrUtils.h"
#include "rtl/clTranslator.h"

namespace cl {

using namespace httpclient;

namespace {

// Index of the first occurrence of APattern in the bytes from AStart on, or -1.
int64_t IndexOfBytes(const TMemoryStream& AData, int64_t AStart, std::string_view APattern) {
    const auto& bytes = AData.Bytes();
    if (AStart < 0 || static_cast<size_t>(AStart) >= bytes.size()) return -1;
    const auto begin = bytes.begin() + AStart;
    const auto found = std::search(begin, bytes.end(), APattern.begin(), APattern.end());
    return found == bytes.end() ? -1 : found - bytes.begin();
}

// The end of the header beginning at AStart (just past its empty line), or -1.
int64_t HeaderEndOf(const TMemoryStream& AData, int64_t AStart) {
    int64_t terminator = IndexOfBytes(AData, AStart, "\r\n\r\n");
    if (terminator >= 0) return terminator + 4;
    terminator = IndexOfBytes(AData, AStart, "\n\n");
    return terminator >= 0 ? terminator + 2 : -1;
}

// Empty lines before a status line are passed over.
int64_t SkipLineEnds(const TMemoryStream& AData, int64_t AStart) {
    const auto& bytes = AData.Bytes();
    while (static_cast<size_t>(AStart) < bytes.size() &&
           (bytes[static_cast<size_t>(AStart)] == '\r' || bytes[static_cast<size_t>(AStart)] == '\n')) {
        ++AStart;
    }
    return AStart;
}

// An interim answer precedes the final one; 101 ends the exchange instead.
bool IsInterimStatus(int AStatusCode) { return AStatusCode >= 100 && AStatusCode < 200 && AStatusCode != 101; }

constexpr TclCodeText cResponseErrors[] = {
    {cResponseIncomplete, "The connection was closed before the whole response was received"},
    {cResponseHeaderTooLarge, "The response header is too large"},
    {cResponseNoStatusLine, "The response does not begin with a status line"},
    {cResponseBadLength, "The response has an invalid or conflicting Content-Length"},
    {cResponseTooManyInterim, "The response has too many interim answers"},
};

std::string AsciiText(const TMemoryStream& AData, int64_t AFrom, int64_t ATo) {
    if (ATo <= AFrom) return std::string();
    return TclTranslator::GetString(AData.Memory() + AFrom, static_cast<int>(ATo - AFrom), "us-ascii");
}

// Passes written bytes on up to a limit. What arrives past it is either not
// in the body and dropped (lDrop), or the rest of a body read only for its
// text, not kept (lRaise: the write raises EFull after storing
// what fits, so that reading and decoding stop there). Its position counts
// every byte written, which is how the layers below measure what they delivered.
class TclLimitedStream : public TStream {
public:
    enum TclPastLimit { lDrop, lRaise };
    struct EFull {};
    TclLimitedStream(TStream& ADestination, int64_t ALimit, TclPastLimit APastLimit = lDrop)
        : FDestination(ADestination), FLeft(ALimit), FPastLimit(APastLimit) {}
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void* ABuffer, int64_t ACount) override {
        if (ACount <= 0) return 0;
        const int64_t taken = std::min(ACount, FLeft);
        if (taken > 0) FDestination.WriteBuffer(ABuffer, taken);
        FLeft -= taken;
        FPosition += ACount;
        if (taken < ACount && FPastLimit == lRaise) throw EFull{};
        return ACount;
    }
    // Write-only: every seek answers the end.
    int64_t Seek(int64_t, TSeekOrigin) override { return FPosition; }

private:
    TStream& FDestination;
    int64_t FLeft;
    TclPastLimit FPastLimit;
    int64_t FPosition = 0;
};

}  // namespace

// ---- Reading the response ----

bool TclHttp::ReadResponseHeader(TStrings& AResponseHeaderLines, TMemoryStream& AHeaderBuffer) {
    TclTcpClientConnection& connection = *Connection();
    AHeaderBuffer.Clear();
    FStatusCode = 0;
    FStatusText.clear();
    FResponseVersion = FHttpVersion;
    FContentLength = -1;
    connection.SetIsReadUntilClose(false);
    connection.InitProgress(0, 0);

    int64_t start = 0;
    int64_t headerEnd = -1;
    int interim = 0;
    bool first = true;
    while (headerEnd < 0) {
        if (first) {
            // The first read stops near BatchSize, so that a large body is
            // not pulled into the header buffer.
            TclOnScopeExit restoreLimit(
                [&connection, saved = connection.BytesToProceed()] { connection.SetBytesToProceed(saved); });
            connection.SetBytesToProceed(BatchSize());
            first = false;
            connection.ReadData(&AHeaderBuffer);
        } else {
            connection.ReadData(&AHeaderBuffer);
        }
        // Every complete header in the buffer; interim answers are passed over.
        for (;;) {
            start = SkipLineEnds(AHeaderBuffer, start);
            if (!ReadStatusLine(AHeaderBuffer, start)) break;
            const int64_t end = HeaderEndOf(AHeaderBuffer, start);
            if (end < 0) break;
            if (!IsInterimStatus(FStatusCode)) {
                headerEnd = end;
                break;
            }
            if (++interim > kMaxInterimResponses) RaiseResponseError(cResponseTooManyInterim);
            start = end;
        }
        // Interim headers count too: a peer must not fill the memory with
        // a header that never ends, nor with endless interim answers.
        if (headerEnd >= 0) break;
        if (AHeaderBuffer.GetSize() > kMaxResponseHeader) RaiseResponseError(cResponseHeaderTooLarge);
        if (!connection.Active()) RaiseResponseError(cResponseIncomplete);
    }
    if (headerEnd > kMaxResponseHeader) RaiseResponseError(cResponseHeaderTooLarge);

    AResponseHeaderLines.SetText(AsciiText(AHeaderBuffer, start, headerEnd));
    if (AResponseHeaderLines.Count() > kMaxResponseHeaderLines) RaiseResponseError(cResponseHeaderTooLarge);
    AHeaderBuffer.SetPosition(headerEnd);
    FResponseHeader->ParseHeader(AResponseHeaderLines);
    ReadContentLength(AResponseHeaderLines);
    FResponseCookies->GetResponseCookies(AResponseHeaderLines, FUrl->Host(), FUrl->AbsolutePath(), FUrl->Port());
    if (FAllowCookies) CookieManager()->AddCookies(*FResponseCookies);
    bool cancel = false;
    DoReceiveHeader(FMethod, FUrl->AbsoluteUri(), AResponseHeaderLines, *FResponseCookies, cancel);
    return !cancel;
}

bool TclHttp::ReadStatusLine(const TMemoryStream& AHeaderBuffer, int64_t AStart) {
    const auto& bytes = AHeaderBuffer.Bytes();
    const auto size = static_cast<int64_t>(bytes.size());
    // Whatever has arrived must be the start of "HTTP/": anything else is
    // refused now rather than waited on until the time-out.
    static constexpr std::string_view cPrefix = "HTTP/";
    for (int64_t i = 0; i < static_cast<int64_t>(cPrefix.size()) && AStart + i < size; ++i) {
        const char c = static_cast<char>(std::toupper(bytes[static_cast<size_t>(AStart + i)]));
        if (c != cPrefix[static_cast<size_t>(i)]) RaiseResponseError(cResponseNoStatusLine);
    }
    const int64_t lineEnd = IndexOfBytes(AHeaderBuffer, AStart, "\n");
    // A status line that never ends is stopped by the caller's header limit.
    if (lineEnd < 0) return false;
    ParseStatusLine(AsciiText(AHeaderBuffer, AStart, lineEnd));
    return true;
}

void TclHttp::ParseStatusLine(const std::string& ALine) {
    // HTTP-version SP 3DIGIT [SP reason-phrase]; the reason may be missing.
    const std::string line = Trim(ALine);
    const size_t versionEnd = line.find(' ');
    if (versionEnd == std::string::npos) RaiseResponseError(cResponseNoStatusLine);
    const std::string version = UpperCase(line.substr(0, versionEnd));
    FResponseVersion = FHttpVersion;
    if (version == "HTTP/1.0") {
        FResponseVersion = hvHttp1_0;
    } else if (version == "HTTP/1.1") {
        FResponseVersion = hvHttp1_1;
    }
    const size_t codeStart = line.find_first_not_of(' ', versionEnd);
    const bool codeOk = codeStart != std::string::npos && line.size() - codeStart >= 3 &&
                        std::isdigit(static_cast<unsigned char>(line[codeStart])) &&
                        std::isdigit(static_cast<unsigned char>(line[codeStart + 1])) &&
                        std::isdigit(static_cast<unsigned char>(line[codeStart + 2])) &&
                        (line.size() == codeStart + 3 || line[codeStart + 3] == ' ');
    if (!codeOk || line[codeStart] == '0') RaiseResponseError(cResponseNoStatusLine);
    FStatusCode = std::stoi(line.substr(codeStart, 3));
    FStatusText = line.size() > codeStart + 3 ? Trim(line.substr(codeStart + 4)) : std::string();
}

// Every Content-Length field, and every item of a listed one, must be the
// same plain decimal number: a length that cannot be read would drop the
// body, and two lengths let two readers frame the same bytes differently.
void TclHttp::ReadContentLength(TStrings& AResponseHeaderLines) {
    TclHeaderFieldList fields;
    fields.Parse(1, AResponseHeaderLines);
    std::string agreed;
    for (int i = 0; i < fields.FieldList().Count(); ++i) {
        if (Trim(fields.FieldList()[i]) != "content-length") continue;
        const std::string value = fields.GetFieldValue(i);
        size_t from = 0;
        for (;;) {
            const size_t comma = value.find(',', from);
            std::string item = Trim(value.substr(from, comma == std::string::npos ? std::string::npos : comma - from));
            const size_t first = item.find_first_not_of('0');
            item = first == std::string::npos ? (item.empty() ? item : std::string("0")) : item.substr(first);
            const bool digits = !item.empty() && item.find_first_not_of("0123456789") == std::string::npos;
            // Eighteen digits always fit 63 bits.
            if (!digits || item.size() > 18 || (!agreed.empty() && item != agreed)) {
                RaiseResponseError(cResponseBadLength);
            }
            agreed = item;
            if (comma == std::string::npos) break;
            from = comma + 1;
        }
    }
    FContentLength = agreed.empty() ? -1 : std::stoll(agreed);
}

bool TclHttp::HasNoBody() const {
    if (SameText(FMethod, "HEAD")) return true;
    if (SameText(FMethod, "CONNECT") && FStatusCode == 200) return true;
    return (FStatusCode >= 100 && FStatusCode < 200) || FStatusCode == 204 || FStatusCode == 304;
}

int64_t TclHttp::GetResponseLength() {
    if (HasNoBody()) return 0;
    const bool hasLength = FContentLength >= 0;
    if ((FHttpVersion == hvHttp1_1 && FResponseVersion == hvHttp1_1) || hasLength) {
        if (hasLength) return FContentLength;
        if ((FStatusCode & 200) != 200) return 0;
        return -1;
    }
    return -1;
}

bool TclHttp::IsChunked() const { return SameText(FResponseHeader->TransferEncoding(), "chunked"); }

bool TclHttp::IsFramed() {
    // The length rules give 0 to an HTTP/1.1 error response that carries
    // neither a length nor chunked coding; whatever body it has is still on
    // the wire, so such a connection is not used again.
    if (HasNoBody() || IsChunked() || FContentLength >= 0) return true;
    return GetResponseLength() != 0;
}

bool TclHttp::ReadResponseBody(const TStrings& AResponseHeaderLines, TMemoryStream& AHeaderBuffer,
                               TStream& ADestination, int64_t AAlready) {
    TclTcpClientConnection& connection = *Connection();
    FProgressHandled = false;
    bool whole = true;
    if (!HasNoBody()) {
        TclProgressRoute route(connection,
                               [this](TObject*, int64_t ADone, int64_t ATotal) { DoReceiveProgress(ADone, ATotal); });
        std::unique_ptr<TclGZipInflateStream> gzip;
        TStream* destination = &ADestination;
        if (LowerCase(FResponseHeader->ContentEncoding()).find("gzip") != std::string::npos) {
            gzip = std::make_unique<TclGZipInflateStream>(ADestination);
            destination = gzip.get();
        }
        try {
            if (IsChunked()) {
                TclChunkedStream chunked(destination);
                if (AAlready > 0) chunked.CopyFrom(AHeaderBuffer, AAlready);
                connection.InitProgress(AAlready, -1);
                while (connection.Active() && !chunked.IsCompleted()) connection.ReadData(&chunked);
                if (!chunked.IsCompleted()) RaiseResponseError(cResponseIncomplete);
                if (!FProgressHandled) DoReceiveProgress(connection.BytesProceed(), -1);
            } else {
                const int64_t total = GetResponseLength();
                TclLimitedStream body(*destination, total < 0 ? INT64_MAX : total);
                if (AAlready > 0) body.CopyFrom(AHeaderBuffer, AAlready);
                connection.InitProgress(AAlready, total);
                if (total >= 0) {
                    while (connection.Active() && connection.BytesProceed() < total) connection.ReadData(&body);
                    if (connection.BytesProceed() < total) RaiseResponseError(cResponseIncomplete);
                } else if (connection.Active()) {
                    TclOnScopeExit stopReadingUntilClose([&connection] { connection.SetIsReadUntilClose(false); });
                    connection.SetIsReadUntilClose(true);
                    connection.ReadData(&body);
                }
                if (!FProgressHandled) DoReceiveProgress(total, total);
            }
            if (gzip) gzip->Finish();
        } catch (const TclLimitedStream::EFull&) {
            whole = false;
        }
    }
    DoReceiveResponse(FMethod, FUrl->AbsoluteUri(), AResponseHeaderLines, *FResponseCookies);
    return whole;
}

void TclHttp::RaiseResponseError(int ACode) {
    const char* text = FindCodeText(cResponseErrors, ACode);
    throw EclTcpClientError(text != nullptr ? text : "The response is malformed", ACode);
}

void TclHttp::ReadResponse(const TStrings& AResponseHeaderLines, TMemoryStream& AHeaderBuffer, TStream* ADestination,
                           int64_t AAlready) {
    if (SameText(FMethod, "HEAD")) return;
    TclNullStream nowhere;
    ReadResponseBody(AResponseHeaderLines, AHeaderBuffer, ADestination ? *ADestination : nowhere, AAlready);
}

bool TclHttp::ReadResponseText(const TStrings& AResponseHeaderLines, TMemoryStream& AHeaderBuffer,
                               TStrings& AResponseText, int64_t AAlready) {
    if (SameText(FMethod, "HEAD")) {
        AResponseText.Clear();
        return true;
    }
    TMemoryStream body;
    TclLimitedStream prefix(body, kMaxResponseText, TclLimitedStream::lRaise);
    const bool whole = ReadResponseBody(AResponseHeaderLines, AHeaderBuffer, prefix, AAlready);
    AResponseText.SetText(TclTranslator::GetString(body.Bytes(), GetResponseCharSet()));
    return whole;
}

void TclHttp::SaveResponseText(const TStrings& AResponseText, TStream* ADestination) {
    if (ADestination) ADestination->WriteBuffer(TclTranslator::GetBytes(AResponseText.Text(), GetResponseCharSet()));
}

bool TclHttp::IsKeepAlive() const {
    // After 101 the connection speaks another protocol.
    if (FStatusCode == 101) return false;
    const std::string& field = IsUseProxy() ? FResponseHeader->ProxyConnection() : FResponseHeader->Connection();
    bool result;
    if (FHttpVersion == hvHttp1_1 && FResponseVersion == hvHttp1_1) {
        result = !SameText(field, "close");
    } else {
        result = SameText(field, "Keep-Alive");
    }
    return result && FKeepConnection;
}

}  // namespace cl
