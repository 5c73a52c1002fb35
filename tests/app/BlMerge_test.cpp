// The merge queue in the window: parts joined one after the other by the
// real joining tool, the joined files read back tag by tag, failed joins
// keeping their segments, names the shell would mangle, closing during a
// join, and the conversion into an MP4 file that may follow a join. Stand-in
// tools (small scripts written as RuvErov.exe before start-up, which keeps an
// existing file) show what the worker passes and how it treats a tool that
// runs long or lies about its result.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTimer>
#include <QTreeWidget>

#include "GatThread.h"
#include "ConvertWorker.h"
#include "VideoSiteFixture.h"
#include "JoinedFlv.h"
#include "flvAmf.h"
#include "flvFormat.h"
#include "site/FlvSegments.h"
#include "transport/clMessagePump.h"

namespace {

// The site tests' wait (serve the window until a condition holds, a hang
// guard of a minute); these tests need no site.
struct TServe : VideoSiteTest {};

std::vector<uint8_t> TagAt(uint8_t AType, std::vector<uint8_t> AData, uint32_t ATimestamp) {
    std::vector<uint8_t> tag = cl::flv::EncodeTag(AType, AData);
    tag[4] = static_cast<uint8_t>(ATimestamp >> 16);
    tag[5] = static_cast<uint8_t>(ATimestamp >> 8);
    tag[6] = static_cast<uint8_t>(ATimestamp);
    tag[7] = static_cast<uint8_t>(ATimestamp >> 24);
    return tag;
}

// An FLV segment of AVC video every 40 ms and AAC audio every 20 ms up to
// ALastMs, behind an onMetaData tag of its own (which a join drops).
QByteArray MakeSegment(uint32_t ALastMs, uint8_t ASeed) {
    const auto header = cl::flv::EncodeFileHeader(FlvHeader{1, true, true, 9});
    QByteArray bytes(reinterpret_cast<const char*>(header.data()), static_cast<qsizetype>(header.size()));
    auto append = [&bytes](const std::vector<uint8_t>& ATag) {
        bytes.append(reinterpret_cast<const char*>(ATag.data()), static_cast<qsizetype>(ATag.size()));
    };
    cl::flv::MetaObject own;
    own.SetNumber("duration", 99);
    append(TagAt(FLV_TAG_SCRIPT, cl::flv::EncodeOnMetaData(own), 0));
    for (uint32_t ms = 0; ms <= ALastMs; ms += 20) {
        if (ms % 40 == 0) append(TagAt(FLV_TAG_VIDEO, {0x27, 1, 0, 0, 0, ASeed, 0x55, 0x66}, ms));
        append(TagAt(FLV_TAG_AUDIO, {0xAF, 1, ASeed, 0x21, 0x10}, ms));
    }
    return bytes;
}

// Media tags of a segment made by MakeSegment.
int MediaTagsOf(uint32_t ALastMs) { return static_cast<int>(ALastMs / 20 + 1 + ALastMs / 40 + 1); }

class Merge : public ::testing::Test {
protected:
    void StartWindow() {
        FForm.FormCreate();
        ASSERT_TRUE(FForm.Messages.isEmpty()) << FForm.Messages.join('\n').toStdString();
    }
    // A tool of our own in place of the joiner; start-up keeps it.
    void PlaceTool(const QByteArray& AScript) {
        QFile tool(Folder() + "RuvErov.exe");
        ASSERT_TRUE(tool.open(QIODevice::WriteOnly));
        tool.write("#!/bin/sh\n" + AScript + "\n");
        tool.close();
        tool.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    QString Folder() const { return FolderOf(FDir); }
    QString Segment(const QString& ABase, int ACount, int AIndex) const {
        return Folder() + ABase + QStringLiteral(" %1-%2.flv").arg(ACount).arg(AIndex);
    }
    void WriteSegments(const QString& ABase, int ACount, uint32_t ALastMs) {
        for (int k = 1; k <= ACount; ++k) {
            QFile file(Segment(ABase, ACount, k));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(MakeSegment(ALastMs, static_cast<uint8_t>(k)));
        }
    }
    bool SegmentsPresent(const QString& ABase, int ACount) const {
        for (int k = 1; k <= ACount; ++k) {
            if (!QFile::exists(Segment(ABase, ACount, k))) return false;
        }
        return true;
    }
    QStringList Statuses() const {
        QStringList texts;
        for (int i = 0; i < FForm.lv3->topLevelItemCount(); ++i) texts << FForm.lv3->topLevelItem(i)->text(3);
        return texts;
    }
    bool Idle() const { return !FForm.Joiner() && !FForm.tmr2->isActive() && !Statuses().contains(Merging()); }
    static QString Merging() { return QString::fromUtf8(bl::kMerging); }
    static QString Failed() { return QString::fromUtf8(bl::kMergeFailed); }

    QTemporaryDir FDir;
    TTestForm FForm{FolderOf(FDir)};
};

TEST_F(Merge, PartsJoinOneAfterTheOtherWithShiftedTimestampsAndFreshMetadata) {
    StartWindow();
    const QString two = QStringLiteral("01 第一部分");
    // Names a shell would split, expand or unquote.
    const QString three = QStringLiteral("02 \"引号\" $HOME and  `x` 'y'");
    WriteSegments(two, 2, 2000);
    WriteSegments(three, 3, 1000);
    FForm.AddMergeRow(two, Folder(), 2);
    FForm.AddMergeRow(three, Folder(), 3);
    EXPECT_TRUE(FForm.tmr2->isActive());

    // One join at a time, the top row first.
    QStringList order;
    bool twoAtOnce = false;
    ASSERT_TRUE(WaitFor([&] {
        int merging = 0;
        for (int i = 0; i < FForm.lv3->topLevelItemCount(); ++i) {
            const QTreeWidgetItem* row = FForm.lv3->topLevelItem(i);
            if (row->text(3) != Merging()) continue;
            ++merging;
            if (order.isEmpty() || order.last() != row->text(0)) order << row->text(0);
        }
        if (merging > 1) twoAtOnce = true;
        return FForm.lv3->topLevelItemCount() == 0 && !FForm.Joiner();
    }));
    EXPECT_FALSE(twoAtOnce);
    EXPECT_EQ(order, QStringList({two, three}));

    struct TCase {
        QString Base;
        int Count;
        uint32_t LastMs;
    };
    for (const TCase& part : {TCase{two, 2, 2000}, TCase{three, 3, 1000}}) {
        SCOPED_TRACE(part.Base.toStdString());
        for (int k = 1; k <= part.Count; ++k) EXPECT_FALSE(QFile::exists(Segment(part.Base, part.Count, k)));
        const TJoinedFile joined = ReadJoined(Folder() + part.Base + ".flv");
        EXPECT_TRUE(joined.HeaderOk);
        EXPECT_TRUE(joined.ScriptFirst);
        EXPECT_EQ(joined.ScriptTags, 1);
        EXPECT_EQ(joined.MediaTags, part.Count * MediaTagsOf(part.LastMs));
        EXPECT_TRUE(joined.TimestampsNeverBack);
        // Each source continues at the last timestamp of the one before.
        EXPECT_EQ(joined.LastTimestamp, part.Count * part.LastMs);
        EXPECT_DOUBLE_EQ(MetaNumber(joined.Meta, "duration"), part.Count * part.LastMs * 0.001);
        EXPECT_EQ(MetaNumber(joined.Meta, "videocodecid"), 7);
        EXPECT_EQ(MetaNumber(joined.Meta, "audiocodecid"), 10);
    }
    // Nothing but the joined files (and the tool) is left.
    const QStringList left = QDir(Folder()).entryList({"*.flv", "*.$$$"}, QDir::Files, QDir::Name);
    EXPECT_EQ(left, QStringList({two + ".flv", three + ".flv"}));
}

TEST_F(Merge, FailedJoinKeepsItsSegmentsAndRowAndTheQueueGoesOn) {
    StartWindow();
    const QString badHeader = QStringLiteral("01 坏的");
    const QString cutTag = QStringLiteral("02 断的");
    const QString good = QStringLiteral("03 好的");
    WriteSegments(badHeader, 2, 500);
    WriteSegments(cutTag, 2, 500);
    WriteSegments(good, 2, 500);
    // Not an FLV file: the tool ends with status 3.
    QFile notFlv(Segment(badHeader, 2, 2));
    ASSERT_TRUE(notFlv.open(QIODevice::WriteOnly));
    notFlv.write("not a video at all");
    notFlv.close();
    // A tag in the middle claims more data than the file holds: the tool
    // drops the rest of that segment and still reports success.
    QFile cut(Segment(cutTag, 2, 1));
    ASSERT_TRUE(cut.open(QIODevice::ReadWrite));
    QByteArray bytes = cut.readAll();
    const qsizetype middle = bytes.size() / 2;
    qsizetype at = 13;
    while (at < middle) {
        const auto size = (uint8_t(bytes[at + 1]) << 16) | (uint8_t(bytes[at + 2]) << 8) | uint8_t(bytes[at + 3]);
        at += 11 + size + 4;
    }
    bytes[at + 1] = bytes[at + 2] = bytes[at + 3] = char(0xFF);
    cut.seek(0);
    cut.write(bytes);
    cut.close();
    FForm.AddMergeRow(badHeader, Folder(), 2);
    FForm.AddMergeRow(cutTag, Folder(), 2);
    FForm.AddMergeRow(good, Folder(), 2);

    ASSERT_TRUE(WaitFor([&] { return FForm.lv3->topLevelItemCount() == 2 && Idle(); }));
    EXPECT_EQ(Statuses(), QStringList({Failed(), Failed()}));
    EXPECT_EQ(FForm.lv3->topLevelItem(0)->text(0), badHeader);
    EXPECT_EQ(FForm.lv3->topLevelItem(1)->text(0), cutTag);
    EXPECT_TRUE(SegmentsPresent(badHeader, 2));
    EXPECT_TRUE(SegmentsPresent(cutTag, 2));
    EXPECT_FALSE(SegmentsPresent(good, 2));
    EXPECT_TRUE(QFile::exists(Folder() + good + ".flv"));

    // A later tick does not start a failed row again.
    FForm.tmr2Timer();
    EXPECT_FALSE(FForm.Joiner());
    EXPECT_EQ(Statuses(), QStringList({Failed(), Failed()}));
}

TEST_F(Merge, ToolArgumentsPassUnchangedAndASuccessWithoutAJoinedFileIsAFailure) {
    // The stand-in records its arguments, one per line, and says it worked.
    PlaceTool("for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$(dirname \"$0\")/args.txt\"; exit 0");
    StartWindow();
    const QString base = QStringLiteral("03 a \"b\" $PATH  c");
    WriteSegments(base, 2, 100);
    FForm.AddMergeRow(base, Folder(), 2);
    ASSERT_TRUE(WaitFor([&] { return Idle() && Statuses() != QStringList{QString::fromUtf8(bl::kMergeWaiting)}; }));

    QFile args(Folder() + "args.txt");
    ASSERT_TRUE(args.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(args.readAll()),
              Folder() + base + ".flv\n" + Segment(base, 2, 1) + "\n" + Segment(base, 2, 2) + "\n");
    // Status 0 but no joined file: the segments stay.
    EXPECT_EQ(Statuses(), QStringList{Failed()});
    EXPECT_TRUE(SegmentsPresent(base, 2));
}

TEST_F(Merge, MissingToolFailsTheRow) {
    StartWindow();
    ASSERT_TRUE(QFile::remove(Folder() + "RuvErov.exe"));
    WriteSegments("04 x", 2, 100);
    FForm.AddMergeRow("04 x", Folder(), 2);
    ASSERT_TRUE(WaitFor([&] { return Idle() && Statuses() == QStringList{Failed()}; }));
    EXPECT_TRUE(SegmentsPresent("04 x", 2));
}

TEST_F(Merge, ClosingDuringAJoinEndsOnlyOurToolAndKeepsEverySegment) {
    PlaceTool("echo started > \"$(dirname \"$0\")/started.txt\"; exec sleep 600");
    StartWindow();
    // Another process of the same name, not ours: it must survive the close.
    QProcess stranger;
    stranger.start(Folder() + "RuvErov.exe", {});
    ASSERT_TRUE(stranger.waitForStarted());

    WriteSegments("05 y", 3, 100);
    FForm.AddMergeRow("05 y", Folder(), 3);
    ASSERT_TRUE(WaitFor([&] { return FForm.IsJoinerRunning(); }));
    EXPECT_EQ(Statuses(), QStringList{Merging()});

    EXPECT_TRUE(FForm.FormCloseQuery());
    EXPECT_TRUE(FForm.Closing);
    EXPECT_FALSE(FForm.Joiner());
    EXPECT_TRUE(SegmentsPresent("05 y", 3));
    // No new join starts once closing.
    FForm.tmr2Timer();
    EXPECT_FALSE(FForm.Joiner());

    EXPECT_EQ(stranger.state(), QProcess::Running);
    stranger.kill();
    stranger.waitForFinished();
}

TEST_F(Merge, ClosingAsksTheToolToEndAndKillsOneThatLingers) {
    // The tool notes the request to end and goes on regardless.
    PlaceTool(
        "d=\"$(dirname \"$0\")\"; trap 'echo asked > \"$d/asked.txt\"' TERM; echo $$ > \"$d/pid.txt\";"
        " while :; do sleep 0.1; done");
    StartWindow();
    WriteSegments("06 z", 2, 100);
    FForm.AddMergeRow("06 z", Folder(), 2);
    ASSERT_TRUE(WaitFor([&] { return QFile::exists(Folder() + "pid.txt") && FForm.IsJoinerRunning(); }));

    EXPECT_TRUE(FForm.FormCloseQuery());
    EXPECT_FALSE(FForm.Joiner());
    EXPECT_TRUE(QFile::exists(Folder() + "asked.txt"));
    QFile pidFile(Folder() + "pid.txt");
    ASSERT_TRUE(pidFile.open(QIODevice::ReadOnly));
    const QString proc = "/proc/" + QString::fromLatin1(pidFile.readAll().trimmed());
    EXPECT_FALSE(QFile::exists(proc)) << "the tool still runs";
    EXPECT_TRUE(SegmentsPresent("06 z", 2));
}

// Segments of the stand-in as ffmpeg makes them (H.264 and AAC, or the old
// H.263 and MP3), cached between runs, under the names a download gives them.
void WritePlayableSegments(const QString& AFolder, const QString& ABase, int ACount, bool AOldCodecs,
                           int AQuality = 16) {
    const std::string cache = QDir::temp().filePath(QStringLiteral("blmerge-test-segments")).toStdString();
    for (int k = 1; k <= ACount; ++k) {
        const std::string bytes = vidsite::MakePlayableSegment(
            cache, {.Quality = AQuality, .DurationMs = 2000, .Seed = uint32_t(k), .OldCodecs = AOldCodecs});
        ASSERT_FALSE(bytes.empty()) << "ffmpeg made no segment";
        QFile file(AFolder + ABase + QStringLiteral(" %1-%2.flv").arg(ACount).arg(k));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes.data(), static_cast<qint64>(bytes.size()));
    }
}

TEST_F(Merge, ConversionToMp4IsOneMoreStepOfTheRowAndAFailureKeepsTheFlv) {
    StartWindow();
    FForm.chk5->setChecked(true);
    const QString h264 = QStringLiteral("07 新");
    const QString h263 = QStringLiteral("08 旧");
    WritePlayableSegments(Folder(), h264, 2, false);
    WritePlayableSegments(Folder(), h263, 2, true);
    FForm.AddMergeRow(h264, Folder(), 2);
    FForm.AddMergeRow(h263, Folder(), 2);

    bool sawConverting = false;
    const QString failed = QString::fromUtf8(bl::kConvertFailed);
    ASSERT_TRUE(WaitFor([&] {
        sawConverting = sawConverting || Statuses().contains(QString::fromUtf8(bl::kConverting));
        return Idle() && !FForm.IsConverting() && Statuses() == QStringList{failed};
    }));
    EXPECT_TRUE(sawConverting);
    // The converted video left its row like a join; the refused one keeps
    // its row and its joined FLV.
    EXPECT_EQ(FForm.lv3->topLevelItem(0)->text(0), h263);
    EXPECT_EQ(QDir(Folder()).entryList({"*.flv", "*.mp4", "*.part-*"}, QDir::Files, QDir::Name),
              QStringList({h264 + ".mp4", h263 + ".flv"}));
}

TEST_F(Merge, ClosingDuringAConversionStopsItAndLeavesTheFlvWithoutAnMp4) {
    StartWindow();
    FForm.chk5->setChecked(true);
    WritePlayableSegments(Folder(), QStringLiteral("09 长"), 60, false, 80);
    FForm.AddMergeRow(QStringLiteral("09 长"), Folder(), 60);
    ASSERT_TRUE(WaitFor([&] { return FForm.IsConverting(); }));
    const qint64 size = QFileInfo(Folder() + QStringLiteral("09 长.flv")).size();

    EXPECT_TRUE(FForm.FormCloseQuery());
    EXPECT_FALSE(FForm.IsConverting());
    EXPECT_EQ(QDir(Folder()).entryList({"*.flv", "*.mp4", "*.part-*"}, QDir::Files),
              QStringList{QStringLiteral("09 长.flv")});
    EXPECT_EQ(QFileInfo(Folder() + QStringLiteral("09 长.flv")).size(), size);
}

}  // namespace
