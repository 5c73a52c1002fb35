#include "http/clSspiAuth.h"

namespace cl {

TclAuthIdentity::TclAuthIdentity(const std::string& AUser, const std::string& ADomain, const std::string& APassword)
    : FUser(AUser), FPassword(APassword), FDomain(ADomain) {}

TclAuthIdentity::TclAuthIdentity(const std::string& AUser, const std::string& APassword) : FPassword(APassword) {
    size_t sep = AUser.find('\\');
    if (sep == std::string::npos) sep = AUser.find('/');
    if (sep == std::string::npos) {
        FUser = AUser;
    } else {
        FDomain = AUser.substr(0, sep);
        FUser = AUser.substr(sep + 1);
    }
}

void TclHttpNtlmAuthorization::AuthorizeScheme(const TclUrlParser&, const std::string&, const std::string&,
                                               const std::string&, const TStrings&, TObject*) {
    // Declines: FAuthValue stays empty.
}

}  // namespace cl
