// flvdl end to end: the built program runs as a child process against the
// site stand-in started in this process, reached through --cacert and
// --connect-to, and what it leaves in its folder, prints and returns is
// checked.
#include <gtest/gtest.h>
#include <signal.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>

#include "site/SiteCatalogue.h"
#include "site/VidSite.h"
#include "site/VidSiteConstants.h"

namespace {

using namespace std::chrono_literals;

class TCoreEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "test_flvdl";
        static char* argv[] = {name, nullptr};
        FApp = std::make_unique<QCoreApplication>(argc, argv);
    }
    void TearDown() override { FApp.reset(); }

private:
    std::unique_ptr<QCoreApplication> FApp;
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new TCoreEnvironment);

struct TResult {
    int ExitCode = -1;
    QString Out;
    QString Err;
};

class Flvdl : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        vidsite::TVidSiteOptions options;
        for (vidsite::TSiteVideo& video : vidsite::EdgeCaseCatalogue()) options.Videos.push_back(std::move(video));
        FSite = new vidsite::TVidSite(options);
    }
    static void TearDownTestSuite() { delete FSite; }
    void TearDown() override {
        FSite->Faults().Clear();
        FSite->Log().Clear();
        FSite->SetMediaRate(0);
        FSite->SetCommentLimit(0, 10min);
    }

    QStringList Arguments(const QStringList& AArguments, const vidsite::TVidSite* ASite = FSite) const {
        QStringList arguments{QStringLiteral("--cacert"), QString::fromStdString(ASite->CaCertificateFile()),
                              QStringLiteral("-d"), FFolder.path()};
        for (const vidsite::THostRoute& route : ASite->HostOverrides()) {
            arguments << QStringLiteral("--connect-to")
                      << QStringLiteral("%1:%2:%3:%4")
                             .arg(QString::fromStdString(route.Host))
                             .arg(route.Port)
                             .arg(QString::fromStdString(route.Address))
                             .arg(route.TargetPort);
        }
        return arguments + AArguments;
    }
    void Start(QProcess& AProcess, const QStringList& AArguments, const vidsite::TVidSite* ASite = FSite) const {
        AProcess.start(QStringLiteral(FLVDL_PATH), Arguments(AArguments, ASite));
        ASSERT_TRUE(AProcess.waitForStarted());
    }
    static TResult Finish(QProcess& AProcess) {
        EXPECT_TRUE(AProcess.waitForFinished(120000));
        return TResult{AProcess.exitStatus() == QProcess::NormalExit ? AProcess.exitCode() : -1,
                       QString::fromUtf8(AProcess.readAllStandardOutput()),
                       QString::fromUtf8(AProcess.readAllStandardError())};
    }
    TResult Run(const QStringList& AArguments, const vidsite::TVidSite* ASite = FSite) const {
        QProcess process;
        Start(process, AArguments, ASite);
        return Finish(process);
    }
    static QString Page(const char* APath) { return QStringLiteral("https://") + vidsite::kMainHost + APath; }

    QStringList Saved() const { return QDir(FFolder.path()).entryList(QDir::Files, QDir::Name); }
    QByteArray Read(const QString& AName) const {
        QFile file(FFolder.filePath(AName));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QByteArray Served(int64_t ACid, int AIndex) const {
        const auto bytes = FSite->SegmentBytes(ACid, 80, AIndex);
        return bytes ? QByteArray(bytes->data(), static_cast<qsizetype>(bytes->size())) : QByteArray();
    }

    static vidsite::TVidSite* FSite;
    QTemporaryDir FFolder;
};

vidsite::TVidSite* Flvdl::FSite = nullptr;

const QString kPart1 = QStringLiteral("1 第一部分：黄昏");
const QString kPart2 = QStringLiteral("2 第二部分：夜幕灯火");
const QString kPart3 = QStringLiteral("3 第三部分：黎明");

