#pragma once

#include "state/CalendarDay.h"

#include <QScrollArea>

#include <vector>

namespace velmora {

class CalendarDayView;

// The days of one calendar mode as columns side by side, with a thin rule between two
// columns, in a vertically scrolling area; each column reaches over the whole visible
// height. Its ideal width is 170 px a day.
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

private:
    std::vector<CalendarDay> m_days;
};

} // namespace velmora
