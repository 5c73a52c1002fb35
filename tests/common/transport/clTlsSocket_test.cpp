#include <gtest/gtest.h>

#include <openssl/ssl.h>

#include <chrono>
#include <thread>

#include "transport/clSspi.h"
#include "transport/clTcpClientTls.h"
#include "support/TlsTestPki.h"

using namespace cl;
using namespace cltest;

namespace {

class TTestTlsClient : public TclTcpClientTls {
public:
    explicit TTestTlsClient(int ADefaultPort = 443) : FDefaultPort(ADefaultPort) {}

protected:
    int GetDefaultPort() override { return FDefaultPort; }

private:
    int FDefaultPort;
};

struct TPki {
    TTestCa Ca{"Stream Test CA"};
    TTestCertificate Good = Ca.Issue(TLeafOptions{});
};

TPki& Pki() {
    static TPki pki;
    return pki;
}

// Echo handler: answers "reply:" + the request line.
void Echo(SSL* ASsl, int) {
    const std::string got = ReadUntil(ASsl, "\n");
    WriteAll(ASsl, "reply:" + got);
}

class TlsStream : public ::testing::Test {
protected:
    void SetUp() override {
        ClearTrustAnchors();
        AddTrustAnchorsPem(Pki().Ca.CertificatePem());
    }
    void TearDown() override { ClearTrustAnchors(); }

    static std::string Exchange(TTestTlsClient& AClient, const std::string& ALine) {
        AClient.Connection()->WriteString(ALine);
        TMemoryStream got;
        AClient.Connection()->ReadData(&got);
        return std::string(got.Bytes().begin(), got.Bytes().end());
    }

    static void Setup(TTestTlsClient& AClient, int APort, const std::string& AServer = "localhost") {
        AClient.SetServer(AServer);
        AClient.SetPort(APort);
        AClient.SetTimeOut(10000);
        AClient.SetUseTLS(ctImplicit);
    }
};

}  // namespace

TEST_F(TlsStream, ImplicitTlsCarriesDataBothWaysAndTheVerifiedServerReachesTheEventWithStatusZero) {
    TTlsTestServer server(Pki().Good, Echo);
    TTestTlsClient client;
    Setup(client, server.Port());
    bool seen = false;
    client.OnVerifyServer = [&](TObject* Sender, TclCertificate* ACert, const std::string& AText, int32_t ACode,
                                bool& AVerified) {
        seen = true;
        EXPECT_EQ(Sender, &client);
        EXPECT_TRUE(AVerified);
        EXPECT_EQ(ACode, 0);
        EXPECT_EQ(AText, "The unknown error was occured: 0");
        ASSERT_NE(ACert, nullptr);
        EXPECT_EQ(ACert->IssuedTo(), "localhost");
    };
    client.Open();
    EXPECT_TRUE(seen);
    EXPECT_TRUE(client.IsTls());
    EXPECT_EQ(Exchange(client, "hello\n"), "reply:hello\n");
    client.Close();
}

