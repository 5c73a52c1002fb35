// The demo: the real window against the site stand-in on loopback, with the
// host overrides and the site's CA set, a sample page address pasted and a
// fresh save folder, so the whole flow runs on a machine without the internet.
//
//   flvdownloader-demo [--auto] [--shots FOLDER] [--save-folder FOLDER]
//
// --auto drives the window by itself (for a machine without a person at it):
// it parses the sample page, downloads every part, fetches every comment
// file, waits until every join has finished, saves a screenshot of each tab
// into --shots, checks every step and ends with status 0 only when all of
// them worked. Its last lines
// name each screenshot ("screenshot: PATH") and the save folder ("folder: PATH").
#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QElapsedTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QPixmap>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>
#include <functional>
#include <memory>

#include "Bl.h"
#include "MySelectFolder.h"
#include "qtpump/clQtMessagePump.h"
#include "site/VidSite.h"
#include "site/VidSiteClient.h"

namespace {

struct TDemoOptions {
    bool Auto = false;
    QString ShotFolder;
    QString SaveFolder;
};

// The window as the demo runs it: message boxes are shown to a person, and
// in the automatic run only recorded (nobody would close them).
class TDemoForm : public TForm1 {
public:
    explicit TDemoForm(bool AAuto) : FAuto(AAuto) {}
    QStringList Messages;

protected:
    QMessageBox::StandardButton ShowMessageBox(const QString& AText, const QString& ACaption,
                                               QMessageBox::StandardButtons AButtons) override {
        Messages << AText;
        std::printf("message box: %s\n", AText.toUtf8().constData());
        std::fflush(stdout);
        if (FAuto) return QMessageBox::Yes;
        return TForm1::ShowMessageBox(AText, ACaption, AButtons);
    }

private:
    bool FAuto;
};

// A fresh folder under the user's Downloads, or a temporary one; it is kept.
QString FreshSaveFolder() {
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    const QString name = QStringLiteral("flvdownloader-demo-") +
                         QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    if (!downloads.isEmpty() && QDir(downloads).exists() && QDir(downloads).mkpath(name)) {
        return bl::WithTrailingSeparator(QDir(downloads).filePath(name));
    }
    QTemporaryDir temporary(QDir::temp().filePath(QStringLiteral("flvdownloader-demo-XXXXXX")));
    if (!temporary.isValid()) return QString();
    temporary.setAutoRemove(false);
    return bl::WithTrailingSeparator(temporary.path());
}

bool ParseArguments(const QStringList& AArguments, TDemoOptions& AOptions) {
    for (int i = 1; i < AArguments.size(); ++i) {
        const QString& argument = AArguments[i];
        if (argument == QLatin1String("--auto")) {
            AOptions.Auto = true;
        } else if (argument == QLatin1String("--shots") && i + 1 < AArguments.size()) {
            AOptions.ShotFolder = AArguments[++i];
        } else if (argument == QLatin1String("--save-folder") && i + 1 < AArguments.size()) {
            AOptions.SaveFolder = bl::WithTrailingSeparator(AArguments[++i]);
        } else {
            return false;
        }
    }
    return true;
}

// The steps of the automatic run, each checked and reported on its own line.
class TAutoRun {
public:
    // One step (a download, the joins) may take this long before it fails.
    static constexpr qint64 kStepLimitMs = 300000;

    TAutoRun(TDemoForm& AForm, const TDemoOptions& AOptions) : FForm(AForm), FOptions(AOptions) {}

    void Check(bool AOk, const char* AStep) {
        std::printf("%s: %s\n", AOk ? "ok" : "FAILED", AStep);
        std::fflush(stdout);
        if (!AOk) FFailed = true;
    }

    // Lets the window repaint what the last step changed, as a person would see it.
    static void Settle(int AMs) {
        QEventLoop loop;
        QTimer::singleShot(AMs, &loop, &QEventLoop::quit);
        loop.exec();
    }

    // ASettleMs: how long the window is served first, so that it has painted.
    void Screenshot(const char* AName, int ASettleMs = 300) {
        Settle(ASettleMs);
        QPixmap shot;
        if (QScreen* screen = FForm.screen()) shot = screen->grabWindow(FForm.winId());
        if (shot.isNull()) shot = FForm.grab();
        const QString path = QDir(FOptions.ShotFolder).absoluteFilePath(QString::fromLatin1(AName));
        const bool saved = QDir().mkpath(FOptions.ShotFolder) && shot.save(path, "PNG");
        Check(saved, "screenshot saved");
        if (saved) FShots << path;
    }

