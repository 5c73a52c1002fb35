// Page resolution through the window: the address checks, the fetch over
// HTTPS from a loopback server standing in for the site's main host, the
// rows of lv2 with their numbers, every failure message, and the window
// serving its events while a slow page arrives.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <optional>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include "BlTexts.h"
#include "TestForm.h"
#include "support/ScriptedHttpServer.h"
#include "support/TlsTestPki.h"
#include "transport/clCertificate.h"
#include "transport/clIpAddress.h"

using cltest::HttpReply;
using cltest::TScriptedReply;

namespace {

constexpr const char* kHost = "www.vidsite.example";

// An HTTPS server on loopback answering for the site's main host: the host
// override and the trust anchor point the window's client at it.
class TMainHost {
public:
    explicit TMainHost(std::vector<TScriptedReply> AScript)
        : FCertificate(FCa.Issue(Leaf())), FServer(std::move(AScript), &FCertificate) {
        cl::AddTrustAnchorsPem(FCa.CertificatePem());
        cl::TclHostOverrides::Add(kHost, 443, "127.0.0.1", FServer.Port());
    }
    ~TMainHost() {
        cl::TclHostOverrides::Remove(kHost, 443);
        cl::ClearTrustAnchors();
    }
    std::vector<cltest::TRecordedRequest> Requests() const { return FServer.Requests(); }

private:
    static cltest::TLeafOptions Leaf() {
        cltest::TLeafOptions options;
        options.CommonName = kHost;
        options.DnsNames = {kHost, "*.vidsite.example"};
        return options;
    }
    cltest::TTestCa FCa;
    cltest::TTestCertificate FCertificate;
    cltest::TScriptedHttpServer FServer;
};

std::string PageReply(const std::string& AState) {
    return HttpReply("HTTP/1.1 200 OK", "Content-Type: text/html; charset=utf-8\r\n",
                     "<!DOCTYPE html><html><head><title>v</title><script>window.__INITIAL_STATE__=" + AState +
                         ";</script></head><body><div id=\"app\"></div></body></html>");
}

std::string SeriesOf(int ACount) {
    std::string state = R"({"mediaInfo":{"title":"Series"},"epList":[)";
    for (int i = 1; i <= ACount; ++i) {
        if (i > 1) state += ",";
        state += R"({"aid":1,"cid":)" + std::to_string(7000 + i) + R"(,"titleFormat":"第)" + std::to_string(i) +
                 R"(话","longTitle":"Episode )" + std::to_string(i) + R"("})";
    }
    return state + "]}";
}

class Parse : public ::testing::Test {
protected:
    Parse() { FForm.FormCreate(); }

    // Pastes the address and presses the parse button.
    void Press(const QString& AAddress = "https://www.vidsite.example/video/av1/") {
        FForm.edt1->setText(AAddress);
        FForm.btn1->click();
    }
    QStringList Column(int AColumn) const {
        QStringList texts;
        for (int i = 0; i < FForm.lv2->topLevelItemCount(); ++i) texts << FForm.lv2->topLevelItem(i)->text(AColumn);
        return texts;
    }
    void ExpectEnabledWith(const char* AMessage) {
        EXPECT_EQ(FForm.Messages, QStringList{QString::fromUtf8(AMessage)});
        EXPECT_EQ(FForm.lv2->topLevelItemCount(), 0);
        ExpectEnabled();
    }
    void ExpectEnabled() {
        EXPECT_TRUE(FForm.btn1->isEnabled());
        EXPECT_TRUE(FForm.lv2->isEnabled());
    }

    // The site outlives the window, which closes its kept-alive connection first.
    void Serve(std::vector<TScriptedReply> AScript) { FSite.emplace(std::move(AScript)); }

    std::optional<TMainHost> FSite;
    QTemporaryDir FDir;
    TTestForm FForm{FolderOf(FDir)};
};

