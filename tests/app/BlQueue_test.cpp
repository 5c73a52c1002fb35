// The video download queue: the names of a part's segments (base name,
// display names, extensions, merge tags, clashes, names too long for the file
// system), and the window downloading from the site stand-in: queue all,
// numbering, a part queued twice, the user's controls, a lowered
// concurrency, servers that drop or refuse.
#include <gtest/gtest.h>

#include <QSet>

#include "BlTexts.h"
#include "VideoQueue.h"
#include "VideoSiteFixture.h"

namespace {

const QString kWaiting = QStringLiteral("〓");
const QString kRunning = QStringLiteral("►");
const QString kPaused = QStringLiteral("‖");
const QString kFailed = QStringLiteral("×");

TEST(QueueNames, BaseAndDisplayNames) {
    EXPECT_EQ(bl::BaseName(QStringLiteral("第3话 标题"), "03", true, 2, 4), QStringLiteral("03 第3话 标题"));
    EXPECT_EQ(bl::BaseName(QStringLiteral("a/b:c|d"), "03", false, 1, 4), "abcd");
    EXPECT_EQ(bl::SegmentDisplayName("x", 1, 1), "x");
    EXPECT_EQ(bl::SegmentDisplayName("x", 3, 2), "x 3-2");
    EXPECT_EQ(bl::SegmentAddresses("a||b"), QStringList({"a", "", "b"}));
    EXPECT_EQ(bl::SegmentAddresses("a"), QStringList{"a"});
}

TEST(QueueNames, ExtensionFromTheAddressPathOnly) {
    EXPECT_EQ(bl::SegmentExtension("https://m.vidsite.example/flv/1-80-1.flv?a=b.c"), ".flv");
    EXPECT_EQ(bl::SegmentExtension("https://m.vidsite.example/x.y/seg.mp4"), ".mp4");
    // No dot in the path: none, rather than a piece of the host name.
    EXPECT_EQ(bl::SegmentExtension("https://m.vidsite.example/flv/segment?x=.flv"), "");
    EXPECT_EQ(bl::SegmentExtension("https://m.vidsite.example"), "");
    EXPECT_EQ(bl::SegmentExtension("https://m.vidsite.example/a.b:c"), "");
    EXPECT_EQ(bl::SegmentExtension("https://m.vidsite.example/a.abcdefghijklmnopqrstuvwxyz"), "");
}

TEST(QueueNames, MergeTagRoundTripAndFiles) {
    EXPECT_EQ(bl::MergeTag(2, QStringLiteral("03 第3话")), QStringLiteral("2|03 第3话"));
    const auto tag = bl::ParseMergeTag(QStringLiteral("3|x y"));
    ASSERT_TRUE(tag);
    EXPECT_EQ(tag->Count, 3);
    EXPECT_EQ(bl::MergedSegmentFiles("/d/", *tag), QStringList({"/d/x y 3-1.flv", "/d/x y 3-2.flv", "/d/x y 3-3.flv"}));
    EXPECT_FALSE(bl::ParseMergeTag(""));
    EXPECT_FALSE(bl::ParseMergeTag("x|y"));
    EXPECT_FALSE(bl::ParseMergeTag("0|y"));
}

TEST(QueueNames, ClashTakesTheFirstFreeFullWidthNumber) {
    QSet<QString> existing;
    const auto exists = [&existing](const QString& APath) { return existing.contains(APath); };
    EXPECT_FALSE(bl::ResolveNameClash("/d/x 2-1.flv.pxr", exists));

    existing = {"/d/x 2-1.flv"};  // the final file of an earlier download
    auto clash = bl::ResolveNameClash("/d/x 2-1.flv.pxr", exists);
    ASSERT_TRUE(clash);
    EXPECT_EQ(clash->LocalFile, QStringLiteral("/d/x 2-1（1）.flv.pxr"));
    EXPECT_EQ(clash->DisplayName, QStringLiteral("x 2-1（1）"));

    existing = {"/d/x.flv.pxr", QStringLiteral("/d/x（1）.flv"), QStringLiteral("/d/x（2）.flv.pxr")};
    clash = bl::ResolveNameClash("/d/x.flv.pxr", exists);
    ASSERT_TRUE(clash);
    EXPECT_EQ(clash->LocalFile, QStringLiteral("/d/x（3）.flv.pxr"));

    // A name without extension, in a folder with a dot.
    existing = {"/d.e/x"};
    clash = bl::ResolveNameClash("/d.e/x.pxr", exists);
    ASSERT_TRUE(clash);
    EXPECT_EQ(clash->LocalFile, QStringLiteral("/d.e/x（1）.pxr"));
    EXPECT_EQ(bl::WithoutLastExtension("/d.e/x.flv.pxr"), "/d.e/x.flv");
    EXPECT_EQ(bl::WithoutLastExtension("/d.e/x"), "/d.e/x");
}

TEST(QueueNames, AJoinedNameThatIsTakenGetsTheFirstFreeFullWidthNumber) {
    QSet<QString> taken;
    const auto isTaken = [&taken](const QString& APath) { return taken.contains(APath); };
    EXPECT_EQ(bl::JoinedBaseName("/d/", "x", isTaken), "x");
    taken = {"/d/x.flv", QStringLiteral("/d/x（1）.flv")};
    EXPECT_EQ(bl::JoinedBaseName("/d/", "x", isTaken), QStringLiteral("x（2）"));
}

TEST(QueueNames, LongNamesAreCutAtACharacterBoundarySoEveryDerivedNameFits) {
    // Three bytes per character, and a four-byte one that must not be split.
    const QString name = QString(120, QChar(0x8BDD)) + QString::fromUcs4(U"\U0001F600") + QString(100, 'a');
    const QString base = bl::BaseName(name, "12", true, 12, 4);
    EXPECT_TRUE(name.startsWith(base.mid(3)));
    const QString longest = bl::SegmentDisplayName(base, 12, 12) + QStringLiteral("（999999）") + ".flv.pxr";
    EXPECT_LE(longest.toUtf8().size(), bl::kMaxNameBytes);
    EXPECT_GT(longest.toUtf8().size(), bl::kMaxNameBytes - 4);
    EXPECT_EQ(QString::fromUtf8(base.toUtf8()), base);  // still valid UTF-8
    EXPECT_EQ(bl::BaseName("short", "1", true, 1, 4), "1 short");
}

// --- Against the site stand-in --------------------------------------------

class SiteQueue : public VideoSiteTest {
protected:
    // Parts of the demo video: 100101 (1 segment), 100102 (3), 100103 (1).
    void ParseDemoVideo() {
        Parse("/video/v1001/");
        ASSERT_EQ(Column(FForm.lv2, 5), QStringList({"1", "3", "1"}));
    }
    void SelectPart(int ARow) {
        FForm.lv2->clearSelection();
        FForm.lv2->topLevelItem(ARow)->setSelected(true);
    }
    // Rows whose data has begun to arrive (the size is shown).
    int RowsReceiving() const {
        return static_cast<int>(Column(FForm.lv1, 2).size() - Column(FForm.lv1, 2).count(QString()));
    }
    void SelectRow(int ARow) {
        FForm.lv1->clearSelection();
        FForm.lv1->topLevelItem(ARow)->setSelected(true);
    }
    bool WaitForDownloads() {
        return WaitFor([this] { return AllDownloadsDone(); });
    }
    void ExpectServed(const QString& AFile, int64_t ACid, int AIndex) {
        SCOPED_TRACE(AFile.toStdString());
        const QByteArray served = Served(ACid, 80, AIndex);
        ASSERT_FALSE(served.isEmpty());
        EXPECT_TRUE(Saved(AFile) == served) << "saved " << Saved(AFile).size() << " of " << served.size();
    }
};

TEST_F(SiteQueue, QueueAllDownloadsEverySegmentToItsFinalName) {
    FForm.chk3->setChecked(false);
    ParseDemoVideo();
    FForm.N2Click();
    EXPECT_EQ(FForm.lv1->topLevelItemCount(), 5);
    EXPECT_EQ(Column(FForm.lv1, 1),
              QStringList({QStringLiteral("1 第一部分：黄昏"), QStringLiteral("2 第二部分：夜幕灯火 3-1"),
                           QStringLiteral("2 第二部分：夜幕灯火 3-2"), QStringLiteral("2 第二部分：夜幕灯火 3-3"),
                           QStringLiteral("3 第三部分：黎明")}));
    ASSERT_TRUE(WaitForDownloads());
    EXPECT_EQ(FForm.lbl3->text(), QStringLiteral("剩余：0 个任务"));
    EXPECT_EQ(FForm.clMdloader1.DownLoadList().Count(), 0);
    EXPECT_EQ(SavedFiles(),
              QStringList({QStringLiteral("1 第一部分：黄昏.flv"), QStringLiteral("2 第二部分：夜幕灯火 3-1.flv"),
                           QStringLiteral("2 第二部分：夜幕灯火 3-2.flv"),
                           QStringLiteral("2 第二部分：夜幕灯火 3-3.flv"), QStringLiteral("3 第三部分：黎明.flv")}));
    ExpectServed(QStringLiteral("1 第一部分：黄昏.flv"), 100101, 1);
    for (int k = 1; k <= 3; ++k) ExpectServed(QStringLiteral("2 第二部分：夜幕灯火 3-%1.flv").arg(k), 100102, k);
    ExpectServed(QStringLiteral("3 第三部分：黎明.flv"), 100103, 1);
    EXPECT_EQ(FForm.lv3->topLevelItemCount(), 0);  // joining is off
    EXPECT_EQ(FForm.RunningCount, 0);

    // Segment requests carry the request object's lines and no user name.
    const auto requests = FSite->Log().Requests("/flv/100102-80-2.flv");
    ASSERT_FALSE(requests.empty());
    for (const auto& request : requests) {
        EXPECT_EQ(request.Header("Referer"), "https://www.vidsite.example/");
        EXPECT_FALSE(request.Header("Authorization"));
    }
}

TEST_F(SiteQueue, PartOfThreeSegmentsJoinsTheMergeQueueOnceAllExist) {
    ParseDemoVideo();
    SelectPart(1);
    FForm.N1Click();
    ASSERT_TRUE(WaitFor([this] { return FForm.lv3->topLevelItemCount() > 0 || AllDownloadsDone(); }));
    FForm.tmr2->stop();  // the merge itself is not this test's
    ASSERT_EQ(FForm.lv3->topLevelItemCount(), 1);
    const QTreeWidgetItem* merge = FForm.lv3->topLevelItem(0);
    EXPECT_EQ(merge->text(0), QStringLiteral("2 第二部分：夜幕灯火"));
    EXPECT_EQ(merge->text(1), FolderOf(FFolder));
    EXPECT_EQ(merge->text(2), "3");
    EXPECT_EQ(FForm.lv1->topLevelItemCount(), 0);  // the last segment's completion handed it over
}

TEST_F(SiteQueue, UnnumberedNamesAndAPartQueuedTwiceTakesNumberedNames) {
    FForm.chk1->setChecked(false);
    FForm.chk3->setChecked(false);
    ParseDemoVideo();
    SelectPart(1);
    FForm.N1Click();
    ASSERT_TRUE(WaitForDownloads());
    FForm.N1Click();
    ASSERT_TRUE(WaitForDownloads());
    EXPECT_EQ(
        SavedFiles(),
        QStringList({QStringLiteral("第二部分：夜幕灯火 3-1.flv"), QStringLiteral("第二部分：夜幕灯火 3-1（1）.flv"),
                     QStringLiteral("第二部分：夜幕灯火 3-2.flv"), QStringLiteral("第二部分：夜幕灯火 3-2（1）.flv"),
                     QStringLiteral("第二部分：夜幕灯火 3-3.flv"), QStringLiteral("第二部分：夜幕灯火 3-3（1）.flv")}));
    for (int k = 1; k <= 3; ++k) ExpectServed(QStringLiteral("第二部分：夜幕灯火 3-%1（1）.flv").arg(k), 100102, k);
}

TEST_F(SiteQueue, SamePartQueuedTwiceAtOnceNeverSharesAFile) {
    // Both start before either has made its file.
    FForm.chk3->setChecked(false);
    ParseDemoVideo();
    SelectPart(0);
    FForm.N1Click();
    FForm.N1Click();
    ASSERT_TRUE(WaitForDownloads());
    EXPECT_EQ(SavedFiles(),
              QStringList({QStringLiteral("1 第一部分：黄昏.flv"), QStringLiteral("1 第一部分：黄昏（1）.flv")}));
    ExpectServed(QStringLiteral("1 第一部分：黄昏.flv"), 100101, 1);
    ExpectServed(QStringLiteral("1 第一部分：黄昏（1）.flv"), 100101, 1);
}

TEST_F(SiteQueue, DeletingAWaitingTwinKeepsTheFileOfTheRunningOne) {
    FForm.chk3->setChecked(false);
    FForm.cbb1->setCurrentIndex(0);  // one at a time
    FSite->SetMediaRate(16 * 1024);
    ParseDemoVideo();
    SelectPart(0);
    FForm.N1Click();
    ASSERT_TRUE(WaitFor([this] { return RowsReceiving() == 1; }));
    // Queued again while the first runs: the twin waits under the same name.
    FForm.N1Click();
    ASSERT_EQ(Column(FForm.lv1, 0), QStringList({kRunning, kWaiting}));
    ASSERT_EQ(Item(0).LocalFile(), Item(1).LocalFile());
    SelectRow(1);
    FForm.N7Click();
    EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(Item(0).LocalFile())));

    // Paused and resumed at full speed, it ends whole under its final name.
    FForm.N6Click();
    FSite->SetMediaRate(0);
    FForm.N5Click();
    ASSERT_TRUE(WaitForDownloads());
    EXPECT_EQ(SavedFiles(), QStringList{QStringLiteral("1 第一部分：黄昏.flv")});
    ExpectServed(QStringLiteral("1 第一部分：黄昏.flv"), 100101, 1);
}

