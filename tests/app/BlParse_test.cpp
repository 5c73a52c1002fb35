// Page resolution through the window with answers the site stand-in does not
// give: the address checks, an empty body, a body cut short, a page without a
// title, a site that is not there. The main host is a scripted HTTPS server.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <optional>
#include <QPushButton>
#include <QTreeWidget>

#include "BlTexts.h"
#include "TestForm.h"
#include "support/ScriptedHttpServer.h"
#include "support/TestDaemon.h"
#include "support/TlsTestPki.h"
#include "transport/clCertificate.h"
#include "transport/clIpAddress.h"

using cltest::HttpReply;
using cltest::TScriptedReply;

namespace {

constexpr const char* kHost = "www.vidsite.example";
// The play-address hosts, routed to a port that refuses: the parse's
// requests to them end at once, on loopback.
constexpr const char* kServiceHosts[] = {"interface.vidsite.example", "api.vidsite.example"};

// An HTTPS server on loopback answering for the site's main host: the host
// override and the trust anchor point the window's client at it.
class TMainHost {
public:
    explicit TMainHost(std::vector<TScriptedReply> AScript)
        : FCertificate(FCa.Issue(Leaf())), FServer(std::move(AScript), &FCertificate) {
        cl::AddTrustAnchorsPem(FCa.CertificatePem());
        cl::TclHostOverrides::Add(kHost, 443, "127.0.0.1", FServer.Port());
        for (const char* host : kServiceHosts)
            cl::TclHostOverrides::Add(host, 443, "127.0.0.1", cltest::FreeLoopbackPort());
    }
    ~TMainHost() {
        cl::TclHostOverrides::Remove(kHost, 443);
        for (const char* host : kServiceHosts) cl::TclHostOverrides::Remove(host, 443);
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
                     "<!DOCTYPE html><html><head><title>v</title><script>window.__PAGE_STATE__=" + AState +
                         ";</script></head><body><div id=\"app\"></div></body></html>");
}

class Parse : public ::testing::Test {
protected:
    Parse() { FForm.FormCreate(); }

    // Pastes the address and presses the parse button.
    // Pastes the address and presses the parse button, once the requests of
    // the previous parse have been stopped and have ended.
    void Press(const QString& AAddress = "https://www.vidsite.example/video/v1/") {
        FForm.clMdloader2.Stop();
        ASSERT_TRUE(WaitForParseEnd(FForm));
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
    Press("https://vidsite.example/video/v1/");
    ExpectEnabledWith(bl::kAddressWrong);
    EXPECT_EQ(FForm.ParseState, 0);
}

TEST_F(Parse, EachFailureShowsItsMessageAndEnablesTheControls) {
    Serve({HttpReply("HTTP/1.1 404 Not Found", "", "gone"), HttpReply("HTTP/1.1 200 OK", "", ""),
           PageReply(R"({"title":"t","videoInfo":{"desc":"no list here"}})"),
           PageReply(R"({"title":"t","pages":[{"page":1,"part":"p"}]})"),
           TScriptedReply("HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n{\"title\":\"t\"", {}, true)});
    const std::pair<const char*, const char*> cases[] = {
        {"404", bl::kFetchFailed},  {"empty body", bl::kFetchFailed}, {"no list", bl::kNoVideoInfo},
        {"no cid", bl::kNoEntries}, {"dropped", bl::kFetchFailed},
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

}  // namespace
