#include "views/main/CalendarViewController.h"

#include "views/main/Appearance.h"
#include "views/main/CalendarView.h"
#include "views/main/SystemSymbol.h"
#include "views/main/ToolbarHost.h"
#include "views/main/ToolbarItemIdentifier.h"

#include <QAction>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>

namespace velmora {

CalendarViewController::CalendarViewController(CalendarViewModel* viewModel,
                                               std::chrono::milliseconds debounce, QWidget* parent)
    : QWidget(parent), m_viewModel(viewModel) {
    Q_ASSERT(viewModel);
    viewModel->setParent(this);
    setObjectName(QStringLiteral("CalendarView"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_calendar = new CalendarView(*viewModel, debounce, this);
    layout->addWidget(m_calendar);
    connect(viewModel, &CalendarViewModel::dateChanged, this, &CalendarViewController::scheduleTitleUpdate);
    connect(viewModel, &CalendarViewModel::calendarModeChanged, this,
            &CalendarViewController::scheduleTitleUpdate);
    scheduleTitleUpdate();
}

std::optional<int> CalendarViewController::step(std::optional<CalendarMode> mode) {
    if (!mode) {
        return std::nullopt;
    }
    switch (*mode) {
    case CalendarMode::threeDays:
        return 2;
    case CalendarMode::fiveDays:
        return 5;
    case CalendarMode::sevenDays:
        return 7;
    }
    return std::nullopt;
}

void CalendarViewController::toolbarPreviousDay() {
    if (m_viewModel) {
        if (auto days = step(m_viewModel->calendarMode())) {
            m_viewModel->move(-*days);
        }
    }
}

void CalendarViewController::toolbarUpcomingDay() {
    if (m_viewModel) {
        if (auto days = step(m_viewModel->calendarMode())) {
            m_viewModel->move(*days);
        }
    }
}

void CalendarViewController::scheduleTitleUpdate() {
    // A turn later, so the values read are the ones stored by then.
    QTimer::singleShot(0, this, &CalendarViewController::updateTitle);
}

void CalendarViewController::updateTitle() {
    if (auto* host = ToolbarHost::of(this); host && m_viewModel) {
        host->setTitleAndSubtitle(title, m_viewModel->title());
    }
}

void CalendarViewController::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // The pane was not in the window when it was made.
    scheduleTitleUpdate();
}

QStringList CalendarViewController::toolbarDefaultItemIdentifiers() {
    return {ToolbarItemIdentifier::previousDay, ToolbarItemIdentifier::upcomingDay};
}

void CalendarViewController::addToolbarItem(QToolBar& toolbar, const QString& identifier) {
    const bool previous = identifier == ToolbarItemIdentifier::previousDay;
    if (!previous && identifier != ToolbarItemIdentifier::upcomingDay) {
        return;
    }
    QAction* action =
        toolbar.addAction(SystemSymbol::icon(previous ? SystemSymbol::Name::chevronBackwardCircle
                                                      : SystemSymbol::Name::chevronForwardCircle,
                                             Appearance::secondary(palette()), QSize(20, 20)),
                          QString());
    action->setObjectName(identifier);
    QPointer<CalendarViewController> self(this);
    connect(action, &QAction::triggered, this, [self, previous] {
        if (self) {
            previous ? self->toolbarPreviousDay() : self->toolbarUpcomingDay();
        }
    });
}

} // namespace velmora
