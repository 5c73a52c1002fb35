#include "transport/clSocket.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "transport/clTcpClient.h"
#include "support/clLoopbackServer.h"
#include "support/clTestTcpClient.h"

using namespace cl;
using cltest::TLoopbackServer;
using TTestClient = cltest::TTestTcpClient;

namespace {

std::string Text(const TMemoryStream& AStream) { return std::string(AStream.Bytes().begin(), AStream.Bytes().end()); }

int ErrorCodeOf(const std::function<void()>& AAction) {
    try {
        AAction();
    } catch (const EclSocketError& e) {
        return e.ErrorCode();
    }
    return 0;
}

// ---- addresses ----

std::string Ip6(std::initializer_list<uint16_t> AGroups) {
    in6_addr addr{};
    int i = 0;
    for (uint16_t g : AGroups) {
        addr.s6_addr[2 * i] = static_cast<uint8_t>(g >> 8);
        addr.s6_addr[2 * i + 1] = static_cast<uint8_t>(g & 0xFF);
        ++i;
    }
    return TclIPAddress6::AddrToStr(addr);
}

TEST(IpAddress, Ipv6TextCompressesOnlyTheFirstZeroRun) {
    EXPECT_EQ(Ip6({0, 0, 0, 0, 0, 0, 0, 1}), "::1");
    EXPECT_EQ(Ip6({0xfe80, 0, 0, 0, 0, 0, 0, 1}), "FE80::1");
    EXPECT_EQ(Ip6({1, 0, 0, 2, 0, 0, 0, 3}), "1::2:0:0:0:3");
    EXPECT_EQ(Ip6({1, 2, 3, 4, 5, 6, 0, 0}), "1:2:3:4:5:6::");
    EXPECT_EQ(Ip6({1, 2, 3, 4, 5, 6, 7, 0}), "1:2:3:4:5:6:7:0");
    EXPECT_EQ(Ip6({0, 0, 0, 0, 0, 0, 0, 0}), "::");
    EXPECT_EQ(Ip6({0xabcd, 0, 1, 0, 0, 0, 0, 0}), "ABCD:0:1::");
}

TEST(IpAddress, LiteralsParseWithoutLookupAndBadInputGivesOwnCodes) {
    EXPECT_TRUE(TclIPAddress::IsHostIP("127.0.0.1"));
    EXPECT_TRUE(TclIPAddress::IsHostIP("::1"));
    EXPECT_FALSE(TclIPAddress::IsHostIP(""));
    EXPECT_FALSE(TclIPAddress::IsHostIP("no-such-host.invalid"));
    auto addr = TclIPAddress::CreateIpAddress("fe80::1");
    EXPECT_EQ(addr->AddressFamily(), AF_INET6);
    EXPECT_EQ(addr->ToString(), "FE80::1");
    EXPECT_EQ(TclHostResolver::GetIPAddress("10.1.2.3"), "10.1.2.3");
    EXPECT_EQ(ErrorCodeOf([] { TclIPAddress::CreateIpAddress("not an address"); }), cInvalidAddress);
    EXPECT_EQ(ErrorCodeOf([&] { addr->SetPort(-1); }), cInvalidPort);
    EXPECT_EQ(ErrorCodeOf([] { TclIPAddress::CreateNone(99); }), cInvalidAddressFamily);
    TclIPAddress6 empty;
    EXPECT_EQ(ErrorCodeOf([&] { empty.SetPort(80); }), cInvalidAddress);
    EXPECT_TRUE(TclIPAddress4::IsPrivateUseIP("172.16.0.1"));
    EXPECT_TRUE(TclIPAddress4::IsPrivateUseIP("192.168.1.1"));
    EXPECT_FALSE(TclIPAddress4::IsPrivateUseIP("172.32.0.1"));
    EXPECT_FALSE(TclIPAddress4::IsPrivateUseIP("11.0.0.1"));
}

TEST(IpAddress, HostOverridesSendANameAndPortElsewhere) {
    TclHostOverrides::Add("www.site.example", 443, "127.0.0.1", 8443);
    TclHostOverrides::Add("any.site.example", 0, "::1", 0);
    int port = 0;
    EXPECT_EQ(TclHostResolver::ResolveEndPoint("WWW.Site.Example", 443, port), "127.0.0.1");
    EXPECT_EQ(port, 8443);
    EXPECT_EQ(TclHostResolver::ResolveEndPoint("any.site.example", 80, port), "::1");
    EXPECT_EQ(port, 80);
    EXPECT_EQ(TclHostResolver::GetIPAddress("any.site.example"), "::1");
    TclHostOverrides::Clear();
    EXPECT_TRUE(TclHostOverrides::Entries().empty());
}

TEST(SocketErrors, TableTextsAndSystemTexts) {
    EXPECT_EQ(SocketErrorText(cTimeoutOccured), "Timeout error occured");
    EXPECT_EQ(SocketErrorText(cInvalidBatchSize), "Invalid Batch Size");
    EXPECT_EQ(SocketErrorText(cNetworkStreamRequired), "NetworkStream is required");
    EXPECT_EQ(SocketErrorText(cConnectionNotActive), "The connection to the server is not active");
    EXPECT_EQ(SocketErrorText(WSAENOTSOCK), "Socket operation on non-socket");
    EXPECT_EQ(SocketErrorText(WSAECONNREFUSED), "Connection refused");
    EXPECT_FALSE(SocketErrorText(WSAHOST_NOT_FOUND).empty());
}

// ---- connecting ----

TEST(TcpClient, ConnectsWritesAndReadsBack) {
    TLoopbackServer server([](int fd) {
        std::string got = TLoopbackServer::RecvCount(fd, 5);
        TLoopbackServer::SendAll(fd, "echo:" + got);
    });
    TTestClient client;
    client.SetServer("127.0.0.1");
    client.SetPort(server.Port());
    int opened = 0;
    client.OnOpen = [&](TObject*) { ++opened; };
    client.Open();
    ASSERT_TRUE(client.Active());
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(client.Connection()->PeerIP(), "127.0.0.1");
    EXPECT_EQ(client.Connection()->PeerPort(), server.Port());
    EXPECT_EQ(client.Connection()->IP(), "127.0.0.1");
    EXPECT_GT(client.Connection()->Port(), 0);
    client.Connection()->WriteString("hello");
    client.Connection()->SetIsReadUntilClose(true);
    EXPECT_EQ(client.Connection()->ReadString(), "echo:hello");
    EXPECT_FALSE(client.Active());
}

TEST(TcpClient, OverriddenHostNameReachesTheLoopbackServer) {
    TLoopbackServer server([](int fd) { TLoopbackServer::SendAll(fd, "hi"); });
    TclHostOverrides::Add("www.vidsite.example", 80, "127.0.0.1", server.Port());
    TTestClient client;
    client.SetServer("www.vidsite.example");
    client.SetPort(80);
    client.Open();
    TclHostOverrides::Clear();
    client.Connection()->SetIsReadUntilClose(true);
    EXPECT_EQ(client.Connection()->ReadString(), "hi");
}

TEST(TcpClient, Ipv6LoopbackConnects) {
    if (!TLoopbackServer::HasIPv6Loopback()) {
        GTEST_SKIP() << "no ::1 on this machine";
    }
    TLoopbackServer server([](int fd) { TLoopbackServer::SendAll(fd, "six"); }, true);
    TTestClient client;
    client.SetServer("::1");
    client.SetPort(server.Port());
    client.Open();
    EXPECT_EQ(client.Connection()->Socket().AddressFamily(), AF_INET6);
    EXPECT_EQ(client.Connection()->PeerIP(), "::1");
    client.Connection()->SetIsReadUntilClose(true);
    EXPECT_EQ(client.Connection()->ReadString(), "six");
}

TEST(TcpClient, BatchSizeZeroFailsBeforeAnySocket) {
    TLoopbackServer server([](int) {});
    TTestClient client;
    client.SetServer("127.0.0.1");
    client.SetPort(server.Port());
    client.SetBatchSize(0);
    try {
        client.Open();
        FAIL() << "no error";
    } catch (const EclTcpClientError& e) {
        EXPECT_EQ(e.ErrorCode(), cInvalidBatchSize);
        EXPECT_EQ(e.Message(), "Invalid Batch Size");
    }
    EXPECT_FALSE(client.Active());
    EXPECT_EQ(client.Connection()->Socket().Socket(), INVALID_SOCKET);
}

TEST(TcpClient, RefusedConnectionLeavesTheClientClosedAndCanBeRetried) {
    int port;
    {
        TLoopbackServer probe([](int) {});
        port = probe.Port();
    }
    TTestClient client;
    client.SetServer("127.0.0.1");
    client.SetPort(port);
    EXPECT_EQ(ErrorCodeOf([&] { client.Open(); }), WSAECONNREFUSED);
    EXPECT_FALSE(client.Active());
    EXPECT_EQ(ErrorCodeOf([&] { client.Open(); }), WSAECONNREFUSED);
}

TEST(TcpClient, AFirewallTypeWithoutALayerIsRefused) {
    TTestClient client;
    client.SetServer("127.0.0.1");
    client.SetPort(1);
    client.FirewallSettings().SetServer("127.0.0.1");
    client.FirewallSettings().SetFirewallType(static_cast<TclFirewallType>(7));
    EXPECT_EQ(ErrorCodeOf([&] { client.Open(); }), cUnsupportedFirewallType);
    EXPECT_FALSE(client.Active());
}

// ---- reading ----

class ReadTest : public ::testing::Test {
protected:
    void Start(TLoopbackServer::THandler AHandler) {
        FServer = std::make_unique<TLoopbackServer>(std::move(AHandler));
        FClient.SetServer("127.0.0.1");
        FClient.SetPort(FServer->Port());
        FClient.Open();
    }
    void TearDown() override {
        FStop = true;
        FClient.Close();
        FServer.reset();
    }
    TclTcpClientConnection& Conn() { return *FClient.Connection(); }

