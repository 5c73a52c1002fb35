// The HTTP client against a real nginx on loopback, over plain HTTP and over
// TLS: bodies byte for byte, gzip, redirects, error pages, Basic
// authorization, persistent connections, HEAD, POST and PUT.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "transport/clCertificate.h"
#include "http/clHttp.h"
#include "http/clHttpRequest.h"
#include "transport/clIpAddress.h"
#include "transport/clSocketUtils.h"
#include "rtl/clStreams.h"
#include "rtl/clStringList.h"
#include "support/NginxServer.h"
#include "support/TestDaemon.h"

namespace {

using cl::EclHttpError;
using cl::TclHttp;
using cl::TMemoryStream;
using cltest::TNginxLogEntry;
using cltest::TNginxServer;

std::string Text(const TMemoryStream& AStream) { return std::string(AStream.Bytes().begin(), AStream.Bytes().end()); }

// Text lines without their line ends, to compare a page with the lines
// ResponseText joins.
std::string Lines(std::string AText) {
    AText.erase(std::remove(AText.begin(), AText.end(), '\r'), AText.end());
    while (!AText.empty() && AText.back() == '\n') AText.pop_back();
    return AText;
}

// The EclHttpError that ACall raises, none when it returns.
template <class TCall>
std::optional<EclHttpError> HttpErrorOf(TCall ACall) {
    try {
        ACall();
    } catch (const EclHttpError& e) {
        return e;
    }
    return std::nullopt;
}

// Ends the process when a test runs too long: a client stuck in a loop
// would otherwise hold the whole suite until the runner's time-out.
// AOnExpire runs first, for clean-up that destructors no longer get to do.
class TWatchdog {
public:
    TWatchdog(std::chrono::seconds ALimit, std::function<void()> AOnExpire)
        : FLimit(ALimit), FOnExpire(std::move(AOnExpire)), FThread(&TWatchdog::Run, this) {}
    ~TWatchdog() {
        {
            std::lock_guard<std::mutex> lock(FLock);
            FStopped = true;
        }
        FDone.notify_one();
        FThread.join();
    }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(FLock);
        if (FDone.wait_for(lock, FLimit, [this] { return FStopped; })) return;
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        std::fprintf(stderr, "%s.%s: no end after %lld s, the client hangs\n", test ? test->test_suite_name() : "",
                     test ? test->name() : "", static_cast<long long>(FLimit.count()));
        FOnExpire();
        std::_Exit(1);
    }

    const std::chrono::seconds FLimit;
    const std::function<void()> FOnExpire;
    std::mutex FLock;
    std::condition_variable FDone;
    bool FStopped = false;
    std::thread FThread;
};

// One nginx for the whole suite.
class NginxSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        try {
            Server = std::make_unique<TNginxServer>();
            cl::AddTrustAnchorsPem(Server->CaPem());
        } catch (const std::exception& e) {
            StartError = e.what();
        }
    }
    static void TearDownTestSuite() {
        cl::ClearTrustAnchors();
        Server.reset();
    }
    void SetUp() override {
        // nginx is part of the test dependencies: a missing one is a failure.
        ASSERT_TRUE(Server) << StartError;
        // nginx itself dies with the process; its folder is removed here.
        FWatchdog = std::make_unique<TWatchdog>(std::chrono::seconds(30), [folder = Server->Folder()] {
            std::error_code ec;
            std::filesystem::remove_all(folder, ec);
        });
    }
    void TearDown() override { FWatchdog.reset(); }

    static std::string FileText(const std::string& APath) { return cltest::ReadWholeFile(Server->FileOf(APath)); }
    // The log entries since AMark (a count of entries). nginx writes an
    // entry just after the response left, so the client may be a moment
    // ahead: this waits (up to 3 s) until at least ACount have arrived.
    static std::vector<TNginxLogEntry> LogSince(size_t AMark, size_t ACount) {
        std::vector<TNginxLogEntry> all;
        for (int i = 0; i < 300; ++i) {
            all = Server->AccessLog();
            if (all.size() >= AMark + ACount) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return {all.begin() + static_cast<std::ptrdiff_t>(std::min(AMark, all.size())), all.end()};
    }
    // The count of log entries once the log is quiet, so that an entry of an
    // earlier call written late does not count for the next one.
    static size_t LogMark() {
        for (size_t count = Server->AccessLog().size();;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const size_t now = Server->AccessLog().size();
            if (now == count) return count;
            count = now;
        }
    }

    std::unique_ptr<TWatchdog> FWatchdog;
    static inline std::unique_ptr<TNginxServer> Server;
    static inline std::string StartError;
};

