#include "engine/clInternetConnection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common/engine/clInetTestUtils.h"
#include "support/FtpTestServer.h"
#include "support/ScriptedHttpServer.h"

using namespace cl;
using namespace cltest;

namespace {

// The actions of one HTTP request on a connection, as a worker makes them.
struct THttpActions {
    THttpActions(TclInternetConnection& AConnection, int APort, const std::string& APath) {
        Open = new TclInternetOpenAction(&AConnection, "inet test", INTERNET_OPEN_TYPE_PRECONFIG, "", "", 0);
        Open->FireAction(-1);
        Connect = new TclConnectAction(&AConnection, Open->hResource(), "127.0.0.1", static_cast<uint16_t>(APort), "",
                                       "", INTERNET_SERVICE_HTTP, 0);
        Connect->FireAction(5000);
        Request = new TclHttpOpenRequestAction(&AConnection, Open->hResource(), Connect->hResource(), "GET", APath, "",
                                               "", "", INTERNET_FLAG_RELOAD);
        Request->FireAction(5000);
        Send = new TclHttpSendRequestAction(&AConnection, Open->hResource(), Request->hResource(), "");
    }
    // Owned by the connection's list until freed.
    TclInternetOpenAction* Open;
    TclConnectAction* Connect;
    TclHttpOpenRequestAction* Request;
    TclHttpSendRequestAction* Send;
};

std::string ReadAllThroughActions(TclInternetConnection& AConnection, const THttpActions& AActions) {
    std::vector<char> buffer(8192);
    TclInternetReadFileAction read(&AConnection, AActions.Open->hResource(), AActions.Request->hResource(),
                                   buffer.data());
    std::string body;
    for (;;) {
        read.dwNumberOfBytesToRead = 8192;
        read.FireAction(5000);
        if (read.lpdwNumberOfBytesRead == 0) break;
        body.append(buffer.data(), read.lpdwNumberOfBytesRead);
    }
    return body;
}

TEST(InternetConnection, AStalledCallIsAbandonedAfterItsTimeOutAndTheThreadServesTheNextOne) {
    TScriptedHttpServer server({TScriptedReply::Stalled(), TScriptedReply(HttpReply("HTTP/1.1 200 OK", "", "after"))});
    TclInternetConnection connection;
    THttpActions stalled(connection, server.Port(), "/stall");
    try {
        stalled.Send->FireAction(300);
        FAIL() << "no time-out";
    } catch (const EclTimeoutInternetError& e) {
        EXPECT_STREQ(e.what(), "Request timeout");
        EXPECT_EQ(e.ErrorCode(), 258);
    }
    // The root handle was closed to end the call; its open action forgot it.
    EXPECT_EQ(stalled.Open->hResource(), 0u);
    EXPECT_EQ(stalled.Send->Internet(), 0u);

    THttpActions next(connection, server.Port(), "/next");
    EXPECT_TRUE(next.Send->FireAction(5000));
    EXPECT_EQ(ReadAllThroughActions(connection, next), "after");
}

TEST(InternetConnection, ATerminateSignalGivenWhileIdleAbandonsTheNextCallAtOnce) {
    TScriptedHttpServer server({TScriptedReply(HttpReply("HTTP/1.1 200 OK", "", "body")), TScriptedReply::Stalled()});
    TclInternetConnection connection;
    THttpActions first(connection, server.Port(), "/first");
    ASSERT_TRUE(first.Send->FireAction(5000));
    // Even a read whose bytes are already here is abandoned.
    std::vector<char> buffer(16);
    TclInternetReadFileAction read(&connection, first.Open->hResource(), first.Request->hResource(), buffer.data());
    read.dwNumberOfBytesToRead = 16;
    connection.SignalTerminate();
    EXPECT_FALSE(read.FireAction(5000, true));
    EXPECT_EQ(read.ErrorCode(), static_cast<int>(ERROR_INTERNET_OPERATION_CANCELLED));

    // Without a time-out a stalled server holds the call until the signal.
    THttpActions second(connection, server.Port(), "/second");
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        connection.SignalTerminate();
    });
    try {
        second.Send->FireAction(-1);
        FAIL() << "the call was not abandoned";
    } catch (const EclTimeoutInternetError&) {
        FAIL() << "a terminated call is no time-out";
    } catch (const EclInternetError& e) {
        EXPECT_EQ(e.ErrorCode(), static_cast<int>(ERROR_INTERNET_OPERATION_CANCELLED));
    }
    stopper.join();
}

