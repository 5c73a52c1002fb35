// URLs: splitting a text into scheme, user, password, host, port, path, query
// and fragment; resolving a relative reference against a base; composing the
// percent-encoded request target and full address; the URL type and default
// port of a scheme; the local file name that belongs to an address.
#pragma once

#include <string>

#include "rtl/clEvents.h"

namespace cl {

enum TclUrlType { utUnknown, utFTP, utGOPHER, utHTTP, utHTTPS, utFILE, utNEWS, utMAILTO };

// "ftp" 21, "gopher" 70, "http" 80, "https" 443 (ASCII case ignored), any
// other scheme 0.
int GetDefaultPort(const std::string& AScheme);
// The type named by a lower-case scheme; anything else is utUnknown.
TclUrlType GetUrlType(const std::string& AScheme);

class TclUrlParser : public TObject {
public:
    TclUrlParser() = default;
    explicit TclUrlParser(std::string ACharSet) : FCharSet(std::move(ACharSet)) {}

    // Every part empty, port 0; CharSet stays.
    void Clear();
    // Copies every part except CharSet.
    virtual void Assign(const TclUrlParser& ASource);

    // Splits AFullUrl; an empty scheme with a host becomes "http", a port of
    // 0 the scheme's default. Never fails: malformed parts land in whatever
    // field the splitting gives them.
    void Parse(const std::string& AFullUrl);
    // Resolves ARelativeUrl against ABaseUrl into this parser. The query and
    // fragment are always those of ARelativeUrl.
    void Parse(const std::string& ABaseUrl, const std::string& ARelativeUrl);

    // Percent-encodes the bytes of AUrl in ACharSet (empty: the ANSI code
    // page). Escapes already present and reserved characters stay as they are.
    static std::string EncodeUrl(const std::string& AUrl, const std::string& ACharSet);
    // Replaces every %XX escape of AText by its byte; other text stays.
    static std::string DecodeUrl(const std::string& AText);

    // Parses AFullUrl into this parser and answers ALocalFolder + "/" + the
    // last path segment (ALocalFolder alone when the address is empty).
    std::string GetLocalFileByURL(const std::string& AFullUrl, const std::string& ALocalFolder);
    // Parses AFullUrl into this parser, replaces its last path segment by the
    // file name of ALocalFile and answers AbsoluteUri.
    std::string GetURLByLocalFile(const std::string& AFullUrl, const std::string& ALocalFile);

    // Lower-cased by parsing.
    const std::string& Scheme() const { return FScheme; }
    void SetScheme(const std::string& AValue) { FScheme = AValue; }
    // From the first "/" on, without query and fragment.
    const std::string& Path() const { return FPath; }
    void SetPath(const std::string& AValue) { FPath = AValue; }
    const std::string& UserName() const { return FUserName; }
    void SetUserName(const std::string& AValue) { FUserName = AValue; }
    // Including its leading "?".
    const std::string& QueryString() const { return FQueryString; }
    void SetQueryString(const std::string& AValue) { FQueryString = AValue; }
    // As written in the address (an IPv6 literal keeps its brackets); only
    // AbsoluteUri carries the ASCII form of a non-ASCII name.
    const std::string& Host() const { return FHost; }
    void SetHost(const std::string& AValue) { FHost = AValue; }
    const std::string& Password() const { return FPassword; }
    void SetPassword(const std::string& AValue) { FPassword = AValue; }
    // 0 = none. Values outside 0..65535 are ignored.
    int Port() const { return FPort; }
    void SetPort(int AValue);
    // Charset of the percent-encoding; empty = the ANSI code page.
    const std::string& CharSet() const { return FCharSet; }
    void SetCharSet(const std::string& AValue) { FCharSet = AValue; }
    // Including its leading "#".
    const std::string& Fragment() const { return FFragment; }
    void SetFragment(const std::string& AValue) { FFragment = AValue; }

    TclUrlType UrlType() const { return GetUrlType(FScheme); }
    // The request target: path, query and fragment, percent-encoded; "*"
    // when the host is "*".
    std::string AbsolutePath() const;
    // Scheme, user information, host (ASCII form), port when not the
    // default, then AbsolutePath's text. Raises EclIdnError only for a host
    // label that cannot be encoded.
    std::string AbsoluteUri() const;

private:
    void SplitUrl(const std::string& AText);
    std::string GetUrlPrefix() const;
    std::string GetPathAndQuery() const;

    std::string FScheme;
    std::string FPath;
    std::string FUserName;
    std::string FQueryString;
    std::string FHost;
    std::string FPassword;
    int FPort = 0;
    std::string FCharSet;
    std::string FFragment;
};

}  // namespace cl
