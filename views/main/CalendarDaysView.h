#pragma once

#include "state/CalendarDay.h"

#include <QScrollArea>

#include <memory>
#include <vector>

namespace velmora {

class CalendarDayView;
struct CardBudget;

// The days of one calendar mode as columns side by side, with a thin rule between two
// columns, in a vertically scrolling area; each column reaches over the whole visible
// height. Its ideal width is 170 px a day.
//
// The columns lay out the cards that show, and no others, within one budget for all of them: a new
// strip or width lays out as much as one description view may, shared by the columns, and a scroll
// a page's worth more; a card beyond what the budget leaves shows a little of its description.
// What shows is laid out before the strip is painted, and again once its geometry has settled.
class CalendarDaysView : public QScrollArea {
    Q_OBJECT

public:
    explicit CalendarDaysView(QWidget* parent = nullptr);

    // Builds the columns afresh (a day computed anew is a new column).
    void setDays(std::vector<CalendarDay> days);
    const std::vector<CalendarDay>& days() const { return m_days; }
    std::vector<CalendarDayView*> columns() const;
    int dividerCount() const;

    static int idealWidth(std::size_t dayCount);

    // What a new strip or a new width may spend laying its cards out, and a scroll besides.
    static constexpr qint64 stripCost = 32000;
    static constexpr qint64 scrollCost = 12000;
    static constexpr qint64 stripLoading = 64000;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    // Starts spending `cost` (and `loading`) on the cards that show.
    void refill(qint64 cost, qint64 loading);
    // Lays out the cards that show, as far as the budget goes, and looks again once the strip's
    // geometry follows what they now are.
    void layOutWhatShows();

    std::vector<CalendarDay> m_days;
    std::shared_ptr<CardBudget> m_budget;
    // What the cards laid out since the budget was last refilled may still spend, all columns
    // together, and the looks at what shows since.
    qint64 m_left = 0;
    int m_looks = 0;
    int m_width = -1;
    bool m_lookPending = false;
};

} // namespace velmora
