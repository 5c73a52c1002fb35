// The HTTP client through a real SOCKS server (dante) to a real nginx, both
// on loopback: HTTPS end to end through SOCKS 5 with and without a user
// name, SOCKS 4, the proxy's own refusals, an IPv6 target, and the
// command-line front end's SOCKS options.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "http/clHttp.h"
#include "transport/clCertificate.h"
#include "transport/clSocks.h"
#include "rtl/clStreams.h"
#include "support/DanteServer.h"
#include "support/NginxServer.h"
#include "support/TestDaemon.h"
#include "support/clLoopbackServer.h"
#include "support/clTestTcpClient.h"

namespace {

using cl::TclHttp;
using cl::TMemoryStream;
using cltest::TDanteOptions;
using cltest::TDanteServer;
using cltest::TNginxServer;

constexpr const char* cUser = "cltest-socks";
constexpr const char* cPassword = "open sesame 5";

std::string Text(const TMemoryStream& AStream) { return std::string(AStream.Bytes().begin(), AStream.Bytes().end()); }

struct TFailure {
    int Code;
    std::string Text;
    bool IsSocksError;
};

template <class TCall>
std::optional<TFailure> FailureOf(TCall ACall) {
    try {
        ACall();
    } catch (const cl::EclSocketError& e) {
        return TFailure{e.ErrorCode(), e.Message(), dynamic_cast<const cl::EclSocksFirewallError*>(&e) != nullptr};
    }
    return std::nullopt;
}

// One nginx and two dante daemons (without and with authentication) for
// the whole suite.
class DanteProxy : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!TDanteServer::Installed()) return;
        try {
            Nginx = std::make_unique<TNginxServer>();
            cl::AddTrustAnchorsPem(Nginx->CaPem());
            BlockedPort = cltest::FreeLoopbackPort();
            Open = std::make_unique<TDanteServer>(TDanteOptions{"", "", BlockedPort});
            // The proxy's user lives in password files only it sees, mounted
            // in a namespace of its own: that takes root.
            if (geteuid() == 0) Authenticating = std::make_unique<TDanteServer>(TDanteOptions{cUser, cPassword, 0});
        } catch (const std::exception& e) {
            StartError = e.what();
        }
    }
    static void TearDownTestSuite() {
        cl::ClearTrustAnchors();
        Authenticating.reset();
        Open.reset();
        Nginx.reset();
    }
    void SetUp() override {
        // Only a missing daemon is a reason to skip: scripts/setup-deps installs it.
        if (!TDanteServer::Installed()) {
            GTEST_SKIP() << "dante-server is not installed (" << TDanteServer::Binary
                         << " is missing); scripts/setup-deps installs it";
        }
        ASSERT_TRUE(Nginx && Open) << StartError;
        ASSERT_TRUE(Authenticating || geteuid() != 0) << StartError;
    }
    // The tests of the authenticating proxy run as root only.
    static bool SkipWithoutAuthenticatingProxy() { return !Authenticating; }

    static void UseSocks(cl::TclTcpClient& AClient, const TDanteServer& AProxy, cl::TclFirewallType AType,
                         const std::string& AUser = "", const std::string& APassword = "") {
        AClient.SetTimeOut(10000);
        AClient.FirewallSettings().SetFirewallType(AType);
        AClient.FirewallSettings().SetServer("127.0.0.1");
        AClient.FirewallSettings().SetPort(AProxy.Port());
        AClient.FirewallSettings().SetUserName(AUser);
        AClient.FirewallSettings().SetPassword(APassword);
    }
    static std::string HttpsUrl(const std::string& AHost, const std::string& APath) {
        return "https://" + AHost + ":" + std::to_string(Nginx->HttpsPort()) + APath;
    }
    static std::string FileText(const std::string& APath) { return cltest::ReadWholeFile(Nginx->FileOf(APath)); }

    static inline std::unique_ptr<TNginxServer> Nginx;
    static inline std::unique_ptr<TDanteServer> Open;
    static inline std::unique_ptr<TDanteServer> Authenticating;
    static inline int BlockedPort = 0;
    static inline std::string StartError;
};

}  // namespace

