// The SOCKS layers against scripted proxies on loopback: the request bytes
// of every step, every refusal, replies split over receives, the tunnel's
// data (plain and TLS) after the reply, and requests that cannot be sent.
#include "transport/clSocks.h"

#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "transport/clSspi.h"
#include "transport/clTcpClientTls.h"
#include "support/TestDaemon.h"
#include "support/TlsTestPki.h"
#include "support/clLoopbackServer.h"
#include "support/clTestTcpClient.h"

using namespace cl;
using cltest::TLoopbackServer;

namespace {

std::string Bytes(std::initializer_list<int> AValues) {
    std::string s;
    for (int v : AValues) s.push_back(static_cast<char>(v));
    return s;
}

// One step of a scripted proxy: it reads Expect request bytes, then answers.
struct TStep {
    size_t Expect;
    std::string Reply;
};

struct TProxyScript {
    TProxyScript(std::vector<TStep> ASteps, bool AOneBytePerSend = false, std::string AAfterReply = {},
                 int ARelayPort = 0, bool ACloseAfter = false)
        : Steps(std::move(ASteps)),
          OneBytePerSend(AOneBytePerSend),
          AfterReply(std::move(AAfterReply)),
          RelayPort(ARelayPort),
          CloseAfter(ACloseAfter) {}

    std::vector<TStep> Steps;
    // Every reply byte in a send of its own, a moment apart.
    bool OneBytePerSend = false;
    // Tunnel bytes that follow the last reply in the same send.
    std::string AfterReply;
    // After the script: relay the tunnel to this loopback port (0: none).
    int RelayPort = 0;
    // After the script: close at once instead of waiting for the client.
    bool CloseAfter = false;
};

// Copies bytes both ways between two sockets until either side closes.
void Relay(int AFirst, int ASecond) {
    char buf[16384];
    for (;;) {
        pollfd fds[2] = {{AFirst, POLLIN, 0}, {ASecond, POLLIN, 0}};
        if (poll(fds, 2, 10000) <= 0) return;
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t n = recv(fds[i].fd, buf, sizeof buf, 0);
            if (n <= 0) return;
            TLoopbackServer::SendAll(fds[1 - i].fd, std::string(buf, static_cast<size_t>(n)));
        }
    }
}

// A proxy that plays a script on every connection and records what it got.
class TScriptedProxy {
public:
    explicit TScriptedProxy(TProxyScript AScript)
        : FScript(std::move(AScript)), FServer([this](int AFd) { Serve(AFd); }) {}

    int Port() const { return FServer.Port(); }

