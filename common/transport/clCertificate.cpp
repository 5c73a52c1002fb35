// Certificate fields decoded with the TLS engine, and the extra trust anchors.
#include "transport/clCertificate.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <mutex>

#include "transport/clCryptUtils.h"
#include "rtl/clException.h"
#include "rtl/clStrUtils.h"

namespace cl {

namespace {

struct TBioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
using TBioPtr = std::unique_ptr<BIO, TBioFree>;

std::string HexUpper(const unsigned char* AData, size_t ALength) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(ALength * 2);
    for (size_t i = 0; i < ALength; ++i) {
        s += kDigits[AData[i] >> 4];
        s += kDigits[AData[i] & 15];
    }
    return s;
}

std::string Asn1Text(const ASN1_STRING* AValue) {
    if (!AValue) return std::string();
    unsigned char* utf8 = nullptr;
    const int n = ASN1_STRING_to_UTF8(&utf8, AValue);
    if (n < 0) return std::string();
    std::string s(reinterpret_cast<char*>(utf8), static_cast<size_t>(n));
    OPENSSL_free(utf8);
    return s;
}

std::string OidText(const ASN1_OBJECT* AObject) {
    char buf[128];
    const int n = OBJ_obj2txt(buf, sizeof buf, AObject, 1);
    return n > 0 ? std::string(buf, std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1)) : std::string();
}

// The engine's long name for an identifier, else the identifier itself.
std::string OidName(const ASN1_OBJECT* AObject) {
    const int nid = OBJ_obj2nid(AObject);
    if (nid != NID_undef) {
        if (const char* ln = OBJ_nid2ln(nid)) return ln;
    }
    return OidText(AObject);
}

std::string NameEntry(const X509_NAME* AName, int ANid) {
    const int i = X509_NAME_get_index_by_NID(AName, ANid, -1);
    if (i < 0) return std::string();
    return Asn1Text(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(AName, i)));
}

std::string FirstAltEmail(X509* AContext) {
    std::string result;
    auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(AContext, NID_subject_alt_name, nullptr, nullptr));
    if (!names) return result;
    for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME* g = sk_GENERAL_NAME_value(names, i);
        if (g->type == GEN_EMAIL) {
            result = Asn1Text(g->d.rfc822Name);
            break;
        }
    }
    GENERAL_NAMES_free(names);
    return result;
}

// The simple display name: the common name, else the organisational unit,
// else the organisation, else the e-mail, else the first attribute.
std::string SimpleDisplayName(const X509_NAME* AName, const std::string& AEmail) {
    for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName}) {
        std::string s = NameEntry(AName, nid);
        if (!s.empty()) return s;
    }
    if (!AEmail.empty()) return AEmail;
    if (X509_NAME_entry_count(AName) > 0) return Asn1Text(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(AName, 0)));
    return std::string();
}

// The X.500 string form: attributes in their stored order, ", " between
// them, values with special characters quoted.
std::string X500NameText(const X509_NAME* AName) {
    std::string out;
    for (int i = 0; i < X509_NAME_entry_count(AName); ++i) {
        const X509_NAME_ENTRY* e = X509_NAME_get_entry(AName, i);
        const ASN1_OBJECT* obj = X509_NAME_ENTRY_get_object(e);
        std::string key;
        switch (OBJ_obj2nid(obj)) {
            case NID_commonName:
                key = "CN";
                break;
            case NID_countryName:
                key = "C";
                break;
            case NID_localityName:
                key = "L";
                break;
            case NID_stateOrProvinceName:
                key = "S";
                break;
            case NID_streetAddress:
                key = "STREET";
                break;
            case NID_organizationName:
                key = "O";
                break;
            case NID_organizationalUnitName:
                key = "OU";
                break;
            case NID_title:
                key = "T";
                break;
            case NID_givenName:
                key = "G";
                break;
            case NID_initials:
                key = "I";
                break;
            case NID_surname:
                key = "SN";
                break;
            case NID_domainComponent:
                key = "DC";
                break;
            case NID_pkcs9_emailAddress:
                key = "E";
                break;
            case NID_serialNumber:
                key = "SERIALNUMBER";
                break;
            default:
                key = "OID." + OidText(obj);
                break;
        }
        std::string value = Asn1Text(X509_NAME_ENTRY_get_data(e));
        const bool quote = value.empty() || value.find_first_of(",+=\"\r\n<>#;") != std::string::npos ||
                           value.front() == ' ' || value.back() == ' ';
        if (quote) value = "\"" + StringReplaceAll(value, "\"", "\"\"") + "\"";
        if (!out.empty()) out += ", ";
        out += key + "=" + value;
    }
    return out;
}