TEST_F(DanteProxy, HttpsThroughSocks5RunsTlsEndToEndAndKeepsTheTunnelForTheNextRequest) {
    TclHttp http;
    UseSocks(http, *Open, cl::ftSocks5);
    const size_t before = Nginx->AccessLog().size();
    TMemoryStream small;
    http.Get(HttpsUrl("127.0.0.1", "/static/small.txt"), &small);
    EXPECT_EQ(http.StatusCode(), 200);
    EXPECT_EQ(Text(small), FileText("/static/small.txt"));
    EXPECT_TRUE(http.IsTls());
    // The second request: records and a first header read limited to part
    // of one, on the same tunnel.
    TMemoryStream large;
    http.Get(HttpsUrl("127.0.0.1", "/static/large.bin"), &large);
    const std::string expected = FileText("/static/large.bin");
    ASSERT_EQ(large.GetSize(), static_cast<int64_t>(expected.size()));
    EXPECT_EQ(cltest::Sha256Hex(large.Memory(), expected.size()), cltest::Sha256Hex(expected));
    http.Close();
    std::vector<cltest::TNginxLogEntry> log;
    for (int i = 0; i < 300 && log.size() < before + 2; ++i) {
        log = Nginx->AccessLog();
        if (log.size() < before + 2) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(log.size(), before + 2);
    EXPECT_EQ(log[before].Connection, log[before + 1].Connection);
    EXPECT_EQ(log[before + 1].Request, 2);
}

TEST_F(DanteProxy, AUserNameAndPasswordAreAcceptedByTheProxyForHttpsAndPlainHttp) {
    if (SkipWithoutAuthenticatingProxy())
        GTEST_SKIP() << "the authenticating proxy needs root for its private password files";
    TclHttp http;
    UseSocks(http, *Authenticating, cl::ftSocks5, cUser, cPassword);
    TMemoryStream body;
    http.Get(HttpsUrl("localhost", "/static/text.txt"), &body);
    EXPECT_EQ(http.StatusCode(), 200);
    EXPECT_TRUE(Text(body) == FileText("/static/text.txt"));
    TMemoryStream plain;
    http.Get(Nginx->HttpBase() + "/static/small.txt", &plain);
    EXPECT_EQ(Text(plain), FileText("/static/small.txt"));
}

TEST_F(DanteProxy, TheProxysRefusalsReachTheCallerWithTheirCodes) {
    if (SkipWithoutAuthenticatingProxy())
        GTEST_SKIP() << "the authenticating proxy needs root for its private password files";
    struct TCase {
        const TDanteServer* Proxy;
        cl::TclFirewallType Type;
        std::string User, Password, Url;
        int Code;
        std::string Text;
    };
    const int closedPort = cltest::FreeLoopbackPort();
    const std::string closed = "http://127.0.0.1:" + std::to_string(closedPort) + "/";
    const std::string blocked = "http://127.0.0.1:" + std::to_string(BlockedPort) + "/";
    const TCase cases[] = {
        {Authenticating.get(), cl::ftSocks5, cUser, "wrong", HttpsUrl("127.0.0.1", "/"), 1,
         "SOCKS error: authentication failed"},
        {Authenticating.get(), cl::ftSocks5, "", "", HttpsUrl("127.0.0.1", "/"), 255,
         "SOCKS error: No acceptable authentication methods"},
        {Open.get(), cl::ftSocks5, "", "", closed, 5, "SOCKS error: Connection refused"},
        {Open.get(), cl::ftSocks5, "", "", blocked, 2, "SOCKS error: connection not allowed by ruleset"},
        {Open.get(), cl::ftSocks4, "", "", closed, 91, "SOCKS error: request rejected or failed"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Text);
        TclHttp http;
        UseSocks(http, *c.Proxy, c.Type, c.User, c.Password);
        TMemoryStream body;
        const auto failure = FailureOf([&] { http.Get(c.Url, &body); });
        ASSERT_TRUE(failure);
        EXPECT_TRUE(failure->IsSocksError);
        EXPECT_EQ(failure->Code, c.Code);
        EXPECT_EQ(failure->Text, c.Text);
        EXPECT_FALSE(http.Active());
    }
}

// dante does not know the 4a form (it takes 0.0.0.1 for the target), so
// names go to it resolved here; the 4a bytes are checked against scripted
// proxies.
TEST_F(DanteProxy, Socks4CarriesAnAddressOrANameResolvedHere) {
    for (const std::string host : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(host);
        TclHttp http;
        UseSocks(http, *Open, cl::ftSocks4, "any-id");
        http.FirewallSettings().SetNeedResolveIP(false);
        TMemoryStream body;
        const auto failure = FailureOf([&] { http.Get(HttpsUrl(host, "/static/small.txt"), &body); });
        EXPECT_FALSE(failure) << failure->Text;
        EXPECT_EQ(Text(body), FileText("/static/small.txt"));
    }
}

TEST_F(DanteProxy, AnIPv6TargetGoesThroughSocks5AndTheLongerReplyIsReadExactly) {
    if (!cltest::TLoopbackServer::HasIPv6Loopback()) GTEST_SKIP() << "no IPv6 loopback on this machine";
    cltest::TLoopbackServer target(
        [](int AFd) {
            if (cltest::TLoopbackServer::RecvCount(AFd, 5) == "ping\n") cltest::TLoopbackServer::SendAll(AFd, "pong\n");
        },
        true);
    cltest::TTestTcpClient client;
    UseSocks(client, *Open, cl::ftSocks5);
    client.SetServer("::1");
    client.SetPort(target.Port());
    client.Open();
    client.Connection()->WriteString("ping\n");
    std::string reply;
    while (reply.size() < 5 && client.Active()) {
        const std::vector<uint8_t> got = client.Connection()->ReadBytes();
        reply.append(got.begin(), got.end());
    }
    EXPECT_EQ(reply, "pong\n");
}

TEST_F(DanteProxy, HttpGetToolFetchesThroughSocksAndReportsTheProxysRefusal) {
    if (SkipWithoutAuthenticatingProxy())
        GTEST_SKIP() << "the authenticating proxy needs root for its private password files";
    const std::string out = Nginx->Folder() + "/httpget-socks.out";
    const std::string err = Nginx->Folder() + "/httpget-socks.err";
    const std::string proxy = "127.0.0.1:" + std::to_string(Authenticating->Port());
    const std::string url = HttpsUrl("127.0.0.1", "/static/large.bin");
    const cltest::TToolRun run = cltest::RunTool(HTTPGET_PATH,
                                                 {"-o", out, "--cacert", Nginx->CaFile(), "--socks5", proxy,
                                                  "--socks-user", std::string(cUser) + ":" + cPassword, url},
                                                 err);
    EXPECT_EQ(run.Status, 0) << run.Stderr;
    EXPECT_EQ(cltest::Sha256Hex(cltest::ReadWholeFile(out)), cltest::Sha256Hex(FileText("/static/large.bin")));

    const cltest::TToolRun refused = cltest::RunTool(
        HTTPGET_PATH,
        {"-o", out, "--cacert", Nginx->CaFile(), "--socks5", proxy, "--socks-user", std::string(cUser) + ":x", url},
        err);
    EXPECT_EQ(refused.Status, 1);
    EXPECT_NE(refused.Stderr.find("cl::EclSocksFirewallError: SOCKS error: authentication failed (ErrorCode 1)"),
              std::string::npos)
        << refused.Stderr;

    const std::string plain = "http://127.0.0.1:" + std::to_string(Nginx->HttpPort()) + "/static/small.txt";
    const cltest::TToolRun socks4 =
        cltest::RunTool(HTTPGET_PATH, {"-o", out, "--socks4", "127.0.0.1:" + std::to_string(Open->Port()), plain}, err);
    EXPECT_EQ(socks4.Status, 0) << socks4.Stderr;
    EXPECT_EQ(cltest::ReadWholeFile(out), FileText("/static/small.txt"));
}
