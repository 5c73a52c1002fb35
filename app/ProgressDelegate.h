// The progress column of the video list: a bar behind the row's own
// progress text, filled to the fraction the row carries in kProgressRole.
#pragma once

#include <QStyledItemDelegate>

class TProgressDelegate : public QStyledItemDelegate {
public:
    // The fraction done, 0 to 1, as a double; rows without it draw no bar.
    static constexpr int kProgressRole = Qt::UserRole + 1;

    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* APainter, const QStyleOptionViewItem& AOption, const QModelIndex& AIndex) const override;
};