TEST_F(TlsStream, RefusedCertificatesFailOpenWithThePolicyErrorUnlessIgnoredOrAccepted) {
    TLeafOptions other;
    other.CommonName = "other.example";
    other.DnsNames = {"other.example"};
    other.IpAddresses = {};
    TLeafOptions expired;
    expired.NotBeforeSeconds = -10 * 86400;
    expired.NotAfterSeconds = -86400;
    struct TCase {
        TTestCertificate Cert;
        int32_t Code;
        TclCertificateVerifyFlag Ignore;
    };
    const TCase cases[] = {
        {MakeSelfSigned(TLeafOptions{}), SspiStatus::CertUntrustedRoot, cfIgnoreUnknownAuthority},
        {Pki().Ca.Issue(other), SspiStatus::CertCnNoMatch, cfIgnoreCommonNameInvalid},
        {Pki().Ca.Issue(expired), SspiStatus::CertExpired, cfIgnoreDateInvalid},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Code);
        TTlsTestServer server(c.Cert, Echo);
        {
            TTestTlsClient client;
            Setup(client, server.Port());
            try {
                client.Open();
                ADD_FAILURE() << "opened";
            } catch (const EclSocketError& e) {
                EXPECT_EQ(e.ErrorCode(), c.Code);
                EXPECT_EQ(e.Message(), GetSspiErrorText(c.Code));
            }
            EXPECT_FALSE(client.Active());
        }
        {
            TTestTlsClient client;
            Setup(client, server.Port());
            client.SetCertificateFlags({c.Ignore});
            client.Open();
            EXPECT_EQ(Exchange(client, "x\n"), "reply:x\n");
        }
        {
            TTestTlsClient client;
            Setup(client, server.Port());
            client.OnVerifyServer = [](TObject*, TclCertificate*, const std::string&, int32_t, bool& AVerified) {
                AVerified = true;
            };
            client.Open();
            EXPECT_EQ(Exchange(client, "y\n"), "reply:y\n");
        }
    }
    // A handler can refuse a valid certificate: the text is the one for status 0.
    TTlsTestServer server(Pki().Good, Echo);
    TTestTlsClient client;
    Setup(client, server.Port());
    client.OnVerifyServer = [](TObject*, TclCertificate*, const std::string&, int32_t, bool& AVerified) {
        AVerified = false;
    };
    try {
        client.Open();
        ADD_FAILURE() << "opened";
    } catch (const EclSocketError& e) {
        EXPECT_EQ(e.ErrorCode(), 0);
        EXPECT_EQ(e.Message(), "The unknown error was occured: 0");
    }
}

TEST_F(TlsStream, RecordsSplitOrJoinedOnTheWireArriveWhole) {
    TTlsTestServer server(Pki().Good, [](SSL* ASsl, int ASocket) {
        ReadUntil(ASsl, "\n");
        const std::string one = RecordsOf(ASsl, {"split record"});
        SendRaw(ASocket, one.substr(0, 7));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        SendRaw(ASocket, one.substr(7));
        ReadUntil(ASsl, "\n");
        SendRaw(ASocket, RecordsOf(ASsl, {"first,", "second"}));
    });
    TTestTlsClient client;
    Setup(client, server.Port());
    client.Open();
    EXPECT_EQ(Exchange(client, "a\n"), "split record");
    EXPECT_EQ(Exchange(client, "b\n"), "first,second");
}

// Bytes whose every position differs from its neighbours', so that a lost,
// doubled or moved piece shows.
static std::string Pattern(size_t ASize, unsigned ASeed) {
    std::string out(ASize, '\0');
    uint32_t x = ASeed;
    for (char& c : out) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 23);
    }
    return out;
}

TEST_F(TlsStream, ABodyOfManyRecordsSentAtOnceArrivesByteForByte) {
    const std::string body = Pattern(3 << 20, 7);
    TTlsTestServer server(Pki().Good, [&](SSL* ASsl, int) {
        ReadUntil(ASsl, "\n");
        WriteAll(ASsl, body);
        ReadUntil(ASsl, "\n");
    });
    TTestTlsClient client;
    Setup(client, server.Port());
    client.Open();
    client.Connection()->WriteString("get\n");
    TMemoryStream got;
    client.Connection()->InitProgress(0, 0);
    while (got.GetSize() < static_cast<int64_t>(body.size()) && client.Active()) client.Connection()->ReadData(&got);
    ASSERT_EQ(got.GetSize(), static_cast<int64_t>(body.size()));
    EXPECT_TRUE(std::string(got.Bytes().begin(), got.Bytes().end()) == body);
    EXPECT_EQ(client.Connection()->BytesProceed(), static_cast<int64_t>(body.size()));  // plaintext is counted
    client.Connection()->WriteString("done\n");
}

