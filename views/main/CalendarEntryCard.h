#pragma once

#include <QCache>
#include <QStyledItemDelegate>
#include <QTextDocument>

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

private:
    // The description laid out at `width` in `font`, kept for the size checks and
    // paints that follow: a calendar asks for each card's size and paints it many
    // times, and laying the description out is what costs.
    const QTextDocument& description(const QString& html, const QFont& font, qreal width) const;

    // The last few descriptions laid out, by width, font and HTML.
    mutable QCache<QString, QTextDocument> m_descriptions{32};
};

} // namespace velmora