    std::atomic<bool> FStop{false};
    TTestClient FClient;
    std::unique_ptr<TLoopbackServer> FServer;
};

TEST_F(ReadTest, ReadLimitDeliversExactlyAndLeavesTheRestInTheSocket) {
    Start([this](int fd) {
        TLoopbackServer::SendAll(fd, std::string(100, 'x'));
        TLoopbackServer::RecvAll(fd, &FStop);
    });
    Conn().InitProgress(0, 0);
    Conn().SetBytesToProceed(5);
    TMemoryStream data;
    Conn().ReadData(&data);
    EXPECT_EQ(data.GetSize(), 5);
    // At the limit: no receive call, nothing delivered.
    Conn().ReadData(&data);
    EXPECT_EQ(data.GetSize(), 5);
    Conn().SetBytesToProceed(-1);
    Conn().InitProgress(0, 0);
    while (data.GetSize() < 100) {
        Conn().ReadData(&data);
    }
    EXPECT_EQ(data.GetSize(), 100);
}

TEST_F(ReadTest, ReadUntilCloseDeliversEverythingThenTheNextPassFailsWith10038) {
    std::string sent;
    for (int i = 0; i < 20000; ++i) {
        sent += static_cast<char>('a' + i % 26);
    }
    Start([&](int fd) {
        for (size_t i = 0; i < sent.size(); i += 7000) {
            TLoopbackServer::SendAll(fd, sent.substr(i, 7000));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    int64_t lastProgress = 0;
    Conn().OnProgress = [&](TObject*, int64_t ADone, int64_t) { lastProgress = ADone; };
    Conn().SetBatchSize(1000);
    Conn().SetIsReadUntilClose(true);
    Conn().InitProgress(0, 0);
    TMemoryStream data;
    Conn().ReadData(&data);
    EXPECT_EQ(Text(data), sent);
    EXPECT_EQ(lastProgress, static_cast<int64_t>(sent.size()));
    EXPECT_FALSE(Conn().Active());
    EXPECT_EQ(ErrorCodeOf([&] { Conn().ReadData(&data); }), WSAENOTSOCK);
}

TEST_F(ReadTest, ReadLimitedResponseFollowedByCloseKeepsTheRest) {
    Start([](int fd) { TLoopbackServer::SendAll(fd, "HEADER|body"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // FIN already there
    Conn().InitProgress(0, 0);
    Conn().SetBytesToProceed(7);
    TMemoryStream head;
    Conn().ReadData(&head);
    EXPECT_EQ(Text(head), "HEADER|");
    EXPECT_TRUE(Conn().Active());
    Conn().SetBytesToProceed(-1);
    Conn().SetIsReadUntilClose(true);
    TMemoryStream body;
    Conn().ReadData(&body);
    EXPECT_EQ(Text(body), "body");
}

TEST_F(ReadTest, SilentServerTimesOutEvenWhileCallsKeepArriving) {
    Start([this](int fd) { TLoopbackServer::RecvAll(fd, &FStop); });
    Conn().SetTimeOut(300);
    auto pump = TclMessagePump::Current();
    std::atomic<bool> done{false};
    std::atomic<int> calls{0};
    std::thread sender([&] {
        while (!done) {
            try {
                pump->Send([&] { ++calls; });
            } catch (const EclMessagePumpError&) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const auto start = std::chrono::steady_clock::now();
    TMemoryStream data;
    EXPECT_EQ(ErrorCodeOf([&] { Conn().ReadData(&data); }), cTimeoutOccured);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    done = true;
    // Serve the sender's last call so that it can stop.
    while (!sender.joinable() || calls == 0) {
        pump->ProcessMessages();
    }
    std::atomic<bool> joined{false};
    std::thread joiner([&] {
        sender.join();
        joined = true;
    });
    while (!joined) {
        pump->WaitFor({}, nullptr, 10);
    }
    joiner.join();
    EXPECT_GT(calls, 3);
    EXPECT_TRUE(Conn().Active());
}

TEST_F(ReadTest, TimeOutMinusOneWaitsForALateAnswer) {
    Start([](int fd) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        TLoopbackServer::SendAll(fd, "late");
    });
    Conn().SetTimeOut(-1);
    TMemoryStream data;
    Conn().ReadData(&data);
    EXPECT_EQ(Text(data), "late");
}

TEST_F(ReadTest, AbortFromASentCallEndsTheWaitWithoutError) {
    Start([this](int fd) { TLoopbackServer::RecvAll(fd, &FStop); });
    Conn().SetTimeOut(-1);
    auto pump = TclMessagePump::Current();
    std::thread worker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pump->Send([&] { Conn().Abort(); });
    });
    TMemoryStream data;
    EXPECT_NO_THROW(Conn().ReadData(&data));
    worker.join();
    EXPECT_TRUE(Conn().IsAborted());
    EXPECT_EQ(data.GetSize(), 0);
}

// Records the size of every write it is given.
class TWriteSizes : public TMemoryStream {
public:
    int64_t Write(const void* ABuffer, int64_t ACount) override {
        Sizes.push_back(ACount);
        return TMemoryStream::Write(ABuffer, ACount);
    }
    std::vector<int64_t> Sizes;
};

// Without a read limit or a bandwidth cap a waiting body is received in large
// blocks, not in batches; under a read limit the batch stays the receive size.
TEST_F(ReadTest, WaitingDataComesInLargeBlocksUnlessALimitMakesTheBatchCount) {
    const std::string sent(400000, 'q');
    Start([&](int fd) {
        TLoopbackServer::SendAll(fd, sent);
        TLoopbackServer::RecvAll(fd, &FStop);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // all of it waits in the socket
    Conn().SetBatchSize(1000);
    Conn().InitProgress(0, 0);
    Conn().SetBytesToProceed(150000);
    TWriteSizes limited;
    while (limited.GetSize() < 150000) Conn().ReadData(&limited);
    EXPECT_EQ(limited.GetSize(), 150000);
    EXPECT_LE(*std::max_element(limited.Sizes.begin(), limited.Sizes.end()), 1000);

    Conn().SetBytesToProceed(-1);
    TWriteSizes free;
    while (free.GetSize() < 250000) Conn().ReadData(&free);
    EXPECT_EQ(Text(limited) + Text(free), sent);
    EXPECT_LT(free.Sizes.size(), 50u) << "250000 bytes in batches of 1000 would be 250 writes";
}

TEST_F(ReadTest, BandwidthLimitPausesAfterEveryReceive) {
    Start([](int fd) { TLoopbackServer::SendAll(fd, std::string(3000, 'b')); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Conn().SetBatchSize(1000);
    Conn().SetBitsPerSec(80000);  // 1000 bytes -> 100 ms
    Conn().SetIsReadUntilClose(true);
    const auto start = std::chrono::steady_clock::now();
    TMemoryStream data;
    Conn().ReadData(&data);
    EXPECT_EQ(data.GetSize(), 3000);
    // Three full batches and the closing receive: at least 400 ms.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
}

// ---- writing ----

TEST_F(ReadTest, LargeWriteIsSentWholeInBatches) {
    std::string received;
    std::atomic<bool> served{false};
    Start([&](int fd) {
        received = TLoopbackServer::RecvCount(fd, 3 * 1024 * 1024);
        served = true;
    });
    std::vector<uint8_t> data(3 * 1024 * 1024);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 7);
    }
    Conn().InitProgress(0, 0);
    Conn().WriteBytes(data);
    EXPECT_EQ(Conn().BytesProceed(), static_cast<int64_t>(data.size()));
    FClient.Close();
    // Stopping the server would cut its reading short: let it finish first.
    for (int i = 0; i < 10000 && !served; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    FServer.reset();
    ASSERT_EQ(received.size(), data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), reinterpret_cast<const uint8_t*>(received.data())));
}

TEST_F(ReadTest, PeerClosingDuringAWriteClosesTheConnectionAndFailsTheAssertion) {
    Start([this](int fd) {
        shutdown(fd, SHUT_WR);
        while (!FStop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::vector<uint8_t> data(32 * 1024 * 1024, 'w');
    EXPECT_THROW(Conn().WriteBytes(data), EAssertionFailed);
    EXPECT_FALSE(Conn().Active());
}

}  // namespace

namespace {

class TKeepAliveClient : public cltest::TTestTcpClient {
public:
    int Ticks = 0;

protected:
    void DoKeepAlive() override {
        ++Ticks;
        throw EclSocketError("swallowed", 1);
    }
};

TEST(TcpClient, KeepAliveSetsTheSocketOptionAndTicksWhileTheThreadWaits) {
    std::atomic<bool> stop{false};
    TLoopbackServer server([&](int fd) { TLoopbackServer::RecvAll(fd, &stop); });
    TKeepAliveClient client;
    client.SetServer("127.0.0.1");
    client.SetPort(server.Port());
    client.SetKeepAlive(20);
    client.Open();
    int on = 0;
    socklen_t len = sizeof(on);
    getsockopt(client.Connection()->Socket().Socket(), SOL_SOCKET, SO_KEEPALIVE, &on, &len);
    EXPECT_EQ(on, 1);
    TclMessagePump::Current()->Sleep(150);
    EXPECT_GE(client.Ticks, 2);
    client.Close();
    const int seen = client.Ticks;
    TclMessagePump::Current()->Sleep(60);
    EXPECT_EQ(client.Ticks, seen);
    stop = true;
}

}  // namespace
