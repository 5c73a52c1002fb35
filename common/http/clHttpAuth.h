// HTTP authorization: the process-wide registry of schemes that answers a
// 401 or 407 challenge with the value of the next Authorization field, and
// the Basic and Digest schemes.
#pragma once

#include <memory>
#include <string>

#include "rtl/clEvents.h"
#include "rtl/clStringList.h"

namespace cl {

class TclUrlParser;

class TclHttpAuthorization : public TObject {
public:
    // Asks the registered schemes, the last registered first; the first that
    // forms a value wins. False, with an empty value, when none applies.
    // The registry lock is held for the whole call.
    static bool Authorize(const TclUrlParser& AUrl, const std::string& AMethod, const std::string& AUserName,
                          const std::string& APassword, const TStrings& AuthChallenge, TObject* AContext,
                          bool& AStartNewConnection, std::string& AuthValue);
    // The registry owns the scheme.
    static void RegisterAuthorization(std::unique_ptr<TclHttpAuthorization> AAuthorization);

    // Sets FAuthValue (empty: the scheme does not apply) and FStartNewConnection.
    virtual void AuthorizeScheme(const TclUrlParser& AUrl, const std::string& AMethod, const std::string& AUserName,
                                 const std::string& APassword, const TStrings& AuthChallenge, TObject* AContext) = 0;

    // The first challenge line that names AScheme anywhere, ignoring case.
    static std::string FindChallenge(const TStrings& AuthChallenge, const std::string& AScheme);

protected:
    bool FStartNewConnection = false;
    std::string FAuthValue;
};

class TclHttpBasicAuthorization : public TclHttpAuthorization {
public:
    void AuthorizeScheme(const TclUrlParser& AUrl, const std::string& AMethod, const std::string& AUserName,
                         const std::string& APassword, const TStrings& AuthChallenge, TObject* AContext) override;
};

// One Digest challenge as the server sent it, and the answer built from it.
class TclDigestChallenge : public TObject {
public:
    void Parse(const std::string& AChallenge);
    std::string BuildAuthorization() const;

    bool FStale = false;
    std::string FRealm;
    std::string FAlgorithm;
    std::string FQopOptions;
    std::string FNonce;
    std::string FDomain;
    std::string FOpaque;
    int FNonceCount = 0;
    std::string FUserName;
    std::string FClientNonce;
    std::string FResponse;
    std::string FUri;
    std::string FMethod;
    std::string FCharSet;
};

class TclHttpDigestAuthorization : public TclHttpAuthorization {
public:
    void AuthorizeScheme(const TclUrlParser& AUrl, const std::string& AMethod, const std::string& AUserName,
                         const std::string& APassword, const TStrings& AuthChallenge, TObject* AContext) override;

    // "ab" and the lower-cased hex of the local time and two tick counts:
    // different for every call within a run.
    static std::string GenerateClientNonce();
};

// MD5 digest of the text's bytes in the ANSI code page, as 32 lower-case hex
// digits; empty for an empty text.
std::string HttpDigestMd5(const std::string& AText);

}  // namespace cl