    // The request bytes of the first connection, once its script has run
    // (or the client has gone).
    std::string Received() {
        std::unique_lock<std::mutex> lock(FLock);
        FDone.wait_for(lock, std::chrono::seconds(10), [this] { return FFinished; });
        return FReceived;
    }

private:
    void Serve(int AFd) {
        int one = 1;
        setsockopt(AFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::string received;
        bool complete = true;
        for (size_t i = 0; i < FScript.Steps.size() && complete; ++i) {
            const TStep& step = FScript.Steps[i];
            const std::string got = TLoopbackServer::RecvCount(AFd, step.Expect);
            received += got;
            complete = got.size() == step.Expect;
            if (!complete) break;
            const bool last = i + 1 == FScript.Steps.size();
            SendReply(AFd, step.Reply, last ? FScript.AfterReply : std::string());
        }
        Finish(received);
        if (!complete || FScript.CloseAfter) return;
        if (FScript.RelayPort != 0) {
            const int target = cltest::ConnectToLoopback(FScript.RelayPort);
            if (target >= 0) {
                Relay(AFd, target);
                close(target);
            }
            return;
        }
        // Holds the connection until the client closes it.
        std::string rest = TLoopbackServer::RecvAll(AFd);
        (void)rest;
    }

    void SendReply(int AFd, const std::string& AReply, const std::string& AAfter) {
        if (!FScript.OneBytePerSend) {
            TLoopbackServer::SendAll(AFd, AReply + AAfter);
            return;
        }
        for (size_t i = 0; i < AReply.size(); ++i) {
            const bool last = i + 1 == AReply.size();
            TLoopbackServer::SendAll(AFd, AReply.substr(i, 1) + (last ? AAfter : std::string()));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    void Finish(const std::string& AReceived) {
        std::lock_guard<std::mutex> lock(FLock);
        if (FFinished) return;
        FReceived = AReceived;
        FFinished = true;
        FDone.notify_all();
    }

    TProxyScript FScript;
    std::mutex FLock;
    std::condition_variable FDone;
    bool FFinished = false;
    std::string FReceived;
    TLoopbackServer FServer;  // last: it stops before the members it uses go
};

void UseProxy(TclTcpClient& AClient, TclFirewallType AType, int AProxyPort, const std::string& ATarget,
              int ATargetPort) {
    AClient.SetServer(ATarget);
    AClient.SetPort(ATargetPort);
    AClient.SetTimeOut(10000);
    AClient.FirewallSettings().SetFirewallType(AType);
    AClient.FirewallSettings().SetServer("127.0.0.1");
    AClient.FirewallSettings().SetPort(AProxyPort);
}

struct TOpenError {
    int Code;
    std::string Text;
    bool IsSocksError;  // an EclSocksFirewallError
    int ErrorCode() const { return Code; }
    const std::string& Message() const { return Text; }
};

std::optional<TOpenError> ErrorOfOpen(TclTcpClient& AClient) {
    try {
        AClient.Open();
    } catch (const EclSocketError& e) {
        return TOpenError{e.ErrorCode(), e.Message(), dynamic_cast<const EclSocksFirewallError*>(&e) != nullptr};
    }
    return std::nullopt;
}

// Open fails with the proxy's refusal ACode and AText, and leaves the client closed.
void ExpectRefusal(TclTcpClient& AClient, int ACode, const std::string& AText) {
    const auto error = ErrorOfOpen(AClient);
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->IsSocksError);
    EXPECT_EQ(error->ErrorCode(), ACode);
    EXPECT_EQ(error->Message(), AText);
    EXPECT_FALSE(AClient.Active());
}

// Reads until ACount bytes came or the connection closed.
std::string ReadCount(TclTcpClient& AClient, size_t ACount) {
    std::string data;
    while (data.size() < ACount && AClient.Active()) {
        const std::vector<uint8_t> got = AClient.Connection()->ReadBytes();
        data.append(got.begin(), got.end());
    }
    return data;
}

const std::string cGranted4 = Bytes({0, 90, 0, 0, 0, 0, 0, 0});
const std::string cMethodNone = Bytes({5, 0});
const std::string cConnected5 = Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x30, 0x39});

// The SOCKS 5 request bytes of a CONNECT to 127.0.0.1:8443.
const std::string cConnectLoopback5 = Bytes({5, 1, 0, 1, 127, 0, 0, 1, 0x20, 0xFB});

}  // namespace

// ---- SOCKS 4 and 4a ----

TEST(Socks4, AnAddressTargetSendsItsFourBytesAndTheUserIdThenTheTunnelCarriesData) {
    TScriptedProxy proxy({{{10, cGranted4}}, false, "tunnel data"});
    cltest::TTestTcpClient client;
    UseProxy(client, ftSocks4, proxy.Port(), "10.0.0.5", 443);
    client.FirewallSettings().SetUserName("u");
    client.Open();
    EXPECT_TRUE(client.Active());
    EXPECT_EQ(proxy.Received(), Bytes({4, 1, 1, 187, 10, 0, 0, 5, 117, 0}));
    // Negotiation bytes are not the connection's progress.
    EXPECT_EQ(client.Connection()->BytesProceed(), 0);
    EXPECT_EQ(ReadCount(client, 11), "tunnel data");
}

TEST(Socks4, AHostNameGoesInThe4aFormAfterTheUserId) {
    const std::string request = Bytes({4, 1, 0, 80, 0, 0, 0, 1}) + "id" + Bytes({0}) + "files.example" + Bytes({0});
    TScriptedProxy proxy({{{request.size(), cGranted4}}});
    cltest::TTestTcpClient client;
    UseProxy(client, ftSocks4, proxy.Port(), "files.example", 80);
    client.FirewallSettings().SetUserName("id");
    client.Open();
    EXPECT_EQ(proxy.Received(), request);
}

TEST(Socks4, ShortAddressFormsAreSentAsTheAddressTheyMean) {
    TScriptedProxy proxy({{{9, cGranted4}}});
    cltest::TTestTcpClient client;
    UseProxy(client, ftSocks4, proxy.Port(), "127.1", 8080);
    client.Open();
    EXPECT_EQ(proxy.Received(), Bytes({4, 1, 0x1F, 0x90, 127, 0, 0, 1, 0}));
}

