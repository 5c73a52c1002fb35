// The parse against the site stand-in: its demo pages (a normal video with
// escaped names, a series of ten episodes, a single part), its odd-case pages
// (empty names, plain names, missing lists), and its faults.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include "BlTexts.h"
#include "TestForm.h"
#include "site/VidSite.h"
#include "site/VidSiteClient.h"

namespace {

class SiteParse : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        FSite = new vidsite::TVidSite();
        FSettings = new vidsite::TSiteClientSettings(*FSite);
        for (vidsite::TSiteVideo& video : vidsite::EdgeCaseCatalogue()) FSite->Catalogue().Add(std::move(video));
    }
    static void TearDownTestSuite() {
        delete FSettings;
        delete FSite;
    }
    void TearDown() override {
        FSite->Faults().Clear();
        FSite->Log().Clear();
    }

    // Pastes the address, presses the parse button and waits for the play
    // addresses of the parts, after which the controls are enabled again.
    void Press(const std::string& APath) {
        FForm.edt1->setText(QString::fromStdString("https://www.vidsite.example" + APath));
        FForm.btn1->click();
        ASSERT_TRUE(WaitForParseEnd(FForm));
    }
    QStringList Column(int AColumn) const {
        QStringList texts;
        for (int i = 0; i < FForm.lv2->topLevelItemCount(); ++i) texts << FForm.lv2->topLevelItem(i)->text(AColumn);
        return texts;
    }
    void ExpectEnabled() {
        EXPECT_TRUE(FForm.btn1->isEnabled());
        EXPECT_TRUE(FForm.lv2->isEnabled());
    }
    void ExpectFailure(const std::string& APath, const char* AMessage) {
        SCOPED_TRACE(APath);
        FForm.Messages.clear();
        Press(APath);
        EXPECT_EQ(FForm.Messages, QStringList{QString::fromUtf8(AMessage)});
        EXPECT_EQ(FForm.lv2->topLevelItemCount(), 0);
        ExpectEnabled();
    }

    static vidsite::TVidSite* FSite;
    static vidsite::TSiteClientSettings* FSettings;
    QTemporaryDir FDir;
    TTestForm FForm{FolderOf(FDir)};
};

vidsite::TVidSite* SiteParse::FSite = nullptr;
vidsite::TSiteClientSettings* SiteParse::FSettings = nullptr;

TEST_F(SiteParse, NormalVideoWithEscapedNamesAndSlashes) {
    Press("/video/v1001/");
    EXPECT_TRUE(FForm.Messages.isEmpty()) << FForm.Messages.join('\n').toStdString();
    EXPECT_EQ(FForm.ParseState, 1);
    EXPECT_EQ(Column(0), QStringList({"1", "2", "3"}));
    EXPECT_EQ(Column(1), QStringList({QStringLiteral("第一部分：黄昏"), QStringLiteral("第二部分：夜幕/灯火"),
                                      QStringLiteral("第三部分：黎明")}));
    EXPECT_EQ(Column(2), QStringList({"100101", "100102", "100103"}));
    ExpectEnabled();

    const auto requests = FSite->Log().Requests("/video/v1001/");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Host, "www.vidsite.example");
    EXPECT_EQ(requests[0].Header("User-Agent"), "Mozilla/5.0 (iPhone; CPU iPhone OS 9_1 like Mac OS X)");
    EXPECT_EQ(requests[0].Header("Accept"), "*/*");
    EXPECT_EQ(requests[0].Header("Referer"), "https://www.vidsite.example/");
    EXPECT_EQ(requests[0].Header("Accept-Encoding"), "gzip");  // and the gzip page was decoded
}