TDateTime Asn1TimeToLocal(const ASN1_TIME* ATime) {
    std::tm tm{};
    if (!ATime || ASN1_TIME_to_tm(ATime, &tm) != 1) return 0;
    return UnixTimeToLocalDateTime(timegm(&tm));
}

}  // namespace

TclCertificate::TclCertificate(X509* AContext, EVP_PKEY* AKey) {
    ClAssert(AContext != nullptr, "clCertificate", 1);
    X509_up_ref(AContext);
    FContext = AContext;
    if (AKey) {
        EVP_PKEY_up_ref(AKey);
        FKey = AKey;
    }
    try {
        Decode();
    } catch (...) {
        EVP_PKEY_free(FKey);
        X509_free(FContext);
        throw;
    }
}

TclCertificate::~TclCertificate() {
    EVP_PKEY_free(FKey);
    X509_free(FContext);
}

std::unique_ptr<TclCertificate> TclCertificate::CreateFromPem(const std::string& ACertificatePem,
                                                              const std::string& AKeyPem) {
    TBioPtr certBio(BIO_new_mem_buf(ACertificatePem.data(), static_cast<int>(ACertificatePem.size())));
    X509* x = certBio ? PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr) : nullptr;
    if (!x) RaiseCryptError("PEM_read_bio_X509");
    EVP_PKEY* key = nullptr;
    if (!AKeyPem.empty()) {
        TBioPtr keyBio(BIO_new_mem_buf(AKeyPem.data(), static_cast<int>(AKeyPem.size())));
        key = keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr) : nullptr;
        if (!key || X509_check_private_key(x, key) != 1) {
            EVP_PKEY_free(key);
            X509_free(x);
            RaiseCryptError("PEM_read_bio_PrivateKey");
        }
    }
    std::unique_ptr<TclCertificate> result;
    try {
        result = std::make_unique<TclCertificate>(x, key);
    } catch (...) {
        EVP_PKEY_free(key);
        X509_free(x);
        throw;
    }
    EVP_PKEY_free(key);
    X509_free(x);
    return result;
}

std::string TclCertificate::ToPem() const {
    TBioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), FContext) != 1) RaiseCryptError("PEM_write_bio_X509");
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(n));
}

