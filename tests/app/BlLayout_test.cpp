// The window's vocabulary as a user meets it: captions, columns, defaults,
// menus and hints, found by their names as a later handler would find them.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMouseEvent>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>

#include "ProgressDelegate.h"
#include "TestForm.h"

namespace {

class Layout : public ::testing::Test {
protected:
    QTemporaryDir FDir;
    TTestForm FForm{FolderOf(FDir)};

    template <class T>
    T* Find(const char* AName) {
        T* child = FForm.findChild<T*>(QString::fromLatin1(AName));
        EXPECT_NE(child, nullptr) << AName;
        return child;
    }
    QString Caption(const char* AName) {
        if (auto* button = FForm.findChild<QAbstractButton*>(QString::fromLatin1(AName))) return button->text();
        if (auto* label = FForm.findChild<QLabel*>(QString::fromLatin1(AName))) return label->text();
        if (auto* group = FForm.findChild<QGroupBox*>(QString::fromLatin1(AName))) return group->title();
        ADD_FAILURE() << "no caption for " << AName;
        return QString();
    }
    void ExpectColumns(const char* AList, std::vector<std::pair<QString, int>> AColumns) {
        auto* list = Find<QTreeWidget>(AList);
        ASSERT_NE(list, nullptr);
        ASSERT_EQ(list->columnCount(), static_cast<int>(AColumns.size())) << AList;
        for (int i = 0; i < list->columnCount(); ++i) {
            EXPECT_EQ(list->headerItem()->text(i), AColumns[i].first) << AList << " column " << i;
            EXPECT_EQ(list->columnWidth(i), AColumns[i].second) << AList << " column " << i;
        }
    }
    QStringList Items(const char* ABox) {
        QStringList items;
        auto* box = Find<QComboBox>(ABox);
        for (int i = 0; box && i < box->count(); ++i) items << box->itemText(i);
        return items;
    }
    std::vector<std::pair<QString, QString>> MenuItems(const char* AMenu) {
        std::vector<std::pair<QString, QString>> items;
        for (QAction* action : Find<QMenu>(AMenu)->actions()) items.emplace_back(action->objectName(), action->text());
        return items;
    }
};

TEST_F(Layout, WindowHasItsFixedSizeCaptionAndTabs) {
    EXPECT_EQ(FForm.size(), QSize(594, 452));
    EXPECT_EQ(FForm.minimumSize(), FForm.maximumSize());
    EXPECT_EQ(FForm.windowTitle(), QStringLiteral("FLV视频下载器 v2.6"));
    EXPECT_TRUE(FForm.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(FForm.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(FForm.font().pixelSize(), 11);
    EXPECT_EQ(FForm.font().family(), QStringLiteral("WenQuanYi Micro Hei"));

    auto* pages = Find<QTabWidget>("pgc1");
    ASSERT_EQ(pages->count(), 3);
    EXPECT_EQ(pages->tabText(0), QStringLiteral("〖  解析  flv〗"));
    EXPECT_EQ(pages->tabText(1), QStringLiteral("视频下载管理"));
    EXPECT_EQ(pages->tabText(2), QStringLiteral("XML弹幕下载管理"));
    EXPECT_EQ(pages->widget(0)->objectName(), "ts1");
    EXPECT_EQ(pages->widget(1)->objectName(), "ts2");
    EXPECT_EQ(pages->widget(2)->objectName(), "ts3");
}

TEST_F(Layout, EveryControlCarriesItsCaption) {
    const std::pair<const char*, const char*> captions[] = {
        {"lbl1", "视频地址："},
        {"btn1", "解析"},
        {"lbl2", "保存位置："},
        {"btn2", "浏览"},
        {"grp1", "优先解析"},
        {"chk1", "下载时添加序号"},
        {"lbl4", "同时下载的最大任务数："},
        {"lbl5", "每个任务线程数："},
        {"chk3", "分段视频下载后自动合并"},
        {"lbl6", "优先等级："},
        {"pnl5", "正在合并的视频："},
        {"btn4", "全部开始下载"},
        {"btn5", "全部停止下载"},
        {"btn3", "清空下载列表"},
        {"chk2", "受限制后全部停止下载"},
        {"chk4", "同时生成ASS字幕"},
        {"chk5", "合并后转为MP4"},
        {"pnl10", "已经下载完成的XML弹幕："},
        {"lbl7", "捐助"},
        {"lbl8", "连续下载XML弹幕过多时会触发安全风控策略，一但触发官网就拒绝下载弹幕，可以等待10分钟以后再重试！"},
        {"lbl9", "捐助是自愿的，表示对本工具的支持；在捐助前需要知道软件可能不会一直更新。"},
    };
    for (const auto& [name, caption] : captions) EXPECT_EQ(Caption(name), QString::fromUtf8(caption)) << name;

    EXPECT_TRUE(Find<QLineEdit>("edt2")->isReadOnly());
    auto* update = Find<QLineEdit>("edt3");
    EXPECT_TRUE(update->isReadOnly());
    EXPECT_FALSE(update->hasFrame());
    EXPECT_TRUE(update->text().startsWith(QStringLiteral("软件更新地址：")));
    EXPECT_TRUE(update->text().endsWith(QStringLiteral("【请勿商用】")));
    for (const char* name : {"btn4", "btn5", "btn3"}) EXPECT_EQ(Find<QPushButton>(name)->size(), QSize(99, 35));
    EXPECT_EQ(Find<QWidget>("pnl2")->height(), 85);
    EXPECT_EQ(Find<QWidget>("pnl1")->height(), 49);
    EXPECT_EQ(Find<QWidget>("pnl4")->height(), 150);
    EXPECT_EQ(Find<QWidget>("pnl9")->height(), 73);
    EXPECT_EQ(Find<QWidget>("pnl7")->height(), 150);
    EXPECT_EQ(Find<QWidget>("pnl3")->size(), QSize(195, 20));
    EXPECT_EQ(Find<QLabel>("lbl3")->width(), 106);
    EXPECT_EQ(Find<QLabel>("DownSpeed")->width(), 75);
}

TEST_F(Layout, EveryCaptionFitsItsControlInTheWindowsFont) {
    // Labels and check boxes by their size hint; buttons by their text, since
    // a style's size hint also asks for a minimum button width.
    for (const char* name : {"lbl1", "lbl2", "lbl4", "lbl5", "lbl6", "lbl7", "chk1", "chk2", "chk3", "chk4", "chk5"}) {
        auto* control = Find<QWidget>(name);
        EXPECT_LE(control->sizeHint().width(), control->width()) << name;
        EXPECT_LE(control->sizeHint().height(), control->height() + 2) << name;
    }
    for (const char* name : {"btn1", "btn2", "btn3", "btn4", "btn5"}) {
        auto* button = Find<QPushButton>(name);
        EXPECT_LE(button->fontMetrics().horizontalAdvance(button->text()) + 12, button->width()) << name;
    }
    for (const char* name : {"lbl8", "lbl9"}) {
        auto* label = Find<QLabel>(name);
        EXPECT_LE(label->heightForWidth(label->width()), label->height()) << name;
    }
}

TEST_F(Layout, ListsHaveTheirColumnsWithHiddenDataColumnsOfWidthZero) {
    ExpectColumns("lv2", {{"№", 35}, {"文件名称", 395}, {"Cid", 0}, {"URL", 0}, {"清晰度", 60}, {"视频个数", 60}});
    ExpectColumns("lv1", {{"≡", 35}, {"文件名称", 275}, {"大小", 80}, {"进度", 80}, {"速度", 80}});
    ExpectColumns("lv3", {{"视频名称", 390}, {"路径", 0}, {"视频个数", 0}, {"状态", 80}});
    ExpectColumns("lv4", {{"№", 35}, {"文件名称", 435}, {"状态", 80}});
    ExpectColumns("lv5", {{"文件名称", 390}, {"保存位置", 160}});

    auto* parts = Find<QTreeWidget>("lv2");
    EXPECT_EQ(parts->selectionMode(), QAbstractItemView::ExtendedSelection);
    EXPECT_EQ(parts->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(parts->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_EQ(Find<QTreeWidget>("lv1")->selectionMode(), QAbstractItemView::ExtendedSelection);

    // A hidden column still holds its data.
    new QTreeWidgetItem(parts, {"1", "name", "12345", "http://a|http://b", "", ""});
    EXPECT_EQ(parts->topLevelItem(0)->text(2), "12345");
    EXPECT_EQ(parts->topLevelItem(0)->text(3), "http://a|http://b");
}

TEST_F(Layout, SettingsStartAtTheirDefaults) {
    EXPECT_EQ(Items("cbb4"), QStringList({"1080p", "720p", "480p", "360p"}));
    EXPECT_EQ(Find<QComboBox>("cbb4")->currentText(), "1080p");
    EXPECT_FALSE(Find<QComboBox>("cbb4")->isEditable());
    EXPECT_EQ(Find<QComboBox>("cbb4")->toolTip(),
              QStringLiteral("先设置后“解析”，解析得到的清晰度不一定和设置一样，要看视频有没有这个分辨率。"));
    EXPECT_EQ(Items("cbb1"), QStringList({"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "15", "20"}));
    EXPECT_EQ(Find<QComboBox>("cbb1")->currentText(), "3");
    EXPECT_EQ(Find<QComboBox>("cbb1")->maxVisibleItems(), 10);
    EXPECT_EQ(Items("cbb2"), QStringList({"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}));
    EXPECT_EQ(Find<QComboBox>("cbb2")->currentText(), "5");
    ASSERT_EQ(Items("cbb3").size(), 3);
    EXPECT_EQ(Find<QComboBox>("cbb3")->currentIndex(), 1);
    EXPECT_EQ(Find<QComboBox>("cbb3")->currentText(), QStringLiteral("正常（下载线程在系统中由系统正常调度）"));
    // The priority setting sits beyond the right edge of its panel.
    EXPECT_EQ(Find<QLabel>("lbl6")->x(), 620);
    EXPECT_EQ(Find<QComboBox>("cbb3")->x(), 678);
    for (const char* box : {"chk1", "chk3", "chk2"}) EXPECT_TRUE(Find<QCheckBox>(box)->isChecked()) << box;
    EXPECT_FALSE(Find<QCheckBox>("chk4")->isChecked());
    EXPECT_FALSE(Find<QCheckBox>("chk5")->isChecked());

    EXPECT_EQ(FForm.ParseState, 0);
    EXPECT_FALSE(FForm.Closing);
    for (const char* timer : {"tmr1", "tmr2", "tmr3"}) EXPECT_FALSE(Find<QTimer>(timer)->isActive()) << timer;
    EXPECT_EQ(Find<QTimer>("tmr1")->interval(), 1000);
    EXPECT_EQ(Find<QTimer>("tmr2")->interval(), 1000);
    EXPECT_EQ(Find<QTimer>("tmr3")->interval(), 500);
}

TEST_F(Layout, MenusListTheirItemsInOrder) {
    using TItems = std::vector<std::pair<QString, QString>>;
    EXPECT_EQ(MenuItems("pm1"), (TItems{{"N1", QStringLiteral("下载选中的视频")},
                                        {"N2", QStringLiteral("下载全部视频")},
                                        {"N9", QStringLiteral("下载选中视频的弹幕（XML）")},
                                        {"XML1", QStringLiteral("下载全部视频的弹幕（XML）")}}));
    EXPECT_EQ(MenuItems("pm2"), (TItems{{"N3", QStringLiteral("开始")},
                                        {"N4", QStringLiteral("暂停")},
                                        {"N5", QStringLiteral("全部开始")},
                                        {"N6", QStringLiteral("全部暂停")},
                                        {"N7", QStringLiteral("删除")},
                                        {"N8", QStringLiteral("全部清空")}}));
    EXPECT_EQ(MenuItems("pm3"), (TItems{{"N11", QStringLiteral("清空列表")}}));
    for (const char* menu : {"pm1", "pm2", "pm3"}) EXPECT_EQ(Find<QMenu>(menu)->font().pixelSize(), 11) << menu;
}

TEST_F(Layout, DonationPanelShowsTheDecodedPictureCentredAndHidesOnItsClick) {
    auto* panel = Find<QWidget>("pnl6");
    auto* picture = Find<QLabel>("img1");
    EXPECT_EQ(panel->size(), QSize(452, 300));
    EXPECT_TRUE(panel->isHidden());
    ASSERT_FALSE(picture->pixmap().isNull());  // the JPEG decoded
    EXPECT_EQ(picture->pixmap().size(), QSize(452, 300));
    EXPECT_EQ(picture->toolTip(), QStringLiteral("点击二维码关闭捐助窗口"));

    panel->move(0, panel->y());
    FForm.lbl7Click();
    EXPECT_FALSE(panel->isHidden());
    EXPECT_EQ(panel->x(), (594 - 452) / 2);
    FForm.lbl7Click();
    EXPECT_TRUE(panel->isHidden());
    FForm.lbl7Click();
    FForm.img1Click();
    EXPECT_TRUE(panel->isHidden());
}

TEST_F(Layout, SmallHandlersDoTheirOneThing) {
    auto* address = Find<QLineEdit>("edt1");
    address->setText("https://www.vidsite.example/video/1/");
    FForm.edt1MouseDown(Qt::LeftButton);
    EXPECT_FALSE(address->hasSelectedText());
    // A real right-button press reaches the handler.
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::RightButton, Qt::RightButton,
                      Qt::NoModifier);
    QApplication::sendEvent(address, &press);
    EXPECT_EQ(address->selectedText(), address->text());

    // So does a click on the donation label.
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(2, 2), QPointF(2, 2), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(Find<QLabel>("lbl7"), &release);
    EXPECT_FALSE(Find<QWidget>("pnl6")->isHidden());
    QApplication::sendEvent(Find<QLabel>("img1"), &release);
    EXPECT_TRUE(Find<QWidget>("pnl6")->isHidden());

    auto* finished = Find<QTreeWidget>("lv5");
    new QTreeWidgetItem(finished, {"a.xml", "/tmp/a.xml"});
    EXPECT_TRUE(Find<QTimer>("tmr2")->isActive());  // insertion runs lv3Insert
    Find<QTimer>("tmr2")->stop();
    FForm.N11->trigger();
    EXPECT_EQ(finished->topLevelItemCount(), 0);
}

TEST_F(Layout, StatusLineFollowsTheVideoDownloads) {
    FForm.TickBytes = 123;
    FForm.RunningCount = 4;
    FForm.VideoDownloadsBusyChanged(true);
    EXPECT_TRUE(FForm.tmr1->isActive());
    EXPECT_EQ(FForm.TickBytes, 0);
    EXPECT_EQ(FForm.RunningCount, 0);

    FForm.TickBytes = 512;
    FForm.tmr1Timer();
    EXPECT_EQ(FForm.DownSpeed->text(), "512.00 B/S");
    EXPECT_EQ(FForm.TickBytes, 0);

    new QTreeWidgetItem(FForm.lv1, {QStringLiteral("×"), "a 1-1.flv"});
    new QTreeWidgetItem(FForm.lv1, {QStringLiteral("×"), "a 1-2.flv"});
    FForm.TickBytes = 99;
    FForm.VideoDownloadsBusyChanged(false);
    EXPECT_FALSE(FForm.tmr1->isActive());
    EXPECT_EQ(FForm.TickBytes, 0);
    EXPECT_EQ(FForm.DownSpeed->text(), "");
    EXPECT_EQ(FForm.lbl3->text(), QStringLiteral("剩余：2 个任务"));

    FForm.lv1->clear();
    FForm.VideoDownloadsBusyChanged(false);
    EXPECT_EQ(FForm.lbl3->text(), QStringLiteral("下载结束！"));
}

TEST_F(Layout, TheProgressColumnDrawsABarFilledToTheRowsFraction) {
    FForm.resize(TForm1::kClientWidth, TForm1::kClientHeight);
    FForm.pgc1->setCurrentIndex(1);
    FForm.show();
    auto* row = new QTreeWidgetItem({QString(), "v.flv", "1.00MB", "50.00%", QString()});
    row->setData(3, TProgressDelegate::kProgressRole, 0.5);
    FForm.lv1->addTopLevelItem(row);
    const QRect cell = FForm.lv1->visualItemRect(row).intersected(
        QRect(FForm.lv1->header()->sectionPosition(3), 0, FForm.lv1->columnWidth(3), 10000));
    const QImage image = FForm.lv1->viewport()->grab(cell).toImage();
    // Sampled on the row's lower edge, below the text: filled left, empty right.
    const int y = image.height() - 4;
    EXPECT_NE(image.pixel(image.width() / 4, y), image.pixel(image.width() * 3 / 4, y));
}

}  // namespace