TEST_F(Parse, NormalVideoFillsOneRowPerPartWithNameCidAndEmptyPlayColumns) {
    Serve({PageReply(R"({"videoData":{"title":"\u6d4b\u8bd5\u89c6\u9891","pages":[)"
                              R"({"cid":1001,"page":1,"part":"\u7b2c\u4e00\u90e8\u5206"},)"
                              R"({"cid":1002,"page":2,"part":"B\/side"},{"cid":1003,"page":3,"part":""}]}})")});
    Press();
    EXPECT_TRUE(FForm.Messages.isEmpty()) << FForm.Messages.join('\n').toStdString();
    EXPECT_EQ(FForm.ParseState, 1);
    EXPECT_EQ(Column(0), QStringList({"1", "2", "3"}));
    EXPECT_EQ(Column(1), QStringList({QStringLiteral("第一部分"), "B\\/side", QStringLiteral("测试视频")}));
    EXPECT_EQ(Column(2), QStringList({"1001", "1002", "1003"}));
    for (int column : {3, 4, 5}) EXPECT_EQ(Column(column), QStringList({"", "", ""})) << column;
    ExpectEnabled();
    EXPECT_TRUE(FForm.edt3->isHidden());

    // The page request as the site sees it.
    const auto requests = FSite->Requests();
    ASSERT_EQ(requests.size(), 1u);
    const std::string& head = requests[0].Head;
    EXPECT_EQ(head.rfind("GET /video/av1/ HTTP/1.1\r\n", 0), 0u) << head;
    EXPECT_NE(head.find("\r\nUser-Agent: Mozilla/5.0 (iPhone; CPU iPhone OS 9_1 like Mac OS X)\r\n"),
              std::string::npos)
        << head;
    EXPECT_NE(head.find("\r\nAccept: */*\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("\r\nReferer: https://www.vidsite.example/\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("\r\nHost: www.vidsite.example\r\n"), std::string::npos) << head;
}

TEST_F(Parse, SeriesOfTenEpisodesIsNumberedFrom01To10) {
    Serve({PageReply(SeriesOf(10))});
    Press("https://www.vidsite.example/bangumi/play/ss1/");
    EXPECT_TRUE(FForm.Messages.isEmpty());
    EXPECT_EQ(FForm.ParseState, 2);
    EXPECT_EQ(Column(0), QStringList({"01", "02", "03", "04", "05", "06", "07", "08", "09", "10"}));
    EXPECT_EQ(FForm.lv2->topLevelItem(0)->text(1), QStringLiteral("第1话 Episode 1"));
    EXPECT_EQ(FForm.lv2->topLevelItem(9)->text(2), "7010");
    ExpectEnabled();
}

TEST_F(Parse, ASinglePartIsNamedAfterTheVideo) {
    Serve({PageReply(R"({"title":"Whole film","pages":[{"cid":42,"page":1,"part":"P1"}]})"),
                    PageReply(R"({"pages":[{"cid":43,"page":1,"part":"P1"}]})")});
    Press();
    EXPECT_EQ(Column(0), QStringList{"1"});
    EXPECT_EQ(Column(1), QStringList{"Whole film"});
    // Without a title the part keeps its own name.
    Press();
    EXPECT_EQ(Column(1), QStringList{"P1"});
    EXPECT_EQ(Column(2), QStringList{"43"});
}

TEST_F(Parse, AddressChecksComeBeforeAnythingIsDisabled) {
    new QTreeWidgetItem(FForm.lv2, {"1", "old row"});
    Press("");
    ExpectEnabledWith(bl::kAddressEmpty);
    EXPECT_TRUE(FForm.edt3->isHidden());

    FForm.Messages.clear();
    Press("https://vidsite.example/video/av1/");
    ExpectEnabledWith(bl::kAddressWrong);
    EXPECT_EQ(FForm.ParseState, 0);
}

TEST_F(Parse, EachFailureShowsItsMessageAndEnablesTheControls) {
    Serve({HttpReply("HTTP/1.1 404 Not Found", "", "gone"),
                    HttpReply("HTTP/1.1 200 OK", "", ""),
                    PageReply(R"({"title":"t","videoData":{"desc":"no list here"}})"),
                    PageReply(R"({"title":"t","pages":[{"page":1,"part":"p"}]})"),
                    TScriptedReply("HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n{\"title\":\"t\"", {}, true)});
    const std::pair<const char*, const char*> cases[] = {
        {"404", bl::kFetchFailed},     {"empty body", bl::kFetchFailed}, {"no list", bl::kNoVideoInfo},
        {"no cid", bl::kNoEntries},    {"dropped", bl::kFetchFailed},
    };
    for (const auto& [what, message] : cases) {
        SCOPED_TRACE(what);
        FForm.Messages.clear();
        new QTreeWidgetItem(FForm.lv2, {"1", "row of the last page"});
        Press();
        ExpectEnabledWith(message);
    }
}

TEST_F(Parse, AnUnreachableSiteReportsThatNoDataCameBack) {
    int port = 0;
    {
        cltest::TScriptedHttpServer closed({});
        port = closed.Port();
    }
    cl::TclHostOverrides::Add(kHost, 443, "127.0.0.1", port);
    Press();
    cl::TclHostOverrides::Remove(kHost, 443);
    ExpectEnabledWith(bl::kFetchFailed);
}

TEST_F(Parse, ASlowPageLeavesTheWindowServingItsTimers) {
    const std::string reply = PageReply(SeriesOf(3));
    std::vector<size_t> pieces(30, reply.size() / 40);  // 30 pauses before the rest
    Serve({TScriptedReply(reply, pieces)});

    int ticks = 0;
    int ticksWhileDisabled = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        ++ticks;
        if (!FForm.btn1->isEnabled() && !FForm.lv2->isEnabled()) ++ticksWhileDisabled;
    });
    timer.start(10);
    Press();
    timer.stop();

    EXPECT_GT(ticksWhileDisabled, 0);
    EXPECT_TRUE(FForm.Messages.isEmpty());
    EXPECT_EQ(Column(0), QStringList({"1", "2", "3"}));
    ExpectEnabled();
}

}  // namespace