void TclCertificate::Decode() {
    const X509_NAME* subject = X509_get_subject_name(FContext);
    const X509_NAME* issuer = X509_get_issuer_name(FContext);

    FEmail = NameEntry(subject, NID_pkcs9_emailAddress);
    if (FEmail.empty()) FEmail = FirstAltEmail(FContext);
    FIssuedTo = SimpleDisplayName(subject, FEmail);
    FIssuedBy = SimpleDisplayName(issuer, NameEntry(issuer, NID_pkcs9_emailAddress));
    FSubject = X500NameText(subject);

    // The serial's content octets, most significant first (a leading zero
    // octet of a positive number with the high bit set is kept).
    const ASN1_INTEGER* serial = X509_get0_serialNumber(FContext);
    unsigned char* der = nullptr;
    const int derLength = i2d_ASN1_INTEGER(serial, &der);
    if (derLength < 2) RaiseCryptError("i2d_ASN1_INTEGER");
    {
        size_t header = 2;
        if (der[1] & 0x80) header += der[1] & 0x7F;
        FSerialNumber = HexUpper(der + header, static_cast<size_t>(derLength) - header);
        OPENSSL_free(der);
    }

    FValidFrom = Asn1TimeToLocal(X509_get0_notBefore(FContext));
    FValidTo = Asn1TimeToLocal(X509_get0_notAfter(FContext));

    int aliasLength = 0;
    if (const unsigned char* alias = X509_alias_get0(FContext, &aliasLength))
        FFriendlyName.assign(reinterpret_cast<const char*>(alias), static_cast<size_t>(aliasLength));

    const long version = X509_get_version(FContext);
    if (version >= 0 && version <= 2) FVersion = static_cast<TclCertificateVersion>(version);

    const X509_ALGOR* sigAlg = nullptr;
    X509_get0_signature(nullptr, &sigAlg, FContext);
    if (sigAlg) {
        const ASN1_OBJECT* obj = nullptr;
        X509_ALGOR_get0(&obj, nullptr, nullptr, sigAlg);
        FSignatureAlgorithm = OidText(obj);
        FSignatureAlgorithmName = OidName(obj);
    }
    ASN1_OBJECT* keyObj = nullptr;
    if (X509_PUBKEY_get0_param(&keyObj, nullptr, nullptr, nullptr, X509_get_X509_PUBKEY(FContext)) == 1 && keyObj) {
        FPublicKeyAlgorithm = OidText(keyObj);
        FPublicKeyAlgorithmName = OidName(keyObj);
    }
    if (EVP_PKEY* pub = X509_get0_pubkey(FContext)) FKeyLength = EVP_PKEY_get_bits(pub);

    if (auto* eku = static_cast<EXTENDED_KEY_USAGE*>(X509_get_ext_d2i(FContext, NID_ext_key_usage, nullptr, nullptr))) {
        for (int i = 0; i < sk_ASN1_OBJECT_num(eku); ++i) {
            if (!FUsage.empty()) FUsage += ",";
            FUsage += OidText(sk_ASN1_OBJECT_value(eku, i));
        }
        EXTENDED_KEY_USAGE_free(eku);
    }

    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLength = 0;
    if (X509_digest(FContext, EVP_sha1(), md, &mdLength) != 1) RaiseCryptError("X509_digest");
    FThumbprint = HexUpper(md, mdLength);

    if (const ASN1_OCTET_STRING* ski = X509_get0_subject_key_id(FContext))
        FSubjectKeyIdentifier = HexUpper(ASN1_STRING_get0_data(ski), static_cast<size_t>(ASN1_STRING_length(ski)));
    ERR_clear_error();
}

void TclCertificate::SetFriendlyName(const std::string& AValue) {
    const int ok = AValue.empty() ? X509_alias_set1(FContext, nullptr, 0)
                                  : X509_alias_set1(FContext, reinterpret_cast<const unsigned char*>(AValue.data()),
                                                    static_cast<int>(AValue.size()));
    if (ok != 1) RaiseCryptError("X509_alias_set1");
    FFriendlyName = AValue;
}

void TclCertificate::SetUsage(const std::string& AValue) {
    std::string joined;
    std::string item;
    auto flush = [&] {
        std::string t = Trim(item);
        if (!t.empty()) {
            if (!joined.empty()) joined += ",";
            joined += t;
        }
        item.clear();
    };
    for (char c : AValue) {
        if (c == ',' || c == ';' || c == '\r' || c == '\n')
            flush();
        else
            item += c;
    }
    flush();
    FUsage = joined;
}

bool TclCertificate::HasUsage(const std::string& AOid) const {
    if (FUsage.empty()) return true;
    size_t start = 0;
    while (start <= FUsage.size()) {
        size_t end = FUsage.find(',', start);
        if (end == std::string::npos) end = FUsage.size();
        if (FUsage.compare(start, end - start, AOid) == 0) return true;
        start = end + 1;
    }
    return false;
}

// --- TclCertificateList ---

int TclCertificateList::Add(TclCertificate* AItem) {
    FList.push_back(AItem);
    FOwned.push_back(FOwnsObjects);
    return Count() - 1;
}

void TclCertificateList::AddFrom(const TclCertificateList& AList) {
    for (TclCertificate* c : AList.FList) {
        FList.push_back(c);
        FOwned.push_back(false);
    }
}