// The parameter picks plain HTTP or TLS.
class NginxInterop : public NginxSuite, public ::testing::WithParamInterface<bool> {
protected:
    std::string Url(const std::string& APath) const {
        return (GetParam() ? Server->HttpsBase() : Server->HttpBase()) + APath;
    }
};

INSTANTIATE_TEST_SUITE_P(Schemes, NginxInterop, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& AInfo) { return AInfo.param ? "Https" : "Http"; });

// Several TLS records, with the first header read limited to part of one.
TEST_P(NginxInterop, LargeBinaryBodyArrivesByteForByte) {
    TclHttp http;
    TMemoryStream body;
    http.Get(Url("/static/large.bin"), &body);
    EXPECT_EQ(200, http.StatusCode());
    const std::string expected = FileText("/static/large.bin");
    ASSERT_EQ(static_cast<int64_t>(expected.size()), body.GetSize());
    EXPECT_EQ(cltest::Sha256Hex(expected), cltest::Sha256Hex(body.Memory(), expected.size()));
}

TEST_P(NginxInterop, GzipCompressedTextArrivesDecoded) {
    const size_t mark = LogMark();
    TclHttp http;
    TMemoryStream body;
    http.Get(Url("/static/text.txt"), &body);
    EXPECT_EQ(200, http.StatusCode());
    EXPECT_EQ("gzip", http.ResponseHeader().ContentEncoding());
    const std::string expected = FileText("/static/text.txt");
    EXPECT_EQ(expected.size(), static_cast<size_t>(body.GetSize()));
    EXPECT_TRUE(Text(body) == expected) << "the decoded body differs from the file";
    // It really travelled compressed.
    const auto log = LogSince(mark, 1);
    ASSERT_EQ(1u, log.size());
    EXPECT_LT(log[0].BytesSent, static_cast<int64_t>(expected.size()) / 4);
}

TEST_P(NginxInterop, RedirectChainIsFollowedToItsEnd) {
    const size_t mark = LogMark();
    TclHttp http;
    TMemoryStream body;
    http.Get(Url("/r1"), &body);
    EXPECT_EQ(200, http.StatusCode());
    EXPECT_EQ(Url("/static/small.txt"), http.Url().AbsoluteUri());
    EXPECT_EQ(FileText("/static/small.txt"), Text(body));
    const auto log = LogSince(mark, 4);
    ASSERT_EQ(4u, log.size());
    EXPECT_EQ(301, log[0].Status);
    EXPECT_EQ(302, log[1].Status);
    EXPECT_EQ(307, log[2].Status);
    EXPECT_EQ("/static/small.txt", log[3].Uri);
    // Same host and port all the way: one connection carries the chain.
    EXPECT_EQ(log[0].Connection, log[3].Connection);
}

TEST_P(NginxInterop, RedirectsNotFollowedRaiseTheirStatus) {
    TclHttp http;
    http.SetAllowRedirects(false);
    TMemoryStream body;
    const auto e = HttpErrorOf([&] { http.Get(Url("/r1"), &body); });
    ASSERT_TRUE(e) << "a 301 that is not followed must raise";
    EXPECT_EQ(301, e->ErrorCode());
    EXPECT_EQ("HTTP/1.1 301 Moved Permanently", e->Message());

    TclHttp limited;
    limited.SetMaxRedirects(2);
    const auto third = HttpErrorOf([&] { limited.Get(Url("/r1"), &body); });
    ASSERT_TRUE(third) << "the third redirect is over the limit of two";
    EXPECT_EQ(307, third->ErrorCode());
    EXPECT_EQ(0, body.GetSize());
}

TEST_P(NginxInterop, MissingPageRaisesWithTheCustomPage) {
    TclHttp http;
    TMemoryStream body;
    const auto e = HttpErrorOf([&] { http.Get(Url("/no/such/page.html"), &body); });
    ASSERT_TRUE(e) << "a 404 must raise";
    EXPECT_EQ(404, e->ErrorCode());
    EXPECT_EQ("HTTP/1.1 404 Not Found", e->Message());
    EXPECT_EQ(Lines(TNginxServer::Custom404Page()), Lines(e->ResponseText()));
    EXPECT_EQ(0, body.GetSize());

    // Silent: the page (decoded, as sent) lands in the caller's stream.
    http.SetSilentHTTP(true);
    http.Get(Url("/no/such/page.html"), &body);
    EXPECT_EQ(404, http.StatusCode());
    EXPECT_EQ(TNginxServer::Custom404Page(), Text(body));
}