TEST_F(Flvdl, NormalPageIsDownloadedJoinedAndItsCommentsStoredWithSubtitles) {
    const TResult result = Run({QStringLiteral("--ass"), QStringLiteral("--json"), Page("/video/v1001/")});
    ASSERT_EQ(result.ExitCode, 0) << result.Err.toStdString();

    // One file per video, the three segments of the second joined into one,
    // and a comment file and its subtitles each; nothing temporary is left.
    EXPECT_EQ(Saved(), QStringList({kPart1 + ".ass", kPart1 + ".flv", kPart1 + ".xml", kPart2 + ".ass", kPart2 + ".flv",
                                    kPart2 + ".xml", kPart3 + ".ass", kPart3 + ".flv", kPart3 + ".xml"}));
    EXPECT_TRUE(Read(kPart1 + ".ass").startsWith("[Script Info]"));
    EXPECT_EQ(Read(kPart1 + ".flv"), Served(100101, 1));
    const QByteArray joined = Read(kPart2 + ".flv");
    EXPECT_TRUE(joined.startsWith("FLV"));
    EXPECT_GT(joined.size(), Served(100102, 1).size() + Served(100102, 2).size());
    EXPECT_TRUE(Read(kPart1 + ".xml").contains("<?xml"));

    // Standard output is the summary alone; the events went to standard error.
    const auto summary = nlohmann::json::parse(result.Out.toStdString());
    EXPECT_EQ(summary["exit_status"], 0);
    EXPECT_EQ(summary["kind"], "normal");
    ASSERT_EQ(summary["parts"].size(), 3u);
    EXPECT_EQ(summary["parts"][1]["segments"], 3);
    EXPECT_EQ(summary["parts"][1]["joined"], true);
    EXPECT_EQ(summary["parts"][1]["files"][0], FFolder.filePath(kPart2 + ".flv").toStdString());
    EXPECT_EQ(summary["parts"][2]["comment"]["status"], "done");
    EXPECT_EQ(summary["parts"][2]["comment"]["subtitles"], FFolder.filePath(kPart3 + ".ass").toStdString());
    EXPECT_TRUE(result.Err.contains(QStringLiteral("joined: ") + kPart2 + ".flv"));
}

TEST_F(Flvdl, Mp4TurnsEachFinishedPartIntoAnMp4AndKeepsTheFlvOfCodecsMp4CannotCarry) {
    // Playable segments made by ffmpeg (H.264 and AAC; the single-part
    // video H.263 and MP3), cached between runs.
    vidsite::TVidSiteOptions options;
    options.PlayableSegmentFolder = QDir::temp().filePath(QStringLiteral("flvdl-test-segments")).toStdString();
    for (vidsite::TSiteVideo& video : options.Videos)
        for (vidsite::TSitePart& part : video.Parts) part.Qualities = {16};
    const vidsite::TVidSite playable(options);
    const QStringList mp4 = {QStringLiteral("--mp4"), QStringLiteral("--json"), QStringLiteral("-q"),
                             QStringLiteral("360p")};

    const TResult result = Run(mp4 + QStringList{Page("/video/v1001/")}, &playable);
    ASSERT_EQ(result.ExitCode, 0) << result.Err.toStdString();
    EXPECT_EQ(Saved(), QStringList({kPart1 + ".mp4", kPart2 + ".mp4", kPart3 + ".mp4"}));
    EXPECT_EQ(Read(kPart2 + ".mp4").mid(4, 4), "ftyp");
    const auto summary = nlohmann::json::parse(result.Out.toStdString());
    EXPECT_EQ(summary["parts"][1]["joined"], true);
    EXPECT_EQ(summary["parts"][1]["mp4"]["converted"], true);
    EXPECT_EQ(summary["parts"][1]["files"][0], FFolder.filePath(kPart2 + ".mp4").toStdString());
    EXPECT_TRUE(result.Err.contains(QStringLiteral("converted: ") + kPart1 + ".mp4")) << result.Err.toStdString();

    const TResult refused = Run(mp4 + QStringList{Page("/video/v1003/")}, &playable);
    EXPECT_EQ(refused.ExitCode, 0) << refused.Err.toStdString();
    EXPECT_EQ(Saved().filter(QStringLiteral(".flv")).size(), 1);
    EXPECT_EQ(Saved().size(), 4);
    EXPECT_TRUE(refused.Err.contains(QStringLiteral("the video is Sorenson H.263"))) << refused.Err.toStdString();
    EXPECT_EQ(nlohmann::json::parse(refused.Out.toStdString())["parts"][0]["mp4"]["converted"], false);
}