TEST_F(SiteParse, SeriesOfTenEpisodesNumbered01To10) {
    Press("/play/s2001/");
    EXPECT_TRUE(FForm.Messages.isEmpty());
    EXPECT_EQ(FForm.ParseState, 2);
    EXPECT_EQ(Column(0), QStringList({"01", "02", "03", "04", "05", "06", "07", "08", "09", "10"}));
    EXPECT_EQ(Column(1).first(), QStringLiteral("第1话 启程"));
    EXPECT_EQ(Column(1).last(), QStringLiteral("第10话 归途"));
    EXPECT_EQ(Column(2).last(), "200110");
    ExpectEnabled();
}

TEST_F(SiteParse, SinglePartNamedAfterTheTitle) {
    Press("/video/v1003/");
    EXPECT_EQ(Column(0), QStringList{"1"});
    EXPECT_EQ(Column(1), QStringList{QStringLiteral("一分钟学会折纸鹤")});
    ExpectEnabled();
}

TEST_F(SiteParse, EmptyNamesFallBackToTheTitleOrTheCid) {
    Press("/video/v1101/");
    EXPECT_EQ(Column(1), QStringList({QStringLiteral("有名字"), QStringLiteral("空名分节")}));
    Press("/video/v1102/");
    EXPECT_EQ(Column(1), QStringList({"110201", QStringLiteral("第二节")}));
    Press("/play/s1103/");
    EXPECT_EQ(Column(1), QStringList({QStringLiteral("第1话 开端"), QStringLiteral("空名剧集")}));
    EXPECT_TRUE(FForm.Messages.isEmpty());
}

TEST_F(SiteParse, NamesWithoutUnicodeEscapesKeepTheirBackslashes) {
    // A single part, so it is named after the title, which has no \u either.
    Press("/video/v1104/");
    EXPECT_EQ(Column(1), QStringList{QStringLiteral("直写\\/标题")});
}

TEST_F(SiteParse, EachFailureShowsItsMessage) {
    ExpectFailure("/video/v1105/", bl::kNoVideoInfo);
    ExpectFailure("/video/v1106/", bl::kNoEntries);
    ExpectFailure("/video/unknown/", bl::kFetchFailed);

    vidsite::TSiteFault serverError;
    serverError.ServerErrorCount = 1;
    FSite->Faults().Set("/video/v1001/", serverError);
    ExpectFailure("/video/v1001/", bl::kFetchFailed);

    vidsite::TSiteFault dropped;
    dropped.DropAfterBytes = 100;
    FSite->Faults().Set("/video/v1001/", dropped);
    ExpectFailure("/video/v1001/", bl::kFetchFailed);

    vidsite::TSiteFault longer;
    longer.LengthDelta = 1000;  // promises more than it sends, then closes
    FSite->Faults().Set("/video/v1001/", longer);
    FForm.clhtp1.SetTimeOut(1000);
    ExpectFailure("/video/v1001/", bl::kFetchFailed);

    vidsite::TSiteFault stalled;
    stalled.Stall = true;
    FSite->Faults().Set("/video/v1003/", stalled);
    ExpectFailure("/video/v1003/", bl::kFetchFailed);
}

TEST_F(SiteParse, APageWithoutEndIsRefusedWithTheFetchMessage) {
    vidsite::TSiteFault endless;
    endless.EndlessBody = true;
    FSite->Faults().Set("/video/v1001/", endless);
    ExpectFailure("/video/v1001/", bl::kFetchFailed);
}

TEST_F(SiteParse, ASlowPageLeavesTheWindowServingItsTimers) {
    vidsite::TSiteFault slow;
    slow.RateBytesPerSecond = 4000;
    FSite->Faults().Set("/video/v1001/", slow);
    int ticksWhileWaiting = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (!FForm.btn1->isEnabled()) ++ticksWhileWaiting;
    });
    timer.start(10);
    Press("/video/v1001/");
    timer.stop();
    EXPECT_GT(ticksWhileWaiting, 0);
    EXPECT_EQ(Column(2), QStringList({"100101", "100102", "100103"}));
    ExpectEnabled();
}

}  // namespace
