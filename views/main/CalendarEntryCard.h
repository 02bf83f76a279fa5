#pragma once

#include "platform/richtext/OutsideLines.h"

#include <QCache>
#include <QHash>
#include <QSet>
#include <QStyledItemDelegate>
#include <QTextDocument>

#include <memory>

namespace velmora {

// What a screen of cards (a week, a day) may spend laying their descriptions out, shared by the
// cards it lays out: each card's description may cost a little, and some take more from what is
// left. Laid out as a whole this way, a week of emoji descriptions costs what one view may.
struct CardBudget {
    // What every description may cost, however many cards share the screen: a couple of pictures
    // of a colour emoji font, five hundred Latin letters.
    static constexpr qint64 least = 500;
    // What the cards laid out next may take besides, in all, and each at most.
    qint64 left = 0;
    static constexpr qint64 eachAtMost = 96000;
    // What finding and loading fonts may cost, for the cards laid out next in all.
    qint64 loading = 0;
};

// Paints one work entry of a calendar day as a card: the task's key (or name) and the
// booked time on one line, the description (HTML, as text) under it when there is
// one, inside a thin rounded outline.
//
// Alone, a card lays its description out when asked for its size. Given a screen's budget (see
// setBudget), it lays out only the cards it is told its screen shows (want), within what the
// budget has left, and says how tall the others will be from their text until then: the calendar
// lays out the cards it shows, not all the ones a week holds.
class CalendarEntryCard : public QStyledItemDelegate {
    Q_OBJECT

public:
    static constexpr int padding = 5;
    static constexpr qreal cornerRadius = 3;
    // Room between two cards.
    static constexpr int spacing = 20;
    // What the descriptions kept may have cost to lay out, in all: a day's cards are kept while
    // they fit, however many there are, so scrolling lays nothing out again.
    static constexpr int keptCost = 4000000;
    // What laying the description of a card alone out, and finding and loading its fonts, may
    // cost: a card is held to half what a view is, and draws what it shows at first sight too.
    static constexpr qint64 aloneCost = 40000;
    static constexpr qint64 aloneLoading = 32000;

    explicit CalendarEntryCard(QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // The budget of the screen the card is on; null (as alone) lays each description out when
    // its size is asked for, within aloneCost.
    void setBudget(std::shared_ptr<CardBudget> budget) { m_budget = std::move(budget); }
    // With a budget: lays the description of `index` out at the next check of its size, within
    // what the budget has left then (the screen shows the card).
    void want(const QModelIndex& index) const;
    // Whether the description of `index` is not laid out yet at the width its size was last asked
    // for.
    bool waits(const QModelIndex& index) const;

private:
    // The description laid out at `width` in `font` within `cost` (and `loading` for its fonts),
    // kept for the size checks and paints that follow: a calendar asks for each card's size and
    // paints it many times, and laying the description out is what costs. Null when not laid out
    // and `cost` is zero.
    // `kept` is its key (see key).
    const QTextDocument* description(const QString& kept, const QString& html, const QFont& font, qreal width,
                                     qint64 cost = 0, qint64 loading = 0) const;
    // The key of a description laid out at `width` in `font`. A strip asks each card's size some
    // ten times a page it scrolls, so the font's own key, which Qt writes out anew each time, is
    // kept for the last font asked about.
    QString key(const QString& html, const QFont& font, qreal width) const;
    static qreal descriptionWidth(const QStyleOptionViewItem& option);

    // The descriptions laid out, by width, font and HTML, while what they cost fits keptCost.
    mutable QCache<QString, QTextDocument> m_descriptions{keptCost};
    // The task labels, laid out once for their width.
    mutable OutsideLines m_labels{128};
    std::shared_ptr<CardBudget> m_budget;
    // With a budget: by row, the key of its description at the width its size was last asked for,
    // and the rows to lay out at the next check of their size.
    mutable QHash<int, QString> m_asked;
    mutable QSet<int> m_wanted;
    mutable QFont m_keyFont;
    mutable QString m_fontKey;
};

} // namespace velmora
