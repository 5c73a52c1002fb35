// The program's one window: three tabs (page resolution, video downloads,
// comment downloads), their lists, menus and settings, the status line, the
// donation panel, start-up and close. It owns the HTTP client of the page
// fetch with its request object, and the timers.
//
// How the form is put together, so that later handlers fit in:
// - BuildForm makes every control once, each with setObjectName equal to its
//   name; ConnectHandlers connects every signal once to the member named after
//   the control (btn1Click, tmr1Timer, N1Click...). A test finds a control by
//   name and calls its handler or clicks it; the same code runs.
// - Message boxes go through ShowMessageBox and the folder dialog through
//   SelectFolder: both virtual, so a test replaces them instead of blocking.
// - FormCreate runs once, after construction, from the code that made the
//   window (the program's main, a test), so that replaced functions apply.
// - Every wait and "process pending messages" goes through the thread's
//   message pump (the Qt pump, installed before the window is made).
#pragma once

#include <QMessageBox>
#include <QString>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "MergeQueue.h"
#include "PartList.h"
#include "SiteSession.h"
#include "StartFolders.h"
#include "VideoDownloads.h"
#include "engine/clMultiDownLoader.h"
#include "http/clHttp.h"
#include "http/clHttpRequest.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QAction;
class QPushButton;
class QTabWidget;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

namespace bl {
class GatFlv;
class TCommentQueue;
}  // namespace bl

class TForm1 : public QWidget {
    Q_OBJECT

public:
    // AProgramFolder: where the program's files are (with trailing "/");
    // empty means the folder of the running executable.
    explicit TForm1(const QString& AProgramFolder = QString(), QWidget* AParent = nullptr);
    ~TForm1() override;

    static constexpr int kClientWidth = 594;
    static constexpr int kClientHeight = 452;

    // Start-up: the save folder, the joining tool's files.
    void FormCreate();
    // Close: false keeps the window open.
    bool FormCloseQuery();

    // --- Shared state. ---
    QString SaveFolder;
    int ParseState = bl::psNone;
    // Written once, at close; read by the joining worker on its own thread.
    std::atomic<bool> Closing{false};
    // The running joining worker, or none.
    bl::GatFlv* Joiner() const;

    const QString& ProgramFolder() const { return FProgramFolder; }
    // Where FormCreate looks for the joining tool and the save folder; made
    // from the program folder, replaced by tests.
    bl::TStartFolderRules FolderRules;
    // Where the joining tool is run from.
    const QString& JoinerFolder() const { return FJoinerFolder; }
    // The window caption: the product title and the version.
    static QString Caption();

    // --- Handlers, named after their control. ---
    // Page resolution.
    void btn1Click();
    void btn2Click();
    void edt1MouseDown(Qt::MouseButton AButton);
    // Joining tool check when the auto-join box changes.
    void chk3Click();
    // Status line: the speed tick, and the busy change of the video downloads.
    void tmr1Timer();
    void VideoDownloadsBusyChanged(bool ABusy);
    void ShowRemainingTasks(int ARowCount);
    // Donation panel and the finished comments list.
    void lbl7Click();
    void img1Click();
    void N11Click();
    // Merge queue insertion (lv3 and lv5).
    void lv3Insert();

    // Filled by the play-address, download, merge and comment work; each is
    // connected to its control already.
    void N1Click();
    void N2Click();
    void N9Click();
    void XML1Click();
    void N3Click();
    void N4Click();
    void N5Click();
    void N6Click();
    void N7Click();
    void N8Click();
    void lv1DblClick();
    void cbb1Change();
    void cbb2Change();
    void cbb3Change();
    void btn3Click();
    void btn4Click();
    void btn5Click();
    void tmr2Timer();
    void tmr3Timer();

    // --- Merging. ---
    // The download queue's hand-over: a part whose ACount segments are all
    // in AFolder (with trailing "/") under ABaseName joins the merge queue.
    void AddMergeRow(const QString& ABaseName, const QString& AFolder, int ACount);
    // A finished video of one segment (AFile) joins the merge queue for its
    // conversion when chk5 is checked.
    void AddConversionRow(const QString& AFile);
    // The joining worker's end, on this thread.
    void JoinFinished();
    // Our own joining tool only; no other process of that name.
    bool IsJoinerRunning() const;
    void TerminateJoinerProcesses();
    // A conversion into an MP4 file runs.
    bool IsConverting() const;

    // --- Comment files (BlComments.cpp). ---
    // The comment queue: its rows, finished files and restriction state.
    bl::TCommentQueue& Comments();
    void clMdloader3StatusChanged(cl::TclInternetItem* Item, cl::TclProcessStatus Status);
    void clMdloader3Error(cl::TclInternetItem* Item, int ErrorCode);
    void clMdloader3ProcessCompleted(cl::TclInternetItem* Item);

protected:
    // The one way the window shows a message box; returns the button pressed.
    virtual QMessageBox::StandardButton ShowMessageBox(const QString& AText, const QString& ACaption,
                                                       QMessageBox::StandardButtons AButtons);
    // The one way the window asks for a folder: the chosen folder with a
    // trailing "/", or empty.
    virtual QString SelectFolder(const QString& AInitialFolder);

    void closeEvent(QCloseEvent* AEvent) override;
    bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

private:
    void BuildForm();
    void BuildResolveTab(QWidget* ATab);
    void BuildDownloadTab(QWidget* ATab);
    void BuildCommentTab(QWidget* ATab);
    void BuildStatusAndDonation();
    void BuildMenus();
    void ConnectHandlers();
    void SetUpHttp();