// Reads wait for the network on the caller's thread: the time-out and the
// terminate signal must still abandon them as on the action thread.
TEST(InternetConnection, AReadStalledMidBodyIsAbandonedByItsTimeOutOrTheTerminateSignal) {
    const std::string stalledBody = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789";
    TScriptedHttpServer server({TScriptedReply(stalledBody), TScriptedReply(stalledBody)});
    TclInternetConnection connection;
    std::vector<char> buffer(64);
    for (const bool byTerminate : {false, true}) {
        THttpActions actions(connection, server.Port(), "/stall");
        ASSERT_TRUE(actions.Send->FireAction(5000));
        TclInternetReadFileAction read(&connection, actions.Open->hResource(), actions.Request->hResource(),
                                       buffer.data());
        read.dwNumberOfBytesToRead = 64;
        read.FireAction(5000);
        EXPECT_EQ(std::string(buffer.data(), read.lpdwNumberOfBytesRead), "0123456789");
        std::thread stopper([&] {
            if (!byTerminate) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            connection.SignalTerminate();
        });
        const auto start = std::chrono::steady_clock::now();
        int code = 0;
        try {
            read.FireAction(byTerminate ? -1 : 300);
        } catch (const EclInternetError& e) {
            code = e.ErrorCode();
        }
        stopper.join();
        EXPECT_EQ(code, byTerminate ? static_cast<int>(ERROR_INTERNET_OPERATION_CANCELLED) : 258);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
        EXPECT_EQ(actions.Open->hResource(), 0u);  // abandoned: the root handle was closed
    }
}

TEST(InternetConnection, BodyReadThroughActionsAndCloseIsHarmlessTwice) {
    std::string body(100000, 'b');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 26);
    TScriptedHttpServer server({TScriptedReply(HttpReply("HTTP/1.1 200 OK", "", body), {1000, 30000}),
                                TScriptedReply(HttpReply("HTTP/1.1 200 OK", "", "again"))});
    TclInternetConnection connection;
    {
        THttpActions actions(connection, server.Port(), "/");
        ASSERT_TRUE(actions.Send->FireAction(5000));
        EXPECT_EQ(ReadAllThroughActions(connection, actions), body);
    }
    EXPECT_EQ(connection.ActionCount(), 4);
    connection.Close();
    EXPECT_EQ(connection.ActionCount(), 0);
    connection.Close();
    // A fresh action thread after Close.
    THttpActions again(connection, server.Port(), "/");
    ASSERT_TRUE(again.Send->FireAction(5000));
    EXPECT_EQ(ReadAllThroughActions(connection, again), "again");
}

TEST(InternetConnection, ActionsAreFoundByClassAndFailuresRaiseOrReturnFalse) {
    TScriptedHttpServer server({});
    TclInternetConnection connection;
    EXPECT_EQ(connection.GetActionByClass<TclInternetOpenAction>(), nullptr);
    THttpActions actions(connection, server.Port(), "/");
    EXPECT_EQ(connection.GetActionByClass<TclConnectAction>(), actions.Connect);
    EXPECT_EQ(connection.GetActionByClass<TclInternetResourceAction>(), actions.Open);

    EXPECT_FALSE(actions.Send->FireAction(5000, true));
    EXPECT_EQ(actions.Send->ErrorCode(), static_cast<int>(ERROR_INTERNET_FORCE_RETRY));
    EXPECT_EQ(actions.Send->ErrorText(), "The request must be sent again");
    try {
        actions.Send->FireAction(5000);
        FAIL();
    } catch (const EclInternetError& e) {
        EXPECT_EQ(e.ErrorCode(), static_cast<int>(ERROR_INTERNET_FORCE_RETRY));
    }
    // An action without a connection is a programming error.
    TclInternetOpenAction orphan(nullptr, "x", INTERNET_OPEN_TYPE_PRECONFIG, "", "", 0);
    EXPECT_THROW(orphan.FireAction(-1), EAssertionFailed);
}

