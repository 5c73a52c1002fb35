// Typed HTTP headers: the well-known fields of a message as properties, read
// from header lines (ParseHeader) and written as header lines (AssignHeader);
// every other field travels verbatim in ExtraFields.
#pragma once

#include <string>

#include "http/clHeaderFieldList.h"
#include "rtl/clEvents.h"
#include "rtl/clStringList.h"

namespace cl {

#define CL_HEADER_PROPERTY(Name)                        \
    const std::string& Name() const { return F##Name; } \
    void Set##Name(const std::string& AValue) { SetProperty(F##Name, AValue); }

class TclHttpEntityHeader : public TObject {
public:
    TclHttpEntityHeader();
    ~TclHttpEntityHeader() override;
    TclHttpEntityHeader(const TclHttpEntityHeader&) = delete;
    TclHttpEntityHeader& operator=(const TclHttpEntityHeader&) = delete;

    virtual void Clear();
    // Copies the entity properties (ExtraFields included) and, when ASource
    // is of this class, the class's own.
    virtual void Assign(const TclHttpEntityHeader& ASource);
    void ParseHeader(const TStrings& AHeader);
    // Appends the fields after the lines already in AHeader.
    void AssignHeader(TStrings& AHeader);

    void Update();
    void BeginUpdate() { ++FUpdateCount; }
    void EndUpdate();

    CL_HEADER_PROPERTY(Boundary)
    CL_HEADER_PROPERTY(CharSet)
    CL_HEADER_PROPERTY(CacheControl)
    CL_HEADER_PROPERTY(Connection)
    CL_HEADER_PROPERTY(ContentEncoding)
    CL_HEADER_PROPERTY(ContentLanguage)
    CL_HEADER_PROPERTY(ContentLength)
    CL_HEADER_PROPERTY(ContentType)
    CL_HEADER_PROPERTY(ContentVersion)
    CL_HEADER_PROPERTY(Date)
    CL_HEADER_PROPERTY(Expires)
    CL_HEADER_PROPERTY(LastModified)
    CL_HEADER_PROPERTY(ProxyConnection)
    CL_HEADER_PROPERTY(TransferEncoding)

    TStrings& ExtraFields() { return FExtraFields; }
    const TStrings& ExtraFields() const { return FExtraFields; }
    void SetExtraFields(const TStrings& AValue) { FExtraFields.Assign(AValue); }
    const TStrings& KnownFields() const { return FKnownFields; }

    TNotifyEvent OnChanged;

protected:
    void SetProperty(std::string& AField, const std::string& AValue);
    void RegisterField(const char* AName) { FKnownFields.Add(AName); }
    void WatchList(TStrings& AList);

    virtual void InternalParseHeader(const TclHeaderFieldList& AFieldList);
    virtual void InternalAssignHeader(TclHeaderFieldList& AFieldList);
    virtual void ParseContentType(const TclHeaderFieldList& AFieldList);
    virtual void AssignContentType(TclHeaderFieldList& AFieldList);

    // Reads a field into a property, and writes one unless it is empty.
    void ParseField(const TclHeaderFieldList& AFieldList, const char* AName, std::string& AField);

private:
    void ClearEntity();
    void AssignEntity(const TclHttpEntityHeader& ASource);

    int FUpdateCount = 0;
    TStringList FKnownFields;
    TStringList FExtraFields;
    std::string FBoundary, FCharSet, FCacheControl, FConnection, FContentEncoding, FContentLanguage, FContentLength,
        FContentType, FContentVersion, FDate, FExpires, FLastModified, FProxyConnection, FTransferEncoding;
};

class TclHttpRequestHeader : public TclHttpEntityHeader {
public:
    TclHttpRequestHeader();

    void Clear() override;
    void Assign(const TclHttpEntityHeader& ASource) override;

    CL_HEADER_PROPERTY(Accept)
    CL_HEADER_PROPERTY(AcceptCharSet)
    CL_HEADER_PROPERTY(AcceptEncoding)
    CL_HEADER_PROPERTY(AcceptLanguage)
    CL_HEADER_PROPERTY(Authorization)
    CL_HEADER_PROPERTY(Host)
    CL_HEADER_PROPERTY(ProxyAuthorization)
    CL_HEADER_PROPERTY(Range)
    CL_HEADER_PROPERTY(Referer)
    CL_HEADER_PROPERTY(UserAgent)

protected:
    void InternalParseHeader(const TclHeaderFieldList& AFieldList) override;
    void InternalAssignHeader(TclHeaderFieldList& AFieldList) override;

private:
    void ClearRequest();

    std::string FAccept, FAcceptCharSet, FAcceptEncoding, FAcceptLanguage, FAuthorization, FHost, FProxyAuthorization,
        FRange, FReferer, FUserAgent;
};

class TclHttpResponseHeader : public TclHttpEntityHeader {
public:
    TclHttpResponseHeader();

    void Clear() override;
    void Assign(const TclHttpEntityHeader& ASource) override;

    CL_HEADER_PROPERTY(AcceptRanges)
    CL_HEADER_PROPERTY(Age)
    CL_HEADER_PROPERTY(Allow)
    CL_HEADER_PROPERTY(ContentRange)
    CL_HEADER_PROPERTY(ContentDisposition)
    CL_HEADER_PROPERTY(ETag)
    CL_HEADER_PROPERTY(Location)
    CL_HEADER_PROPERTY(RetryAfter)
    CL_HEADER_PROPERTY(Server)

    // The values of every WWW-Authenticate and Proxy-Authenticate field, in order.
    TStrings& Authenticate() { return FAuthenticate; }
    const TStrings& Authenticate() const { return FAuthenticate; }
    TStrings& ProxyAuthenticate() { return FProxyAuthenticate; }
    const TStrings& ProxyAuthenticate() const { return FProxyAuthenticate; }

protected:
    void InternalParseHeader(const TclHeaderFieldList& AFieldList) override;
    void InternalAssignHeader(TclHeaderFieldList& AFieldList) override;

private:
    void ClearResponse();

    TStringList FAuthenticate;
    TStringList FProxyAuthenticate;
    std::string FAcceptRanges, FAge, FAllow, FContentRange, FContentDisposition, FETag, FLocation, FRetryAfter, FServer;
};

#undef CL_HEADER_PROPERTY

}  // namespace cl