void TclCertificateList::Delete(int AIndex) {
    ClAssert(AIndex >= 0 && AIndex < Count(), "clCertificate", 2);
    if (FOwned[static_cast<size_t>(AIndex)]) delete FList[static_cast<size_t>(AIndex)];
    FList.erase(FList.begin() + AIndex);
    FOwned.erase(FOwned.begin() + AIndex);
}

void TclCertificateList::Remove(TclCertificate* AItem) {
    auto it = std::find(FList.begin(), FList.end(), AItem);
    if (it != FList.end()) Delete(static_cast<int>(it - FList.begin()));
}

void TclCertificateList::Clear() {
    for (size_t i = 0; i < FList.size(); ++i) {
        if (FOwned[i]) delete FList[i];
    }
    FList.clear();
    FOwned.clear();
}

TclCertificate* TclCertificateList::Items(int AIndex) const {
    ClAssert(AIndex >= 0 && AIndex < Count(), "clCertificate", 3);
    return FList[static_cast<size_t>(AIndex)];
}

// --- trust anchors ---

namespace {

const char kSystemCertificateDir[] = "/etc/ssl/certs";

struct TTrustAnchors {
    std::mutex Lock;
    std::vector<X509*> Anchors;   // owned references
    X509_STORE* Store = nullptr;  // built on demand, dropped when the anchors change

    void DropStore() {
        X509_STORE_free(Store);
        Store = nullptr;
    }
    ~TTrustAnchors() {
        DropStore();
        for (X509* x : Anchors) X509_free(x);
    }
};

TTrustAnchors& Anchors() {
    static TTrustAnchors anchors;
    return anchors;
}

}  // namespace

void AddTrustAnchorsPem(const std::string& APemText) {
    TBioPtr bio(BIO_new_mem_buf(APemText.data(), static_cast<int>(APemText.size())));
    if (!bio) RaiseCryptError("BIO_new_mem_buf");
    std::vector<X509*> read;
    while (X509* x = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) read.push_back(x);
    ERR_clear_error();  // the end of the text ends the loop with a queued error
    if (read.empty()) {
        ERR_put_error(ERR_LIB_PEM, 0, PEM_R_NO_START_LINE, __FILE__, __LINE__);
        RaiseCryptError("PEM_read_bio_X509");
    }
    TTrustAnchors& a = Anchors();
    std::lock_guard<std::mutex> guard(a.Lock);
    a.Anchors.insert(a.Anchors.end(), read.begin(), read.end());
    a.DropStore();
}

void AddTrustAnchorsFile(const std::string& AFileName) {
    TBioPtr bio(BIO_new_file(AFileName.c_str(), "rb"));
    if (!bio) RaiseCryptError("BIO_new_file");
    std::string text;
    char buf[4096];
    int n;
    while ((n = BIO_read(bio.get(), buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    AddTrustAnchorsPem(text);
}

void ClearTrustAnchors() {
    TTrustAnchors& a = Anchors();
    std::lock_guard<std::mutex> guard(a.Lock);
    for (X509* x : a.Anchors) X509_free(x);
    a.Anchors.clear();
    a.DropStore();
}

int TrustAnchorCount() {
    TTrustAnchors& a = Anchors();
    std::lock_guard<std::mutex> guard(a.Lock);
    return static_cast<int>(a.Anchors.size());
}

std::string TrustAnchorsPem() {
    TTrustAnchors& a = Anchors();
    std::lock_guard<std::mutex> guard(a.Lock);
    TBioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio) RaiseCryptError("BIO_new");
    for (X509* x : a.Anchors) PEM_write_bio_X509(bio.get(), x);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(n));
}

X509_STORE* AcquireTrustStore() {
    TTrustAnchors& a = Anchors();
    std::lock_guard<std::mutex> guard(a.Lock);
    if (!a.Store) {
        X509_STORE* store = X509_STORE_new();
        if (!store) RaiseCryptError("X509_STORE_new");
        // The hashed directory is looked up lazily, certificate by certificate.
        X509_STORE_load_locations(store, nullptr, kSystemCertificateDir);
        for (X509* x : a.Anchors) X509_STORE_add_cert(store, x);
        ERR_clear_error();
        a.Store = store;
    }
    X509_STORE_up_ref(a.Store);
    return a.Store;
}

}  // namespace cl
