// The comment queue against the site stand-in: files written byte for byte
// as the site's documents and moved to the finished list, the refusal (412)
// with and without the stop of the whole queue, a body that does not
// inflate, a folder that cannot be written; the queue driven without a
// window; and the body decoding and file names on their own.
#include <gtest/gtest.h>

#include <zlib.h>

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QTimer>
#include <QTreeWidget>
#include <chrono>
#include <thread>

#include "BlUtils.h"
#include "CommentQueue.h"
#include "VideoSiteFixture.h"
#include "http/clHttpRequest.h"
#include "site/CommentService.h"
#include "site/VidSiteConstants.h"

namespace {

using namespace std::chrono_literals;

QString Tr(const char* AText) { return QString::fromUtf8(AText); }

std::vector<uint8_t> RawDeflate(const std::string& AText) {
    z_stream stream{};
    deflateInit2(&stream, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::vector<uint8_t> out(deflateBound(&stream, static_cast<uLong>(AText.size())));
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(AText.data()));
    stream.avail_in = static_cast<uInt>(AText.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

TEST(CommentBody, InflatesRawDeflateAndRefusesWhatIsNotAWholeStream) {
    const std::string text = vidsite::CommentDocument(100101);
    const std::vector<uint8_t> body = RawDeflate(text);
    const auto inflated = bl::InflateCommentBody(body);
    ASSERT_TRUE(inflated);
    EXPECT_EQ(inflated->toStdString(), text);

    std::vector<uint8_t> cut(body.begin(), body.begin() + static_cast<long>(body.size() / 2));
    EXPECT_FALSE(bl::InflateCommentBody(cut));
    EXPECT_FALSE(bl::InflateCommentBody({}));
    const std::string broken = vidsite::BrokenDeflateBody();
    EXPECT_FALSE(bl::InflateCommentBody(std::vector<uint8_t>(broken.begin(), broken.end())));
    // An empty document is a whole stream that holds nothing.
    const auto empty = bl::InflateCommentBody(RawDeflate(""));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->isEmpty());
}

TEST(CommentBody, FileNamesAreNumberedByCaptionOrByPosition) {
    EXPECT_EQ(bl::CommentFileName("07", "第7话 a/b", true, 12, 6), QStringLiteral("07 第7话 ab.xml"));
    EXPECT_EQ(bl::CommentFileName(Tr("×"), "x", true, 12, 6), QStringLiteral("07 x.xml"));
    EXPECT_EQ(bl::CommentFileName("07", "x:y", false, 12, 6), QStringLiteral("xy.xml"));
    EXPECT_EQ(bl::CommentUrl("42"), QStringLiteral("https://api.vidsite.example/x/v1/dm/list.so?oid=42"));
}

TEST(CommentBody, LongNamesAreCutSoTheFileAndItsSafeWriteFit) {
    const QString name = bl::CommentFileName("12", QString(120, QChar(0x8BDD)), true, 12, 11);
    EXPECT_TRUE(name.startsWith(QStringLiteral("12 话")));
    EXPECT_TRUE(name.endsWith(".xml"));
    // The temporary file of the safe write adds ".XXXXXX".
    EXPECT_LE((name + ".XXXXXX").toUtf8().size(), bl::kMaxNameBytes);
}

class Comments : public VideoSiteTest {
protected:
    void TearDown() override {
        FForm.btn3Click();
        FSite->SetCommentLimit(0, 10min);
        VideoSiteTest::TearDown();
    }

    void AddParts(int ACount) {
        for (int i = 0; i < ACount; ++i) {
            new QTreeWidgetItem(FForm.lv2, {QString::number(i + 1), QStringLiteral("第%1部分").arg(i + 1),
                                            QString::number(100101 + i), QString(), QString(), QString()});
        }
    }
    bool QueueIdle() const { return !FForm.clMdloader3.IsBusy() && !FForm.tmr3->isActive(); }
};

TEST_F(Comments, FilesAreTheSiteDocumentsAndMoveToTheFinishedList) {
    AddParts(3);
    FForm.lv2->topLevelItem(1)->setText(0, Tr("×"));
    FForm.XML1Click();
    FForm.XML1Click();
    // Two queue actions number all rows from 1.
    EXPECT_EQ(Column(FForm.lv4, 0), QStringList({"1", "2", "3", "4", "5", "6"}));
    ASSERT_TRUE(WaitFor([&] { return QueueIdle() && FForm.lv4->topLevelItemCount() == 0; }));

    ASSERT_EQ(FForm.lv5->topLevelItemCount(), 6);
    for (int i = 0; i < 3; ++i) {
        const QString name = QStringLiteral("%1 第%1部分.xml").arg(i + 1);
        EXPECT_EQ(Saved(name).toStdString(), vidsite::CommentDocument(100101 + i)) << name.toStdString();
        EXPECT_EQ(Column(FForm.lv5, 0).count(name), 2);
        EXPECT_TRUE(Column(FForm.lv5, 1).contains(FolderOf(FFolder) + name));
    }
    const auto requests = FSite->Log().Requests(vidsite::kCommentPath);
    ASSERT_EQ(requests.size(), 6u);
    EXPECT_EQ(requests[0].Host, vidsite::kApiHost);
    EXPECT_EQ(requests[0].Header("Referer"), vidsite::kHomePage);
    EXPECT_EQ(requests[0].Header("Accept"), "*/*");

    // Clearing leaves the files.
    FForm.btn3Click();
    EXPECT_EQ(FForm.lv5->topLevelItemCount(), 0);
    EXPECT_FALSE(Saved(QStringLiteral("1 第1部分.xml")).isEmpty());
}

TEST_F(Comments, RefusalWithStopCheckedStopsTheWholeQueueOnce) {
    FSite->SetCommentLimit(1, 10min);
    // One at a time, with retries slow enough that later rows are still
    // waiting or running when the stop comes.
    FForm.clMdloader3.SetMaxStartedItems(1);
    FForm.clMdloader3.SetReconnectAfter(400);
    AddParts(6);
    FForm.XML1Click();
    ASSERT_TRUE(WaitFor([&] { return FForm.Comments().RestrictStopped() && QueueIdle(); }));

    const QStringList statuses = Column(FForm.lv4, 2);
    EXPECT_EQ(FForm.lv5->topLevelItemCount(), 1);
    EXPECT_EQ(statuses.size(), 5);
    EXPECT_GE(statuses.count(Tr(bl::kCommentRestricted)), 1);
    EXPECT_GE(statuses.count(Tr(bl::kCommentStopped)), 1);
    EXPECT_EQ(statuses.count(Tr(bl::kCommentRestricted)) + statuses.count(Tr(bl::kCommentStopped)), 5);

    // Another refusal before the next start does not stop again.
    FForm.clMdloader3Error(&FForm.clMdloader3.DownLoadList().Items(0), 412);
    EXPECT_FALSE(FForm.tmr3->isActive());

    // Start all clears the restriction and runs every row again.
    FSite->SetCommentLimit(0, 10min);
    FForm.btn4Click();
    EXPECT_FALSE(FForm.Comments().RestrictStopped());
    ASSERT_TRUE(WaitFor([&] { return QueueIdle() && FForm.lv4->topLevelItemCount() == 0; }));
    EXPECT_EQ(FForm.lv5->topLevelItemCount(), 6);
}

TEST_F(Comments, RefusalWithStopUncheckedMarksOnlyItsRow) {
    FSite->SetCommentLimit(1, 10min);
    FForm.chk2->setChecked(false);
    FForm.clMdloader3.SetMaxStartedItems(1);
    FForm.clMdloader3.SetReconnectAfter(50);
    AddParts(3);
    FForm.XML1Click();
    ASSERT_TRUE(WaitFor([&] {
        return QueueIdle() && FForm.lv4->topLevelItemCount() == 2 &&
               !Column(FForm.lv4, 2).contains(Tr(bl::kCommentWaiting)) &&
               !Column(FForm.lv4, 2).contains(Tr(bl::kCommentRunning));
    }));
    EXPECT_EQ(Column(FForm.lv4, 2), QStringList(2, Tr(bl::kCommentRestricted)));
    EXPECT_FALSE(FForm.Comments().RestrictStopped());
    EXPECT_EQ(FForm.lv5->topLevelItemCount(), 1);
}

TEST_F(Comments, BodyThatDoesNotInflateKeepsItsRowAndARestartFetchesItAgain) {
    vidsite::TSiteFault fault;
    fault.CorruptBody = true;
    FSite->Faults().Set(vidsite::kCommentPath, fault);
    AddParts(1);
    FForm.XML1Click();
    ASSERT_TRUE(
        WaitFor([&] { return QueueIdle() && Column(FForm.lv4, 2) == QStringList{Tr(bl::kCommentStoreFailed)}; }));
    EXPECT_EQ(FForm.lv5->topLevelItemCount(), 0);
    EXPECT_FALSE(QFile::exists(FolderOf(FFolder) + QStringLiteral("1 第1部分.xml")));

    FSite->Faults().Clear();
    FForm.btn4Click();
    ASSERT_TRUE(WaitFor([&] { return QueueIdle() && FForm.lv4->topLevelItemCount() == 0; }));
    EXPECT_EQ(Saved(QStringLiteral("1 第1部分.xml")).toStdString(), vidsite::CommentDocument(100101));
}

TEST_F(Comments, StartAllStartsARowWhoseItemIsStillEndingItsRun) {
    FForm.clMdloader3.SetTryCount(1);
    FSite->Faults().Set(vidsite::kCommentPath, vidsite::TSiteFault{.ServerErrorCount = 1, .ServerErrorStatus = 500});
    // The user presses "全部开始下载" just after the error shows, while the
    // failed item is still ending its run.
    const auto onError = FForm.clMdloader3.OnError;
    bool pressed = false;
    FForm.clMdloader3.OnError = [&](cl::TObject* ASender, cl::TclInternetItem* AItem, const std::string& AText,
                                    int ACode) {
        onError(ASender, AItem, AText, ACode);
        if (pressed) return;
        pressed = true;
        QTimer::singleShot(0, &FForm, [this] { FForm.btn4Click(); });
    };
    AddParts(1);
    FForm.XML1Click();
    ASSERT_TRUE(WaitFor([&] { return pressed && QueueIdle() && FForm.lv5->topLevelItemCount() == 1; }));
    EXPECT_EQ(Saved(QStringLiteral("1 第1部分.xml")).toStdString(), vidsite::CommentDocument(100101));
}

TEST_F(Comments, EventsFasterThanTheTimersDoNotPutTheirTicksOff) {
    cl::TclDownLoadItem& item = FForm.clMdloader3.DownLoadList().Add();
    FForm.clMdloader3Error(&item, 412);
    FForm.lv3Insert();
    std::this_thread::sleep_for(300ms);
    // A refusal and a finished comment file again, before either tick.
    FForm.clMdloader3Error(&item, 412);
    FForm.lv3Insert();
    EXPECT_LT(FForm.tmr3->remainingTime(), 400);
    EXPECT_LT(FForm.tmr2->remainingTime(), 900);
}

// A front end without a window: rows as data, and each file's outcome told
// with its path or the downloader's error; the queue's own timer stops it
// after the refusal.
TEST_F(Comments, QueueWithoutAWindowTellsEachOutcome) {
    cl::TclHttpRequest request;
    cl::TclMultiDownLoader loader;
    // One at a time: the server error meets the first file, the refusal the last.
    loader.SetMaxStartedItems(1);
    loader.SetTryCount(1);
    loader.SetDoNotGetResourceInfo(true);
    bl::TCommentQueue queue(loader, request);
    std::vector<bl::TCommentResult> outcomes;
    queue.OnOutcome = [&](const bl::TCommentResult& AResult) { outcomes.push_back(AResult); };
    FSite->Faults().Set(vidsite::kCommentPath, vidsite::TSiteFault{.ServerErrorCount = 1, .ServerErrorStatus = 500});
    FSite->SetCommentLimit(1, 10min);
    const QString folder = FolderOf(FFolder);
    queue.Queue({{"1", "a", "100101", 0}, {"2", "b", "100102", 1}, {"3", "c", "100103", 2}}, 3, folder, true);
    ASSERT_TRUE(WaitFor([&] { return queue.RestrictStopped() && !loader.IsBusy(); }));

    ASSERT_EQ(outcomes.size(), 3u);
    EXPECT_EQ(outcomes[0].Outcome, bl::TCommentOutcome::Failed);
    EXPECT_EQ(outcomes[0].FileName, QStringLiteral("1 a.xml"));
    EXPECT_EQ(outcomes[0].ErrorCode, 500);
    EXPECT_FALSE(outcomes[0].ErrorText.isEmpty());
    EXPECT_EQ(outcomes[1].Outcome, bl::TCommentOutcome::Stored);
    EXPECT_EQ(outcomes[1].LocalFile, folder + "2 b.xml");
    EXPECT_EQ(Saved(QStringLiteral("2 b.xml")).toStdString(), vidsite::CommentDocument(100102));
    EXPECT_EQ(outcomes[2].Outcome, bl::TCommentOutcome::Refused);
    EXPECT_EQ(outcomes[2].ErrorCode, 412);

    // The stored file left the rows for the finished files; the others keep
    // their numbers.
    ASSERT_EQ(queue.Finished().size(), 1u);
    EXPECT_EQ(queue.Finished()[0].LocalFile, folder + "2 b.xml");
    ASSERT_EQ(queue.Count(), 2);
    EXPECT_EQ(queue.Row(0).Number, 1);
    EXPECT_EQ(queue.Row(1).Number, 3);
    EXPECT_EQ(bl::CommentStatusText(queue.Row(1).Status), Tr(bl::kCommentRestricted));
}

TEST_F(Comments, WithTheBoxCheckedEachStoredFileGetsItsSubtitlesOrSaysWhyNot) {
    // The second file's subtitles cannot take their name: a folder has it.
    ASSERT_TRUE(QDir(FolderOf(FFolder)).mkdir(QStringLiteral("2 第2部分.ass")));
    FForm.chk4->setChecked(true);
    AddParts(2);
    FForm.XML1Click();
    ASSERT_TRUE(WaitFor([&] {
        return QueueIdle() && FForm.lv5->topLevelItemCount() == 1 &&
               Column(FForm.lv4, 2) == QStringList{Tr(bl::kCommentSubtitlesFailed)};
    }));
    EXPECT_TRUE(Saved(QStringLiteral("1 第1部分.ass")).startsWith("[Script Info]"));
    // The comment file itself stays.
    EXPECT_EQ(Saved(QStringLiteral("2 第2部分.xml")).toStdString(), vidsite::CommentDocument(100102));
}

TEST_F(Comments, FolderThatCannotBeWrittenShowsStoreFailed) {
    QFile blocker(FolderOf(FFolder) + "file");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    // A path through a regular file cannot be written, by root neither.
    FForm.SaveFolder = FolderOf(FFolder) + "file/";
    AddParts(2);
    FForm.lv2->topLevelItem(1)->setSelected(true);
    FForm.N9Click();
    ASSERT_EQ(Column(FForm.lv4, 1), QStringList{QStringLiteral("2 第2部分.xml")});
    ASSERT_TRUE(
        WaitFor([&] { return QueueIdle() && Column(FForm.lv4, 2) == QStringList{Tr(bl::kCommentStoreFailed)}; }));
    EXPECT_EQ(FForm.lv5->topLevelItemCount(), 0);

    // Stop all marks nothing that is not waiting or running.
    FForm.btn5Click();
    EXPECT_EQ(Column(FForm.lv4, 2), QStringList{Tr(bl::kCommentStoreFailed)});
}

}  // namespace