TEST_P(NginxInterop, BasicAuthorization) {
    const std::string secret = FileText("/private/secret.txt");
    // Fetches the protected file; the statuses nginx logged for the call
    // (at least ARequests of them).
    const auto fetch = [&](TclHttp& AHttp, std::string& ABody, size_t ARequests) {
        const size_t mark = LogMark();
        TMemoryStream body;
        AHttp.Get(Url("/private/secret.txt"), &body);
        ABody = Text(body);
        std::vector<int> statuses;
        for (const TNginxLogEntry& entry : LogSince(mark, ARequests)) statuses.push_back(entry.Status);
        return statuses;
    };
    std::string body;
    TclHttp anonymous;
    const auto refused = HttpErrorOf([&] { fetch(anonymous, body, 1); });
    ASSERT_TRUE(refused) << "no credentials: 401 expected";
    EXPECT_EQ(401, refused->ErrorCode());

    TclHttp challenged;
    challenged.SetUserName(TNginxServer::UserName);
    challenged.SetPassword(TNginxServer::Password);
    EXPECT_EQ((std::vector<int>{401, 200}), fetch(challenged, body, 2));
    EXPECT_EQ(200, challenged.StatusCode());
    EXPECT_EQ(secret, body);

    // Sent up front: a single request.
    TclHttp upFront;
    upFront.SetAuthorizationType(cl::atBasic);
    upFront.SetUserName(TNginxServer::UserName);
    upFront.SetPassword(TNginxServer::Password);
    EXPECT_EQ((std::vector<int>{200}), fetch(upFront, body, 1));
    EXPECT_EQ(secret, body);

    TclHttp wrong;
    wrong.SetUserName(TNginxServer::UserName);
    wrong.SetPassword("wrong");
    const auto denied = HttpErrorOf([&] { fetch(wrong, body, 1); });
    ASSERT_TRUE(denied) << "a wrong password ends in 401";
    EXPECT_EQ(401, denied->ErrorCode());
}

TEST_P(NginxInterop, OneClientKeepsItsConnectionAcrossCalls) {
    const size_t mark = LogMark();
    TclHttp http;
    TMemoryStream first, second, third;
    http.Get(Url("/static/small.txt"), &first);
    http.Get(Url("/static/text.txt"), &second);
    TclHttp other;
    other.Get(Url("/static/small.txt"), &third);
    EXPECT_EQ(FileText("/static/text.txt"), Text(second));
    const auto log = LogSince(mark, 3);
    ASSERT_EQ(3u, log.size());
    EXPECT_EQ(log[0].Connection, log[1].Connection);
    EXPECT_EQ(2, log[1].Request);
    EXPECT_NE(log[0].Connection, log[2].Connection);
}

TEST_P(NginxInterop, HeadReadsNoBodyAndLeavesTheConnectionUsable) {
    const size_t mark = LogMark();
    TclHttp http;
    http.SetAllowCompression(false);
    http.Head(Url("/static/large.bin"));
    EXPECT_EQ(200, http.StatusCode());
    EXPECT_EQ(std::to_string(FileText("/static/large.bin").size()), http.ResponseHeader().ContentLength());
    // A client that waited for the announced body would hang or misread here.
    TMemoryStream body;
    http.Get(Url("/static/small.txt"), &body);
    EXPECT_EQ(FileText("/static/small.txt"), Text(body));
    const auto log = LogSince(mark, 2);
    ASSERT_EQ(2u, log.size());
    EXPECT_EQ("HEAD", log[0].Method);
    EXPECT_EQ(log[0].Connection, log[1].Connection);
}

TEST_P(NginxInterop, PostSendsItsBody) {
    const std::string form = "name=nginx+test&text=" + std::string(3000, 'x') + "&end=%21";
    TclHttp http;
    cl::TStringList header;
    header.Add("Content-Type: application/x-www-form-urlencoded");
    cl::TStringStream request(form);
    TMemoryStream body;
    http.SendRequest("POST", Url("/echo"), &header, &request, &body);
    EXPECT_EQ(200, http.StatusCode());
    EXPECT_EQ(form, Text(body));

    // A form of the request object travels as its body.
    cl::TclHttpRequest formRequest;
    formRequest.AddFormField("name", "nginx test");
    formRequest.AddFormField("text", "a&b=c");
    TMemoryStream expected;
    expected.CopyFrom(*formRequest.RequestStream(), 0);
    TMemoryStream echoed;
    http.Post(Url("/echo"), &formRequest, &echoed);
    EXPECT_EQ(200, http.StatusCode());
    EXPECT_NE(0, echoed.GetSize());
    EXPECT_EQ(Text(expected), Text(echoed));

    // An empty POST must still announce its length, or nginx answers 411.
    TMemoryStream empty;
    http.Post(Url("/echo"), &empty);
    EXPECT_EQ(200, http.StatusCode());
    EXPECT_EQ(0, empty.GetSize());
}

