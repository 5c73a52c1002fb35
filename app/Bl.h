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

#include "PageResolver.h"
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
}

class TForm1 : public QWidget {
    Q_OBJECT

public:
    // AProgramFolder: where the program's files are (with trailing "/");
    // empty means the folder of the running executable.
    explicit TForm1(const QString& AProgramFolder = QString(), QWidget* AParent = nullptr);
    ~TForm1() override;

    static constexpr int kClientWidth = 594;
    static constexpr int kClientHeight = 452;
    // The browser the video and comment downloaders present themselves as.
    static constexpr const char* kDownloaderAgent =
        "Mozilla/5.0 (Windows NT 6.1; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
        "Chrome/70.0.3538.110 Safari/537.36";

    // Start-up: the save folder, the joining tool's files.
    void FormCreate();
    // Close: false keeps the window open.
    bool FormCloseQuery();

    // --- Shared state. ---
    QString SaveFolder;
    int ParseState = bl::psNone;
    int32_t RunningCount = 0;
    int64_t TickBytes = 0;
    // Written once, at close; read by the joining worker on its own thread.
    std::atomic<bool> Closing{false};
    bool RestrictStopped = false;
    // The running joining worker, or none.
    std::unique_ptr<bl::GatFlv> Joiner;

    const QString& ProgramFolder() const { return FProgramFolder; }
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

    // --- Play addresses and the video download queue (BlVideo.cpp). ---
    void clMdloader1IsBusyChanged();
    void clMdloader1StatusChanged(cl::TclInternetItem* Item, cl::TclProcessStatus Status);
    void clMdloader1DataItemProceed(cl::TclInternetItem* Item, int CurrentDataSize);
    void clMdloader1ProcessCompleted(cl::TclInternetItem* Item);
    void clMdloader2IsBusyChanged();
    void clMdloader2StatusChanged(cl::TclInternetItem* Item, cl::TclProcessStatus Status);
    void clMdloader2DataItemProceed(cl::TclInternetItem* Item, int CurrentDataSize);
    void clMdloader2ProcessCompleted(cl::TclInternetItem* Item);
    // Waiting rows ("〓") queued again in list order.
    void RequeueWaitingItems();

    // --- Merging. ---
    // The download queue's hand-over: a part whose ACount segments are all
    // in AFolder (with trailing "/") under ABaseName joins the merge queue.
    void AddMergeRow(const QString& ABaseName, const QString& AFolder, int ACount);
    // The joining worker's end, on this thread.
    void JoinFinished();
    // Our own joining tool only; no other process of that name.
    bool IsJoinerRunning() const;
    void TerminateJoinerProcesses();

    // --- Comment files (BlComments.cpp). ---
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
    // Page resolution after the fetch: rows, names, numbers.
    void FillPartsList(const QString& APageText);
    void AddPartRow(const QString& AName, const QString& ACid);
    void NumberPartRows();
    // The hand-over to the play-address requests; until they exist the
    // parse ends here with the controls enabled again.
    void RequestPlayAddresses();
    bool VideoDownloadsBusy() const;

    QString FProgramFolder;
    // The quality code noted when the parse started, sent with every
    // play-address request of that parse.
    QString FParseQuality;

    // The video queue's helpers (BlVideo.cpp).
    void SetUpDownloaders();
    void QueueParts(bool AAllRows);
    void QueuePart(QTreeWidgetItem* ARow);
    // The item of a row of lv1, and back (rows and items are index-aligned).
    cl::TclDownLoadItem& VideoItem(int ARow);
    QTreeWidgetItem* VideoRow(const cl::TclInternetItem* AItem) const;
    void StartVideoItem(cl::TclInternetItem& AItem);
    // "开始" and "全部开始": every row of AItems not running waits again and
    // starts; then the waiting rows are queued again in list order.
    void StartVideoItems(const std::vector<cl::TclDownLoadItem*>& AItems);
    // A file of that name exists, or another item of the list will write it.
    bool IsNameTaken(const QString& AName, const cl::TclInternetItem* AItem) const;
    void StopWaitingItems();
    // Lowers the running items to ALimit: the lowest running rows wait again.
    void TakeBackRunningItems(int ALimit);
    void DeleteVideoRow(int ARow);
    // A play-address answer into the row it was asked for.
    void EvaluatePlayUrl(int ARow, cl::TclInternetItem& AItem);
    // The row of lv2 each play-address request was made for, and the memory
    // stream its answer is collected in.
    struct TPlayRequest {
        int Row = 0;
        std::unique_ptr<cl::TStringStream> Body;
        int64_t Received = 0;
    };
    std::unordered_map<const cl::TclInternetItem*, TPlayRequest> FPlayRequests;
    // What the window keeps of each video item on its own side: the merge tag
    // of a segment of a multi-segment video (so that it never reaches a server
    // as a user name), and whether the item has resolved its file name, which
    // makes the file of that name its own.
    struct TVideoSegment {
        QString MergeTag;
        bool OwnsFile = false;
    };
    std::unordered_map<const cl::TclInternetItem*, TVideoSegment> FSegments;
    // The item's file may go with it: the item resolved the name itself and no
    // other item of the list did so too. A waiting item still carries a name
    // that another item may be writing.
    bool MayDeleteFile(const cl::TclInternetItem& AItem) const;
    void DeleteOwnFile(const cl::TclInternetItem& AItem);

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
    // Uses clhtp1, so it comes after it.
    bl::TPageResolver FResolver{clhtp1};

    // The comment queue over lv4, lv5 and clMdloader3 (BlComments.cpp);
    // made once the lists exist, gone before the downloader.
    void SetUpComments();
    void QueueComments(bool AAllRows);
    // Close: the segment files of unfinished video items.
    void DeleteUnfinishedSegments();
    std::unique_ptr<bl::TCommentQueue> FComments;
};
