#include <gtest/gtest.h>

#include "http/clHttpAuth.h"
#include "http/clSspiAuth.h"
#include "http/clUriUtils.h"

using namespace cl;

namespace {
struct AuthResult {
    bool Applied;
    bool NewConnection;
    std::string Value;
};

AuthResult Ask(const std::string& AUrl, const std::string& AUser, const std::string& APassword,
               std::initializer_list<std::string> AChallenges, const std::string& AMethod = "GET") {
    TclUrlParser url;
    url.Parse(AUrl);
    TStringList challenges(AChallenges);
    AuthResult r{false, true, "unset"};
    r.Applied =
        TclHttpAuthorization::Authorize(url, AMethod, AUser, APassword, challenges, nullptr, r.NewConnection, r.Value);
    return r;
}

std::string Item(const std::string& AValue, const std::string& AName) {
    const size_t at = AValue.find(AName + "=");
    if (at == std::string::npos) return "<absent>";
    const size_t start = at + AName.size() + 1;
    const size_t end = AValue[start] == '"' ? AValue.find('"', start + 1) + 1 : AValue.find(", ", start);
    return AValue.substr(start, end == std::string::npos ? std::string::npos : end - start);
}
}  // namespace

TEST(BasicAuthorization, EncodesTheAnsiBytesAndAsksForAFreshConnection) {
    AuthResult r = Ask("http://h/", "Aladdin", "open sesame", {"Basic realm=\"x\""});
    EXPECT_TRUE(r.Applied);
    EXPECT_TRUE(r.NewConnection);
    EXPECT_EQ(r.Value, "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
    EXPECT_EQ(Ask("http://h/", "u", "", {"basic"}).Value, "Basic dTo=");         // "u:"
    EXPECT_EQ(Ask("http://h/", "", "pw", {"BASIC"}).Value, "Basic cHc=");        // "pw", no colon
    EXPECT_EQ(Ask("http://h/", "\xc3\xa9", "", {"Basic"}).Value, "Basic 6To=");  // 0xE9 ':'
}

TEST(Authorization, DeclinesWithoutCredentialsOrAMatchingChallenge) {
    AuthResult r = Ask("http://h/", "", "", {"Basic realm=x"});
    EXPECT_FALSE(r.Applied);
    EXPECT_FALSE(r.NewConnection);
    EXPECT_EQ(r.Value, "");
    EXPECT_FALSE(Ask("http://h/", "u", "p", {"Bearer realm=x"}).Applied);
    // Digest needs a user name; Basic then answers with the password alone.
    EXPECT_EQ(Ask("http://h/", "", "p", {"Digest realm=x, nonce=n", "Basic realm=x"}).Value, "Basic cA==");
    // The integrated schemes have no provider here and decline.
    EXPECT_FALSE(Ask("http://h/", "u", "p", {"NTLM", "Negotiate"}).Applied);
}

TEST(DigestAuthorization, IsAskedBeforeBasic) {
    AuthResult r = Ask("http://h/", "u", "p", {"Basic realm=x", "Digest realm=x, nonce=n"});
    EXPECT_TRUE(r.Applied);
    EXPECT_FALSE(r.NewConnection);
    EXPECT_EQ(r.Value.rfind("Digest ", 0), 0u);
}

TEST(DigestAuthorization, AnswersTheWorkedExampleOfRfc2617) {
    AuthResult r = Ask("http://www.nowhere.org/dir/index.html", "Mufasa", "Circle Of Life",
                       {"Digest realm=\"testrealm@host.com\", qop=\"auth,auth-int\", "
                        "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", "
                        "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\", cnonce=\"0a4f113b\", nc=00000000"});
    ASSERT_TRUE(r.Applied);
    EXPECT_EQ(r.Value,
              "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", qop=\"auth\", algorithm=\"\", "
              "uri=\"/dir/index.html\", nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", nc=00000001, "
              "cnonce=\"0a4f113b\", opaque=\"5ccc069c403ebaf9f0171e9517f40e41\", "
              "response=\"6629fae49393a05397450978507c4ef1\"");
}

TEST(DigestAuthorization, QopIsAuthOnlyWhenOnePieceIsExactlyAuth) {
    const std::string pieces = Ask("http://h/a", "u", "p", {"Digest realm=r, nonce=n, qop=\"auth-int,auth\""}).Value;
    EXPECT_EQ(Item(pieces, "qop"), "\"auth\"");
    const std::string spaced = Ask("http://h/a", "u", "p", {"Digest realm=r, nonce=n, qop=\"auth-int, auth\""}).Value;
    EXPECT_EQ(Item(spaced, "qop"), "\"auth-int, auth\"");
    // Without a client nonce in the challenge a fresh one starts the count.
    EXPECT_EQ(Item(pieces, "nc"), "00000001");
    EXPECT_EQ(Item(pieces, "cnonce").substr(0, 3), "\"ab");
}

TEST(DigestAuthorization, WithoutQopSendsOnlyTheBasicItemsAndAnEmptyOpaque) {
    const std::string v = Ask("http://h/p?q=1", "u", "p", {"Digest realm=r, nonce=n"}).Value;
    EXPECT_EQ(Item(v, "qop"), "<absent>");
    EXPECT_EQ(Item(v, "nc"), "<absent>");
    EXPECT_EQ(Item(v, "cnonce"), "<absent>");
    EXPECT_EQ(Item(v, "uri"), "\"/p?q=1\"");
    EXPECT_EQ(Item(v, "opaque"), "\"\"");
    // response = MD5(MD5("u:r:p") ":" "n" ":" MD5("GET:/p?q=1"))
    EXPECT_EQ(Item(v, "response"),
              "\"" + HttpDigestMd5(HttpDigestMd5("u:r:p") + ":n:" + HttpDigestMd5("GET:/p?q=1")) + "\"");
}

TEST(DigestAuthorization, SessionAlgorithmAndUnknownAlgorithms) {
    const std::string v =
        Ask("http://h/", "u", "p", {"Digest realm=r, nonce=n, algorithm=MD5-sess, qop=auth, cnonce=c, nc=1"}).Value;
    const std::string a1 = HttpDigestMd5("u:r:p") + ":n:c";
    EXPECT_EQ(Item(v, "nc"), "00000002");
    EXPECT_EQ(Item(v, "response"),
              "\"" + HttpDigestMd5(HttpDigestMd5(a1) + ":n:00000002:c:auth:" + HttpDigestMd5("GET:/")) + "\"");
    // An algorithm it cannot answer declines, and Basic is not there to help.
    EXPECT_FALSE(Ask("http://h/", "u", "p", {"Digest realm=r, nonce=n, algorithm=SHA-256"}).Applied);
}

TEST(DigestAuthorization, ClientNoncesDiffer) {
    const std::string a = TclHttpDigestAuthorization::GenerateClientNonce();
    EXPECT_EQ(a.rfind("ab", 0), 0u);
    EXPECT_EQ(a.size(), 2u + 10 + 4 + 16);
    EXPECT_EQ(HttpDigestMd5(""), "");
    EXPECT_EQ(HttpDigestMd5("abc"), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(AuthIdentity, SplitsDomainAndUserAtTheFirstSeparator) {
    TclAuthIdentity a("DOM\\user", "pw");
    EXPECT_EQ(a.Domain(), "DOM");
    EXPECT_EQ(a.User(), "user");
    TclAuthIdentity b("dom/us\\er", "pw");
    EXPECT_EQ(b.Domain(), "dom/us");
    TclAuthIdentity c("dom/user", "pw");
    EXPECT_EQ(c.Domain(), "dom");
    EXPECT_EQ(c.User(), "user");
    TclAuthIdentity d("plain", "pw");
    EXPECT_EQ(d.Domain(), "");
    EXPECT_EQ(d.User(), "plain");
}
