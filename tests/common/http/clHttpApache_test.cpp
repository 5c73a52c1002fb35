// The HTTP client's credentials against a real apache2 on loopback: Digest
// with a user name and password that need percent-escapes in the address,
// and a redirect to another host, which must not receive the credentials.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "http/clHttp.h"
#include "rtl/clStreams.h"
#include "support/ApacheServer.h"
#include "transport/clIpAddress.h"

using namespace cl;
using cltest::TApacheServer;

namespace {

constexpr const char* cUser = "u@x";
constexpr const char* cPassword = "p:w%";
constexpr const char* cOtherHost = "other.apache-test.example";

// One server for the whole suite: starting apache2 costs more than the tests.
class ApacheSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Server = std::make_unique<TApacheServer>(cUser, cPassword, cOtherHost);
        TclHostOverrides::Add(cOtherHost, Server->OtherPort(), "127.0.0.1", Server->OtherPort());
    }
    static void TearDownTestSuite() {
        TclHostOverrides::Remove(cOtherHost, Server->OtherPort());
        Server.reset();
    }
    static std::string Base() { return "127.0.0.1:" + std::to_string(Server->Port()); }
    static std::string Body(TMemoryStream& AStream) {
        return std::string(AStream.Bytes().begin(), AStream.Bytes().end());
    }
    static inline std::unique_ptr<TApacheServer> Server;
};

TEST_F(ApacheSuite, PercentEscapedCredentialsInTheAddressPassDigest) {
    TclHttp http;
    TMemoryStream body;
    http.Get("http://u%40x:p%3Aw%25@" + Base() + "/digest/secret.txt", &body);
    EXPECT_EQ(http.StatusCode(), 200);
    EXPECT_EQ(Body(body), TApacheServer::Secret);
    // The same through the properties, Basic this time.
    TclHttp basic;
    basic.SetUserName(cUser);
    basic.SetPassword(cPassword);
    TMemoryStream again;
    basic.Get("http://" + Base() + "/basic/secret.txt", &again);
    EXPECT_EQ(Body(again), TApacheServer::Secret);
}

TEST_F(ApacheSuite, ARedirectToAnotherHostGetsNoCredentials) {
    TclHttp http;
    http.SetUserName(cUser);
    http.SetPassword(cPassword);
    try {
        http.Get("http://" + Base() + "/elsewhere", nullptr);
        FAIL() << "the other host's challenge was answered";
    } catch (const EclHttpError& E) {
        EXPECT_EQ(E.ErrorCode(), 401);
    }
    // Only this test reaches the other port: one request, without credentials.
    const std::string otherPort = std::to_string(Server->OtherPort()) + " ";
    int toOther = 0;
    for (const std::string& line : Server->WaitForAccessLine(otherPort)) {
        if (line.rfind(otherPort, 0) != 0) continue;
        ++toOther;
        EXPECT_NE(line.find("\"-\""), std::string::npos) << line;
    }
    EXPECT_EQ(toOther, 1);
}

}  // namespace
