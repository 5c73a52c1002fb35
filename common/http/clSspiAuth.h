// The integrated schemes Negotiate and NTLM. This platform has no security
// provider for them, so the scheme declines every challenge and the next
// scheme of the registry is asked.
#pragma once

#include <string>

#include "http/clHttpAuth.h"

namespace cl {

// A user, domain and password for an integrated handshake. The two-argument
// form splits the user at its first "\" (else its first "/") into domain and
// user.
class TclAuthIdentity : public TObject {
public:
    TclAuthIdentity(const std::string& AUser, const std::string& ADomain, const std::string& APassword);
    TclAuthIdentity(const std::string& AUser, const std::string& APassword);

    const std::string& User() const { return FUser; }
    const std::string& Domain() const { return FDomain; }
    const std::string& Password() const { return FPassword; }

private:
    std::string FUser;
    std::string FPassword;
    std::string FDomain;
};

class TclHttpNtlmAuthorization : public TclHttpAuthorization {
public:
    ~TclHttpNtlmAuthorization() override { CloseSessions(); }

    void AuthorizeScheme(const TclUrlParser& AUrl, const std::string& AMethod, const std::string& AUserName,
                         const std::string& APassword, const TStrings& AuthChallenge, TObject* AContext) override;
    // No handshake ever starts here, so there are no sessions to free.
    void CloseSessions() {}
};

}  // namespace cl
