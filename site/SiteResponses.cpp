// Answer bodies, faults and ranges.
#include "site/SiteResponses.h"

#include <algorithm>
#include <cctype>

namespace vidsite {

namespace {

constexpr int64_t kPiece = 16 * 1024;
constexpr std::chrono::milliseconds kRateTick{50};

// Writes ABody from AAt up to AEnd in pieces at the rate; false when the
// answer must end here (the client left, the site stops, a fault).
bool WritePieces(const std::string& ABody, int64_t AOffset, int64_t& AAt, int64_t AEnd, const TSiteFault& AFault,
                 int64_t ARate, httplib::DataSink& ASink, TStopSignal& AStop) {
    const int64_t piece = ARate > 0 ? std::max<int64_t>(1, ARate * kRateTick.count() / 1000) : kPiece;
    while (AAt < AEnd) {
        int64_t count = std::min(piece, AEnd - AAt);
        for (const int64_t limit : {AFault.DropAfterBytes, AFault.StallAfterBytes}) {
            if (limit >= 0 && AAt < limit) count = std::min(count, limit - AAt);
        }
        if (AFault.StallAfterBytes >= 0 && AAt >= AFault.StallAfterBytes) {
            AStop.WaitForStop();
            return false;
        }
        if (AFault.DropAfterBytes >= 0 && AAt >= AFault.DropAfterBytes) return false;
        if (!ASink.write(ABody.data() + AOffset + AAt, static_cast<size_t>(count))) return false;
        AAt += count;
        if (ARate > 0 && !AStop.SleepFor(kRateTick)) return false;
        if (AStop.Stopped()) return false;
    }
    return true;
}

bool ParseNumber(const std::string& AText, int64_t& AValue) {
    if (AText.empty() || AText.size() > 18 ||
        !std::all_of(AText.begin(), AText.end(), [](unsigned char c) { return std::isdigit(c); }))
        return false;
    AValue = std::stoll(AText);
    return true;
}

}  // namespace

void TStopSignal::Stop() {
    {
        std::lock_guard<std::mutex> guard(FLock);
        FStopped = true;
    }
    FWake.notify_all();
}

bool TStopSignal::Stopped() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FStopped;
}

bool TStopSignal::SleepFor(std::chrono::milliseconds ADuration) {
    std::unique_lock<std::mutex> lock(FLock);
    return !FWake.wait_for(lock, ADuration, [this] { return FStopped; });
}

void TStopSignal::WaitForStop() { SleepFor(std::chrono::minutes(5)); }

TRangeAnswer ResolveRange(const std::string& ARangeHeader, int64_t ASize, TByteRange& ARange) {
    static const std::string kUnit = "bytes=";
    if (ARangeHeader.compare(0, kUnit.size(), kUnit) != 0) return TRangeAnswer::Whole;
    const std::string spec = ARangeHeader.substr(kUnit.size());
    const size_t dash = spec.find('-');
    if (dash == std::string::npos || spec.find(',') != std::string::npos) return TRangeAnswer::Whole;
    const std::string first = spec.substr(0, dash), last = spec.substr(dash + 1);
    int64_t a = 0, b = 0;
    if (first.empty()) {  // the last b bytes
        if (!ParseNumber(last, b)) return TRangeAnswer::Whole;
        if (b == 0 || ASize == 0) return TRangeAnswer::Unsatisfiable;
        ARange = {std::max<int64_t>(0, ASize - b), ASize - 1};
        return TRangeAnswer::Partial;
    }
    if (!ParseNumber(first, a)) return TRangeAnswer::Whole;
    if (last.empty()) {
        b = ASize - 1;
    } else if (!ParseNumber(last, b) || b < a) {
        return TRangeAnswer::Whole;
    }
    if (a >= ASize) return TRangeAnswer::Unsatisfiable;
    ARange = {a, std::min(b, ASize - 1)};
    return TRangeAnswer::Partial;
}

void SendBody(httplib::Response& AResponse, std::shared_ptr<const std::string> ABody, int64_t AOffset, int64_t ALength,
              const std::string& AContentType, const TBodyOptions& AOptions, TStopSignal& AStop) {
    const TSiteFault fault = AOptions.Fault;
    const int64_t rate = fault.RateBytesPerSecond > 0 ? fault.RateBytesPerSecond : AOptions.RateBytesPerSecond;
    const int64_t declared = std::max<int64_t>(0, ALength + fault.LengthDelta);
    if (declared == 0) {  // an empty provider would mean "until the connection closes"
        AResponse.set_content(std::string(), AContentType);
        return;
    }
    if (fault.EndlessBody) {
        // Sent as plain bytes: cpp-httplib would compress a chunked text
        // body on its own for a client that accepts gzip.
        AResponse.set_chunked_content_provider("application/octet-stream", [ABody, AOffset, ALength, fault, rate,
                                                                            &AStop](size_t, httplib::DataSink& ASink) {
            int64_t at = 0;
            return ALength > 0 && WritePieces(*ABody, AOffset, at, ALength, fault, rate, ASink, AStop);
        });
        return;
    }
    // The provider is called with positions in the declared length; it
    // writes the real bytes, so a length that claims fewer sends more, and
    // one that claims more ends with the connection closed short.
    AResponse.set_content_provider(
        static_cast<size_t>(declared), AContentType,
        [ABody, AOffset, ALength, fault, rate, &AStop](size_t APosition, size_t ACount, httplib::DataSink& ASink) {
            int64_t at = static_cast<int64_t>(APosition);
            if (at >= ALength) return false;
            const int64_t end = fault.LengthDelta < 0 ? ALength : std::min<int64_t>(ALength, at + ACount);
            return WritePieces(*ABody, AOffset, at, end, fault, rate, ASink, AStop);
        });
}

void SendText(httplib::Response& AResponse, std::string AText, const std::string& AContentType,
              const TBodyOptions& AOptions, TStopSignal& AStop) {
    auto body = std::make_shared<const std::string>(std::move(AText));
    const int64_t size = static_cast<int64_t>(body->size());
    SendBody(AResponse, std::move(body), 0, size, AContentType, AOptions, AStop);
}

bool AcceptsGzip(const httplib::Request& ARequest) {
    std::string value = ARequest.get_header_value("Accept-Encoding");
    std::transform(value.begin(), value.end(), value.begin(), [](unsigned char c) { return std::tolower(c); });
    return value.find("gzip") != std::string::npos && value.find("gzip;q=0") == std::string::npos;
}

}  // namespace vidsite
