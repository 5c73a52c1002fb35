#include "Bl.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QCoreApplication>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTimer>
#include <QToolTip>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <initializer_list>
#include <utility>

#include "BlTexts.h"
#include "BlUtils.h"
#include "CommentQueue.h"
#include "GatThread.h"
#include "JoinerFiles.h"
#include "MySelectFolder.h"
#include "ProgressDelegate.h"
#include "SiteSession.h"
#include "StartFolders.h"

// Resources of a static library are registered by hand.
static void InitBlResources() { Q_INIT_RESOURCE(Bl); }

using namespace bl;

namespace {

// The window's font: the CJK font at the pixel height of the original layout.
constexpr const char* kFontFamily = "WenQuanYi Micro Hei";
constexpr int kFontPixelSize = 11;

QString Tr(const char* AText) { return QString::fromUtf8(AText); }

struct TColumn {
    const char* Caption;
    int Width;
};

// A report-style list: caption column first, sub-items after it; a column of
// width 0 is hidden but keeps its data.
QTreeWidget* MakeListView(QWidget* AParent, const char* AName, std::initializer_list<TColumn> AColumns) {
    auto* list = new QTreeWidget(AParent);
    list->setObjectName(QString::fromLatin1(AName));
    list->setRootIsDecorated(false);
    list->setItemsExpandable(false);
    list->setUniformRowHeights(true);
    list->setAllColumnsShowFocus(true);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    // Grid lines between rows and columns; a style sheet rule for items
    // replaces the style's selection colours, so they are named again.
    list->setStyleSheet(
        QStringLiteral("QTreeView::item { border-right: 1px solid #d4d4d4;"
                       " border-bottom: 1px solid #d4d4d4; }"
                       "QTreeView::item:selected { background: palette(highlight);"
                       " color: palette(highlighted-text); }"));
    QStringList captions;
    for (const TColumn& column : AColumns) captions << Tr(column.Caption);
    list->setColumnCount(static_cast<int>(captions.size()));
    list->setHeaderLabels(captions);
    QHeaderView* header = list->header();
    header->setMinimumSectionSize(0);
    header->setStretchLastSection(false);
    header->setSectionsMovable(false);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    int index = 0;
    for (const TColumn& column : AColumns) list->setColumnWidth(index++, column.Width);
    return list;
}

// AFixedHeight 0: the panel's height is set by its place.
QWidget* MakePanel(QWidget* AParent, const char* AName, int AFixedHeight = 0) {
    auto* panel = new QWidget(AParent);
    panel->setObjectName(QString::fromLatin1(AName));
    if (AFixedHeight > 0) panel->setFixedHeight(AFixedHeight);
    return panel;
}

// Stacks a tab's or panel's parts top to bottom without gaps.
QVBoxLayout* MakeColumn(QWidget* AParent) {
    auto* column = new QVBoxLayout(AParent);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    return column;
}

// A caption bar over a list (pnl5, pnl10).
QLabel* MakeCaptionBar(QWidget* AParent, const char* AName, const char* ACaption) {
    auto* bar = new QLabel(Tr(ACaption), AParent);
    bar->setObjectName(QString::fromLatin1(AName));
    bar->setFixedHeight(20);
    bar->setIndent(4);
    bar->setFrameShape(QFrame::StyledPanel);
    return bar;
}

template <class TWidget>
TWidget* Place(TWidget* AWidget, const char* AName, int ALeft, int ATop, int AWidth, int AHeight) {
    AWidget->setObjectName(QString::fromLatin1(AName));
    AWidget->setGeometry(ALeft, ATop, AWidth, AHeight);
    return AWidget;
}

QComboBox* MakeDropDownList(QWidget* AParent, std::initializer_list<const char*> AItems, int ADefault) {
    auto* box = new QComboBox(AParent);
    box->setEditable(false);
    for (const char* item : AItems) box->addItem(Tr(item));
    box->setCurrentIndex(ADefault);
    return box;
}

QMenu* MakeMenu(QWidget* AParent, const char* AName) {
    auto* menu = new QMenu(AParent);
    menu->setObjectName(QString::fromLatin1(AName));
    // A popup is a window of its own and does not take the form's font.
    menu->setFont(AParent->font());
    return menu;
}

QAction* AddMenuItem(QMenu* AMenu, const char* AName, const char* ACaption) {
    QAction* action = AMenu->addAction(Tr(ACaption));
    action->setObjectName(QString::fromLatin1(AName));
    return action;
}

}  // namespace

