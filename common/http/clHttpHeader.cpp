#include "http/clHttpHeader.h"

namespace cl {

// ---- entity ----

TclHttpEntityHeader::TclHttpEntityHeader() {
    WatchList(FExtraFields);
    for (const char* name :
         {"Cache-Control", "Connection", "Content-Encoding", "Content-Language", "Content-Length", "Content-Type",
          "Content-Version", "Date", "Expires", "Last-Modified", "Proxy-Connection", "Transfer-Encoding"}) {
        RegisterField(name);
    }
    ClearEntity();
}

TclHttpEntityHeader::~TclHttpEntityHeader() = default;

void TclHttpEntityHeader::WatchList(TStrings& AList) {
    AList.OnChange = [this](TObject*) { Update(); };
}

void TclHttpEntityHeader::Update() {
    if (FUpdateCount == 0 && OnChanged) OnChanged(this);
}

void TclHttpEntityHeader::EndUpdate() {
    if (FUpdateCount > 0) --FUpdateCount;
    Update();
}

void TclHttpEntityHeader::SetProperty(std::string& AField, const std::string& AValue) {
    if (AField == AValue) return;
    AField = AValue;
    Update();
}

void TclHttpEntityHeader::ClearEntity() {
    for (std::string* field :
         {&FBoundary, &FCharSet, &FCacheControl, &FConnection, &FContentEncoding, &FContentLanguage, &FContentLength,
          &FContentType, &FContentVersion, &FDate, &FExpires, &FLastModified, &FProxyConnection, &FTransferEncoding}) {
        SetProperty(*field, std::string());
    }
    FExtraFields.Clear();
}

void TclHttpEntityHeader::Clear() {
    BeginUpdate();
    ClearEntity();
    EndUpdate();
}

void TclHttpEntityHeader::AssignEntity(const TclHttpEntityHeader& ASource) {
    SetBoundary(ASource.FBoundary);
    SetCharSet(ASource.FCharSet);
    SetCacheControl(ASource.FCacheControl);
    SetConnection(ASource.FConnection);
    SetContentEncoding(ASource.FContentEncoding);
    SetContentLanguage(ASource.FContentLanguage);
    SetContentLength(ASource.FContentLength);
    SetContentType(ASource.FContentType);
    SetContentVersion(ASource.FContentVersion);
    SetDate(ASource.FDate);
    SetExpires(ASource.FExpires);
    SetLastModified(ASource.FLastModified);
    SetProxyConnection(ASource.FProxyConnection);
    SetTransferEncoding(ASource.FTransferEncoding);
    FExtraFields.Assign(ASource.FExtraFields);
}

void TclHttpEntityHeader::Assign(const TclHttpEntityHeader& ASource) {
    if (&ASource == this) return;
    BeginUpdate();
    AssignEntity(ASource);
    EndUpdate();
}

void TclHttpEntityHeader::ParseField(const TclHeaderFieldList& AFieldList, const char* AName, std::string& AField) {
    SetProperty(AField, AFieldList.GetFieldValue(std::string(AName)));
}

void TclHttpEntityHeader::ParseHeader(const TStrings& AHeader) {
    BeginUpdate();
    try {
        Clear();
        TStringList lines(AHeader);
        TclHeaderFieldList fieldList;
        fieldList.Parse(0, lines);
        InternalParseHeader(fieldList);
        for (int i = 0; i < fieldList.FieldList().Count(); ++i) {
            const std::string name = fieldList.GetFieldName(i);
            if (FKnownFields.IndexOf(name) < 0) FExtraFields.Add(name + ": " + fieldList.GetFieldValue(i));
        }
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

void TclHttpEntityHeader::AssignHeader(TStrings& AHeader) {
    TclHeaderFieldList fieldList;
    fieldList.Parse(0, AHeader);
    InternalAssignHeader(fieldList);
}

void TclHttpEntityHeader::InternalParseHeader(const TclHeaderFieldList& AFieldList) {
    ParseField(AFieldList, "Cache-Control", FCacheControl);
    ParseField(AFieldList, "Connection", FConnection);
    ParseField(AFieldList, "Content-Encoding", FContentEncoding);
    ParseField(AFieldList, "Content-Language", FContentLanguage);
    ParseField(AFieldList, "Content-Length", FContentLength);
    ParseField(AFieldList, "Content-Version", FContentVersion);
    ParseField(AFieldList, "Date", FDate);
    ParseField(AFieldList, "Expires", FExpires);
    ParseField(AFieldList, "Last-Modified", FLastModified);
    ParseField(AFieldList, "Proxy-Connection", FProxyConnection);
    ParseField(AFieldList, "Transfer-Encoding", FTransferEncoding);
    ParseContentType(AFieldList);
}

void TclHttpEntityHeader::ParseContentType(const TclHeaderFieldList& AFieldList) {
    const std::string value = AFieldList.GetFieldValue(std::string("Content-Type"));
    SetContentType(AFieldList.GetFieldValueItem(value, std::string()));
    SetBoundary(AFieldList.GetFieldValueItem(value, "boundary"));
    SetCharSet(AFieldList.GetFieldValueItem(value, "charset"));
}

void TclHttpEntityHeader::AssignContentType(TclHeaderFieldList& AFieldList) {
    if (FContentType.empty()) return;
    AFieldList.AddField("Content-Type", FContentType);
    // The field just added is the last one of the header.
    const int index = AFieldList.FieldList().Count() - 1;
    AFieldList.AddFieldItem(index, "boundary", FBoundary);
    AFieldList.AddFieldItem(index, "charset", FCharSet);
}

void TclHttpEntityHeader::InternalAssignHeader(TclHeaderFieldList& AFieldList) {
    AFieldList.AddField("Content-Encoding", FContentEncoding);
    AFieldList.AddField("Content-Language", FContentLanguage);
    AFieldList.AddField("Content-Length", FContentLength);
    AFieldList.AddField("Content-Version", FContentVersion);
    AssignContentType(AFieldList);
    AFieldList.AddField("Date", FDate);
    AFieldList.AddField("Expires", FExpires);
    AFieldList.AddField("Last-Modified", FLastModified);
    AFieldList.AddField("Transfer-Encoding", FTransferEncoding);
    AFieldList.AddField("Cache-Control", FCacheControl);
    AFieldList.AddField("Connection", FConnection);
    AFieldList.AddField("Proxy-Connection", FProxyConnection);
    AFieldList.AddFields(FExtraFields);
}

// ---- request ----

TclHttpRequestHeader::TclHttpRequestHeader() {
    for (const char* name : {"Accept", "Accept-Charset", "Accept-Encoding", "Accept-Language", "Authorization", "Host",
                             "Proxy-Authorization", "Range", "Referer", "User-Agent"}) {
        RegisterField(name);
    }
    ClearRequest();
    FAccept = "*/*";
}

void TclHttpRequestHeader::ClearRequest() {
    for (std::string* field : {&FAccept, &FAcceptCharSet, &FAcceptEncoding, &FAcceptLanguage, &FAuthorization, &FHost,
                               &FProxyAuthorization, &FRange, &FReferer, &FUserAgent}) {
        SetProperty(*field, std::string());
    }
}

void TclHttpRequestHeader::Clear() {
    BeginUpdate();
    TclHttpEntityHeader::Clear();
    ClearRequest();
    SetAccept("*/*");
    EndUpdate();
}

void TclHttpRequestHeader::Assign(const TclHttpEntityHeader& ASource) {
    if (&ASource == this) return;
    BeginUpdate();
    TclHttpEntityHeader::Assign(ASource);
    if (const auto* src = dynamic_cast<const TclHttpRequestHeader*>(&ASource)) {
        SetAccept(src->FAccept);
        SetAcceptCharSet(src->FAcceptCharSet);
        SetAcceptEncoding(src->FAcceptEncoding);
        SetAcceptLanguage(src->FAcceptLanguage);
        SetAuthorization(src->FAuthorization);
        SetHost(src->FHost);
        SetProxyAuthorization(src->FProxyAuthorization);
        SetRange(src->FRange);
        SetReferer(src->FReferer);
        SetUserAgent(src->FUserAgent);
    }
    EndUpdate();
}

void TclHttpRequestHeader::InternalParseHeader(const TclHeaderFieldList& AFieldList) {
    TclHttpEntityHeader::InternalParseHeader(AFieldList);
    ParseField(AFieldList, "Accept", FAccept);
    ParseField(AFieldList, "Accept-Charset", FAcceptCharSet);
    ParseField(AFieldList, "Accept-Encoding", FAcceptEncoding);
    ParseField(AFieldList, "Accept-Language", FAcceptLanguage);
    ParseField(AFieldList, "Authorization", FAuthorization);
    ParseField(AFieldList, "Host", FHost);
    ParseField(AFieldList, "Proxy-Authorization", FProxyAuthorization);
    ParseField(AFieldList, "Range", FRange);
    ParseField(AFieldList, "Referer", FReferer);
    ParseField(AFieldList, "User-Agent", FUserAgent);
}

void TclHttpRequestHeader::InternalAssignHeader(TclHeaderFieldList& AFieldList) {
    AFieldList.AddField("Accept", FAccept);
    AFieldList.AddField("Accept-Charset", FAcceptCharSet);
    AFieldList.AddField("Accept-Encoding", FAcceptEncoding);
    AFieldList.AddField("Accept-Language", FAcceptLanguage);
    AFieldList.AddField("Range", FRange);
    AFieldList.AddField("Referer", FReferer);
    AFieldList.AddField("Host", FHost);
    AFieldList.AddField("User-Agent", FUserAgent);
    AFieldList.AddField("Authorization", FAuthorization);
    AFieldList.AddField("Proxy-Authorization", FProxyAuthorization);
    TclHttpEntityHeader::InternalAssignHeader(AFieldList);
}

// ---- response ----

TclHttpResponseHeader::TclHttpResponseHeader() {
    WatchList(FAuthenticate);
    WatchList(FProxyAuthenticate);
    for (const char* name :
         {"Accept-Ranges", "Age", "Allow", "WWW-Authenticate", "Content-Range", "Content-Disposition", "ETag",
          "Location", "Proxy-Authenticate", "Retry-After", "Server"}) {
        RegisterField(name);
    }
}

void TclHttpResponseHeader::ClearResponse() {
    for (std::string* field : {&FAcceptRanges, &FAge, &FAllow, &FContentRange, &FContentDisposition, &FETag, &FLocation,
                               &FRetryAfter, &FServer}) {
        SetProperty(*field, std::string());
    }
    FAuthenticate.Clear();
    FProxyAuthenticate.Clear();
}

void TclHttpResponseHeader::Clear() {
    BeginUpdate();
    TclHttpEntityHeader::Clear();
    ClearResponse();
    EndUpdate();
}

void TclHttpResponseHeader::Assign(const TclHttpEntityHeader& ASource) {
    if (&ASource == this) return;
    BeginUpdate();
    TclHttpEntityHeader::Assign(ASource);
    if (const auto* src = dynamic_cast<const TclHttpResponseHeader*>(&ASource)) {
        SetAcceptRanges(src->FAcceptRanges);
        SetAge(src->FAge);
        SetAllow(src->FAllow);
        FAuthenticate.Assign(src->FAuthenticate);
        SetContentRange(src->FContentRange);
        SetContentDisposition(src->FContentDisposition);
        SetETag(src->FETag);
        SetLocation(src->FLocation);
        FProxyAuthenticate.Assign(src->FProxyAuthenticate);
        SetRetryAfter(src->FRetryAfter);
        SetServer(src->FServer);
    }
    EndUpdate();
}

void TclHttpResponseHeader::InternalParseHeader(const TclHeaderFieldList& AFieldList) {
    TclHttpEntityHeader::InternalParseHeader(AFieldList);
    ParseField(AFieldList, "Accept-Ranges", FAcceptRanges);
    ParseField(AFieldList, "Age", FAge);
    ParseField(AFieldList, "Allow", FAllow);
    ParseField(AFieldList, "Content-Range", FContentRange);
    ParseField(AFieldList, "Content-Disposition", FContentDisposition);
    ParseField(AFieldList, "ETag", FETag);
    ParseField(AFieldList, "Location", FLocation);
    ParseField(AFieldList, "Retry-After", FRetryAfter);
    ParseField(AFieldList, "Server", FServer);
    for (int i = 0; i < AFieldList.FieldList().Count(); ++i) {
        const std::string& name = AFieldList.FieldList()[i];
        if (name == "www-authenticate") FAuthenticate.Add(AFieldList.GetFieldValue(i));
        if (name == "proxy-authenticate") FProxyAuthenticate.Add(AFieldList.GetFieldValue(i));
    }
}

void TclHttpResponseHeader::InternalAssignHeader(TclHeaderFieldList& AFieldList) {
    AFieldList.AddField("Allow", FAllow);
    AFieldList.AddField("Accept-Ranges", FAcceptRanges);
    AFieldList.AddField("Age", FAge);
    AFieldList.AddField("Content-Range", FContentRange);
    AFieldList.AddField("Content-Disposition", FContentDisposition);
    AFieldList.AddField("ETag", FETag);
    AFieldList.AddField("Location", FLocation);
    AFieldList.AddField("Retry-After", FRetryAfter);
    AFieldList.AddField("Server", FServer);
    for (int i = 0; i < FAuthenticate.Count(); ++i) AFieldList.AddField("WWW-Authenticate", FAuthenticate[i]);
    for (int i = 0; i < FProxyAuthenticate.Count(); ++i) {
        AFieldList.AddField("Proxy-Authenticate", FProxyAuthenticate[i]);
    }
    TclHttpEntityHeader::InternalAssignHeader(AFieldList);
}

}  // namespace cl