TEST(Socks4, EveryRefusalRaisesItsTextAndCodeAndLeavesTheClientClosed) {
    struct TCase {
        std::string Reply;
        int Code;
        const char* Text;
    };
    const TCase cases[] = {
        {Bytes({0, 91, 0, 0, 0, 0, 0, 0}), 91, "SOCKS error: request rejected or failed"},
        {Bytes({0, 92, 0, 0, 0, 0, 0, 0}), 92,
         "SOCKS error: request rejected becasue SOCKS server cannot connect to identd on the client"},
        {Bytes({0, 93, 0, 0, 0, 0, 0, 0}), 93,
         "SOCKS error: request rejected because the client program and identd report different user-ids"},
        {Bytes({0, 17, 0, 0, 0, 0, 0, 0}), 17, "Unknown SOCKS error occured"},
        // A reply of the wrong version is refused even when it grants.
        {Bytes({4, 90, 0, 0, 0, 0, 0, 0}), 90, "Request granted"},
        // The verdict is in two bytes: a proxy that closes after them is still understood.
        {Bytes({0, 91}), 91, "SOCKS error: request rejected or failed"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Code);
        TScriptedProxy proxy({{{9, c.Reply}}, false, "", 0, true});
        cltest::TTestTcpClient client;
        UseProxy(client, ftSocks4, proxy.Port(), "127.0.0.1", 80);
        ExpectRefusal(client, c.Code, c.Text);
    }
}

TEST(Socks4, AReplyArrivingOneBytePerReceiveIsCollectedAndTheDataAfterItIsKept) {
    TScriptedProxy proxy({{{9, cGranted4}}, true, "after"});
    cltest::TTestTcpClient client;
    UseProxy(client, ftSocks4, proxy.Port(), "127.0.0.1", 80);
    client.Open();
    EXPECT_EQ(ReadCount(client, 5), "after");
}

TEST(Socks4, RequestsThatCannotBeSentWholeAreRefusedBeforeAnyByteGoesOut) {
    struct TCase {
        std::string Target;
        std::string UserId;
        int Code;
    };
    const TCase cases[] = {
        {"::1", "", cSocksIPv6NotCarried},
        {"127.0.0.1", std::string("a\0b", 3), cSocksFieldNotCarried},
        {std::string("host\0name", 9), "", cSocksFieldNotCarried},
        {"files.example", std::string(1010, 'u'), cSocksFieldNotCarried},
        {"", "", cInvalidAddress},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Code);
        TScriptedProxy proxy({{{1, cGranted4}}});
        cltest::TTestTcpClient client;
        UseProxy(client, ftSocks4, proxy.Port(), c.Target, 80);
        client.FirewallSettings().SetUserName(c.UserId);
        const auto error = ErrorOfOpen(client);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->ErrorCode(), c.Code) << error->Message();
        EXPECT_FALSE(client.Active());
        EXPECT_EQ(proxy.Received(), "");
    }
    // The longest user id and name that fit the request still go out.
    const std::string userId(1024 - 8 - 1 - 3 - 1, 'u');
    TScriptedProxy proxy({{{1024, cGranted4}}});
    cltest::TTestTcpClient client;
    UseProxy(client, ftSocks4, proxy.Port(), "h.x", 80);
    client.FirewallSettings().SetUserName(userId);
    client.Open();
    EXPECT_EQ(proxy.Received().size(), 1024u);
}

// ---- SOCKS 5 ----

TEST(Socks5, WithoutAUserNameOnlyMethodZeroIsOfferedAndAnAddressGoesAsType1) {
    TScriptedProxy proxy({{{3, cMethodNone}, {10, cConnected5}}, false, "data"});
    cltest::TTestTcpClient client;
    UseProxy(client, ftSocks5, proxy.Port(), "127.0.0.1", 8443);
    client.Open();
    EXPECT_EQ(proxy.Received(), Bytes({5, 1, 0}) + cConnectLoopback5);
    EXPECT_EQ(ReadCount(client, 4), "data");
}

