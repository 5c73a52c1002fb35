#include "engine/clWinInet.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <thread>

#include "common/engine/clInetTestUtils.h"
#include "rtl/clBase64.h"
#include "support/FtpTestServer.h"
#include "support/NginxServer.h"
#include "support/ScriptedHttpServer.h"
#include "support/TlsTestPki.h"
#include "support/clLoopbackServer.h"
#include "transport/clCertificate.h"
#include "transport/clIpAddress.h"

using namespace cl;
using namespace cltest;

namespace {

class WinInetNginx : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        TNginxOptions options;
        options.LargeSize = 64 << 20;
        FNginx = new TNginxServer(options);
    }
    static void TearDownTestSuite() {
        delete FNginx;
        FNginx = nullptr;
    }
    void TearDown() override { ClearTrustAnchors(); }
    static TNginxServer* FNginx;
};
TNginxServer* WinInetNginx::FNginx = nullptr;

long ResidentKiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

TEST_F(WinInetNginx, RequestAnswersStatusTextAndRawHeaders) {
    TRequestSet r = OpenRequest("127.0.0.1", FNginx->HttpPort(), "/static/small.txt");
    ASSERT_NE(r.Request.Get(), 0u);
    ASSERT_TRUE(HttpSendRequestA(r.Request.Get(), "", nullptr, 0)) << GetLastError();

    EXPECT_EQ(QueryStatus(r.Request.Get()), 200);
    EXPECT_EQ(QueryText(r.Request.Get(), HTTP_QUERY_STATUS_CODE), "200");
    EXPECT_EQ(QueryText(r.Request.Get(), HTTP_QUERY_STATUS_TEXT), "OK");
    const std::string raw = QueryText(r.Request.Get(), HTTP_QUERY_RAW_HEADERS_CRLF);
    EXPECT_EQ(raw.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << raw;
    EXPECT_NE(raw.find("\r\nContent-Length: "), std::string::npos);
    ASSERT_GE(raw.size(), 4u);
    EXPECT_EQ(raw.substr(raw.size() - 4), "\r\n\r\n");

    // A query without a buffer says how much it needs, terminator included.
    uint32_t length = 0;
    EXPECT_FALSE(HttpQueryInfoA(r.Request.Get(), HTTP_QUERY_STATUS_TEXT, nullptr, &length, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(length, 3u);

    bool ok = false;
    EXPECT_EQ(ReadBody(r.Request.Get(), ok), ReadWholeFile(FNginx->FileOf("/static/small.txt")));
    EXPECT_TRUE(ok);
}

TEST_F(WinInetNginx, RedirectionsAreFollowedAndTheSecondRequestReusesTheConnection) {
    const size_t before = FNginx->AccessLog().size();
    THandleGuard root(InternetOpenA("inet test", INTERNET_OPEN_TYPE_PRECONFIG, "", "", 0));
    THandleGuard connect(InternetConnectA(root.Get(), "127.0.0.1", static_cast<uint16_t>(FNginx->HttpPort()), "", "",
                                          INTERNET_SERVICE_HTTP, 0, 0));
    for (const char* path : {"/r1", "/static/small.txt"}) {
        THandleGuard request(HttpOpenRequestA(connect.Get(), "GET", path, "", "", "", INTERNET_FLAG_RELOAD, 0));
        ASSERT_TRUE(HttpSendRequestA(request.Get(), "", nullptr, 0)) << GetLastError();
        EXPECT_EQ(QueryStatus(request.Get()), 200) << path;
        bool ok = false;
        EXPECT_EQ(ReadBody(request.Get(), ok), ReadWholeFile(FNginx->FileOf("/static/small.txt")));
    }
    // nginx writes a line once it has sent the answer, so the lines of these
    // five requests (three redirections, two answers) may come a little late.
    const std::vector<std::string> uris = {"/r1", "/r2", "/r3", "/static/small.txt", "/static/small.txt"};
    std::vector<TNginxLogEntry> ours;
    for (int i = 0; i < 500; ++i) {
        const auto log = FNginx->AccessLog();
        if (log.size() >= before + uris.size()) {
            ours.assign(log.end() - static_cast<long>(uris.size()), log.end());
            if (ours.back().Uri == uris.back()) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(ours.size(), uris.size());
    for (size_t i = 0; i < ours.size(); ++i) {
        EXPECT_EQ(ours[i].Uri, uris[i]);
        EXPECT_EQ(ours[i].Connection, ours[0].Connection);
    }
}

TEST_F(WinInetNginx, LargeBodyIsReadInPiecesWithFlatMemory) {
    TRequestSet r = OpenRequest("127.0.0.1", FNginx->HttpPort(), "/static/large.bin");
    ASSERT_TRUE(HttpSendRequestA(r.Request.Get(), "", nullptr, 0));
    int32_t high = 0;
    EXPECT_EQ(InternetSetFilePointer(r.Request.Get(), 0, &high, FILE_END, 0), 64u << 20);
    const long before = ResidentKiB();
    // Sizes below and above libcurl's pieces: bytes go partly straight into
    // the reader's buffer and partly through the ring, in order.
    const uint32_t sizes[] = {8192, 1, 70000, 333};
    std::vector<char> buffer(70000);
    std::string digestInput;
    int64_t total = 0;
    long peak = before;
    std::ifstream expected(FNginx->FileOf("/static/large.bin"), std::ios::binary);
    std::vector<char> want(70000);
    bool same = true;
    for (size_t i = 0;; ++i) {
        const uint32_t size = sizes[i % std::size(sizes)];
        uint32_t read = 0;
        ASSERT_TRUE(InternetReadFile(r.Request.Get(), buffer.data(), size, &read)) << GetLastError();
        if (read == 0) break;
        ASSERT_LE(read, size);
        expected.read(want.data(), read);
        same = same && std::equal(buffer.begin(), buffer.begin() + read, want.begin());
        total += read;
        if ((total & ((4 << 20) - 1)) < 70000) peak = std::max(peak, ResidentKiB());
    }
    EXPECT_EQ(total, 64 << 20);
    EXPECT_TRUE(same);
    // A 64 MiB body passes through a buffer of a few hundred KiB.
    EXPECT_LT(peak - before, 16 * 1024);
}

TEST_F(WinInetNginx, GzipBodiesAreDecodedOnlyWithTheDecodingOption) {
    const std::string text = ReadWholeFile(FNginx->FileOf("/static/text.txt"));
    for (const uint32_t decoding : {0u, 1u}) {
        TRequestSet r = OpenRequest("127.0.0.1", FNginx->HttpPort(), "/static/text.txt");
        ASSERT_TRUE(HttpAddRequestHeadersA(r.Request.Get(), "Accept-Encoding: gzip", HTTP_ADDREQ_FLAG_ADD_IF_NEW));
        ASSERT_TRUE(InternetSetOptionA(r.Request.Get(), INTERNET_OPTION_HTTP_DECODING, &decoding, sizeof(decoding)));
        ASSERT_TRUE(HttpSendRequestA(r.Request.Get(), "", nullptr, 0));
        EXPECT_NE(QueryText(r.Request.Get(), HTTP_QUERY_RAW_HEADERS_CRLF).find("Content-Encoding: gzip"),
                  std::string::npos);
        bool ok = false;
        const std::string body = ReadBody(r.Request.Get(), ok);
        EXPECT_TRUE(ok);
        if (decoding) {
            EXPECT_EQ(body, text);
        } else {
            ASSERT_GE(body.size(), 2u);
            EXPECT_EQ(static_cast<unsigned char>(body[0]), 0x1f);
            EXPECT_EQ(static_cast<unsigned char>(body[1]), 0x8b);
            EXPECT_LT(body.size(), text.size());
        }
    }
}

TEST_F(WinInetNginx, HttpsNeedsATrustedIssuerUnlessTheFlagsSaySo) {
    {
        TRequestSet r = OpenRequest("127.0.0.1", FNginx->HttpsPort(), "/static/small.txt",
                                    INTERNET_FLAG_RELOAD | INTERNET_FLAG_SECURE);
        EXPECT_FALSE(HttpSendRequestA(r.Request.Get(), "", nullptr, 0));
        EXPECT_EQ(GetLastError(), ERROR_INTERNET_INVALID_CA);
        const uint32_t flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
        ASSERT_TRUE(InternetSetOptionA(r.Request.Get(), INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof(flags)));
        ASSERT_TRUE(HttpSendRequestA(r.Request.Get(), "", nullptr, 0)) << GetLastError();
        EXPECT_EQ(QueryStatus(r.Request.Get()), 200);
    }
    // With the CA among the trust anchors, reached by name through the host
    // override table on the standard port.
    AddTrustAnchorsPem(FNginx->CaPem());
    TclHostOverrides::Add(TNginxServer::ExtraHostName, 443, "127.0.0.1", FNginx->HttpsPort());
    TRequestSet r = OpenRequest(TNginxServer::ExtraHostName, INTERNET_DEFAULT_HTTPS_PORT, "/static/small.txt",
                                INTERNET_FLAG_RELOAD | INTERNET_FLAG_SECURE);
    const bool sent = HttpSendRequestA(r.Request.Get(), "", nullptr, 0);
    const uint32_t error = GetLastError();
    TclHostOverrides::Remove(TNginxServer::ExtraHostName, 443);
    ASSERT_TRUE(sent) << error;
    EXPECT_EQ(QueryStatus(r.Request.Get()), 200);
    bool ok = false;
    EXPECT_EQ(ReadBody(r.Request.Get(), ok), ReadWholeFile(FNginx->FileOf("/static/small.txt")));
}

TEST_F(WinInetNginx, CredentialsAnswerTheChallenge) {
    TRequestSet r = OpenRequest("127.0.0.1", FNginx->HttpPort(), "/private/secret.txt");
    ASSERT_TRUE(HttpSendRequestA(r.Request.Get(), "", nullptr, 0));
    EXPECT_EQ(QueryStatus(r.Request.Get()), 401);
    const std::string user = TNginxServer::UserName;
    const std::string password = TNginxServer::Password;
    ASSERT_TRUE(InternetSetOptionA(r.Request.Get(), INTERNET_OPTION_USERNAME, user.c_str(), user.size()));
    ASSERT_TRUE(InternetSetOptionA(r.Request.Get(), INTERNET_OPTION_PASSWORD, password.c_str(), password.size()));
    ASSERT_TRUE(HttpSendRequestA(r.Request.Get(), "", nullptr, 0));
    EXPECT_EQ(QueryStatus(r.Request.Get()), 200);
    bool ok = false;
    EXPECT_EQ(ReadBody(r.Request.Get(), ok), ReadWholeFile(FNginx->FileOf("/private/secret.txt")));
}

// --- scripted servers: what is sent, and servers that misbehave ---

TEST(WinInetRequest, HeaderLinesAddedIfNewAndCredentialsOnlyAfterTheChallenge) {
    TScriptedHttpServer server({
        TScriptedReply(HttpReply("HTTP/1.1 401 Unauthorized", "WWW-Authenticate: Basic realm=\"x\"\r\n", "no")),
        TScriptedReply(HttpReply("HTTP/1.1 200 OK", "", "yes")),
    });
    TRequestSet r = OpenRequest("127.0.0.1", server.Port(), "/a path?q=1");
    ASSERT_TRUE(HttpAddRequestHeadersA(r.Request.Get(), "X-One: 1\r\nRange: bytes=0-9", HTTP_ADDREQ_FLAG_ADD_IF_NEW));
    ASSERT_TRUE(HttpAddRequestHeadersA(r.Request.Get(), "X-One: 2", HTTP_ADDREQ_FLAG_ADD_IF_NEW));
    const std::string user = "user";
    const std::string password = "pass";
    ASSERT_TRUE(InternetSetOptionA(r.Request.Get(), INTERNET_OPTION_USERNAME, user.c_str(), user.size()));
    ASSERT_TRUE(InternetSetOptionA(r.Request.Get(), INTERNET_OPTION_PASSWORD, password.c_str(), password.size()));
    ASSERT_TRUE(HttpSendRequestA(r.Request.Get(), "", nullptr, 0)) << GetLastError();
    EXPECT_EQ(QueryStatus(r.Request.Get()), 200);

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    const std::string& first = requests[0].Head;
    EXPECT_EQ(first.rfind("GET /a%20path?q=1 HTTP/1.1\r\n", 0), 0u) << first;
    EXPECT_NE(first.find("\r\nX-One: 1\r\n"), std::string::npos);
    EXPECT_EQ(first.find("X-One: 2"), std::string::npos);
    EXPECT_NE(first.find("\r\nRange: bytes=0-9\r\n"), std::string::npos);
    EXPECT_NE(first.find("\r\nUser-Agent: inet test\r\n"), std::string::npos);
    EXPECT_EQ(first.find("Authorization"), std::string::npos);
    EXPECT_NE(requests[1].Head.find("\r\nAuthorization: Basic " + Base64Encode("user:pass") + "\r\n"),
              std::string::npos)
        << requests[1].Head;
}

TEST(WinInetRequest, CookiesAreSharedByAllHandlesUntilTheSessionEnds) {
    TScriptedHttpServer server({
        TScriptedReply(HttpReply("HTTP/1.1 200 OK", "Set-Cookie: visit=1; Path=/\r\n", "set")),
        TScriptedReply(HttpReply("HTTP/1.1 200 OK", "", "sent")),
        TScriptedReply(HttpReply("HTTP/1.1 200 OK", "", "gone")),
    });
    for (int i = 0; i < 3; ++i) {
        // Every request on a root handle of its own.
        TRequestSet r = OpenRequest("127.0.0.1", server.Port(), "/");
        ASSERT_TRUE(HttpSendRequestA(r.Request.Get(), "", nullptr, 0));
        bool ok = false;
        ReadBody(r.Request.Get(), ok);
        if (i == 1) {
            ASSERT_TRUE(InternetSetOptionA(0, INTERNET_OPTION_END_BROWSER_SESSION, nullptr, 0));
        }
    }
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].Head.find("Cookie:"), std::string::npos);
    EXPECT_NE(requests[1].Head.find("\r\nCookie: visit=1\r\n"), std::string::npos) << requests[1].Head;
    EXPECT_EQ(requests[2].Head.find("Cookie:"), std::string::npos);
}

TEST(WinInetRequest, ClosingTheRootClosesItsKeptConnections) {
    std::atomic<int> ended{0};
    TLoopbackServer server([&](int AFd) {
        TLoopbackServer::RecvCount(AFd, 1);
        TLoopbackServer::SendAll(AFd, HttpReply("HTTP/1.1 200 OK", "", "kept"));
        // The connection stays open until the client closes it.
        TLoopbackServer::RecvAll(AFd);
        ++ended;
    });
    {
        TRequestSet r = OpenRequest("127.0.0.1", server.Port(), "/");
        ASSERT_TRUE(HttpSendRequestA(r.Request.Get(), "", nullptr, 0));
        bool ok = false;
        EXPECT_EQ(ReadBody(r.Request.Get(), ok), "kept");
    }
    for (int i = 0; i < 500 && ended == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(ended.load(), 1);
}

TEST(WinInetRequest, ARequestClosedWithASmallRestUnreadLeavesItsConnectionToAnotherRoot) {
    const std::string body(100000, 'b');
    const std::string reply = HttpReply("HTTP/1.1 200 OK", "", body);
    TLoopbackServer server([&](int AFd) {
        std::string in;
        for (;;) {
            while (in.find("\r\n\r\n") == std::string::npos) {
                char buf[4096];
                const ssize_t n = recv(AFd, buf, sizeof buf, 0);
                if (n <= 0) return;
                in.append(buf, static_cast<size_t>(n));
            }
            in.erase(0, in.find("\r\n\r\n") + 4);
            // The second half comes after the client has taken the head.
            TLoopbackServer::SendAll(AFd, reply.substr(0, reply.size() - body.size() / 2));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            TLoopbackServer::SendAll(AFd, reply.substr(reply.size() - body.size() / 2));
        }
    });
    TRequestSet first = OpenRequest("127.0.0.1", server.Port(), "/1");
    ASSERT_TRUE(HttpSendRequestA(first.Request.Get(), "", nullptr, 0));
    first.Request.Reset();
    TRequestSet second = OpenRequest("127.0.0.1", server.Port(), "/2");
    ASSERT_TRUE(HttpSendRequestA(second.Request.Get(), "", nullptr, 0));
    bool ok = false;
    EXPECT_EQ(ReadBody(second.Request.Get(), ok), body);
    EXPECT_TRUE(ok);
    EXPECT_EQ(server.Accepted(), 1);
}

TEST(WinInetRequest, PositioningNeedsARangeAnswerOrAKnownLengthWithByteRanges) {
    TScriptedHttpServer server({
        TScriptedReply(HttpReply("HTTP/1.1 200 OK", "", "0123456789")),
        TScriptedReply(HttpReply("HTTP/1.1 200 OK", "Accept-Ranges: bytes\r\n", "0123456789")),
        TScriptedReply(HttpReply("HTTP/1.1 206 Partial Content", "Content-Range: bytes 2-4/10\r\n", "234")),
        TScriptedReply("HTTP/1.1 200 OK\r\nAccept-Ranges: bytes\r\nConnection: close\r\n\r\nabc", {}, true),
    });
    const std::vector<uint32_t> expected = {INVALID_SET_FILE_POINTER, 10, 3, INVALID_SET_FILE_POINTER};
    for (uint32_t want : expected) {
        TRequestSet r = OpenRequest("127.0.0.1", server.Port(), "/");
        ASSERT_TRUE(HttpSendRequestA(r.Request.Get(), "", nullptr, 0)) << GetLastError();
        EXPECT_EQ(InternetSetFilePointer(r.Request.Get(), 0, nullptr, FILE_END, 0), want);
        bool ok = false;
        ReadBody(r.Request.Get(), ok);
        EXPECT_TRUE(ok);
    }
}

TEST(WinInetRequest, ServersThatFailAreReportedAsFailures) {
    // A body shorter than its length: the bytes that came, then a failure.
    {
        TScriptedHttpServer server({TScriptedReply("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nshort", {}, true)});
        TRequestSet r = OpenRequest("127.0.0.1", server.Port(), "/");
        ASSERT_TRUE(HttpSendRequestA(r.Request.Get(), "", nullptr, 0));
        bool ok = true;
        EXPECT_EQ(ReadBody(r.Request.Get(), ok), "short");
        EXPECT_FALSE(ok);
        EXPECT_EQ(GetLastError(), ERROR_INTERNET_CONNECTION_ABORTED);
    }
    // Closed without a reply: sending again is the answer.
    {
        TScriptedHttpServer server({});
        TRequestSet r = OpenRequest("127.0.0.1", server.Port(), "/");
        EXPECT_FALSE(HttpSendRequestA(r.Request.Get(), "", nullptr, 0));
        EXPECT_EQ(GetLastError(), ERROR_INTERNET_FORCE_RETRY);
    }
    // A broken chunked body.
    {
        TScriptedHttpServer server(
            {TScriptedReply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nabcde\r\nzz\r\n", {}, true)});
        TRequestSet r = OpenRequest("127.0.0.1", server.Port(), "/");
        ASSERT_TRUE(HttpSendRequestA(r.Request.Get(), "", nullptr, 0));
        bool ok = true;
        ReadBody(r.Request.Get(), ok);
        EXPECT_FALSE(ok);
    }
    // Nobody listening.
    {
        int port = 0;
        {
            TLoopbackServer gone([](int) {});
            port = gone.Port();
        }
        TRequestSet r = OpenRequest("127.0.0.1", port, "/");
        EXPECT_FALSE(HttpSendRequestA(r.Request.Get(), "", nullptr, 0));
        EXPECT_EQ(GetLastError(), ERROR_INTERNET_CANNOT_CONNECT);
    }
}

TEST(WinInetRequest, ClosingTheRootFromAnotherThreadEndsABlockedReadAndABlockedSend) {
    std::atomic<bool> stop{false};
    TLoopbackServer server([&](int AFd) {
        TLoopbackServer::RecvCount(AFd, 1);
        TLoopbackServer::SendAll(AFd, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\nfirst bytes");
        while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    TRequestSet r = OpenRequest("127.0.0.1", server.Port(), "/");
    ASSERT_TRUE(HttpSendRequestA(r.Request.Get(), "", nullptr, 0));
    char buffer[64];
    uint32_t read = 0;
    ASSERT_TRUE(InternetReadFile(r.Request.Get(), buffer, sizeof(buffer), &read));
    EXPECT_EQ(std::string(buffer, read), "first bytes");
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        InternetCloseHandle(r.Root.Release());
    });
    EXPECT_FALSE(InternetReadFile(r.Request.Get(), buffer, sizeof(buffer), &read));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_OPERATION_CANCELLED);
    closer.join();
    // The derived handles stay valid until closed, and keep failing.
    EXPECT_FALSE(HttpSendRequestA(r.Request.Get(), "", nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_OPERATION_CANCELLED);
    stop = true;
}

TEST(WinInetRequest, ConnectionsPerServerAreLimited) {
    uint32_t saved = 0;
    uint32_t length = sizeof(saved);
    ASSERT_TRUE(InternetQueryOptionA(0, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &saved, &length));
    const uint32_t one = 1;
    ASSERT_TRUE(InternetSetOptionA(0, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &one, sizeof(one)));
    TScriptedHttpServer server({
        TScriptedReply("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", {}, false),
        TScriptedReply(HttpReply("HTTP/1.1 200 OK", "", "two")),
    });
    TRequestSet first = OpenRequest("127.0.0.1", server.Port(), "/1");
    ASSERT_TRUE(HttpSendRequestA(first.Request.Get(), "", nullptr, 0));
    std::atomic<bool> secondSent{false};
    std::thread second([&] {
        TRequestSet r = OpenRequest("127.0.0.1", server.Port(), "/2");
        EXPECT_TRUE(HttpSendRequestA(r.Request.Get(), "", nullptr, 0));
        secondSent = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(secondSent.load());  // waits for the first one's slot
    first.Request.Reset();
    second.join();
    EXPECT_TRUE(secondSent.load());
    ASSERT_TRUE(InternetSetOptionA(0, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &saved, sizeof(saved)));
}

// --- certificates of a scripted TLS server ---

class WinInetTls : public ::testing::Test {
protected:
    void SetUp() override { AddTrustAnchorsPem(FCa.CertificatePem()); }
    void TearDown() override { ClearTrustAnchors(); }

    static void Answer(SSL* ASsl, int) {
        ReadUntil(ASsl, "\r\n\r\n");
        WriteAll(ASsl, HttpReply("HTTP/1.1 200 OK", "Connection: close\r\n", "secure"));
    }
    // One request on a root of its own with AFlags (and AClient); its error
    // code, ERROR_SUCCESS when the answer came.
    static uint32_t SendWith(int APort, uint32_t AFlags, const TclCertificate* AClient = nullptr) {
        TRequestSet r = OpenRequest("127.0.0.1", APort, "/", INTERNET_FLAG_RELOAD | INTERNET_FLAG_SECURE);
        if (AFlags) {
            EXPECT_TRUE(InternetSetOptionA(r.Request.Get(), INTERNET_OPTION_SECURITY_FLAGS, &AFlags, sizeof(AFlags)));
        }
        if (AClient) {
            EXPECT_TRUE(InternetSetOptionA(r.Request.Get(), INTERNET_OPTION_CLIENT_CERT_CONTEXT, AClient, 0));
        }
        if (!HttpSendRequestA(r.Request.Get(), "", nullptr, 0)) return GetLastError();
        bool ok = false;
        EXPECT_EQ(ReadBody(r.Request.Get(), ok), "secure");
        return ERROR_SUCCESS;
    }
    // Sends once without flags and once with AFlags; the first error code.
    uint32_t ErrorThenSuccessWith(const TTestCertificate& ALeaf, uint32_t AFlags, TServerOptions AOptions = {},
                                  const TclCertificate* AClient = nullptr) {
        TTlsTestServer server(ALeaf, &Answer, AOptions);
        const uint32_t error = SendWith(server.Port(), 0);
        EXPECT_NE(error, ERROR_SUCCESS);
        EXPECT_EQ(SendWith(server.Port(), AFlags, AClient), ERROR_SUCCESS);
        return error;
    }
    TTestCa FCa{"Inet Test Root"};
};

TEST_F(WinInetTls, CertificateErrorsMapToTheirCodesAndTheFlagsPassThem) {
    TLeafOptions otherName;
    otherName.DnsNames = {"other.test"};
    otherName.IpAddresses = {};
    otherName.CommonName = "other.test";
    EXPECT_EQ(ErrorThenSuccessWith(FCa.Issue(otherName), SECURITY_FLAG_IGNORE_CERT_CN_INVALID),
              ERROR_INTERNET_SEC_CERT_CN_INVALID);

    TLeafOptions expired;
    expired.NotBeforeSeconds = -7200;
    expired.NotAfterSeconds = -3600;
    EXPECT_EQ(ErrorThenSuccessWith(FCa.Issue(expired), SECURITY_FLAG_IGNORE_CERT_DATE_INVALID),
              ERROR_INTERNET_SEC_CERT_DATE_INVALID);

    EXPECT_EQ(ErrorThenSuccessWith(MakeSelfSigned(TLeafOptions{}), SECURITY_FLAG_IGNORE_UNKNOWN_CA),
              ERROR_INTERNET_INVALID_CA);
}

TEST_F(WinInetTls, OneIgnoredCheckDoesNotPassAnother) {
    TLeafOptions expired;
    expired.NotBeforeSeconds = -7200;
    expired.NotAfterSeconds = -3600;
    TTlsTestServer server(FCa.Issue(expired), &Answer);
    TRequestSet r = OpenRequest("127.0.0.1", server.Port(), "/", INTERNET_FLAG_RELOAD | INTERNET_FLAG_SECURE);
    const uint32_t flags = SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_UNKNOWN_CA;
    ASSERT_TRUE(InternetSetOptionA(r.Request.Get(), INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof(flags)));
    EXPECT_FALSE(HttpSendRequestA(r.Request.Get(), "", nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_SEC_CERT_DATE_INVALID);
}

TEST_F(WinInetTls, ATlsSessionMadeUnderOneIgnoredCheckIsNotResumedUnderAnother) {
    TLeafOptions expired;
    expired.NotBeforeSeconds = -7200;
    expired.NotAfterSeconds = -3600;
    TTlsTestServer server(FCa.Issue(expired), &Answer);
    // An open root keeps the shares of the roots between the two requests.
    THandleGuard keeper(InternetOpenA("inet test", INTERNET_OPEN_TYPE_PRECONFIG, "", "", 0));
    EXPECT_EQ(SendWith(server.Port(), SECURITY_FLAG_IGNORE_CERT_DATE_INVALID), ERROR_SUCCESS);
    EXPECT_EQ(SendWith(server.Port(), SECURITY_FLAG_IGNORE_UNKNOWN_CA), ERROR_INTERNET_SEC_CERT_DATE_INVALID);
}

TEST_F(WinInetTls, AServerThatWantsAClientCertificateGetsTheOneSet) {
    TLeafOptions clientOptions;
    clientOptions.ClientAuth = true;
    clientOptions.ServerAuth = false;
    clientOptions.CommonName = "client";
    const TTestCertificate client = FCa.Issue(clientOptions);
    auto certificate = TclCertificate::CreateFromPem(client.CertificatePem, client.KeyPem);
    TServerOptions options;
    options.RequestClientCertificate = true;
    options.RequireClientCertificate = true;
    options.ClientCaPem = FCa.CertificatePem();
    EXPECT_EQ(ErrorThenSuccessWith(FCa.Issue(TLeafOptions{}), 0, options, certificate.get()),
              ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED);
}

// --- FTP against a real server ---

class WinInetFtpListing : public ::testing::TestWithParam<bool> {};

TEST_P(WinInetFtpListing, FileSizeListingAndDeletion) {
    TFtpTestServer ftp(GetParam());
    std::string content(300000, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 7919) >> 3);
    ftp.WriteFile("/media/video 1.flv", content);
    ftp.WriteFile("/media/other.txt", "x");

    THandleGuard root(InternetOpenA("inet test", INTERNET_OPEN_TYPE_PRECONFIG, "", "", 0));
    THandleGuard connect(InternetConnectA(root.Get(), "127.0.0.1", static_cast<uint16_t>(ftp.Port()),
                                          TFtpTestServer::UserName, TFtpTestServer::Password, INTERNET_SERVICE_FTP,
                                          INTERNET_FLAG_PASSIVE, 0));
    ASSERT_NE(connect.Get(), 0u) << GetLastError() << " " << InternetGetLastResponseText();

    {
        THandleGuard file(
            FtpOpenFileA(connect.Get(), "/media/video 1.flv", GENERIC_READ, INTERNET_FLAG_TRANSFER_BINARY, 0));
        ASSERT_NE(file.Get(), 0u) << GetLastError() << " " << InternetGetLastResponseText();
        uint32_t high = 7;
        EXPECT_EQ(FtpGetFileSize(file.Get(), &high), content.size());
        EXPECT_EQ(high, 0u);
        bool ok = false;
        EXPECT_EQ(ReadBody(file.Get(), ok), content);
        EXPECT_TRUE(ok);
    }

    WIN32_FIND_DATAW entry;
    THandleGuard find(FtpFindFirstFileW(connect.Get(), u"/media/video 1.flv", &entry, INTERNET_FLAG_RELOAD, 0));
    ASSERT_NE(find.Get(), 0u) << GetLastError();
    EXPECT_EQ(entry.cFileName, u"video 1.flv");
    EXPECT_EQ(entry.nFileSize, static_cast<int64_t>(content.size()));
    EXPECT_EQ(entry.dwFileAttributes, FILE_ATTRIBUTE_NORMAL);
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    EXPECT_NEAR(static_cast<double>(entry.ftLastWriteTime), static_cast<double>(now), 600.0);
    EXPECT_FALSE(InternetFindNextFileW(find.Get(), &entry));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);

    ASSERT_TRUE(FtpDeleteFileA(connect.Get(), "/media/video 1.flv")) << InternetGetLastResponseText();
    EXPECT_FALSE(std::filesystem::exists(ftp.PathOf("/media/video 1.flv")));
    ASSERT_TRUE(FtpDeleteFileA(connect.Get(), "/media/other.txt"));
    ASSERT_TRUE(FtpRemoveDirectoryA(connect.Get(), "/media"));
    EXPECT_FALSE(std::filesystem::exists(ftp.PathOf("/media")));
}

INSTANTIATE_TEST_SUITE_P(MlsdOrList, WinInetFtpListing, ::testing::Values(false, true));

TEST(WinInetFtp, RefusalsCarryTheServersReply) {
    TFtpTestServer ftp;
    THandleGuard root(InternetOpenA("inet test", INTERNET_OPEN_TYPE_PRECONFIG, "", "", 0));
    EXPECT_EQ(InternetConnectA(root.Get(), "127.0.0.1", static_cast<uint16_t>(ftp.Port()), TFtpTestServer::UserName,
                               "wrong", INTERNET_SERVICE_FTP, INTERNET_FLAG_PASSIVE, 0),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_EXTENDED_ERROR);
    EXPECT_EQ(InternetGetLastResponseText().rfind("530", 0), 0u) << InternetGetLastResponseText();

    THandleGuard connect(InternetConnectA(root.Get(), "127.0.0.1", static_cast<uint16_t>(ftp.Port()),
                                          TFtpTestServer::UserName, TFtpTestServer::Password, INTERNET_SERVICE_FTP, 0,
                                          0));
    ASSERT_NE(connect.Get(), 0u);
    EXPECT_EQ(FtpOpenFileA(connect.Get(), "/missing.bin", GENERIC_READ, INTERNET_FLAG_TRANSFER_BINARY, 0), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_EXTENDED_ERROR);
    EXPECT_EQ(InternetGetLastResponseText().rfind("550", 0), 0u) << InternetGetLastResponseText();
    EXPECT_FALSE(FtpDeleteFileA(connect.Get(), "/missing.bin"));
    EXPECT_EQ(InternetGetLastResponseText().rfind("550", 0), 0u) << InternetGetLastResponseText();
}

}  // namespace
