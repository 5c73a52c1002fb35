// Temporary stand-in until the request object lands: header only, no items.
#include "clHttpRequest.h"

#include <map>

namespace cl {

namespace {
TclHttpRequestHeader& StubHeader(const TclHttpRequest* ARequest) {
    static std::map<const TclHttpRequest*, std::unique_ptr<TclHttpRequestHeader>> headers;
    auto& h = headers[ARequest];
    if (!h) h = std::make_unique<TclHttpRequestHeader>();
    return *h;
}
TStringList& StubLines(const TclHttpRequest* ARequest) {
    static std::map<const TclHttpRequest*, std::unique_ptr<TStringList>> lines;
    auto& l = lines[ARequest];
    if (!l) l = std::make_unique<TStringList>();
    return *l;
}
}  // namespace

TclHttpRequest::TclHttpRequest() = default;
TclHttpRequest::~TclHttpRequest() = default;
TclHttpRequestHeader& TclHttpRequest::Header() { return StubHeader(this); }
void TclHttpRequest::SetHeader(const TclHttpRequestHeader& AValue) { Header().Assign(AValue); }
const TStrings& TclHttpRequest::HeaderSource() {
    TStringList& l = StubLines(this);
    l.Clear();
    Header().AssignHeader(l);
    return l;
}
void TclHttpRequest::SetHeaderSource(const TStrings& AValue) { Header().ParseHeader(AValue); }
const TStrings& TclHttpRequest::RequestSource() {
    static TStringList empty;
    return empty;
}
void TclHttpRequest::SetRequestSource(const TStrings&) {}
std::unique_ptr<TStream> TclHttpRequest::RequestStream() { return std::make_unique<TMemoryStream>(); }
void TclHttpRequest::SetRequestStream(TStream&) {}
int64_t TclHttpRequest::TotalSize() { return 0; }
void TclHttpRequest::Clear() { Header().Clear(); }
void TclHttpRequest::Assign(const TclHttpRequest&) {}

}  // namespace cl