TEST(Socks5, AUserNameOffersOnlyMethod2AndAuthenticatesBeforeAHostNameConnect) {
    const std::string auth = Bytes({1, 4}) + "user" + Bytes({6}) + "secret";
    const std::string connect = Bytes({5, 1, 0, 3, 13}) + "files.example" + Bytes({0, 80});
    TScriptedProxy proxy({{{3, Bytes({5, 2})}, {auth.size(), Bytes({1, 0})}, {connect.size(), cConnected5}}});
    cltest::TTestTcpClient client;
    UseProxy(client, ftSocks5, proxy.Port(), "files.example", 80);
    client.FirewallSettings().SetUserName("user");
    client.FirewallSettings().SetPassword("secret");
    client.Open();
    EXPECT_EQ(proxy.Received(), Bytes({5, 1, 2}) + auth + connect);
}

TEST(Socks5, AnIPv6TargetGoesAsType4WithItsSixteenBytes) {
    const std::string connect = Bytes({5, 1, 0, 4, 0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0xBB});
    TScriptedProxy proxy({{{3, cMethodNone}, {connect.size(), cConnected5}}});
    cltest::TTestTcpClient client;
    UseProxy(client, ftSocks5, proxy.Port(), "fe80::1", 443);
    client.Open();
    EXPECT_EQ(proxy.Received(), Bytes({5, 1, 0}) + connect);
}

TEST(Socks5, MethodAndAuthenticationRefusalsRaiseTheirTextsAndCodes) {
    struct TCase {
        std::string UserName;
        std::vector<TStep> Steps;
        int Code;
        const char* Text;
    };
    const TCase cases[] = {
        {"", {{3, Bytes({5, 255})}}, 255, "SOCKS error: No acceptable authentication methods"},
        // A user name asked for when none was offered.
        {"", {{3, Bytes({5, 2})}}, 2, "SOCKS error: No acceptable authentication methods"},
        {"u", {{3, Bytes({4, 2})}}, 2, "SOCKS error: No acceptable authentication methods"},
        {"u", {{3, Bytes({5, 2})}, {4, Bytes({1, 1})}}, 1, "SOCKS error: authentication failed"},
        {"u", {{3, Bytes({5, 2})}, {4, Bytes({5, 0})}}, 0, "SOCKS error: authentication failed"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Text);
        TScriptedProxy proxy({c.Steps, false, "", 0, true});
        cltest::TTestTcpClient client;
        UseProxy(client, ftSocks5, proxy.Port(), "127.0.0.1", 80);
        client.FirewallSettings().SetUserName(c.UserName);
        ExpectRefusal(client, c.Code, c.Text);
    }
}

TEST(Socks5, EveryConnectRefusalRaisesItsTextAndCode) {
    const char* texts[] = {"Succeeded",
                           "General SOCKS server failure",
                           "SOCKS error: connection not allowed by ruleset",
                           "SOCKS error: Network unreachable",
                           "SOCKS error: Host unreachable",
                           "SOCKS error: Connection refused",
                           "SOCKS error: TTL expired",
                           "SOCKS error: Command not supported",
                           "SOCKS error: Address type not supported",
                           "Unknown SOCKS error occured"};
    for (int code = 0; code <= 9; ++code) {
        SCOPED_TRACE(code);
        // Code 0 is reached through a reply of the wrong version.
        const std::string reply = Bytes({code == 0 ? 4 : 5, code, 0, 1, 0, 0, 0, 0, 0, 0});
        TScriptedProxy proxy({{{3, cMethodNone}, {10, reply}}, false, "", 0, true});
        cltest::TTestTcpClient client;
        UseProxy(client, ftSocks5, proxy.Port(), "127.0.0.1", 8443);
        ExpectRefusal(client, code, texts[code]);
    }
    // A refusal cut short after its verdict, the proxy closing.
    TScriptedProxy proxy({{{3, cMethodNone}, {10, Bytes({5, 5})}}, false, "", 0, true});
    cltest::TTestTcpClient client;
    UseProxy(client, ftSocks5, proxy.Port(), "127.0.0.1", 8443);
    ExpectRefusal(client, 5, "SOCKS error: Connection refused");
}