TEST_F(SiteQueue, PauseStartPauseAllDeleteAndClear) {
    FForm.chk3->setChecked(false);
    FSite->SetMediaRate(4 * 1024);  // nothing finishes while the test runs
    // The first part fails for good, so that pause-all has a "×" row to leave.
    FSite->Faults().Set("/flv/100101-80-1.flv",
                        vidsite::TSiteFault{.ServerErrorCount = 1000, .ServerErrorStatus = 404});
    FForm.clMdloader1.SetTryCount(1);
    ParseDemoVideo();
    FForm.N2Click();
    // Rows: 0 the failing part, 1-3 the three segments, 4 the last part.
    ASSERT_TRUE(WaitFor([this] { return FForm.lv1->topLevelItem(0)->text(0) == kFailed; }));
    ASSERT_TRUE(WaitFor([this] { return RowsReceiving() == 3; }));
    EXPECT_EQ(Column(FForm.lv1, 0), QStringList({kFailed, kRunning, kRunning, kRunning, kWaiting}));

    // Pausing a row lets the waiting one run; starting it again queues it.
    SelectRow(1);
    FForm.N4Click();
    EXPECT_EQ(FForm.lv1->topLevelItem(1)->text(0), kPaused);
    ASSERT_TRUE(WaitFor([this] { return FForm.lv1->topLevelItem(4)->text(0) == kRunning; }));
    FForm.N3Click();
    EXPECT_EQ(FForm.lv1->topLevelItem(1)->text(0), kWaiting);
    EXPECT_EQ(FForm.clMdloader1.DelayedItemCount(), 1);

    FForm.N6Click();
    EXPECT_FALSE(FForm.clMdloader1.IsBusy());
    EXPECT_EQ(Column(FForm.lv1, 0), QStringList({kFailed, kPaused, kPaused, kPaused, kPaused}));
    EXPECT_EQ(FForm.clMdloader1.DelayedItemCount(), 0);

    // Paused and started again at once, while its run is still ending: it runs again.
    SelectRow(2);
    FForm.N3Click();
    ASSERT_TRUE(WaitFor([this] { return FForm.lv1->topLevelItem(2)->text(0) == kRunning; }));
    FForm.N4Click();
    ASSERT_TRUE(Item(2).IsBusy());
    FForm.N3Click();
    ASSERT_TRUE(WaitFor([this] { return FForm.lv1->topLevelItem(2)->text(0) == kRunning; }));
    FForm.N6Click();

    // A double click resumes a paused row, a second one pauses it again.
    SelectRow(2);
    FForm.lv1DblClick();
    EXPECT_TRUE(Item(2).IsBusy());
    ASSERT_TRUE(WaitFor([this] { return FForm.lv1->topLevelItem(2)->text(0) == kRunning; }));
    FForm.lv1DblClick();
    EXPECT_EQ(FForm.lv1->topLevelItem(2)->text(0), kPaused);
    ASSERT_TRUE(WaitFor([this] { return !FForm.clMdloader1.IsBusy(); }));

    // Deleting a row that ran takes its partial file with it.
    const QString partial = QString::fromStdString(Item(3).LocalFile());
    ASSERT_TRUE(QFileInfo::exists(partial)) << partial.toStdString();
    SelectRow(3);
    FForm.N7Click();
    EXPECT_FALSE(QFileInfo::exists(partial));
    EXPECT_EQ(FForm.lv1->topLevelItemCount(), 4);
    EXPECT_EQ(FForm.clMdloader1.DownLoadList().Count(), 4);
    EXPECT_EQ(FForm.lbl3->text(), QStringLiteral("剩余：4 个任务"));

    // A running row is stopped first, then removed with its file.
    SelectRow(2);
    FForm.N3Click();
    ASSERT_TRUE(WaitFor([this] { return FForm.lv1->topLevelItem(2)->text(0) == kRunning; }));
    const QString running = QString::fromStdString(Item(2).LocalFile());
    FForm.N7Click();
    EXPECT_FALSE(QFileInfo::exists(running));
    EXPECT_EQ(FForm.lv1->topLevelItemCount(), 3);
    EXPECT_EQ(Column(FForm.lv1, 1).last(), QStringLiteral("3 第三部分：黎明"));

    FForm.N8Click();
    EXPECT_EQ(FForm.lv1->topLevelItemCount(), 0);
    EXPECT_EQ(FForm.clMdloader1.DownLoadList().Count(), 0);
    EXPECT_EQ(FForm.lbl3->text(), "");
    EXPECT_TRUE(SavedFiles().isEmpty()) << SavedFiles().join(' ').toStdString();
}