TEST_P(NginxInterop, PutUploadsALargeBody) {
    const std::string name = GetParam() ? "tls.bin" : "plain.bin";
    const std::string data = FileText("/static/large.bin").substr(0, 3 << 20);
    TMemoryStream source;
    source.WriteBuffer(data);
    source.SetPosition(0);
    TclHttp http;
    http.Put(Url("/upload/" + name), "application/octet-stream", &source);
    EXPECT_EQ(201, http.StatusCode());
    const std::string stored = cltest::ReadWholeFile(Server->UploadFolder() + "/" + name);
    EXPECT_EQ(data.size(), stored.size());
    EXPECT_TRUE(stored == data) << "the stored file differs from the body sent";
}

// Certificate names against the host the client asked for, reached through
// the host override table.
class NginxTlsNames : public NginxSuite {
protected:
    void TearDown() override {
        cl::TclHostOverrides::Clear();
        NginxSuite::TearDown();
    }
};

TEST_F(NginxTlsNames, NamesOnTheCertificateAreAccepted) {
    cl::TclHostOverrides::Add(TNginxServer::ExtraHostName, 443, "127.0.0.1", Server->HttpsPort());
    for (const std::string& url : {std::string("https://") + TNginxServer::ExtraHostName + "/static/small.txt",
                                   "https://localhost:" + std::to_string(Server->HttpsPort()) + "/static/small.txt"}) {
        TclHttp http;
        TMemoryStream body;
        http.Get(url, &body);
        EXPECT_EQ(200, http.StatusCode()) << url;
        EXPECT_EQ(FileText("/static/small.txt"), Text(body)) << url;
    }
}

TEST_F(NginxTlsNames, OtherNameIsRefused) {
    cl::TclHostOverrides::Add("elsewhere.nginx-test.example", 443, "127.0.0.1", Server->HttpsPort());
    TclHttp http;
    TMemoryStream body;
    try {
        http.Get("https://elsewhere.nginx-test.example/static/small.txt", &body);
        FAIL() << "a certificate for other names must be refused";
    } catch (const cl::EclSocketError& e) {
        EXPECT_EQ("The certificate's CN name does not match the passed value", e.Message());
        EXPECT_EQ(static_cast<int>(0x800B010F), e.ErrorCode());
    }
    EXPECT_EQ(0, body.GetSize());
}

}  // namespace

// ---- httpget, the command-line front end, against the same nginx ----

namespace {

using cltest::TToolRun;

// Runs httpget with AArguments (no shell); standard error is captured.
TToolRun RunHttpGet(const std::vector<std::string>& AArguments, const std::string& AFolder) {
    return cltest::RunTool(HTTPGET_PATH, AArguments, AFolder + "/httpget.err");
}

}  // namespace

TEST_F(NginxSuite, HttpGetToolFetchesOverHttpAndHttpsAndReportsFailures) {
    const std::string out = Server->Folder() + "/httpget.out";
    const std::string expected = FileText("/static/large.bin");
    const std::string host = std::string(TNginxServer::ExtraHostName);
    const std::vector<std::vector<std::string>> fetches{
        {"-o", out, Server->HttpBase() + "/static/large.bin"},
        {"-o", out, "--cacert", Server->CaFile(), "--connect-to",
         host + ":443:127.0.0.1:" + std::to_string(Server->HttpsPort()), "https://" + host + "/static/large.bin"}};
    for (const auto& fetch : fetches) {
        std::filesystem::remove(out);
        const TToolRun run = RunHttpGet(fetch, Server->Folder());
        EXPECT_EQ(run.Status, 0) << run.Stderr;
        EXPECT_EQ(cltest::Sha256Hex(cltest::ReadWholeFile(out)), cltest::Sha256Hex(expected));
    }

    const TToolRun missing = RunHttpGet({"-i", "-o", out, Server->HttpBase() + "/missing.html"}, Server->Folder());
    EXPECT_EQ(missing.Status, 1);
    EXPECT_NE(missing.Stderr.find("EclHttpError: HTTP/1.1 404 Not Found (ErrorCode 404)"), std::string::npos)
        << missing.Stderr;
    EXPECT_NE(missing.Stderr.find("HTTP/1.1 404 Not Found\r\n"), std::string::npos);

    // Without the CA the certificate is refused by the TLS layer.
    const TToolRun untrusted =
        RunHttpGet({"-o", out, "https://127.0.0.1:" + std::to_string(Server->HttpsPort()) + "/"}, Server->Folder());
    EXPECT_EQ(untrusted.Status, 1);
    EXPECT_NE(untrusted.Stderr.find("ErrorCode"), std::string::npos) << untrusted.Stderr;

    EXPECT_EQ(RunHttpGet({"--connect-to", "bad", "http://x/"}, Server->Folder()).Status, 2);
}
