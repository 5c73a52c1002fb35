// The whole flow through the window against the site stand-in: videos of two
// and three segments downloaded by the queue and joined one after the other,
// and the close sequence while downloads run.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>

#include "VideoSiteFixture.h"
#include "GatThread.h"
#include "JoinedFlv.h"

vidsite::TVidSite* VideoSiteTest::FSite = nullptr;
vidsite::TSiteClientSettings* VideoSiteTest::FSettings = nullptr;

namespace {

constexpr int64_t kTwoSegments = 930101;
constexpr int64_t kThreeSegments = 930102;

// What a join of these sources must give: every media tag, and the last
// timestamp when each source goes on from the last tag of the one before.
struct TExpectedJoin {
    int MediaTags = 0;
    uint32_t LastMediaTimestamp = 0;
};

TExpectedJoin ExpectedJoin(const std::vector<QByteArray>& ASources, const QString& AScratch) {
    TExpectedJoin expected;
    uint32_t offset = 0;
    for (const QByteArray& source : ASources) {
        QFile file(AScratch);
        if (!file.open(QIODevice::WriteOnly) || file.write(source) != source.size()) return {};
        file.close();
        cl::flv::TagReader reader;
        FlvHeader header{};
        if (!reader.Open(QFile::encodeName(AScratch).toStdString()) || !reader.ReadHeader(header)) return {};
        uint32_t last = 0;
        while (cl::flv::TagPtr tag = reader.ReadTag(false)) {
            last = tag->timestamp;
            if (!cl::flv::IsMediaTag(*tag)) continue;
            ++expected.MediaTags;
            expected.LastMediaTimestamp = offset + tag->timestamp;
        }
        offset += last;
    }
    return expected;
}

class Flow : public VideoSiteTest {
protected:
    static void SetUpTestSuite() {
        VideoSiteTest::SetUpTestSuite();
        vidsite::TSiteVideo video;
        video.PagePath = "/video/v9301/";
        video.Title = "合并的视频";
        video.Parts = {vidsite::NormalPart(kTwoSegments, "两段", 2),
                       vidsite::NormalPart(kThreeSegments, "三段 $HOME 与  空格", 3)};
        FSite->Catalogue().Add(video);
    }
    bool JoinsDone() const { return FForm.lv3->topLevelItemCount() == 0 && !FForm.Joiner() && !FForm.tmr2->isActive(); }
    // The joined file holds every media tag of the video's two segments.
    void ExpectWholeJoin(const QString& AFile) {
        SCOPED_TRACE(AFile.toStdString());
        const TExpectedJoin expected = ExpectedJoin({Served(kTwoSegments, 80, 1), Served(kTwoSegments, 80, 2)},
                                                    FolderOf(FProgramFolder) + "scratch.flv");
        const TJoinedFile joined = ReadJoined(FolderOf(FFolder) + AFile);
        EXPECT_TRUE(joined.HeaderOk);
        EXPECT_EQ(joined.MediaTags, expected.MediaTags);
    }
};

TEST_F(Flow, PartsOfTwoAndThreeSegmentsAreJoinedAndTheirSegmentsDeleted) {
    Parse("/video/v9301/");
    ASSERT_EQ(Column(FForm.lv2, 5), QStringList({"2", "3"}));
    FForm.N2Click();
    ASSERT_TRUE(WaitFor([this] { return AllDownloadsDone() && JoinsDone(); }));

    const QString two = QStringLiteral("1 两段.flv");
    const QString three = QStringLiteral("2 三段 $HOME 与  空格.flv");
    EXPECT_EQ(SavedFiles(), QStringList({two, three}));
    struct TCase {
        QString File;
        int64_t Cid;
        int Count;
    };
    for (const TCase& part : {TCase{two, kTwoSegments, 2}, TCase{three, kThreeSegments, 3}}) {
        SCOPED_TRACE(part.File.toStdString());
        std::vector<QByteArray> sources;
        for (int k = 1; k <= part.Count; ++k) sources.push_back(Served(part.Cid, 80, k));
        const TExpectedJoin expected = ExpectedJoin(sources, FolderOf(FProgramFolder) + "scratch.flv");
        ASSERT_GT(expected.MediaTags, 0);
        const TJoinedFile joined = ReadJoined(FolderOf(FFolder) + part.File);
        EXPECT_TRUE(joined.HeaderOk);
        EXPECT_TRUE(joined.ScriptFirst);
        EXPECT_EQ(joined.ScriptTags, 1);
        EXPECT_EQ(joined.MediaTags, expected.MediaTags);
        EXPECT_TRUE(joined.TimestampsNeverBack);
        EXPECT_EQ(joined.LastTimestamp, expected.LastMediaTimestamp);
        EXPECT_DOUBLE_EQ(MetaNumber(joined.Meta, "duration"), expected.LastMediaTimestamp * 0.001);

        const QString ffprobe = QStandardPaths::findExecutable(QStringLiteral("ffprobe"));
        if (ffprobe.isEmpty()) continue;
        QProcess probe;
        probe.start(ffprobe, {"-v", "error", "-show_entries", "format=duration", "-of", "default=nw=1:nk=1",
                              FolderOf(FFolder) + part.File});
        ASSERT_TRUE(probe.waitForFinished(60000));
        EXPECT_EQ(probe.exitCode(), 0) << probe.readAllStandardError().toStdString();
        EXPECT_NEAR(probe.readAllStandardOutput().trimmed().toDouble(), expected.LastMediaTimestamp * 0.001, 0.1);
    }
}

TEST_F(Flow, ACorruptSegmentFailsItsJoinAndKeepsTheSegments) {
    vidsite::TSiteFault fault;
    fault.CorruptBody = true;
    FSite->Faults().Set("/flv/930101-80-2.flv", fault);
    Parse("/video/v9301/");
    FForm.N2Click();
    ASSERT_TRUE(WaitFor([this] {
        return AllDownloadsDone() && !FForm.Joiner() && !FForm.tmr2->isActive() &&
               FForm.lv3->topLevelItemCount() == 1 &&
               FForm.lv3->topLevelItem(0)->text(3) == QString::fromUtf8(bl::kMergeFailed);
    }));
    EXPECT_EQ(FForm.lv3->topLevelItem(0)->text(0), QStringLiteral("1 两段"));
    const QStringList files = SavedFiles();
    EXPECT_TRUE(files.contains(QStringLiteral("1 两段 2-1.flv")));
    EXPECT_TRUE(files.contains(QStringLiteral("1 两段 2-2.flv")));
    // The other part is joined as usual.
    EXPECT_TRUE(files.contains(QStringLiteral("2 三段 $HOME 与  空格.flv")));
    EXPECT_TRUE(files.filter(QStringLiteral("三段")).size() == 1);
}

TEST_F(Flow, APartQueuedTwiceIsJoinedOnceAndItsJoinedFileStaysWhole) {
    // The joins start when the test says, after both copies have finished.
    FForm.tmr2->setInterval(3600 * 1000);
    Parse("/video/v9301/");
    FForm.lv2->topLevelItem(0)->setSelected(true);
    // The second copy ends last and finds the first one's segments.
    for (int copy = 0; copy < 2; ++copy) {
        FForm.N1Click();
        ASSERT_TRUE(WaitFor([this] { return AllDownloadsDone(); }));
    }
    for (int tick = 0; tick < 2; ++tick) {
        FForm.tmr2Timer();
        ASSERT_TRUE(WaitFor([this] { return !FForm.Joiner(); }));
    }
    EXPECT_EQ(FForm.lv3->topLevelItemCount(), 0);
    // The second copy keeps its own segments.
    EXPECT_EQ(SavedFiles(), QStringList({QStringLiteral("1 两段 2-1（1）.flv"), QStringLiteral("1 两段 2-2（1）.flv"),
                                         QStringLiteral("1 两段.flv")}));
    ExpectWholeJoin(QStringLiteral("1 两段.flv"));
}

TEST_F(Flow, AJoinNeverOverwritesAVideoOfTheSameName) {
    FForm.chk1->setChecked(false);
    Parse("/video/v9301/");
    FForm.lv2->topLevelItem(0)->setSelected(true);
    for (int run = 0; run < 2; ++run) {
        FForm.N1Click();
        ASSERT_TRUE(WaitFor([this] { return AllDownloadsDone() && JoinsDone(); }));
    }
    EXPECT_EQ(SavedFiles(), QStringList({QStringLiteral("两段.flv"), QStringLiteral("两段（1）.flv")}));
    ExpectWholeJoin(QStringLiteral("两段.flv"));
    ExpectWholeJoin(QStringLiteral("两段（1）.flv"));
}

TEST_F(Flow, ClosingWhileDownloadsRunAsksAndThenDeletesOnlyUnfinishedSegments) {
    FSite->SetMediaRate(64 * 1024);
    Parse("/video/v9301/");
    FForm.N2Click();
    // As many unfinished segments as the downloader runs at once.
    ASSERT_TRUE(WaitFor([this] { return SavedFiles().filter(".pxr").size() == 3; }));

    FForm.Answer = QMessageBox::No;
    EXPECT_FALSE(FForm.FormCloseQuery());
    EXPECT_FALSE(FForm.Closing);
    EXPECT_TRUE(FForm.clMdloader1.IsBusy());
    EXPECT_EQ(FForm.Messages.last(),
              QString::fromUtf8("正在下载视频，真的要关闭吗？\r\n本工具不保存任何下载记录！！！"));

    // A finished file is not the downloader's to delete.
    QFile finished(FolderOf(FFolder) + "kept.flv");
    ASSERT_TRUE(finished.open(QIODevice::WriteOnly));
    finished.close();
    FForm.Answer = QMessageBox::Yes;
    EXPECT_TRUE(FForm.FormCloseQuery());
    EXPECT_TRUE(FForm.Closing);
    EXPECT_FALSE(FForm.clMdloader1.IsBusy());
    EXPECT_TRUE(SavedFiles().filter(".pxr").isEmpty());
    EXPECT_TRUE(SavedFiles().contains("kept.flv"));
}

}  // namespace