TEST_F(SiteQueue, LoweringTheLimitWhileFiveRunTakesBackTheLowestRows) {
    FForm.chk1->setChecked(true);
    FSite->SetMediaRate(8 * 1024);
    FForm.cbb1->setCurrentIndex(4);  // 5
    // One connection each: the media host serves at most ten at a time.
    FForm.cbb2->setCurrentIndex(0);
    Parse("/play/s2001/");
    FForm.N2Click();
    ASSERT_TRUE(WaitFor([this] { return RowsReceiving() == 5; }));
    FForm.cbb1->setCurrentIndex(1);  // 2
    EXPECT_TRUE(FForm.cbb1->isEnabled());
    EXPECT_EQ(FForm.clMdloader1.MaxStartedItems(), 2);
    EXPECT_EQ(Column(FForm.lv1, 0).mid(0, 5), QStringList({kRunning, kRunning, kWaiting, kWaiting, kWaiting}));
    EXPECT_LE(FForm.RunningCount, 2);
    EXPECT_EQ(FForm.clMdloader1.StartedItemCount(), 2);
    // The rows taken back keep their ranges and resume later.
    EXPECT_GT(Item(2).ResourceState().Count(), 0);
}

TEST_F(SiteQueue, ThreadCountAndPriorityReachOnlyItemsNotStarted) {
    FSite->SetMediaRate(4 * 1024);
    FForm.cbb1->setCurrentIndex(0);  // 1: the others wait
    ParseDemoVideo();
    FForm.N2Click();
    ASSERT_TRUE(WaitFor([this] { return RowsReceiving() == 1; }));
    FForm.cbb2->setCurrentIndex(8);  // 9 threads
    FForm.cbb3->setCurrentIndex(2);  // higher
    EXPECT_EQ(Item(0).ThreadCount(), 5);
    EXPECT_EQ(Item(0).Priority(), cl::ppNormal);
    for (int i = 1; i < 5; ++i) {
        EXPECT_EQ(Item(i).ThreadCount(), 9);
        EXPECT_EQ(Item(i).Priority(), cl::ppHigher);
    }
    // A paused item that has ranges keeps its thread count; its priority follows.
    FForm.N6Click();
    FForm.cbb2->setCurrentIndex(1);
    FForm.cbb3->setCurrentIndex(0);
    EXPECT_EQ(Item(0).ThreadCount(), 5);
    EXPECT_EQ(Item(0).Priority(), cl::ppLower);
    EXPECT_EQ(Item(1).ThreadCount(), 2);
}