TEST(Socks5, RepliesOfEveryBoundAddressTypeAreReadToTheirExactLengthEvenOneBytePerReceive) {
    const std::string v4 = cConnected5;
    const std::string v6 = Bytes({5, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x30, 0x39});
    const std::string name = Bytes({5, 0, 0, 3, 5}) + "proxy" + Bytes({0x30, 0x39});
    const std::string emptyName = Bytes({5, 0, 0, 3, 0, 0x30, 0x39});
    for (const bool oneByte : {false, true}) {
        for (const std::string& reply : {v4, v6, name, emptyName}) {
            SCOPED_TRACE(testing::Message() << "one byte: " << oneByte << ", reply size " << reply.size());
            const std::string auth = Bytes({1, 1}) + "u" + Bytes({1}) + "p";
            TScriptedProxy proxy(
                {{{3, Bytes({5, 2})}, {auth.size(), Bytes({1, 0})}, {10, reply}}, oneByte, "the tunnel's own bytes"});
            cltest::TTestTcpClient client;
            UseProxy(client, ftSocks5, proxy.Port(), "127.0.0.1", 8443);
            client.FirewallSettings().SetUserName("u");
            client.FirewallSettings().SetPassword("p");
            client.Open();
            EXPECT_EQ(ReadCount(client, 22), "the tunnel's own bytes");
        }
    }
}

TEST(Socks5, AReplyWithAnUnknownBoundAddressTypeIsRefused) {
    TScriptedProxy proxy({{{3, cMethodNone}, {10, Bytes({5, 0, 0, 9, 0, 0, 0, 0, 0, 0})}}});
    cltest::TTestTcpClient client;
    UseProxy(client, ftSocks5, proxy.Port(), "127.0.0.1", 8443);
    const auto error = ErrorOfOpen(client);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->ErrorCode(), cSocksInvalidReply);
    EXPECT_FALSE(client.Active());
}

TEST(Socks5, ValuesLongerThanTheirLengthByteAreRefusedAndTheLongestThatFitGoesOut) {
    const std::string longest(255, 'x');
    const std::string tooLong(256, 'x');
    struct TCase {
        std::string Target, UserName, Password;
    };
    for (const TCase& c :
         {TCase{tooLong + ".example", "", ""}, TCase{"127.0.0.1", tooLong, "p"}, TCase{"127.0.0.1", "u", tooLong}}) {
        TScriptedProxy proxy({{{3, Bytes({5, 2})}, {1, Bytes({1, 0})}}});
        cltest::TTestTcpClient client;
        UseProxy(client, ftSocks5, proxy.Port(), c.Target, 80);
        client.FirewallSettings().SetUserName(c.UserName.empty() ? "u" : c.UserName);
        client.FirewallSettings().SetPassword(c.Password);
        const auto error = ErrorOfOpen(client);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->ErrorCode(), cSocksFieldNotCarried) << error->Message();
    }
    const std::string auth = Bytes({1, 255}) + longest + Bytes({255}) + longest;
    const std::string connect = Bytes({5, 1, 0, 3, 255}) + longest + Bytes({0, 80});
    TScriptedProxy proxy({{{3, Bytes({5, 2})}, {auth.size(), Bytes({1, 0})}, {connect.size(), cConnected5}}});
    cltest::TTestTcpClient client;
    UseProxy(client, ftSocks5, proxy.Port(), longest, 80);
    client.FirewallSettings().SetUserName(longest);
    client.FirewallSettings().SetPassword(longest);
    client.Open();
    EXPECT_EQ(proxy.Received(), Bytes({5, 1, 2}) + auth + connect);
}

// ---- both versions ----

TEST(Socks, WithoutNeedResolveIPTheTargetIsResolvedHereAndSentAsAnAddress) {
    {
        TScriptedProxy proxy({{{9, cGranted4}}});
        cltest::TTestTcpClient client;
        UseProxy(client, ftSocks4, proxy.Port(), "localhost", 8443);
        client.FirewallSettings().SetNeedResolveIP(false);
        client.Open();
        EXPECT_EQ(proxy.Received(), Bytes({4, 1, 0x20, 0xFB, 127, 0, 0, 1, 0}));
    }
    {
        TScriptedProxy proxy({{{3, cMethodNone}, {10, cConnected5}}});
        cltest::TTestTcpClient client;
        UseProxy(client, ftSocks5, proxy.Port(), "localhost", 8443);
        client.FirewallSettings().SetNeedResolveIP(false);
        client.Open();
        EXPECT_EQ(proxy.Received(), Bytes({5, 1, 0}) + cConnectLoopback5);
    }
}

