// The decoded view of one certificate (optionally with its private key), a
// list of them, and the process-wide extra trust anchors that the TLS
// session trusts in addition to the system store.
#pragma once

#include <openssl/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "rtl/clDateTime.h"
#include "rtl/clEvents.h"

namespace cl {

enum TclCertificateVersion : uint8_t { cvVersion1, cvVersion2, cvVersion3 };

class TclCertificate : public TObject {
public:
    // Takes a reference of its own to AContext (and AKey, when given) and
    // decodes the fields at once; raises EclCryptError when it cannot.
    explicit TclCertificate(X509* AContext, EVP_PKEY* AKey = nullptr);
    ~TclCertificate() override;
    TclCertificate(const TclCertificate&) = delete;
    TclCertificate& operator=(const TclCertificate&) = delete;

    // A certificate from PEM text, with the private key from AKeyPem when it
    // is not empty (a client or server certificate); EclCryptError on bad text.
    static std::unique_ptr<TclCertificate> CreateFromPem(const std::string& ACertificatePem,
                                                         const std::string& AKeyPem = std::string());

    X509* Context() const { return FContext; }
    EVP_PKEY* Key() const { return FKey; }
    std::string ToPem() const;

    const std::string& IssuedTo() const { return FIssuedTo; }
    const std::string& Email() const { return FEmail; }
    const std::string& IssuedBy() const { return FIssuedBy; }
    TDateTime ValidTo() const { return FValidTo; }
    TDateTime ValidFrom() const { return FValidFrom; }
    const std::string& SerialNumber() const { return FSerialNumber; }
    const std::string& FriendlyName() const { return FFriendlyName; }
    void SetFriendlyName(const std::string& AValue);
    TclCertificateVersion Version() const { return FVersion; }
    const std::string& PrivateKey() const { return FPrivateKey; }
    const std::string& PublicKeyAlgorithm() const { return FPublicKeyAlgorithm; }
    const std::string& PublicKeyAlgorithmName() const { return FPublicKeyAlgorithmName; }
    const std::string& Subject() const { return FSubject; }
    const std::string& SignatureAlgorithm() const { return FSignatureAlgorithm; }
    const std::string& SignatureAlgorithmName() const { return FSignatureAlgorithmName; }
    // Enhanced key usage identifiers joined with ","; empty: no restriction.
    const std::string& Usage() const { return FUsage; }
    // Accepts ",", ";" or line breaks between identifiers.
    void SetUsage(const std::string& AValue);
    const std::string& Thumbprint() const { return FThumbprint; }
    const std::string& SubjectKeyIdentifier() const { return FSubjectKeyIdentifier; }
    int KeyLength() const { return FKeyLength; }

    bool IsServerAuthentication() const { return HasUsage("1.3.6.1.5.5.7.3.1"); }
    bool IsClientAuthentication() const { return HasUsage("1.3.6.1.5.5.7.3.2"); }
    bool IsCodeSigning() const { return HasUsage("1.3.6.1.5.5.7.3.3"); }
    bool IsSecureEmail() const { return HasUsage("1.3.6.1.5.5.7.3.4"); }

private:
    void Decode();
    bool HasUsage(const std::string& AOid) const;

    X509* FContext = nullptr;
    EVP_PKEY* FKey = nullptr;
    std::string FIssuedTo;
    std::string FEmail;
    std::string FIssuedBy;
    TDateTime FValidTo = 0;
    TDateTime FValidFrom = 0;
    std::string FSerialNumber;
    std::string FFriendlyName;
    TclCertificateVersion FVersion = cvVersion1;
    std::string FPrivateKey;
    std::string FPublicKeyAlgorithm;
    std::string FPublicKeyAlgorithmName;
    std::string FSubject;
    std::string FSignatureAlgorithm;
    std::string FSignatureAlgorithmName;
    std::string FUsage;
    std::string FThumbprint;
    std::string FSubjectKeyIdentifier;
    int FKeyLength = 0;
};

// Certificates in order, owned or merely referenced.
class TclCertificateList {
public:
    explicit TclCertificateList(bool AOwnsObjects = true) : FOwnsObjects(AOwnsObjects) {}
    ~TclCertificateList() { Clear(); }
    TclCertificateList(const TclCertificateList&) = delete;
    TclCertificateList& operator=(const TclCertificateList&) = delete;

    int Add(TclCertificate* AItem);
    // Adds every item of AList (as references: an owning list takes
    // ownership only of what it is given through Add).
    void AddFrom(const TclCertificateList& AList);
    void Delete(int AIndex);
    void Remove(TclCertificate* AItem);
    void Clear();
    int Count() const { return static_cast<int>(FList.size()); }
    TclCertificate* Items(int AIndex) const;
    bool OwnsObjects() const { return FOwnsObjects; }

private:
    bool FOwnsObjects;
    std::vector<TclCertificate*> FList;
    std::vector<bool> FOwned;
};

// Asked when the server wants a client certificate: set ACertificate (it
// stays the handler's; it must live until the handler's caller returns) and
// add any chain certificates to AExtraCerts.
using TclGetCertificateEvent =
    std::function<void(TObject* Sender, TclCertificate*& ACertificate, TclCertificateList& AExtraCerts, bool& Handled)>;

// Extra trust anchors: certificates trusted besides the system store
// (/etc/ssl/certs), process-wide, empty until something adds them. Adding
// raises EclCryptError when the text holds no certificate.
void AddTrustAnchorsPem(const std::string& APemText);
void AddTrustAnchorsFile(const std::string& AFileName);
void ClearTrustAnchors();
int TrustAnchorCount();
// Every extra anchor as PEM text, for the process's other TLS clients.
std::string TrustAnchorsPem();
// A new reference to the store that verification uses: the system store
// plus the extra anchors at the time of the call. Free with X509_STORE_free.
X509_STORE* AcquireTrustStore();

}  // namespace cl