TEST_F(SiteQueue, UnwritableFolderAndAShortBodyFailTheirSegments) {
    FForm.chk3->setChecked(false);
    FForm.clMdloader1.SetTryCount(2);
    ParseDemoVideo();
    // A folder below a regular file cannot be made, whoever runs the test.
    QFile blocker(FolderOf(FFolder) + "blocker");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString saveFolder = FForm.SaveFolder;
    FForm.SaveFolder = FolderOf(FFolder) + "blocker/sub/";
    SelectPart(0);
    FForm.N1Click();
    // The server claims more bytes than it sends.
    FForm.SaveFolder = saveFolder;
    FSite->Faults().Set("/flv/100103-80-1.flv", vidsite::TSiteFault{.LengthDelta = 5000});
    SelectPart(2);
    FForm.N1Click();
    ASSERT_TRUE(WaitFor([this] { return !FForm.clMdloader1.IsBusy(); }));
    EXPECT_EQ(Column(FForm.lv1, 0), QStringList({kFailed, kFailed}));
    EXPECT_EQ(FForm.lbl3->text(), QStringLiteral("剩余：2 个任务"));
    // Nothing carries a final name.
    for (const QString& file : SavedFiles()) EXPECT_FALSE(file.endsWith(".flv")) << file.toStdString();
}

TEST_F(SiteQueue, DroppedConnectionsAndRefusalsEndByteIdentical) {
    FForm.chk3->setChecked(false);
    FSite->Faults().Set("/flv/100101-80-1.flv", vidsite::TSiteFault{.DropAfterBytes = 30000});
    FSite->Faults().Set("/flv/100103-80-1.flv", vidsite::TSiteFault{.ServerErrorCount = 2});
    ParseDemoVideo();
    SelectPart(0);
    FForm.N1Click();
    SelectPart(2);
    FForm.N1Click();
    ASSERT_TRUE(WaitFor([this] { return FForm.lv1->topLevelItemCount() == 0 || !FForm.clMdloader1.IsBusy(); }));
    // A segment the engine could not finish is restarted once, as a user would.
    if (FForm.lv1->topLevelItemCount() > 0) {
        FSite->Faults().Clear();
        FForm.N5Click();
        ASSERT_TRUE(WaitForDownloads());
    }
    ExpectServed(QStringLiteral("1 第一部分：黄昏.flv"), 100101, 1);
    ExpectServed(QStringLiteral("3 第三部分：黎明.flv"), 100103, 1);
    EXPECT_GT(FSite->Log().Count("/flv/100103-80-1.flv"), 2);
}

}  // namespace
