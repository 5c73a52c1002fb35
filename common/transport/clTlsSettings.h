// The TLS settings a client hands to each TLS stream it opens, and a stream
// to the session it starts: certificate faults to forgive, protocol
// versions, whether the root certificate is sent, strong ciphers only, and
// the provider name. One value, copied whole.
#pragma once

#include <cstdint>
#include <string>

#include "rtl/clSet.h"

namespace cl {

enum TclTlsFlag : uint8_t { tfUseSSL2, tfUseSSL3, tfUseTLS, tfUseTLS11, tfUseTLS12, tfUseTLS13 };
using TclTlsFlags = TSet<TclTlsFlag>;

enum TclCertificateVerifyFlag : uint8_t {
    cfIgnoreCommonNameInvalid,
    cfIgnoreDateInvalid,
    cfIgnoreUnknownAuthority,
    cfIgnoreRevocation,
    cfIgnoreWrongUsage,
};
using TclCertificateVerifyFlags = TSet<TclCertificateVerifyFlag>;

// TLS 1.0, 1.1 and 1.2 (the value 28).
inline constexpr TclTlsFlags kDefaultTlsFlags{tfUseTLS, tfUseTLS11, tfUseTLS12};

struct TclTlsSettings {
    TclCertificateVerifyFlags CertificateFlags;
    TclTlsFlags TLSFlags = kDefaultTlsFlags;
    bool SendRootCertificate = false;
    bool UseStrongCryptoAlgorithms = false;
    // The provider name (CSP); empty: the default provider.
    std::string CSP;

    bool operator==(const TclTlsSettings&) const = default;
};

}  // namespace cl