    // An information message with the product title as caption.
    void ShowMessage(const char* AText);
    void SetParseControlsEnabled(bool AEnabled);
    // The video list over lv2 and clMdloader2: a row of lv2 shows each video.
    void SetUpParts();
    void ShowPart(int AIndex);
    bool VideoDownloadsBusy() const;

    QString FProgramFolder;
    QString FJoinerFolder;

    // The video queue's view (BlVideo.cpp): rows of lv1 drawn from the
    // queue's rows, the chosen rows of lv1, a row of lv2 as a video.
    void SetUpDownloaders();
    void SetUpVideos();
    void ShowVideoRow(int ARow);
    std::vector<int> SelectedVideoRows() const;
    void QueueParts(bool AAllRows);
    static bl::TPart PartOfRow(const QTreeWidgetItem& ARow);
    // The merge queue's view (BlMerge.cpp): rows of lv3.
    void SetUpMerging();

public:
    // --- Components. The request object outlives the client that uses it. ---
    cl::TclHttpRequest clhtprqst1;
    cl::TclHttp clhtp1;
    // Video segments and play-address documents; their items use clhtprqst1.
    cl::TclMultiDownLoader clMdloader1;
    cl::TclMultiDownLoader clMdloader2;
    // Comment files; its items use clhtprqst1.
    cl::TclMultiDownLoader clMdloader3;

    // --- Controls (owned by the widget tree). ---
    QTabWidget* pgc1 = nullptr;
    QWidget* ts1 = nullptr;
    QWidget* ts2 = nullptr;
    QWidget* ts3 = nullptr;
    // Tab 1.
    QWidget* pnl2 = nullptr;
    QLabel* lbl1 = nullptr;
    QLineEdit* edt1 = nullptr;
    QPushButton* btn1 = nullptr;
    QLabel* lbl2 = nullptr;
    QLineEdit* edt2 = nullptr;
    QPushButton* btn2 = nullptr;
    QGroupBox* grp1 = nullptr;
    QComboBox* cbb4 = nullptr;
    QCheckBox* chk1 = nullptr;
    QTreeWidget* lv2 = nullptr;
    QLineEdit* edt3 = nullptr;
    // Tab 2.
    QWidget* pnl1 = nullptr;
    QLabel* lbl4 = nullptr;
    QComboBox* cbb1 = nullptr;
    QLabel* lbl5 = nullptr;
    QComboBox* cbb2 = nullptr;
    QCheckBox* chk3 = nullptr;
    // Each finished video also becomes an MP4 file (its FLV goes once the
    // MP4 is checked).
    QCheckBox* chk5 = nullptr;
    QLabel* lbl6 = nullptr;
    QComboBox* cbb3 = nullptr;
    QTreeWidget* lv1 = nullptr;
    QWidget* pnl4 = nullptr;
    QLabel* pnl5 = nullptr;
    QTreeWidget* lv3 = nullptr;
    // Tab 3.
    QWidget* pnl9 = nullptr;
    QPushButton* btn4 = nullptr;
    QPushButton* btn5 = nullptr;
    QPushButton* btn3 = nullptr;
    QCheckBox* chk2 = nullptr;
    // Each stored comment file also gets its subtitles.
    QCheckBox* chk4 = nullptr;
    QLabel* lbl8 = nullptr;
    QTreeWidget* lv4 = nullptr;
    QWidget* pnl7 = nullptr;
    QLabel* pnl10 = nullptr;
    QTreeWidget* lv5 = nullptr;
    // Over the tab strip.
    QWidget* pnl3 = nullptr;
    QLabel* lbl3 = nullptr;
    QLabel* DownSpeed = nullptr;
    QWidget* pnl8 = nullptr;
    QLabel* lbl7 = nullptr;
    QWidget* pnl6 = nullptr;
    QLabel* img1 = nullptr;
    QLabel* lbl9 = nullptr;
    // Menus and their items.
    QMenu* pm1 = nullptr;
    QAction* N1 = nullptr;
    QAction* N2 = nullptr;
    QAction* N9 = nullptr;
    QAction* XML1 = nullptr;
    QMenu* pm2 = nullptr;
    QAction* N3 = nullptr;
    QAction* N4 = nullptr;
    QAction* N5 = nullptr;
    QAction* N6 = nullptr;
    QAction* N7 = nullptr;
    QAction* N8 = nullptr;
    QMenu* pm3 = nullptr;
    QAction* N11 = nullptr;
    // Timers.
    QTimer* tmr1 = nullptr;
    QTimer* tmr2 = nullptr;
    QTimer* tmr3 = nullptr;

private:
    // Made after the components it uses, gone before them.
    std::unique_ptr<bl::TPartList> FParts;

    // The comment queue over lv4, lv5 and clMdloader3 (BlComments.cpp);
    // made once the lists exist, gone before the downloader.
    void SetUpComments();
    void ShowCommentRow(int ARow);
    void QueueComments(bool AAllRows);
    // Close: the segment files of unfinished video items.
    void DeleteUnfinishedSegments();

    // The video queue over clMdloader1; its counters are the status line's.
    bl::TVideoDownloads FVideos{clMdloader1, clhtprqst1};
    // The merge queue; made once tmr2 exists, gone before the video queue.
    std::unique_ptr<bl::TMergeQueue> FMerge;
    // Gone first: the stopping comment items write into its streams.
    std::unique_ptr<bl::TCommentQueue> FComments;

public:
    int32_t& RunningCount = FVideos.RunningCount;
    int64_t& TickBytes = FVideos.TickBytes;
};
