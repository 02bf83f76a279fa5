#include "views/main/CalendarDaysView.h"

#include "views/main/Appearance.h"
#include "views/main/BandedFill.h"
#include "views/main/CalendarDayView.h"

#include "views/main/CalendarEntryCard.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLayout>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTimer>

namespace velmora {

namespace {

// The hairline between two days, as tall as the longest of them: drawn where it shows, in bands
// (see fillInBands), not as a line Qt's raster engine fills with its threads.
class DayDivider : public QFrame {
public:
    explicit DayDivider(QWidget* parent) : QFrame(parent) {
        setFrameShape(QFrame::VLine);
        setFrameShadow(QFrame::Plain);
    }

protected:
    void paintEvent(QPaintEvent* event) override {
        QPainter painter(this);
        const QRect shown = event->rect();
        fillInBands(painter, QRect(width() / 2, shown.top(), 1, shown.height()),
                    palette().color(QPalette::WindowText));
    }
};

} // namespace

CalendarDaysView::CalendarDaysView(QWidget* parent)
    : QScrollArea(parent), m_budget(std::make_shared<CardBudget>()) {
    setWidgetResizable(true);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    // The keyboard goes to the days' cards, which show their ring and bring themselves into view;
    // the area itself draws no ring, and a stop of its own would leave the focus out of sight.
    setFocusPolicy(Qt::NoFocus);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this] {
        refill(scrollCost, stripLoading / 4);
        layOutWhatShows();
    });
}

void CalendarDaysView::refill(qint64 cost, qint64 loading) {
    m_left = std::max(m_left, cost);
    m_budget->loading = std::max(m_budget->loading, loading);
    m_looks = 0;
}

void CalendarDaysView::resizeEvent(QResizeEvent* event) {
    QScrollArea::resizeEvent(event);
    // What the columns share is the viewport's width: the scroll bar a tall strip shows once its
    // cards are laid out narrows it, and the cards laid out at the wider one are laid out anew.
    if (viewport()->width() != m_width) {
        // A new width lays the cards out anew.
        m_width = viewport()->width();
        m_left = 0;
        m_budget->loading = 0;
        refill(stripCost, stripLoading);
    }
    layOutWhatShows();
}

void CalendarDaysView::showEvent(QShowEvent* event) {
    QScrollArea::showEvent(event);
    layOutWhatShows();
}

void CalendarDaysView::layOutWhatShows() {
    constexpr int mostLooks = 12;
    QWidget* row = widget();
    if (!row || !isVisible() || m_looks >= mostLooks) {
        return;
    }
    ++m_looks;
    if (row->layout()) {
        row->layout()->activate();
    }
    const QRect shown(0, verticalScrollBar()->value(), row->width(), viewport()->height());
    const std::vector<CalendarDayView*> days = columns();
    bool any = false;
    for (std::size_t i = 0; i < days.size(); ++i) {
        CalendarDayView* day = days[i];
        // Each column takes its share of what is left, and leaves what it does not spend.
        const qint64 share = m_left / static_cast<qint64>(days.size() - i);
        m_budget->left = share;
        any = day->layOutCardsIn(shown.translated(-day->geometry().topLeft())) || any;
        m_left -= share - std::max<qint64>(m_budget->left, 0);
    }
    m_budget->left = 0;
    if (any && !m_lookPending) {
        // The cards laid out change their columns' heights: what shows then is looked at again
        // once the strip's geometry follows.
        m_lookPending = true;
        QTimer::singleShot(0, this, [this] {
            m_lookPending = false;
            layOutWhatShows();
        });
    }
}

int CalendarDaysView::idealWidth(std::size_t dayCount) {
    return static_cast<int>(dayCount) * CalendarDayView::columnWidth;
}

void CalendarDaysView::setDays(std::vector<CalendarDay> days) {
    m_days = std::move(days);
    auto* row = new QWidget;
    row->setObjectName(QStringLiteral("CalendarDaysRow"));
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(10, 0, 10, 0);
    for (std::size_t i = 0; i < m_days.size(); ++i) {
        if (i > 0) {
            auto* divider = new DayDivider(row);
            divider->setObjectName(QStringLiteral("CalendarDivider"));
            // A hairline, not a bar.
            QPalette colors = divider->palette();
            colors.setColor(QPalette::WindowText, Appearance::quaternary(colors));
            divider->setPalette(colors);
            layout->addWidget(divider);
        }
        auto* day = new CalendarDayView(m_days[i], row, m_budget);
        // The card the keyboard is on shows: the strip scrolls to it.
        connect(day, &CalendarDayView::cardFocused, this, [this, day] {
            const QRect card = day->focusedCard();
            if (!card.isNull()) {
                ensureVisible(day->x() + card.center().x(), day->y() + card.center().y(), card.width() / 2,
                              card.height() / 2 + 8);
            }
        });
        layout->addWidget(day, 1);
    }
    // The old row may be what is calling (a column announcing a deletion): it goes later.
    if (QWidget* old = takeWidget()) {
        old->hide();
        old->deleteLater();
    }
    setWidget(row);
    // A new strip lays out what it shows anew.
    m_left = 0;
    m_budget->loading = 0;
    refill(stripCost, stripLoading);
    layOutWhatShows();
}

std::vector<CalendarDayView*> CalendarDaysView::columns() const {
    std::vector<CalendarDayView*> found;
    if (widget()) {
        for (auto* column : widget()->findChildren<CalendarDayView*>(QString(), Qt::FindDirectChildrenOnly)) {
            found.push_back(column);
        }
    }
    return found;
}

int CalendarDaysView::dividerCount() const {
    return widget() ? static_cast<int>(widget()
                                           ->findChildren<QFrame*>(QStringLiteral("CalendarDivider"),
                                                                   Qt::FindDirectChildrenOnly)
                                           .size())
                    : 0;
}

} // namespace velmora
