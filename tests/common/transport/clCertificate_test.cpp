#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "transport/clCertificate.h"
#include "transport/clCryptUtils.h"
#include "rtl/clDateTime.h"
#include "support/TlsTestPki.h"

using namespace cl;
using namespace cltest;

TEST(Certificate, DecodesNamesSerialUsageAndDigests) {
    TTestCa ca("View Root");
    TLeafOptions o;
    o.CommonName = "host.test";
    o.DnsNames = {"host.test"};
    o.Email = "admin@host.test";
    o.ClientAuth = true;
    o.Serial = 0x0102A3;
    const TTestCertificate leaf = ca.Issue(o);
    auto c = TclCertificate::CreateFromPem(leaf.CertificatePem);

    EXPECT_EQ(c->IssuedTo(), "host.test");
    EXPECT_EQ(c->IssuedBy(), "View Root");
    EXPECT_EQ(c->Email(), "admin@host.test");
    EXPECT_EQ(c->Subject(), "C=XX, O=Test Org, CN=host.test, E=admin@host.test");
    // Most significant byte first; a high bit keeps its leading zero byte.
    EXPECT_EQ(c->SerialNumber(), "0102A3");
    o.Serial = 0x80;
    EXPECT_EQ(TclCertificate::CreateFromPem(ca.Issue(o).CertificatePem)->SerialNumber(), "0080");
    EXPECT_EQ(c->Version(), cvVersion3);
    EXPECT_EQ(c->Usage(), "1.3.6.1.5.5.7.3.1,1.3.6.1.5.5.7.3.2");
    EXPECT_TRUE(c->IsServerAuthentication());
    EXPECT_TRUE(c->IsClientAuthentication());
    EXPECT_FALSE(c->IsCodeSigning());
    EXPECT_EQ(c->KeyLength(), 256);
    EXPECT_EQ(c->PublicKeyAlgorithm(), "1.2.840.10045.2.1");
    EXPECT_EQ(c->SignatureAlgorithm(), "1.2.840.10045.4.3.2");
    EXPECT_EQ(c->SignatureAlgorithmName(), "ecdsa-with-SHA256");

    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    X509_digest(c->Context(), EVP_sha1(), md, &n);
    ASSERT_EQ(c->Thumbprint().size(), 40u);
    EXPECT_EQ(
        c->Thumbprint().substr(0, 2), (md[0] < 16 ? "0" : "") + [&] {
            char b[3];
            snprintf(b, sizeof b, "%X", md[0]);
            return std::string(b);
        }());
    EXPECT_EQ(c->SubjectKeyIdentifier().size(), 40u);

    const TDateTime now = NowDateTime();
    EXPECT_LT(c->ValidFrom(), now);
    EXPECT_GT(c->ValidTo(), now + 29);
    EXPECT_LT(c->ValidTo(), now + 31);
}

TEST(Certificate, UsageTextAcceptsEverySeparatorAndEmptyMeansAnyUsage) {
    TLeafOptions o;
    o.ServerAuth = false;
    auto c = TclCertificate::CreateFromPem(MakeSelfSigned(o).CertificatePem);
    EXPECT_EQ(c->Usage(), "");
    EXPECT_TRUE(c->IsCodeSigning());
    c->SetUsage("1.3.6.1.5.5.7.3.3; 1.3.6.1.5.5.7.3.4\r\n1.2.3");
    EXPECT_EQ(c->Usage(), "1.3.6.1.5.5.7.3.3,1.3.6.1.5.5.7.3.4,1.2.3");
    EXPECT_TRUE(c->IsSecureEmail());
    EXPECT_FALSE(c->IsServerAuthentication());
    c->SetFriendlyName("mine");
    EXPECT_EQ(c->FriendlyName(), "mine");
}

TEST(Certificate, BadTextAndMismatchedKeysRaiseCryptErrors) {
    EXPECT_THROW(TclCertificate::CreateFromPem("not a certificate"), EclCryptError);
    const TTestCertificate a = MakeSelfSigned(TLeafOptions{});
    const TTestCertificate b = MakeSelfSigned(TLeafOptions{});
    EXPECT_THROW(TclCertificate::CreateFromPem(a.CertificatePem, b.KeyPem), EclCryptError);
    EXPECT_NE(TclCertificate::CreateFromPem(a.CertificatePem, a.KeyPem)->Key(), nullptr);
}

TEST(Certificate, ListOwnsOnlyWhatItWasGiven) {
    const TTestCertificate a = MakeSelfSigned(TLeafOptions{});
    TclCertificateList owner(true);
    owner.Add(TclCertificate::CreateFromPem(a.CertificatePem).release());
    owner.Add(TclCertificate::CreateFromPem(a.CertificatePem).release());
    {
        TclCertificateList refs(false);
        refs.AddFrom(owner);
        EXPECT_EQ(refs.Count(), 2);
        refs.Remove(owner.Items(0));
        EXPECT_EQ(refs.Count(), 1);
    }
    EXPECT_EQ(owner.Count(), 2);  // still alive: the references did not free them
    EXPECT_FALSE(owner.Items(0)->IssuedTo().empty());
    owner.Delete(0);
    EXPECT_EQ(owner.Count(), 1);
}

TEST(TrustAnchors, TextAndFilesAddCertificatesAndClearEmptiesThem) {
    ClearTrustAnchors();
    EXPECT_EQ(TrustAnchorCount(), 0);
    TTestCa one("One"), two("Two");
    AddTrustAnchorsPem(one.CertificatePem() + two.CertificatePem());
    EXPECT_EQ(TrustAnchorCount(), 2);
    AddTrustAnchorsFile(WriteTempFile("anchor.pem", one.CertificatePem()));
    EXPECT_EQ(TrustAnchorCount(), 3);
    EXPECT_NE(TrustAnchorsPem().find(two.CertificatePem()), std::string::npos);
    EXPECT_THROW(AddTrustAnchorsPem("junk"), EclCryptError);
    EXPECT_THROW(AddTrustAnchorsFile("/nonexistent/anchor.pem"), EclCryptError);
    EXPECT_EQ(TrustAnchorCount(), 3);
    ClearTrustAnchors();
    EXPECT_EQ(TrustAnchorCount(), 0);
}