TEST_F(Flvdl, ChosenEpisodesOfASeriesInTheAskedQualityWithoutNumbers) {
    const TResult result = Run({QStringLiteral("-p"), QStringLiteral("2,9-10"), QStringLiteral("-q"),
                                QStringLiteral("720p"), QStringLiteral("--no-number"), Page("/play/s2001/")});
    ASSERT_EQ(result.ExitCode, 0) << result.Err.toStdString();
    EXPECT_EQ(Saved(), QStringList({QStringLiteral("第10话 归途.flv"), QStringLiteral("第2话 雪山.flv"),
                                    QStringLiteral("第9话 古城.flv")}));
    // The series service was asked with the code of 720p; on a pipe every
    // finished segment is one line.
    const auto asked = FSite->Log().Requests(vidsite::kPgcPlayUrlPath);
    ASSERT_FALSE(asked.empty());
    EXPECT_NE(asked.front().Query.find("qn=64"), std::string::npos);
    EXPECT_EQ(result.Out.count(QStringLiteral("segment done: ")), 3);
    EXPECT_TRUE(result.Out.contains(QStringLiteral("part 09 第9话 古城: 720P, 1 segment")));
}

TEST_F(Flvdl, DroppedConnectionsAreResumedIntoAWholeFile) {
    FSite->Faults().Set("/flv/100101-80-1.flv", vidsite::TSiteFault{.DropAfterBytes = 100000});
    const TResult result = Run({QStringLiteral("-p"), QStringLiteral("1"), Page("/video/v1001/")});
    ASSERT_EQ(result.ExitCode, 0) << result.Err.toStdString();
    EXPECT_EQ(Saved(), QStringList{kPart1 + ".flv"});
    EXPECT_EQ(Read(kPart1 + ".flv"), Served(100101, 1));
    EXPECT_GT(FSite->Log().Count("/flv/100101-80-1.flv"), 5);
}

TEST_F(Flvdl, FailuresAreNamedWithTheirReasonAndWhatWorkedIsKept) {
    // The middle segment of the second video is missing; the site refuses
    // comment files after the first.
    FSite->Faults().Set("/flv/100102-80-2.flv",
                        vidsite::TSiteFault{.ServerErrorCount = 1000, .ServerErrorStatus = 404});
    FSite->SetCommentLimit(1, 10min);
    const TResult result =
        Run({QStringLiteral("--comments"), QStringLiteral("-j"), QStringLiteral("5"), Page("/video/v1001/")});
    EXPECT_EQ(result.ExitCode, 1);
    EXPECT_TRUE(result.Err.contains(QStringLiteral("part 2 第二部分：夜幕/灯火: segment ") + kPart2 +
                                    QStringLiteral(" 3-2: HTTP 404")))
        << result.Err.toStdString();
    EXPECT_TRUE(result.Err.contains(QStringLiteral("refused"))) << result.Err.toStdString();
    // The other videos, the segments that came and one comment file stay; no
    // partial file is left.
    const QStringList saved = Saved();
    EXPECT_TRUE(saved.contains(kPart1 + ".flv"));
    EXPECT_TRUE(saved.contains(kPart3 + ".flv"));
    EXPECT_TRUE(saved.contains(kPart2 + " 3-1.flv"));
    EXPECT_TRUE(saved.contains(kPart2 + " 3-3.flv"));
    EXPECT_FALSE(saved.contains(kPart2 + ".flv"));
    EXPECT_EQ(saved.filter(QStringLiteral(".xml")).size(), 1);
    EXPECT_TRUE(saved.filter(QStringLiteral(".pxr")).isEmpty());
}