TEST_F(TlsStream, AKeyUpdateInTheMiddleOfABodyKeepsTheRecordsFlowingBothWays) {
    const std::string before = Pattern(50000, 1), after = Pattern(50000, 2);
    TTlsTestServer server(Pki().Good, [&](SSL* ASsl, int) {
        ReadUntil(ASsl, "\n");
        WriteAll(ASsl, before);
        SSL_key_update(ASsl, SSL_KEY_UPDATE_REQUESTED);
        WriteAll(ASsl, after);  // goes out right behind the update
        const std::string line = ReadUntil(ASsl, "\n");
        WriteAll(ASsl, "got " + line);
    });
    TTestTlsClient client;
    Setup(client, server.Port());
    client.Open();
    client.Connection()->WriteString("get\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // all of it waits on the socket
    TMemoryStream got;
    const int64_t total = static_cast<int64_t>(before.size() + after.size());
    while (got.GetSize() < total && client.Active()) client.Connection()->ReadData(&got);
    ASSERT_EQ(got.GetSize(), total);
    EXPECT_TRUE(std::string(got.Bytes().begin(), got.Bytes().end()) == before + after);
    // Our own keys changed in answer; the server still reads us.
    EXPECT_EQ(Exchange(client, "done\n"), "got done\n");
}

TEST_F(TlsStream, CloseNotificationInTheMiddleOfABodyDeliversWhatCameBeforeAndCloses) {
    TTlsTestServer server(Pki().Good, [](SSL* ASsl, int) {
        ReadUntil(ASsl, "\n");
        WriteAll(ASsl, std::string(20000, 'b'));
        SSL_shutdown(ASsl);
    });
    TTestTlsClient client;
    Setup(client, server.Port());
    client.Open();
    client.Connection()->WriteString("get\n");
    client.Connection()->SetIsReadUntilClose(true);
    TMemoryStream got;
    client.Connection()->ReadData(&got);
    EXPECT_EQ(got.GetSize(), 20000);
    EXPECT_FALSE(client.Active());
}

TEST_F(TlsStream, StartTlsUpgradesAnOpenPlainConnection) {
    TServerOptions options;
    options.PlainPreamble = [](int ASocket) {
        char buf[64];
        const ssize_t n = recv(ASocket, buf, sizeof buf, 0);
        if (n > 0) SendRaw(ASocket, "go ahead\n");
    };
    TTlsTestServer server(Pki().Good, Echo, options);
    TTestTlsClient client;
    Setup(client, server.Port());
    client.SetUseTLS(ctNone);
    client.Open();
    EXPECT_FALSE(client.IsTls());
    EXPECT_EQ(Exchange(client, "STARTTLS\n"), "go ahead\n");
    client.StartTls();
    EXPECT_EQ(client.UseTLS(), ctExplicit);
    EXPECT_TRUE(client.IsTls());
    EXPECT_EQ(Exchange(client, "inside\n"), "reply:inside\n");
}

TEST_F(TlsStream, AutomaticModeIsTlsOnAnotherPortAndPlainUntilUpgradedOnTheDefaultOne) {
    TServerOptions options;
    options.PlainPreamble = [](int ASocket) {
        char buf[64];
        if (recv(ASocket, buf, sizeof buf, 0) > 0) SendRaw(ASocket, "ok\n");
    };
    TTlsTestServer upgrading(Pki().Good, Echo, options);
    {
        TTestTlsClient client(upgrading.Port());  // the server listens on the default port
        Setup(client, upgrading.Port());
        client.SetUseTLS(ctAutomatic);
        client.Open();
        EXPECT_FALSE(client.IsTls());
        EXPECT_EQ(Exchange(client, "upgrade\n"), "ok\n");
        EXPECT_TRUE(client.ExplicitStartTls());
        EXPECT_EQ(Exchange(client, "z\n"), "reply:z\n");
    }
    TTlsTestServer direct(Pki().Good, Echo);
    TTestTlsClient client;  // default port 443: the server's port is another one
    Setup(client, direct.Port());
    client.SetUseTLS(ctAutomatic);
    client.Open();
    EXPECT_TRUE(client.IsTls());
    EXPECT_FALSE(client.ExplicitStartTls());
    EXPECT_EQ(Exchange(client, "w\n"), "reply:w\n");
}

TEST_F(TlsStream, ServerRequiringAClientCertificateGetsOneFromTheEventOrRefusesWithTheLocalCertificateError) {
    TLeafOptions o;
    o.CommonName = "stream client";
    o.ServerAuth = false;
    o.ClientAuth = true;
    const TTestCertificate mine = Pki().Ca.Issue(o);
    TServerOptions options;
    options.RequireClientCertificate = true;
    options.ClientCaPem = Pki().Ca.CertificatePem();
    options.MaxVersion = TLS1_2_VERSION;  // the refusal then comes inside the handshake
    TTlsTestServer server(Pki().Good, Echo, options);
    {
        TTestTlsClient client;
        Setup(client, server.Port());
        try {
            client.Open();
            ADD_FAILURE() << "opened";
        } catch (const Exception& e) {
            EXPECT_EQ(e.ErrorCode(), -9);
            EXPECT_EQ(e.Message(), "Error querying local certificate");
        }
    }
    auto certificate = TclCertificate::CreateFromPem(mine.CertificatePem, mine.KeyPem);
    TTestTlsClient client;
    Setup(client, server.Port());
    client.OnGetCertificate = [&](TObject*, TclCertificate*& ACert, TclCertificateList&, bool& Handled) {
        ACert = certificate.get();
        Handled = true;
    };
    client.Open();
    EXPECT_EQ(Exchange(client, "cert\n"), "reply:cert\n");
}

TEST_F(TlsStream, InteroperatesWithTheOpensslCommandLineServer) {
    TOpensslServer server(WriteTempFile("stream_cert.pem", Pki().Good.CertificatePem),
                          WriteTempFile("stream_key.pem", Pki().Good.KeyPem));
    ASSERT_TRUE(server.Started);
    TTestTlsClient client;
    Setup(client, server.Port);
    client.Open();
    client.Connection()->WriteString("GET / HTTP/1.0\r\n\r\n");
    client.Connection()->SetIsReadUntilClose(true);
    TMemoryStream got;
    client.Connection()->ReadData(&got);
    const std::string text(got.Bytes().begin(), got.Bytes().end());
    EXPECT_EQ(text.rfind("HTTP/1.0 200 ok", 0), 0u) << text.substr(0, 80);
    EXPECT_FALSE(client.Active());  // the server's close notification closed it
}

TEST_F(TlsStream, AReadLimitBelowOneRecordEndsTheReadAndTheRestFollowsLater) {
    // Two records of 16 KiB each and more: the limit is reached inside the
    // first, while the layer still wants the next one.
    const std::string big(100000, 'r');
    TTlsTestServer server(Pki().Good, [&](SSL* ASsl, int) {
        ReadUntil(ASsl, "\n");
        WriteAll(ASsl, big);
        ReadUntil(ASsl, "\n");
    });
    TTestTlsClient client;
    Setup(client, server.Port());
    client.SetTimeOut(3000);
    client.Open();
    client.Connection()->WriteString("go\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    TMemoryStream got;
    client.Connection()->InitProgress(0, 0);
    client.Connection()->SetBytesToProceed(8192);
    client.Connection()->ReadData(&got);
    EXPECT_GE(got.GetSize(), 8192);
    client.Connection()->SetBytesToProceed(-1);
    while (got.GetSize() < static_cast<int64_t>(big.size())) client.Connection()->ReadData(&got);
    EXPECT_EQ(got.GetSize(), static_cast<int64_t>(big.size()));
    client.Connection()->WriteString("done\n");
}
