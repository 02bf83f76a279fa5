#include "views/main/CalendarDaysView.h"

#include "views/main/Appearance.h"
#include "views/main/CalendarDayView.h"

#include <QFrame>
#include <QHBoxLayout>

namespace velmora {

CalendarDaysView::CalendarDaysView(QWidget* parent) : QScrollArea(parent) {
    setWidgetResizable(true);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
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
            auto* divider = new QFrame(row);
            divider->setFrameShape(QFrame::VLine);
            divider->setFrameShadow(QFrame::Plain);
            divider->setObjectName(QStringLiteral("CalendarDivider"));
            // A hairline, not a bar.
            QPalette colors = divider->palette();
            colors.setColor(QPalette::WindowText, Appearance::quaternary(colors));
            divider->setPalette(colors);
            layout->addWidget(divider);
        }
        layout->addWidget(new CalendarDayView(m_days[i], row), 1);
    }
    // The old row may be what is calling (a column announcing a deletion): it goes later.
    if (QWidget* old = takeWidget()) {
        old->hide();
        old->deleteLater();
    }
    setWidget(row);
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
