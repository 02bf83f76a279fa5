#pragma once

#include <QStyledItemDelegate>

namespace velmora {

// Paints one work entry of a calendar day as a card: the task's key (or name) and the
// booked time on one line, the description (HTML, as text) under it when there is
// one, inside a thin rounded outline.
class CalendarEntryCard : public QStyledItemDelegate {
    Q_OBJECT

public:
    static constexpr int padding = 5;
    static constexpr qreal cornerRadius = 3;
    // Room between two cards.
    static constexpr int spacing = 20;

    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

} // namespace velmora