    // Serves the window until ADone holds; false when the watchdog would fire.
    static bool ServeUntil(const std::function<bool()>& ADone) {
        QElapsedTimer elapsed;
        elapsed.start();
        auto pump = cl::TclMessagePump::Current();
        while (!ADone()) {
            if (elapsed.elapsed() > kStepLimitMs) return false;
            pump->WaitFor({}, nullptr, 50);
        }
        return true;
    }

    // The save folder holds one video per part (segments joined and gone)
    // and one comment file per part, nothing half done.
    void CheckFolder(int AParts) {
        const QDir folder(FForm.SaveFolder);
        const QStringList videos = folder.entryList({QStringLiteral("*.flv")}, QDir::Files, QDir::Name);
        const QStringList comments = folder.entryList({QStringLiteral("*.xml")}, QDir::Files, QDir::Name);
        const QStringList leftovers =
            folder.entryList({QStringLiteral("*.pxr"), QStringLiteral("*.$$$")}, QDir::Files, QDir::Name);
        for (const QString& name : videos) std::printf("video: %s\n", name.toUtf8().constData());
        for (const QString& name : comments) std::printf("comments: %s\n", name.toUtf8().constData());
        Check(videos.size() == AParts, "one video file per part, the segments joined and deleted");
        Check(comments.size() == AParts && FForm.lv5->topLevelItemCount() == AParts, "one comment file per part");
        Check(leftovers.isEmpty(), "no unfinished or temporary files");
        bool commentsXml = true;
        for (const QString& name : comments) {
            QFile file(folder.filePath(name));
            commentsXml = commentsXml && file.open(QIODevice::ReadOnly) && file.read(5) == "<?xml";
        }
        Check(commentsXml, "comment files are XML documents");
        // Where ffprobe is installed it reads every video to its duration.
        const QString ffprobe = QStandardPaths::findExecutable(QStringLiteral("ffprobe"));
        if (ffprobe.isEmpty()) return;
        bool readable = true;
        for (const QString& name : videos) {
            QProcess probe;
            probe.start(ffprobe, {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_entries"),
                                  QStringLiteral("format=duration"), QStringLiteral("-of"),
                                  QStringLiteral("default=nw=1:nk=1"), folder.filePath(name)});
            const bool done = probe.waitForFinished(30000) && probe.exitCode() == 0;
            const QByteArray duration = probe.readAllStandardOutput().trimmed();
            std::printf("ffprobe: %s: %s s\n", name.toUtf8().constData(), duration.constData());
            readable = readable && done && duration.toDouble() > 0;
        }
        Check(readable, "ffprobe reads every video");
    }