TEST_F(Flvdl, APartWithoutPlayAddressOrJoinIsNamedWithTheAnswerOrTheJoinsReason) {
    // The play-address service fails: each video is named with its answer.
    FSite->Faults().Set(vidsite::kPlayUrlPath, vidsite::TSiteFault{.ServerErrorCount = 1000});
    const TResult unanswered = Run({QStringLiteral("--json"), Page("/video/v1001/")});
    EXPECT_EQ(unanswered.ExitCode, 1);
    EXPECT_TRUE(unanswered.Err.contains(QStringLiteral("part 1 第一部分：黄昏: no play address: HTTP 503")))
        << unanswered.Err.toStdString();
    const auto unansweredSummary = nlohmann::json::parse(unanswered.Out.toStdString());
    EXPECT_TRUE(unansweredSummary["parts"][2]["errors"][0].get<std::string>().starts_with("no play address: HTTP 503"));

    // A segment arrives garbled: the video's join fails and says why.
    FSite->Faults().Clear();
    FSite->Faults().Set("/flv/100102-80-2.flv", vidsite::TSiteFault{.CorruptBody = true});
    const TResult unjoined =
        Run({QStringLiteral("--json"), QStringLiteral("-p"), QStringLiteral("2"), Page("/video/v1001/")});
    EXPECT_EQ(unjoined.ExitCode, 1);
    const QString expected =
        QStringLiteral("join failed: %1.flv: the segment %1 3-2.flv does not read whole").arg(kPart2);
    EXPECT_TRUE(unjoined.Err.contains(expected)) << unjoined.Err.toStdString();
    const auto part = nlohmann::json::parse(unjoined.Out.toStdString())["parts"][0];
    EXPECT_EQ(part["join_exit_status"], 0);  // the tool itself did not fail
    EXPECT_EQ(part["files"].size(), 3u);
}

TEST_F(Flvdl, PageWithoutPartsEndsWithTheWindowsMessageAndStatus3) {
    const TResult result = Run({QStringLiteral("--json"), Page("/video/v1105/")});
    EXPECT_EQ(result.ExitCode, 3);
    EXPECT_EQ(nlohmann::json::parse(result.Out.toStdString())["exit_status"], 3);
    EXPECT_TRUE(result.Err.contains(QStringLiteral("未能获取视频信息！")));
    EXPECT_TRUE(result.Err.contains(QStringLiteral("neither a part list nor an episode list")));
    EXPECT_TRUE(Saved().isEmpty());
}

TEST_F(Flvdl, BadUsageIsRefusedWithAMessageAndStatus2) {
    QFile plainFile(FFolder.filePath(QStringLiteral("not-a-folder")));
    ASSERT_TRUE(plainFile.open(QIODevice::WriteOnly));
    plainFile.close();
    const QString page = Page("/video/v1001/");
    const std::vector<std::pair<QStringList, QString>> cases = {
        {{QStringLiteral("--bogus"), page}, QStringLiteral("unknown option '--bogus'")},
        {{QStringLiteral("-q"), QStringLiteral("4k"), page}, QStringLiteral("--quality")},
        {{QStringLiteral("-p"), QStringLiteral("3-1"), page}, QStringLiteral("--parts")},
        {{QStringLiteral("-x"), QStringLiteral("11"), page}, QStringLiteral("--threads")},
        {{page, page}, QStringLiteral("one page address only")},
        {{QStringLiteral("-d"), plainFile.fileName(), page}, QStringLiteral("is not a folder")},
        // Known only once the page is read: it has three videos.
        {{QStringLiteral("-p"), QStringLiteral("2,4"), page}, QStringLiteral("the page has 3 parts")},
    };
    for (const auto& [arguments, message] : cases) {
        const TResult result = Run(arguments);
        EXPECT_EQ(result.ExitCode, 2) << arguments.join(' ').toStdString();
        EXPECT_TRUE(result.Err.contains(message)) << result.Err.toStdString();
    }
    EXPECT_EQ(Saved(), QStringList{QStringLiteral("not-a-folder")});
}

TEST_F(Flvdl, CtrlCStopsTheDownloadsDeletesUnfinishedSegmentsAndExits130) {
    FSite->SetMediaRate(16 * 1024);
    QProcess process;
    Start(process, {Page("/video/v1001/")});
    QElapsedTimer clock;
    clock.start();
    while (Saved().filter(QStringLiteral(".pxr")).isEmpty() && clock.elapsed() < 20000) QThread::msleep(20);
    ASSERT_FALSE(Saved().filter(QStringLiteral(".pxr")).isEmpty());
    ::kill(static_cast<pid_t>(process.processId()), SIGINT);
    const TResult result = Finish(process);
    EXPECT_EQ(result.ExitCode, 130);
    EXPECT_TRUE(result.Err.contains(QStringLiteral("interrupted")));
    EXPECT_TRUE(Saved().isEmpty()) << Saved().join(' ').toStdString();
}

}  // namespace
