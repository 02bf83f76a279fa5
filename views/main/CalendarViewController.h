#pragma once

#include "state/CalendarViewModel.h"
#include "views/main/ToolbarDelegate.h"

#include <QPointer>
#include <QWidget>

#include <chrono>
#include <optional>

namespace velmora {

class CalendarView;

// The main window's detail pane on the calendar route: it holds the calendar view,
// keeps the window's title ("Calendar") and subtitle (the visible range) up to date,
// and supplies the toolbar's two buttons that move the range back and forth by the
// shown mode's step (2 days of three, so the old last day becomes the first; 5; 7).
class CalendarViewController : public QWidget, public ToolbarDelegate {
    Q_OBJECT

public:
    static inline const QString title = QStringLiteral("Calendar");

    // The view model becomes the controller's child.
    explicit CalendarViewController(CalendarViewModel* viewModel,
                                    std::chrono::milliseconds debounce = std::chrono::milliseconds(300),
                                    QWidget* parent = nullptr);

    CalendarViewModel* viewModel() const { return m_viewModel; }
    CalendarView* calendarView() const { return m_calendar; }

    // The days a toolbar press moves by; none while no mode is known.
    static std::optional<int> step(std::optional<CalendarMode> mode);

    void toolbarPreviousDay();
    void toolbarUpcomingDay();
    // Sets the window's title and subtitle now (it is otherwise done a turn after
    // every change of the date or the mode).
    void updateTitle();

    QStringList toolbarDefaultItemIdentifiers() override;
    void addToolbarItem(QToolBar& toolbar, const QString& identifier) override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void scheduleTitleUpdate();

    QPointer<CalendarViewModel> m_viewModel;
    CalendarView* m_calendar = nullptr;
};

} // namespace velmora
