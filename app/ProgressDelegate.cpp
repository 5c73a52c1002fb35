#include "ProgressDelegate.h"

#include <QApplication>
#include <QPainter>
#include <QStyleOptionProgressBar>
#include <algorithm>

void TProgressDelegate::paint(QPainter* APainter, const QStyleOptionViewItem& AOption,
                              const QModelIndex& AIndex) const {
    const QVariant fraction = AIndex.data(kProgressRole);
    if (!fraction.isValid()) {
        QStyledItemDelegate::paint(APainter, AOption, AIndex);
        return;
    }
    QStyleOptionViewItem item = AOption;
    initStyleOption(&item, AIndex);
    const QString text = item.text;
    QStyle* style = item.widget ? item.widget->style() : QApplication::style();

    // The cell's background and selection first, then the bar, then the text
    // on top of both.
    item.text.clear();
    style->drawControl(QStyle::CE_ItemViewItem, &item, APainter, item.widget);

    QStyleOptionProgressBar bar;
    bar.initFrom(item.widget);
    bar.rect = item.rect.adjusted(2, 2, -2, -2);
    bar.minimum = 0;
    bar.maximum = 1000;
    bar.progress = static_cast<int>(std::clamp(fraction.toDouble(), 0.0, 1.0) * 1000.0);
    bar.textVisible = false;
    bar.state = QStyle::State_Enabled | QStyle::State_Horizontal;
    style->drawControl(QStyle::CE_ProgressBar, &bar, APainter, item.widget);

    const bool selected = item.state & QStyle::State_Selected;
    APainter->save();
    APainter->setFont(item.font);
    APainter->setPen(item.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
    APainter->drawText(item.rect.adjusted(4, 0, -4, 0), static_cast<int>(item.displayAlignment), text);
    APainter->restore();
}
