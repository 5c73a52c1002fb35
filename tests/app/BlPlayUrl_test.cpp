// Play addresses: the signed and the series address, the reading of the
// answers (order, quality, every malformed shape), and the window asking the
// site stand-in for every row of a parse.
#include <gtest/gtest.h>

#include "PlayUrl.h"
#include "VideoSiteFixture.h"
#include "site/VidSiteConstants.h"

namespace {

using bl::ParsePgcPlayUrlJson;
using bl::ParsePlayUrlJson;

TEST(PlayUrlAddress, SignedTextIsTheSentQueryFollowedByTheSecret) {
    const QString query = bl::PlayUrlQuery("100101", "64");
    EXPECT_EQ(query, "appkey=7c31a0f5d28e94b6&cid=100101&otype=json&qn=64");
    // MD5 of the query followed by the secret, worked out independently.
    EXPECT_EQ(bl::PlayUrlSignature(query), "93b124109893032192fef917a240c5a9");
    EXPECT_EQ(bl::SignedPlayUrl("100101", "64"),
              "https://interface.vidsite.example/v2/playurl?" + query + "&sign=93b124109893032192fef917a240c5a9");
    EXPECT_EQ(bl::PgcPlayUrl("200101", "16"),
              "https://api.vidsite.example/pgc/player/web/playurl?otype=json&cid=200101&qn=16");
}

TEST(PlayUrlAddress, QualityTextsOfTheFourCodesOnly) {
    EXPECT_EQ(bl::QualityText("80"), "1080P");
    EXPECT_EQ(bl::QualityText("64"), "720P");
    EXPECT_EQ(bl::QualityText("32"), "480P");
    EXPECT_EQ(bl::QualityText("16"), "360P");
    EXPECT_EQ(bl::QualityText("112"), "");
    EXPECT_EQ(bl::QualityText(""), "");
}

TEST(PlayUrlAnswer, SegmentsArePutInPlayingOrder) {
    const auto answer = ParsePlayUrlJson(
        R"({"quality":80,"durl":[{"order":2,"url":"b"},{"order":3,"url":"c"},{"order":1,"url":"a"}]})");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->Addresses, "a|b|c");
    EXPECT_EQ(answer->Quality, "1080P");
    EXPECT_EQ(answer->Count, 3);

    const auto single = ParsePlayUrlJson(R"({"quality":112,"other":1,"durl":[{"order":1,"url":"only"}]})");
    ASSERT_TRUE(single);
    EXPECT_EQ(single->Addresses, "only");  // no "|"; an unknown quality shows nothing
    EXPECT_EQ(single->Quality, "");
    EXPECT_EQ(single->Count, 1);
}

TEST(PlayUrlAnswer, SeriesMembersAreReadInsideResult) {
    const auto answer = ParsePgcPlayUrlJson(R"({"code":0,"result":{"quality":32,"durl":[{"order":1,"url":"x"}]}})");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->Addresses, "x");
    EXPECT_EQ(answer->Quality, "480P");
    // A series parser does not take a normal document, nor the other way round.
    EXPECT_FALSE(ParsePgcPlayUrlJson(R"({"quality":32,"durl":[{"order":1,"url":"x"}]})"));
    EXPECT_FALSE(ParsePlayUrlJson(R"({"result":{"quality":32,"durl":[{"order":1,"url":"x"}]}})"));
}

TEST(PlayUrlAnswer, MalformedDocumentsFailWithoutThrowing) {
    const char* const documents[] = {
        "",
        "not json \"url\":\"",
        R"({"quality":80,"durl":[{"order":1,"url":"a"})",  // cut short
        R"([{"quality":80}])",
        R"("text")",
        R"({"durl":[{"order":1,"url":"a"}]})",
        R"({"quality":"80","durl":[{"order":1,"url":"a"}]})",
        R"({"quality":80})",
        R"({"quality":80,"durl":{"order":1,"url":"a"}})",
        R"({"quality":80,"durl":[]})",
        R"({"quality":80,"durl":[{"url":"a"}]})",
        R"({"quality":80,"durl":[{"order":1}]})",
        R"({"quality":80,"durl":[{"order":"1","url":"a"}]})",
        R"({"quality":80,"durl":[{"order":1,"url":7}]})",
        R"({"quality":80,"durl":[5]})",
        R"({"quality":80,"durl":[{"order":0,"url":"a"}]})",
        R"({"quality":80,"durl":[{"order":2,"url":"a"}]})",
        R"({"quality":80,"durl":[{"order":1,"url":"a"},{"order":1,"url":"b"}]})",
        R"({"quality":80,"durl":[{"order":-1,"url":"a"},{"order":1,"url":"b"}]})",
        R"({"quality":80,"durl":[{"order":99999999999,"url":"a"}]})",
        R"({"quality":80,"durl":[{"order":1,"url":""}]})",
    };
    for (const char* document : documents) {
        SCOPED_TRACE(document);
        EXPECT_FALSE(ParsePlayUrlJson(document));
        EXPECT_FALSE(ParsePgcPlayUrlJson(std::string(R"({"result":)") + document + "}"));
    }
    EXPECT_FALSE(ParsePgcPlayUrlJson(R"({"result":[1,2]})"));
    EXPECT_FALSE(ParsePgcPlayUrlJson(R"({"code":-404,"message":"\"url\":\""})"));
}