TEST(InternetConnection, StatusNotificationsNameTheRequestAction) {
    TScriptedHttpServer server({TScriptedReply(HttpReply("HTTP/1.1 200 OK", "", "status"))});
    std::vector<uint32_t> statuses;
    std::vector<TclInternetAction*> actions;
    TclInternetConnection connection;
    connection.OnStatusCallback = [&](TObject*, TclInternetAction* AAction, uint32_t AStatus, const void*, uint32_t) {
        statuses.push_back(AStatus);
        actions.push_back(AAction);
    };
    THttpActions request(connection, server.Port(), "/");
    ASSERT_TRUE(request.Send->FireAction(5000));
    EXPECT_EQ(ReadAllThroughActions(connection, request), "status");
    auto seen = [&](uint32_t AStatus) {
        return std::find(statuses.begin(), statuses.end(), AStatus) != statuses.end();
    };
    EXPECT_TRUE(seen(INTERNET_STATUS_CONNECTING_TO_SERVER));
    EXPECT_TRUE(seen(INTERNET_STATUS_SENDING_REQUEST));
    EXPECT_TRUE(seen(INTERNET_STATUS_RESPONSE_RECEIVED));
    EXPECT_TRUE(seen(INTERNET_STATUS_REQUEST_COMPLETE));
    for (size_t i = 0; i < statuses.size(); ++i)
        if (statuses[i] == INTERNET_STATUS_RESPONSE_RECEIVED) {
            EXPECT_EQ(actions[i], request.Request);
        }
}

TEST(InternetErrorText, TextsEndWithoutPeriodOrLineBreakAndUnknownCodesSaySo) {
    for (const int code : {12002, 12007, 12029, 12030, 12031, 12032, 12037, 12038, 12044, 12045, 258}) {
        const std::string text = EclInternetError::GetLastErrorText(code);
        ASSERT_FALSE(text.empty()) << code;
        EXPECT_NE(text.back(), '.') << code;
        EXPECT_GT(static_cast<unsigned char>(text.back()), ' ') << code;
        EXPECT_EQ(text.rfind("Unknown error", 0), std::string::npos) << code;
    }
    EXPECT_EQ(EclInternetError::GetLastErrorText(4242), "Unknown error, code = 4242");
    EXPECT_EQ(EclInternetError::GetLastErrorText(-1), "Unknown error, code = -1");
}

TEST(InternetErrorText, AnExtendedErrorCarriesTheServersReply) {
    TFtpTestServer ftp;
    TclInternetConnection connection;
    auto* open = new TclInternetOpenAction(&connection, "inet test", INTERNET_OPEN_TYPE_PRECONFIG, "", "", 0);
    open->FireAction(-1);
    auto* connect = new TclConnectAction(&connection, open->hResource(), "127.0.0.1", static_cast<uint16_t>(ftp.Port()),
                                         TFtpTestServer::UserName, TFtpTestServer::Password, INTERNET_SERVICE_FTP,
                                         INTERNET_FLAG_PASSIVE);
    connect->FireAction(5000);
    TclFtpOpenFileAction file(&connection, open->hResource(), connect->hResource(), "/nothing.here", GENERIC_READ,
                              INTERNET_FLAG_TRANSFER_BINARY);
    try {
        file.FireAction(5000);
        FAIL();
    } catch (const EclInternetError& e) {
        EXPECT_EQ(e.ErrorCode(), 12003);
        const std::string text = e.Message();
        const std::string marker = "; Additional info: 550 ";
        EXPECT_NE(text.find(marker), std::string::npos) << text;
        EXPECT_EQ(text.rfind("An extended error was returned from the server", 0), 0u) << text;
        EXPECT_NE(text.back(), '\n');
    }
}

TEST(InternetConnection, ConnectionLimitsAreRaisedToTen) {
    uint32_t two = 2;
    ASSERT_TRUE(InternetSetOptionA(0, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &two, sizeof(two)));
    uint32_t twenty = 20;
    ASSERT_TRUE(InternetSetOptionA(0, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, &twenty, sizeof(twenty)));
    RaiseConnectionLimits();
    uint32_t value = 0;
    uint32_t length = sizeof(value);
    ASSERT_TRUE(InternetQueryOptionA(0, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &value, &length));
    EXPECT_EQ(value, 10u);
    ASSERT_TRUE(InternetQueryOptionA(0, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, &value, &length));
    EXPECT_EQ(value, 20u);
}

}  // namespace
