#include "views/main/CalendarEntryCard.h"

#include "platform/richtext/OutsideHtml.h"
#include "platform/richtext/OutsideTextDocument.h"
#include "views/main/Appearance.h"
#include "views/main/BandedFill.h"
#include "views/main/CalendarEntryModel.h"

#include <QAbstractTextDocumentLayout>
#include <QPainter>
#include <QTextDocument>

#include <algorithm>
#include <cmath>

namespace velmora {

CalendarEntryCard::CalendarEntryCard(QObject* parent) : QStyledItemDelegate(parent) {}

QString CalendarEntryCard::key(const QString& html, const QFont& font, qreal width) const {
    if (m_fontKey.isEmpty() || !(font == m_keyFont) || font.resolveMask() != m_keyFont.resolveMask()) {
        m_keyFont = font;
        m_fontKey = font.key();
    }
    return QString::number(width) + u'\n' + m_fontKey + u'\n' + html;
}

qreal CalendarEntryCard::descriptionWidth(const QStyleOptionViewItem& option) {
    // The width paint() lays it out in, inside the outline's half-pixel inset, so that the size
    // and the paint find the same layout.
    return option.rect.width() - 1 - 2 * padding;
}

const QTextDocument* CalendarEntryCard::description(const QString& kept, const QString& html,
                                                    const QFont& font, qreal width, qint64 cost,
                                                    qint64 loading) const {
    if (QTextDocument* found = m_descriptions.object(kept)) {
        return found;
    }
    if (cost <= 0) {
        return nullptr;
    }
    // Bounded, with nothing in it loaded from anywhere.
    auto* document = new OutsideTextDocument;
    document->setDefaultFont(font);
    document->setDocumentMargin(0);
    OutsideHtmlLimits limits;
    limits.maxShapingCost = cost;
    limits.maxLoadingCost = loading;
    // At its width before it is set, so that it is laid out once.
    document->setTextWidth(width);
    document->setOutsideHtml(html, limits);
    document->documentLayout()->documentSize();
    // Kept by what it cost: a day of many small cards keeps them all, one of a few dear ones those.
    m_descriptions.insert(kept, document,
                          static_cast<int>(std::clamp<qint64>(document->spent(), 1, keptCost)));
    return m_descriptions.object(kept);
}

void CalendarEntryCard::want(const QModelIndex& index) const {
    m_wanted.insert(index.row());
}

bool CalendarEntryCard::waits(const QModelIndex& index) const {
    if (!index.data(CalendarEntryModel::DescriptionRole).isValid()) {
        return false;
    }
    const auto asked = m_asked.constFind(index.row());
    return asked == m_asked.constEnd() || !m_descriptions.contains(*asked);
}

QSize CalendarEntryCard::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const QFontMetrics metrics(option.font);
    int height = padding + metrics.height() + padding;
    const QVariant html = index.data(CalendarEntryModel::DescriptionRole);
    if (html.isValid()) {
        const qreal width = descriptionWidth(option);
        const QString text = html.toString();
        const QString kept = key(text, option.font, width);
        const QTextDocument* document = description(kept, text, option.font, width);
        if (!document && !m_budget && width > 0) {
            document = description(kept, text, option.font, width, aloneCost, aloneLoading);
        }
        if (m_budget) {
            m_asked.insert(index.row(), kept);
            if (!document && m_wanted.remove(index.row()) && width > 0) {
                // Each shown card may cost a little, and some take more from what its screen has left.
                const qint64 more = std::clamp<qint64>(m_budget->left, 0, CardBudget::eachAtMost);
                document = description(kept, text, option.font, width, CardBudget::least + more,
                                       std::max<qint64>(m_budget->loading, 0));
                if (const auto* outside = qobject_cast<const OutsideTextDocument*>(document)) {
                    m_budget->left -= std::max<qint64>(0, outside->spent() - CardBudget::least);
                    m_budget->loading -= outside->loaded();
                }
            }
        }
        int described = 0;
        if (document) {
            described = static_cast<int>(std::ceil(document->size().height()));
        } else {
            // Not laid out yet: as tall as its text, told from its length, would be at this width.
            const qreal characters = std::min<qreal>(text.size(), OutsideHtmlLimits{}.maxText);
            const int lines = static_cast<int>(
                std::ceil(characters * metrics.averageCharWidth() / std::max<qreal>(width, 1)));
            described = std::max(1, lines) * metrics.lineSpacing();
        }
        height += padding + described;
    }
    // The space under each card belongs to it.
    return QSize(option.rect.width(), height + spacing);
}