    void Run() {
        Check(FForm.isVisible(), "window shown");
        Check(FForm.chk3->isChecked() && QFile::exists(FForm.ProgramFolder() + "RuvErov.exe") &&
                  QFile::exists(FForm.ProgramFolder() + "ZURAre.dll"),
              "joining tool written next to the program");
        Screenshot("demo-1-start.png");

        FForm.btn1->click();
        Check(ServeUntil([this] { return FForm.btn1->isEnabled() && !FForm.clMdloader2.IsBusy(); }),
              "play addresses answered");
        const int rows = FForm.lv2->topLevelItemCount();
        Check(FForm.Messages.isEmpty(), "page parsed without a message box");
        Check(FForm.ParseState == 1 && rows == 3, "three videos listed");
        int segments = 0;
        bool named = rows == 3;
        for (int i = 0; named && i < rows; ++i) {
            const QTreeWidgetItem* row = FForm.lv2->topLevelItem(i);
            named = row->text(0) == QString::number(i + 1) && !row->text(1).isEmpty() && !row->text(2).isEmpty() &&
                    !row->text(4).isEmpty() && row->text(5).toInt() > 0;
            segments += row->text(5).toInt();
        }
        Check(named, "rows numbered, named, with their cid, quality and segment count");
        Check(FForm.btn1->isEnabled() && FForm.lv2->isEnabled(), "parse controls enabled again");
        if (rows > 0) FForm.lv2->setCurrentItem(FForm.lv2->topLevelItem(0));
        Screenshot("demo-2-parsed.png");

        // Every video, and the comments of every video.
        FForm.N2Click();
        FForm.XML1Click();
        Check(FForm.lv1->topLevelItemCount() == segments, "every segment queued");
        Check(FForm.lv4->topLevelItemCount() == rows, "every comment file queued");
        FForm.pgc1->setCurrentIndex(1);
        Screenshot("demo-3-downloading.png");
        // The progress column fills its bars as the first bytes arrive.
        const bool progressing = ServeUntil([this] {
            for (int i = 0; i < FForm.lv1->topLevelItemCount(); ++i) {
                if (!FForm.lv1->topLevelItem(i)->text(3).isEmpty()) return true;
            }
            return false;
        });
        // Briefly settled: the stand-in's segments are done within 300 ms.
        if (progressing) Screenshot("demo-3-progress.png", 20);
        // The video of several segments enters the merge queue once its last
        // segment is there; the tick starts its join a second later.
        const bool queuedForJoin = ServeUntil([this] { return FForm.lv3->topLevelItemCount() > 0; });
        Check(queuedForJoin, "the video of several segments queued for joining");
        if (queuedForJoin) Screenshot("demo-4-merge-queue.png");
        Check(ServeUntil([this] { return FForm.lv1->topLevelItemCount() == 0 && !FForm.clMdloader1.IsBusy(); }),
              "every segment downloaded");
        Check(ServeUntil(
                  [this] { return FForm.lv3->topLevelItemCount() == 0 && !FForm.Joiner() && !FForm.tmr2->isActive(); }),
              "every join finished and its row gone");
        Screenshot("demo-5-downloads.png");
        Check(ServeUntil([this] { return FForm.lv4->topLevelItemCount() == 0 && !FForm.clMdloader3.IsBusy(); }),
              "every comment file stored");
        FForm.pgc1->setCurrentIndex(2);
        Screenshot("demo-6-comments.png");
        CheckFolder(rows);

        FForm.pgc1->setCurrentIndex(0);
        FForm.lbl7Click();
        Screenshot("demo-7-donation.png");
        FForm.img1Click();

        for (const QString& shot : FShots) std::printf("screenshot: %s\n", shot.toUtf8().constData());
        std::printf("folder: %s\n", FForm.SaveFolder.toUtf8().constData());
        std::printf("%s\n", FFailed ? "demo: FAILED" : "demo: every step worked");
        std::fflush(stdout);
        QApplication::exit(FFailed ? 1 : 0);
    }

private:
    TDemoForm& FForm;
    const TDemoOptions& FOptions;
    QStringList FShots;
    bool FFailed = false;
};

}  // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    cl::TclMessagePump::Install(std::make_shared<cl::TclQtMessagePump>());
    QApplication::setApplicationName(QStringLiteral("flvdownloader"));
    QGuiApplication::setDesktopFileName(QStringLiteral("flvdownloader"));

    TDemoOptions options;
    if (!ParseArguments(QApplication::arguments(), options)) {
        std::fprintf(stderr, "usage: flvdownloader-demo [--auto] [--shots FOLDER] [--save-folder FOLDER]\n");
        return 2;
    }
    if (options.ShotFolder.isEmpty()) options.ShotFolder = QDir::currentPath();
    if (options.SaveFolder.isEmpty()) options.SaveFolder = FreshSaveFolder();
    if (options.SaveFolder.isEmpty() || !QDir().mkpath(options.SaveFolder)) {
        std::fprintf(stderr, "flvdownloader-demo: no save folder could be made\n");
        return 1;
    }

    int result = 0;
    try {
        vidsite::TVidSite site(vidsite::DemoSiteOptions());
        const vidsite::TSiteClientSettings clientSettings(site);
        const QString sample = QString::fromStdString(vidsite::PageAddress(site.Catalogue().Videos().front()));
        std::printf("site: https on 127.0.0.1:%d for *.vidsite.example\npage: %s\n", site.HttpsPort(),
                    sample.toUtf8().constData());
        std::fflush(stdout);

        TDemoForm form(options.Auto);
        QApplication::setWindowIcon(form.windowIcon());
        form.FormCreate();
        form.SaveFolder = options.SaveFolder;
        form.edt2->setText(form.SaveFolder);
        form.edt1->setText(sample);
        form.show();

        TAutoRun run(form, options);
        QTimer watchdog;
        if (options.Auto) {
            QTimer::singleShot(500, &form, [&run] { run.Run(); });
            // A run that never ends is a failure too.
            watchdog.setSingleShot(true);
            QObject::connect(&watchdog, &QTimer::timeout, [] {
                std::printf("FAILED: the demo did not end within ten minutes\n");
                QApplication::exit(1);
            });
            watchdog.start(600000);
        }
        result = QApplication::exec();
        if (!options.Auto) std::printf("folder: %s\n", form.SaveFolder.toUtf8().constData());
    } catch (const std::exception& AError) {
        std::fprintf(stderr, "flvdownloader-demo: %s\n", AError.what());
        result = 1;
    }
    cl::TclMessagePump::Uninstall();
    return result;
}