class SitePlayUrl : public VideoSiteTest {
protected:
    static void SetUpTestSuite() {
        VideoSiteTest::SetUpTestSuite();
        vidsite::TSiteVideo low;
        low.PagePath = "/video/v1901/";
        low.Title = "低清视频";
        low.Parts = {vidsite::NormalPart(190101, "只有低清", 2)};
        low.Parts[0].Qualities = {32, 16};
        FSite->Catalogue().Add(low);
    }
};

TEST_F(SitePlayUrl, SignedRequestsAcceptedAndSegmentsInOrder) {
    Parse("/video/v1001/");
    EXPECT_EQ(Column(FForm.lv2, 0), QStringList({"1", "2", "3"}));
    EXPECT_EQ(Column(FForm.lv2, 4), QStringList({"1080P", "1080P", "1080P"}));
    EXPECT_EQ(Column(FForm.lv2, 5), QStringList({"1", "3", "1"}));
    // The site sends durl rotated (2, 3, 1); the row lists them 1, 2, 3.
    const QStringList urls = FForm.lv2->topLevelItem(1)->text(3).split('|');
    ASSERT_EQ(urls.size(), 3);
    for (int k = 0; k < 3; ++k) {
        EXPECT_TRUE(urls[k].contains(QStringLiteral("/flv/100102-80-%1.flv?").arg(k + 1))) << urls[k].toStdString();
    }
    EXPECT_FALSE(FForm.lv2->topLevelItem(0)->text(3).contains('|'));

    const auto requests = FSite->Log().Requests(vidsite::kPlayUrlPath);
    ASSERT_EQ(requests.size(), 3u);
    for (const auto& request : requests) {
        EXPECT_EQ(request.Host, "interface.vidsite.example");
        const auto sign = request.Query.find("&sign=");
        ASSERT_NE(sign, std::string::npos);
        EXPECT_EQ(QString::fromStdString(request.Query.substr(sign + 6)),
                  bl::PlayUrlSignature(QString::fromStdString(request.Query.substr(0, sign))));
        EXPECT_EQ(request.Header("Accept"), "*/*");
        EXPECT_EQ(request.Header("Referer"), "https://www.vidsite.example/");
        EXPECT_NE(request.Header("User-Agent").value_or("").find("Windows NT 6.1"), std::string::npos);
    }
    EXPECT_TRUE(FForm.lv2->isEnabled());
    EXPECT_TRUE(FForm.Messages.isEmpty());
}

TEST_F(SitePlayUrl, GrantedQualityShownNotTheAskedOne) {
    FForm.cbb4->setCurrentIndex(1);  // 720p asked, only 480p and 360p exist
    Parse("/video/v1901/");
    EXPECT_EQ(Column(FForm.lv2, 4), QStringList{"480P"});
    EXPECT_EQ(Column(FForm.lv2, 5), QStringList{"2"});
    const auto requests = FSite->Log().Requests(vidsite::kPlayUrlPath);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_NE(requests[0].Query.find("&qn=64&sign="), std::string::npos);
}

TEST_F(SitePlayUrl, SeriesEpisodesUseTheUnsignedService) {
    Parse("/play/s2001/");
    EXPECT_EQ(FForm.lv2->topLevelItemCount(), 10);
    // The series has no 1080p: the best below it is granted.
    EXPECT_EQ(Column(FForm.lv2, 4), QStringList(10, "720P"));
    EXPECT_EQ(FSite->Log().Count(vidsite::kPgcPlayUrlPath), 10);
    EXPECT_EQ(FSite->Log().Count(vidsite::kPlayUrlPath), 0);
    EXPECT_FALSE(Column(FForm.lv2, 0).contains(QStringLiteral("×")));
}

TEST_F(SitePlayUrl, FailingServiceMarksEveryRowAndEnablesTheControls) {
    FSite->Faults().Set(vidsite::kPlayUrlPath, vidsite::TSiteFault{.ServerErrorCount = 1000});
    Parse("/video/v1001/");
    EXPECT_EQ(Column(FForm.lv2, 0), QStringList(3, QStringLiteral("×")));
    EXPECT_EQ(Column(FForm.lv2, 3), QStringList(3, QString()));
    EXPECT_TRUE(FForm.lv2->isEnabled());
    EXPECT_EQ(FForm.clMdloader2.DownLoadList().Count(), 0);
}

TEST_F(SitePlayUrl, ServiceDroppingTheAnswerMarksTheRow) {
    FSite->Faults().Set(vidsite::kPlayUrlPath, vidsite::TSiteFault{.DropAfterBytes = 20});
    Parse("/video/v1003/");
    EXPECT_EQ(Column(FForm.lv2, 0), QStringList{QStringLiteral("×")});
    EXPECT_TRUE(FForm.btn1->isEnabled());
}

TEST_F(SitePlayUrl, ServiceSendingWithoutEndMarksTheRow) {
    FSite->Faults().Set(vidsite::kPlayUrlPath, vidsite::TSiteFault{.EndlessBody = true});
    Parse("/video/v1003/");
    EXPECT_EQ(Column(FForm.lv2, 0), QStringList{QStringLiteral("×")});
    EXPECT_TRUE(FForm.btn1->isEnabled());
}

}  // namespace

vidsite::TVidSite* VideoSiteTest::FSite = nullptr;
vidsite::TSiteClientSettings* VideoSiteTest::FSettings = nullptr;
