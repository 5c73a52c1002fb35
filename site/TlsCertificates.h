// Certificates made at run time with OpenSSL: a CA, leaf certificates it
// issues (host names, addresses, validity, usages chosen by the caller) and
// self-signed ones. The site stand-in issues its own with them, and the
// tests of the TLS layers build their cases from them.
#pragma once

#include <openssl/types.h>

#include <string>
#include <vector>

namespace vidsite {

struct TCertificateAndKey {
    std::string CertificatePem;
    std::string KeyPem;
};

struct TLeafOptions {
    std::string CommonName = "localhost";
    std::vector<std::string> DnsNames{"localhost"};
    std::vector<std::string> IpAddresses{"127.0.0.1"};
    std::string Email;
    long NotBeforeSeconds = -3600;      // relative to now
    long NotAfterSeconds = 30 * 86400;  // relative to now
    bool ServerAuth = true;
    bool ClientAuth = false;
    long Serial = 0;  // 0: a random serial
    // Weak leaves for the security-level checks: an RSA key of this size
    // instead of P-256 (0: P-256), a SHA-1 signature instead of SHA-256.
    int RsaBits = 0;
    bool Sha1Signature = false;
};

// A CA with a fresh P-256 key, valid for a year from an hour ago.
class TCertificateAuthority {
public:
    explicit TCertificateAuthority(const std::string& ACommonName = "Test Root CA");
    ~TCertificateAuthority();
    TCertificateAuthority(const TCertificateAuthority&) = delete;
    TCertificateAuthority& operator=(const TCertificateAuthority&) = delete;

    const std::string& CertificatePem() const { return FCertificatePem; }
    TCertificateAndKey Issue(const TLeafOptions& AOptions) const;

private:
    EVP_PKEY* FKey = nullptr;
    X509* FCertificate = nullptr;
    std::string FCertificatePem;
};

TCertificateAndKey MakeSelfSigned(const TLeafOptions& AOptions);

}  // namespace vidsite
