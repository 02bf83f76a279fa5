#include "views/main/CalendarEntryCard.h"

#include "platform/richtext/OutsideTextDocument.h"
#include "views/main/Appearance.h"
#include "views/main/CalendarEntryModel.h"

#include <QAbstractTextDocumentLayout>
#include <QPainter>
#include <QTextDocument>

namespace velmora {

const QTextDocument& CalendarEntryCard::description(const QString& html, const QFont& font,
                                                    qreal width) const {
    const QString key = QString::number(width) + u'\n' + font.key() + u'\n' + html;
    if (QTextDocument* kept = m_descriptions.object(key)) {
        return *kept;
    }
    // Bounded, with nothing in it loaded from anywhere.
    auto* document = new OutsideTextDocument;
    document->setDefaultFont(font);
    document->setDocumentMargin(0);
    document->setOutsideHtml(html);
    document->setTextWidth(width);
    document->documentLayout()->documentSize();
    m_descriptions.insert(key, document);
    return *document;
}

QSize CalendarEntryCard::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const QFontMetrics metrics(option.font);
    int height = padding + metrics.height() + padding;
    const QVariant description = index.data(CalendarEntryModel::DescriptionRole);
    if (description.isValid()) {
        // The width paint() lays it out in, inside the outline's half-pixel inset, so
        // that both find the same layout.
        const QTextDocument& document =
            this->description(description.toString(), option.font, option.rect.width() - 1 - 2 * padding);
        height += padding + static_cast<int>(std::ceil(document.size().height()));
    }
    // The space under each card belongs to it.
    return QSize(option.rect.width(), height + spacing);
}

void CalendarEntryCard::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    const QRectF card = QRectF(option.rect).adjusted(0.5, 0.5, -0.5, -0.5 - spacing);
    painter->setPen(QPen(Appearance::quaternary(option.palette).darker(110), 1));
    painter->setBrush(Appearance::withOpacity(QColor(Qt::black), 0.01));
    painter->drawRoundedRect(card, cornerRadius, cornerRadius);
    if (option.state & QStyle::State_HasFocus) {
        // The entry the keyboard is on (the arrows move between the cards).
        painter->setPen(QPen(Appearance::accent(option.palette), 2));
        painter->setBrush(Qt::NoBrush);
        painter->drawRoundedRect(card.adjusted(0.5, 0.5, -0.5, -0.5), cornerRadius, cornerRadius);
    }

    const QRectF inner = card.adjusted(padding, padding, -padding, -padding);
    const QFontMetrics metrics(option.font);
    const QRectF titleRow(inner.left(), inner.top(), inner.width(), metrics.height());
    painter->setPen(Appearance::primary(option.palette));
    painter->setFont(option.font);
    const QString spent = index.data(CalendarEntryModel::SpentTimeRole).toString();
    const int spentWidth = metrics.horizontalAdvance(spent);
    painter->drawText(titleRow, Qt::AlignRight | Qt::AlignVCenter, spent);
    const QString label = index.data(CalendarEntryModel::TaskLabelRole).toString();
    painter->drawText(
        titleRow.adjusted(0, 0, -spentWidth - 6, 0), Qt::AlignLeft | Qt::AlignVCenter,
        metrics.elidedText(label, Qt::ElideRight, static_cast<int>(titleRow.width()) - spentWidth - 6));

    const QVariant description = index.data(CalendarEntryModel::DescriptionRole);
    if (description.isValid()) {
        const QTextDocument& document = this->description(description.toString(), option.font, inner.width());
        painter->translate(inner.left(), titleRow.bottom() + padding);
        QAbstractTextDocumentLayout::PaintContext context;
        context.palette = option.palette;
        context.palette.setColor(QPalette::Text, Appearance::primary(option.palette));
        document.documentLayout()->draw(painter, context);
    }
    painter->restore();
}

} // namespace velmora