TForm1::TForm1(const QString& AProgramFolder, QWidget* AParent)
    : QWidget(AParent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      FProgramFolder(AProgramFolder.isEmpty() ? WithTrailingSeparator(QCoreApplication::applicationDirPath())
                                              : WithTrailingSeparator(AProgramFolder)),
      FJoinerFolder(FProgramFolder) {
    FolderRules = TStartFolderRules::ForProgram(FProgramFolder);
    InitBlResources();
    SetUpHttp();
    SetUpDownloaders();
    BuildForm();
    ConnectHandlers();
    SetUpParts();
    SetUpVideos();
    SetUpMerging();
    SetUpComments();
}

TForm1::~TForm1() = default;

QString TForm1::Caption() { return Tr(kProductTitle) + QLatin1Char(' ') + Tr(kVersion); }

void TForm1::SetUpHttp() { SetUpSiteHttp(clhtp1, clhtprqst1); }

// --- The form -------------------------------------------------------------

void TForm1::BuildForm() {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(Caption());
    setWindowIcon(QIcon(QStringLiteral(":/bl/icon.png")));
    QFont font(Tr(kFontFamily));
    font.setPixelSize(kFontPixelSize);
    setFont(font);
    QToolTip::setFont(font);
    setFixedSize(kClientWidth, kClientHeight);

    pgc1 = Place(new QTabWidget(this), "pgc1", 0, 0, kClientWidth, kClientHeight);
    ts1 = MakePanel(pgc1, "ts1");
    ts2 = MakePanel(pgc1, "ts2");
    ts3 = MakePanel(pgc1, "ts3");
    pgc1->addTab(ts1, Tr("〖  解析  flv〗"));
    pgc1->addTab(ts2, Tr("视频下载管理"));
    pgc1->addTab(ts3, Tr("XML弹幕下载管理"));
    BuildResolveTab(ts1);
    BuildDownloadTab(ts2);
    BuildCommentTab(ts3);
    BuildStatusAndDonation();
    BuildMenus();

    tmr1 = new QTimer(this);
    tmr1->setObjectName(QStringLiteral("tmr1"));
    tmr1->setInterval(1000);
    tmr2 = new QTimer(this);
    tmr2->setObjectName(QStringLiteral("tmr2"));
    tmr2->setInterval(1000);
    tmr2->setSingleShot(true);
    tmr3 = new QTimer(this);
    tmr3->setObjectName(QStringLiteral("tmr3"));
    tmr3->setInterval(500);
    tmr3->setSingleShot(true);

    if (QScreen* screen = this->screen()) {
        move(screen->availableGeometry().center() - QPoint(kClientWidth / 2, kClientHeight / 2));
    }
}

void TForm1::BuildResolveTab(QWidget* ATab) {
    auto* layout = MakeColumn(ATab);

    pnl2 = MakePanel(ATab, "pnl2", 85);
    lbl1 = Place(new QLabel(Tr("视频地址："), pnl2), "lbl1", 8, 12, 60, 16);
    edt1 = Place(new QLineEdit(pnl2), "edt1", 68, 9, 412, 21);
    btn1 = Place(new QPushButton(Tr("解析"), pnl2), "btn1", 488, 7, 90, 25);
    lbl2 = Place(new QLabel(Tr("保存位置："), pnl2), "lbl2", 8, 40, 60, 16);
    edt2 = Place(new QLineEdit(pnl2), "edt2", 68, 37, 330, 21);
    edt2->setReadOnly(true);
    btn2 = Place(new QPushButton(Tr("浏览"), pnl2), "btn2", 404, 35, 76, 25);
    grp1 = Place(new QGroupBox(Tr("优先解析"), pnl2), "grp1", 488, 34, 90, 48);
    cbb4 = Place(MakeDropDownList(grp1, {"1080p", "720p", "480p", "360p"}, 0), "cbb4", 8, 18, 74, 22);
    cbb4->setToolTip(Tr("先设置后“解析”，解析得到的清晰度不一定和设置一样，要看视频有没有这个分辨率。"));
    chk1 = Place(new QCheckBox(Tr("下载时添加序号"), pnl2), "chk1", 68, 62, 160, 18);
    chk1->setChecked(true);
    layout->addWidget(pnl2);

    lv2 = MakeListView(ATab, "lv2",
                       {{"№", 35}, {"文件名称", 395}, {"Cid", 0}, {"URL", 0}, {"清晰度", 60}, {"视频个数", 60}});
    lv2->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lv2->setContextMenuPolicy(Qt::CustomContextMenu);
    layout->addWidget(lv2, 1);

    // Over the bottom-left of the tab, above the list; placed on every resize.
    edt3 = new QLineEdit(ATab);
    edt3->setObjectName(QStringLiteral("edt3"));
    edt3->setReadOnly(true);
    edt3->setFrame(false);
    edt3->setText(Tr("软件更新地址：") + Tr(kUpdateAddress) + Tr("【请勿商用】"));
    edt3->resize(420, 18);
    ATab->installEventFilter(this);
}

void TForm1::BuildDownloadTab(QWidget* ATab) {
    auto* layout = MakeColumn(ATab);

    pnl1 = MakePanel(ATab, "pnl1", 49);
    lbl4 = Place(new QLabel(Tr("同时下载的最大任务数："), pnl1), "lbl4", 8, 16, 128, 16);
    cbb1 = Place(MakeDropDownList(pnl1, {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "15", "20"}, 2), "cbb1",
                 136, 12, 50, 22);
    cbb1->setMaxVisibleItems(10);
    lbl5 = Place(new QLabel(Tr("每个任务线程数："), pnl1), "lbl5", 204, 16, 96, 16);
    cbb2 =
        Place(MakeDropDownList(pnl1, {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}, 4), "cbb2", 300, 12, 50, 22);
    chk3 = Place(new QCheckBox(Tr("分段视频下载后自动合并"), pnl1), "chk3", 372, 14, 170, 18);
    chk3->setChecked(true);
    // Beyond the panel's right edge at the window's fixed size: not visible,
    // so the default applies.
    lbl6 = Place(new QLabel(Tr("优先等级："), pnl1), "lbl6", 620, 16, 58, 16);
    cbb3 = Place(MakeDropDownList(
                     pnl1,
                     {"偏低（下载线程在系统中优先权限低，先给其它线程让道）", "正常（下载线程在系统中由系统正常调度）",
                      "最高（下载线程在系统中优先权限最高，系统内核级别）"},
                     1),
                 "cbb3", 678, 12, 120, 22);
    layout->addWidget(pnl1);

    lv1 = MakeListView(ATab, "lv1", {{"≡", 35}, {"文件名称", 275}, {"大小", 80}, {"进度", 80}, {"速度", 80}});
    lv1->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lv1->setContextMenuPolicy(Qt::CustomContextMenu);
    lv1->setItemDelegateForColumn(3, new TProgressDelegate(lv1));  // "进度"
    layout->addWidget(lv1, 1);

    pnl4 = MakePanel(ATab, "pnl4", 150);
    auto* bottom = MakeColumn(pnl4);
    pnl5 = MakeCaptionBar(pnl4, "pnl5", "正在合并的视频：");
    // At the right of the merge list's caption: its conversions show in it.
    chk5 = Place(new QCheckBox(Tr("合并后转为MP4"), pnl5), "chk5", 460, 1, 130, 18);
    bottom->addWidget(pnl5);
    lv3 = MakeListView(pnl4, "lv3", {{"视频名称", 390}, {"路径", 0}, {"视频个数", 0}, {"状态", 80}});
    bottom->addWidget(lv3, 1);
    layout->addWidget(pnl4);
}

void TForm1::BuildCommentTab(QWidget* ATab) {
    auto* layout = MakeColumn(ATab);

    pnl9 = MakePanel(ATab, "pnl9", 73);
    btn4 = Place(new QPushButton(Tr("全部开始下载"), pnl9), "btn4", 8, 4, 99, 35);
    btn5 = Place(new QPushButton(Tr("全部停止下载"), pnl9), "btn5", 113, 4, 99, 35);
    btn3 = Place(new QPushButton(Tr("清空下载列表"), pnl9), "btn3", 218, 4, 99, 35);
    chk2 = Place(new QCheckBox(Tr("受限制后全部停止下载"), pnl9), "chk2", 330, 4, 160, 18);
    chk2->setChecked(true);
    chk4 = Place(new QCheckBox(Tr("同时生成ASS字幕"), pnl9), "chk4", 330, 22, 160, 18);
    lbl8 = Place(new QLabel(Tr("连续下载XML弹幕过多时会触发安全风控策略，一但触发官网就拒绝下载弹幕，"
                               "可以等待10分钟以后再重试！"),
                            pnl9),
                 "lbl8", 8, 44, 570, 26);
    lbl8->setWordWrap(true);
    layout->addWidget(pnl9);

    lv4 = MakeListView(ATab, "lv4", {{"№", 35}, {"文件名称", 435}, {"状态", 80}});
    layout->addWidget(lv4, 1);

    pnl7 = MakePanel(ATab, "pnl7", 150);
    auto* bottom = MakeColumn(pnl7);
    pnl10 = MakeCaptionBar(pnl7, "pnl10", "已经下载完成的XML弹幕：");
    bottom->addWidget(pnl10);
    lv5 = MakeListView(pnl7, "lv5", {{"文件名称", 390}, {"保存位置", 160}});
    lv5->setContextMenuPolicy(Qt::CustomContextMenu);
    bottom->addWidget(lv5, 1);
    layout->addWidget(pnl7);
}

void TForm1::BuildStatusAndDonation() {
    // On top of the tab strip, at its right end.
    pnl3 = Place(MakePanel(this, "pnl3"), "pnl3", kClientWidth - 195 - 2, 1, 195, 20);
    lbl3 = Place(new QLabel(pnl3), "lbl3", 0, 2, 106, 16);
    DownSpeed = Place(new QLabel(pnl3), "DownSpeed", 120, 2, 75, 16);
    DownSpeed->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    pnl8 = Place(MakePanel(this, "pnl8"), "pnl8", kClientWidth - 195 - 2 - 40, 1, 36, 20);
    lbl7 = Place(new QLabel(Tr("捐助"), pnl8), "lbl7", 0, 2, 36, 16);
    lbl7->setAlignment(Qt::AlignCenter);
    lbl7->setCursor(Qt::PointingHandCursor);
    lbl7->setStyleSheet(QStringLiteral("color: #c00000;"));
    lbl7->installEventFilter(this);

    auto* donation = new QFrame(this);
    donation->setFrameShape(QFrame::Box);
    pnl6 = Place(donation, "pnl6", (kClientWidth - 452) / 2, 60, 452, 300);
    pnl6->setAutoFillBackground(true);
    img1 = Place(new QLabel(pnl6), "img1", 0, 0, 452, 300);
    img1->setPixmap(QPixmap(QStringLiteral(":/bl/donate.jpg")));
    img1->setScaledContents(true);
    img1->setToolTip(Tr("点击二维码关闭捐助窗口"));
    img1->setCursor(Qt::PointingHandCursor);
    img1->installEventFilter(this);
    lbl9 = Place(new QLabel(Tr("捐助是自愿的，表示对本工具的支持；在捐助前需要知道软件可能不会一直更新。"), pnl6),
                 "lbl9", 0, 300 - 40, 452, 40);
    lbl9->setWordWrap(true);
    lbl9->setAlignment(Qt::AlignCenter);
    pnl6->hide();

    pnl3->raise();
    pnl8->raise();
    pnl6->raise();
}

void TForm1::BuildMenus() {
    pm1 = MakeMenu(this, "pm1");
    N1 = AddMenuItem(pm1, "N1", "下载选中的视频");
    N2 = AddMenuItem(pm1, "N2", "下载全部视频");
    N9 = AddMenuItem(pm1, "N9", "下载选中视频的弹幕（XML）");
    XML1 = AddMenuItem(pm1, "XML1", "下载全部视频的弹幕（XML）");

    pm2 = MakeMenu(this, "pm2");
    N3 = AddMenuItem(pm2, "N3", "开始");
    N4 = AddMenuItem(pm2, "N4", "暂停");
    N5 = AddMenuItem(pm2, "N5", "全部开始");
    N6 = AddMenuItem(pm2, "N6", "全部暂停");
    N7 = AddMenuItem(pm2, "N7", "删除");
    N8 = AddMenuItem(pm2, "N8", "全部清空");

    pm3 = MakeMenu(this, "pm3");
    N11 = AddMenuItem(pm3, "N11", "清空列表");
}

void TForm1::ConnectHandlers() {
    connect(btn1, &QPushButton::clicked, this, &TForm1::btn1Click);
    connect(btn2, &QPushButton::clicked, this, &TForm1::btn2Click);
    connect(btn3, &QPushButton::clicked, this, &TForm1::btn3Click);
    connect(btn4, &QPushButton::clicked, this, &TForm1::btn4Click);
    connect(btn5, &QPushButton::clicked, this, &TForm1::btn5Click);
    edt1->installEventFilter(this);
    connect(chk3, &QCheckBox::toggled, this, &TForm1::chk3Click);
    connect(cbb1, &QComboBox::currentIndexChanged, this, &TForm1::cbb1Change);
    connect(cbb2, &QComboBox::currentIndexChanged, this, &TForm1::cbb2Change);
    connect(cbb3, &QComboBox::currentIndexChanged, this, &TForm1::cbb3Change);
    connect(tmr1, &QTimer::timeout, this, &TForm1::tmr1Timer);
    // tmr2 is the merge queue's own tick (SetUpMerging).
    connect(tmr3, &QTimer::timeout, this, &TForm1::tmr3Timer);
    connect(lv1, &QTreeWidget::itemDoubleClicked, this, &TForm1::lv1DblClick);
    connect(lv3->model(), &QAbstractItemModel::rowsInserted, this, &TForm1::lv3Insert);
    connect(lv5->model(), &QAbstractItemModel::rowsInserted, this, &TForm1::lv3Insert);

    const std::pair<QTreeWidget*, QMenu*> popups[] = {{lv2, pm1}, {lv1, pm2}, {lv5, pm3}};
    for (const auto& [list, menu] : popups) {
        // Copied by init-capture: clang before 16 cannot capture a structured binding.
        connect(list, &QWidget::customContextMenuRequested, menu,
                [list = list, menu = menu](const QPoint& APos) { menu->popup(list->viewport()->mapToGlobal(APos)); });
    }
    const std::pair<QAction*, void (TForm1::*)()> items[] = {
        {N1, &TForm1::N1Click}, {N2, &TForm1::N2Click}, {N9, &TForm1::N9Click},   {XML1, &TForm1::XML1Click},
        {N3, &TForm1::N3Click}, {N4, &TForm1::N4Click}, {N5, &TForm1::N5Click},   {N6, &TForm1::N6Click},
        {N7, &TForm1::N7Click}, {N8, &TForm1::N8Click}, {N11, &TForm1::N11Click},
    };
    for (const auto& [action, handler] : items) connect(action, &QAction::triggered, this, handler);
}

bool TForm1::eventFilter(QObject* AWatched, QEvent* AEvent) {
    if (AWatched == edt1 && AEvent->type() == QEvent::MouseButtonPress) {
        edt1MouseDown(static_cast<QMouseEvent*>(AEvent)->button());
    } else if (AEvent->type() == QEvent::MouseButtonRelease &&
               static_cast<QMouseEvent*>(AEvent)->button() == Qt::LeftButton) {
        if (AWatched == lbl7) lbl7Click();
        if (AWatched == img1) img1Click();
    } else if (AWatched == ts1 && AEvent->type() == QEvent::Resize) {
        edt3->move(2, ts1->height() - edt3->height() - 2);
        edt3->raise();
    }
    return QWidget::eventFilter(AWatched, AEvent);
}

// --- Message boxes and the folder dialog ---------------------------------

QMessageBox::StandardButton TForm1::ShowMessageBox(const QString& AText, const QString& ACaption,
                                                   QMessageBox::StandardButtons AButtons) {
    QMessageBox box(AButtons == QMessageBox::Ok ? QMessageBox::Information : QMessageBox::Question, ACaption, AText,
                    AButtons, this);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

void TForm1::ShowMessage(const char* AText) { ShowMessageBox(Tr(AText), Tr(kProductTitle), QMessageBox::Ok); }

QString TForm1::SelectFolder(const QString& AInitialFolder) { return ChooseFolder(this, AInitialFolder); }

// --- Start-up and close ---------------------------------------------------

void TForm1::FormCreate() {
    // A program that can write its own folder keeps the tool and the videos
    // there; an installed one uses the packaged tool or the data folder, and
    // saves into the user's download folder.
    const TStartFolders folders = ResolveStartFolders(FolderRules);
    SaveFolder = folders.SaveFolder;
    edt2->setText(SaveFolder);
    clMdloader1.SetMaxStartedItems(cbb1->currentText().toInt());

    FJoinerFolder = folders.JoinerFolder;
    FMerge->SetJoinerProgram(FJoinerFolder + QStringLiteral("RuvErov.exe"));
    if (!folders.JoinerReady) {
        chk3->setChecked(false);
        ShowMessage(kJoinerReleaseFailed);
    }
}

bool TForm1::FormCloseQuery() {
    if (VideoDownloadsBusy()) {
        const QString question = Tr(kCloseQuestion) + QStringLiteral("\r\n") + Tr(kCloseNote);
        if (ShowMessageBox(question, Tr(kCloseCaption), QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes) {
            return false;
        }
        StopAndWait(clMdloader1);
    }
    Closing = true;
    TerminateJoinerProcesses();
    FMerge->WaitForJoiner();
    DeleteUnfinishedSegments();
    btn3Click();
    return true;
}

void TForm1::closeEvent(QCloseEvent* AEvent) {
    if (FormCloseQuery()) {
        AEvent->accept();
    } else {
        AEvent->ignore();
    }
}

bool TForm1::VideoDownloadsBusy() const { return FVideos.IsBusy(); }

// --- Small handlers -------------------------------------------------------

void TForm1::btn2Click() {
    const QString folder = SelectFolder(SaveFolder);
    if (folder.isEmpty()) return;
    SaveFolder = folder;
    edt2->setText(SaveFolder);
}

void TForm1::edt1MouseDown(Qt::MouseButton AButton) {
    // The context menu follows, so a new address can be pasted over the old one.
    if (AButton == Qt::RightButton) edt1->selectAll();
}

void TForm1::chk3Click() {
    if (chk3->isChecked() && !JoinerFilesPresent(FJoinerFolder)) {
        chk3->setChecked(false);
        ShowMessage(kJoinerMissing);
    }
}

void TForm1::lbl7Click() {
    pnl6->move((width() - pnl6->width()) / 2, pnl6->y());
    pnl6->setVisible(pnl6->isHidden());
    pnl6->raise();
}

void TForm1::img1Click() { pnl6->hide(); }

void TForm1::N11Click() { lv5->clear(); }

// --- Page resolution ------------------------------------------------------

void TForm1::btn1Click() {
    lv2->clear();
    if (!edt3->isHidden()) edt3->hide();

    const QString address = edt1->text();
    if (const char* refusal = ResolveMessage(CheckPageAddress(address))) {
        ShowMessage(refusal);
        return;
    }
    SetParseControlsEnabled(false);
    ParseState = psNone;
    const TResolveResult result = FParts->Resolve(address, QualityCode(cbb4->currentIndex()));
    ParseState = FParts->State();
    // A resolved page enables the controls again when its play-address
    // requests have ended (OnRequestsDone).
    if (result != TResolveResult::Resolved) {
        ShowMessage(ResolveMessage(result));
        SetParseControlsEnabled(true);
    }
}

void TForm1::SetUpParts() {
    FParts = std::make_unique<TPartList>(clhtp1, clMdloader2, clhtprqst1);
    FParts->OnPartAdded = [this](int AIndex) {
        // Caption, name, cid, then URL list, quality and segment count, filled
        // by the play-address requests.
        new QTreeWidgetItem(lv2, {QString(), QString(), QString(), QString(), QString(), QString()});
        ShowPart(AIndex);
        ProcessMessages();
    };
    FParts->OnPartChanged = [this](int AIndex) { ShowPart(AIndex); };
    FParts->OnRequestsDone = [this] { SetParseControlsEnabled(true); };
}

void TForm1::ShowPart(int AIndex) {
    QTreeWidgetItem* row = lv2->topLevelItem(AIndex);
    if (!row) return;
    const TPart& part = FParts->Part(AIndex);
    row->setText(0, part.Caption);
    row->setText(1, part.Name);
    row->setText(2, part.Cid);
    row->setText(3, part.Addresses);
    row->setText(4, part.Quality);
    row->setText(5, part.Count > 0 ? QString::number(part.Count) : QString());
}

void TForm1::SetParseControlsEnabled(bool AEnabled) {
    btn1->setEnabled(AEnabled);
    lv2->setEnabled(AEnabled);
}
