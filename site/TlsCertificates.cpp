// Run-time certificates: keys, certificates and their PEM texts.
#include "site/TlsCertificates.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

namespace vidsite {

namespace {

void Check(bool AOk, const char* AWhat) {
    if (!AOk) {
        ERR_print_errors_fp(stderr);
        throw std::runtime_error(std::string("certificates: ") + AWhat);
    }
}

EVP_PKEY* NewKey() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    Check(key != nullptr, "key generation");
    return key;
}

std::string PemOf(X509* AX) {
    BIO* b = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(b, AX);
    char* d = nullptr;
    long n = BIO_get_mem_data(b, &d);
    std::string s(d, static_cast<size_t>(n));
    BIO_free(b);
    return s;
}

std::string PemOf(EVP_PKEY* AKey) {
    BIO* b = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(b, AKey, nullptr, nullptr, 0, nullptr, nullptr);
    char* d = nullptr;
    long n = BIO_get_mem_data(b, &d);
    std::string s(d, static_cast<size_t>(n));
    BIO_free(b);
    return s;
}

void AddExt(X509* AX, X509* AIssuer, int ANid, const std::string& AValue) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, AIssuer, AX, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, ANid, AValue.c_str());
    Check(ext != nullptr, "extension");
    X509_add_ext(AX, ext, -1);
    X509_EXTENSION_free(ext);
}

// A certificate for AKey named ACommonName, signed by AIssuerKey
// (AIssuer null: self-signed).
X509* NewCertificate(EVP_PKEY* AKey, const TLeafOptions& AOptions, X509* AIssuer, EVP_PKEY* AIssuerKey, bool ACa) {
    X509* x = X509_new();
    X509_set_version(x, 2);
    long serial = AOptions.Serial;
    if (serial == 0) {
        RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial);
        serial = (serial & 0x7FFFFFFFFFFFL) | 1;
    }
    ASN1_INTEGER_set(X509_get_serialNumber(x), serial);
    X509_gmtime_adj(X509_getm_notBefore(x), AOptions.NotBeforeSeconds);
    X509_gmtime_adj(X509_getm_notAfter(x), AOptions.NotAfterSeconds);
    X509_set_pubkey(x, AKey);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "C", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("XX"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Test Org"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(AOptions.CommonName.c_str()), -1, -1, 0);
    if (!AOptions.Email.empty())
        X509_NAME_add_entry_by_txt(name, "emailAddress", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(AOptions.Email.c_str()), -1, -1, 0);
    X509* issuer = AIssuer ? AIssuer : x;
    X509_set_issuer_name(x, X509_get_subject_name(issuer));
    AddExt(x, issuer, NID_subject_key_identifier, "hash");
    if (ACa) {
        AddExt(x, issuer, NID_basic_constraints, "critical,CA:TRUE");
        AddExt(x, issuer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        AddExt(x, issuer, NID_basic_constraints, "CA:FALSE");
        std::string san;
        for (const std::string& d : AOptions.DnsNames) san += (san.empty() ? "" : ",") + ("DNS:" + d);
        for (const std::string& ip : AOptions.IpAddresses) san += (san.empty() ? "" : ",") + ("IP:" + ip);
        if (!AOptions.Email.empty()) san += (san.empty() ? "" : ",") + ("email:" + AOptions.Email);
        if (!san.empty()) AddExt(x, issuer, NID_subject_alt_name, san);
        std::string eku;
        if (AOptions.ServerAuth) eku += "serverAuth";
        if (AOptions.ClientAuth) eku += (eku.empty() ? "" : ",") + std::string("clientAuth");
        if (!eku.empty()) AddExt(x, issuer, NID_ext_key_usage, eku);
    }
    Check(X509_sign(x, AIssuerKey, EVP_sha256()) > 0, "signing");
    return x;
}

}  // namespace

TCertificateAuthority::TCertificateAuthority(const std::string& ACommonName) {
    FKey = NewKey();
    TLeafOptions o;
    o.CommonName = ACommonName;
    o.NotAfterSeconds = 365 * 86400;
    FCertificate = NewCertificate(FKey, o, nullptr, FKey, true);
    FCertificatePem = PemOf(FCertificate);
}

TCertificateAuthority::~TCertificateAuthority() {
    X509_free(FCertificate);
    EVP_PKEY_free(FKey);
}

namespace {

// A leaf with a fresh key, signed by AIssuer's key (null: by its own).
TCertificateAndKey NewLeaf(const TLeafOptions& AOptions, X509* AIssuer, EVP_PKEY* AIssuerKey) {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(NewKey(), EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> certificate(
        NewCertificate(key.get(), AOptions, AIssuer, AIssuerKey ? AIssuerKey : key.get(), false), X509_free);
    return {PemOf(certificate.get()), PemOf(key.get())};
}

}  // namespace

TCertificateAndKey TCertificateAuthority::Issue(const TLeafOptions& AOptions) const {
    return NewLeaf(AOptions, FCertificate, FKey);
}

TCertificateAndKey MakeSelfSigned(const TLeafOptions& AOptions) { return NewLeaf(AOptions, nullptr, nullptr); }

}  // namespace vidsite