namespace {

// The outline of `frame` (its outermost pixels) in `line`, rounded by `radius` at its corners,
// and its inside in `body`: its straight sides and its inside as rectangles, and only the corners
// antialiased, each alone (see fillInBands).
void drawCardFrame(QPainter& painter, const QRect& frame, int radius, const QColor& line,
                   const QColor& body) {
    if (frame.width() <= 2 * radius + 2 || frame.height() <= 2 * radius + 2) {
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(line, 1));
        painter.setBrush(body);
        painter.drawRoundedRect(QRectF(frame).adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
        return;
    }
    const int corner = radius + 1;
    const int left = frame.left();
    const int top = frame.top();
    const int right = frame.right();
    const int bottom = frame.bottom();
    // The sides between the corners.
    fillInBands(painter, QRect(left + corner, top, frame.width() - 2 * corner, 1), line);
    fillInBands(painter, QRect(left + corner, bottom, frame.width() - 2 * corner, 1), line);
    fillInBands(painter, QRect(left, top + corner, 1, frame.height() - 2 * corner), line);
    fillInBands(painter, QRect(right, top + corner, 1, frame.height() - 2 * corner), line);
    // The inside: between the corners at the top and the bottom, and whole in between.
    fillInBands(painter, QRect(left + corner, top + 1, frame.width() - 2 * corner, corner - 1), body);
    fillInBands(painter, QRect(left + corner, bottom - corner + 1, frame.width() - 2 * corner, corner - 1),
                body);
    fillInBands(painter, QRect(left + 1, top + corner, frame.width() - 2, frame.height() - 2 * corner), body);
    // The corners, each the corner of the rounded rectangle they belong to.
    for (const QPoint at :
         {QPoint(left, top), QPoint(right - corner + 1, top), QPoint(left, bottom - corner + 1),
          QPoint(right - corner + 1, bottom - corner + 1)}) {
        painter.save();
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(line, 1));
        painter.setBrush(body);
        painter.setClipRect(QRect(at, QSize(corner, corner)), Qt::IntersectClip);
        painter.drawRoundedRect(QRectF(frame).adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
        painter.restore();
    }
}

} // namespace

void CalendarEntryCard::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
    painter->save();
    const QRectF card = QRectF(option.rect).adjusted(0.5, 0.5, -0.5, -0.5 - spacing);
    drawCardFrame(*painter, option.rect.adjusted(0, 0, 0, -spacing), static_cast<int>(cornerRadius),
                  Appearance::quaternary(option.palette).darker(110),
                  Appearance::withOpacity(QColor(Qt::black), 0.01));
    painter->setRenderHint(QPainter::Antialiasing);
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
    // The task's key or name is the tracker's: laid out once for its width, bounded as a name.
    const QString label = index.data(CalendarEntryModel::TaskLabelRole).toString();
    const int labelWidth = std::max(0, static_cast<int>(titleRow.width()) - spentWidth - 6);
    OutsideLines::draw(*painter, *m_labels.line(option.font, label, labelWidth, option.direction),
                       titleRow.adjusted(0, 0, -spentWidth - 6, 0), option.direction);

    const QVariant html = index.data(CalendarEntryModel::DescriptionRole);
    if (html.isValid()) {
        // Laid out before it is painted; one painted before its screen laid it out (a scroll
        // between two turns of the event loop) is laid out with the least a card may cost.
        const QString text = html.toString();
        const QTextDocument* document = description(key(text, option.font, inner.width()), text, option.font,
                                                    inner.width(), m_budget ? CardBudget::least : aloneCost,
                                                    m_budget ? CardBudget::least : aloneLoading);
        if (document) {
            painter->translate(inner.left(), titleRow.bottom() + padding);
            QAbstractTextDocumentLayout::PaintContext context;
            context.palette = option.palette;
            context.palette.setColor(QPalette::Text, Appearance::primary(option.palette));
            context.clip = QRectF(0, 0, inner.width(), inner.bottom() - titleRow.bottom() - padding);
            document->documentLayout()->draw(painter, context);
        }
    }
    painter->restore();
}

} // namespace velmora