TEST(Socks, AProxyThatClosesOrStaysSilentDuringTheNegotiationFailsTheOpen) {
    {
        TScriptedProxy proxy({{{3, Bytes({5})}}, false, "", 0, true});
        cltest::TTestTcpClient client;
        UseProxy(client, ftSocks5, proxy.Port(), "127.0.0.1", 80);
        const auto error = ErrorOfOpen(client);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->ErrorCode(), cConnectionNotActive);
        EXPECT_EQ(error->Message(), "The connection to the server is not active");
        EXPECT_FALSE(client.Active());
    }
    {
        TScriptedProxy proxy({{{9, ""}}});
        cltest::TTestTcpClient client;
        UseProxy(client, ftSocks4, proxy.Port(), "127.0.0.1", 80);
        client.SetTimeOut(200);
        const auto error = ErrorOfOpen(client);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->ErrorCode(), cTimeoutOccured);
        EXPECT_FALSE(client.Active());
    }
}

TEST(Socks, AReadLimitInsideTheTunnelCountsTheTunnelsDataFromItsLastInitProgress) {
    TScriptedProxy proxy({{{3, cMethodNone}, {10, cConnected5}}, false, std::string(100, 'd')});
    cltest::TTestTcpClient client;
    UseProxy(client, ftSocks5, proxy.Port(), "127.0.0.1", 8443);
    client.Open();
    TclTcpClientConnection& connection = *client.Connection();
    connection.SetBytesToProceed(5);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        connection.InitProgress(0, 0);
        TMemoryStream data;
        while (connection.NetworkStream().BytesProceed() < 5) connection.ReadData(&data);
        EXPECT_EQ(data.GetSize(), 5);
        EXPECT_EQ(connection.BytesProceed(), 5);
    }
    connection.SetBytesToProceed(-1);
}

// ---- TLS through the tunnel ----

namespace {

class TTlsClient : public TclTcpClientTls {
protected:
    int GetDefaultPort() override { return 443; }
};

class SocksTls : public ::testing::Test {
protected:
    void SetUp() override {
        ClearTrustAnchors();
        AddTrustAnchorsPem(FCa.CertificatePem());
    }
    void TearDown() override { ClearTrustAnchors(); }

    cltest::TTestCa FCa{"Tunnel Test CA"};
    cltest::TTestCertificate FCertificate = FCa.Issue(cltest::TLeafOptions{});
};

void EchoLine(SSL* ASsl, int) {
    const std::string got = cltest::ReadUntil(ASsl, "\n");
    cltest::WriteAll(ASsl, "reply:" + got);
}

}  // namespace

TEST_F(SocksTls, TheHandshakeWithTheTargetRunsAfterTheConnectReplyInsideTheSameOpen) {
    cltest::TTlsTestServer target(FCertificate, EchoLine);
    for (const bool oneByte : {false, true}) {
        SCOPED_TRACE(oneByte);
        const std::string connect =
            Bytes({5, 1, 0, 3, 9}) + "localhost" + Bytes({target.Port() >> 8, target.Port() & 0xFF});
        TScriptedProxy proxy({{{3, cMethodNone}, {connect.size(), cConnected5}}, oneByte, "", target.Port()});
        TTlsClient client;
        UseProxy(client, ftSocks5, proxy.Port(), "localhost", target.Port());
        client.SetUseTLS(ctImplicit);
        bool verified = false;
        client.OnVerifyServer = [&](TObject*, TclCertificate*, const std::string&, int32_t, bool& AVerified) {
            verified = AVerified;
        };
        client.Open();
        EXPECT_TRUE(verified);
        EXPECT_TRUE(client.IsTls());
        EXPECT_EQ(proxy.Received(), Bytes({5, 1, 0}) + connect);
        client.Connection()->WriteString("hello\n");
        EXPECT_EQ(ReadCount(client, 12), "reply:hello\n");
        client.Close();
    }
}

TEST_F(SocksTls, ACertificateRefusedInsideTheTunnelFailsTheOpen) {
    cltest::TTlsTestServer target(cltest::MakeSelfSigned(cltest::TLeafOptions{}), EchoLine);
    TScriptedProxy proxy({{{9, cGranted4}}, false, "", target.Port()});
    TTlsClient client;
    UseProxy(client, ftSocks4, proxy.Port(), "127.0.0.1", target.Port());
    client.SetUseTLS(ctImplicit);
    const auto error = ErrorOfOpen(client);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->ErrorCode(), SspiStatus::CertUntrustedRoot);
    EXPECT_FALSE(client.Active());
}
