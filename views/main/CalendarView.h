#pragma once

#include "core/model/DebouncedState.h"
#include "platform/async/Cancellable.h"
#include "state/CalendarMode.h"
#include "state/CalendarViewModel.h"

#include <QMessageBox>
#include <QPointer>
#include <QWidget>

#include <chrono>
#include <optional>

class QStackedLayout;

namespace velmora {

class ActivityIndicator;
class CalendarDaysView;
class LoadFailureView;

// The calendar: seven, five or three day columns, as many as fit the width that shows
// in its window (170 px a day; three when even those do not fit, narrower then), with a spinner in their
// place while entries load. A new fit is handed to the calendar state only once it has held for the debounce
// delay, so dragging a window edge reloads once. It also carries out the deletion a day column announced
// ("WorklogDeleted"), and tells the user when the tracker refused it. A load that failed is said above the
// columns, with one "Try Again"; the columns whose entries are unknown say so instead of showing none.
class CalendarView : public QWidget {
    Q_OBJECT

public:
    using CalendarMode = velmora::CalendarMode;
    static constexpr std::chrono::milliseconds debounceDelay{300};

    explicit CalendarView(CalendarViewModel& viewModel, std::chrono::milliseconds delay = debounceDelay,
                          QWidget* parent = nullptr);
    ~CalendarView() override;

    // The mode whose strip fits `width`.
    static CalendarMode modeForWidth(int width);

    // The mode of the strip shown now (chosen, maybe not yet debounced).
    std::optional<CalendarMode> shownMode() const { return m_calendarMode.currentValue(); }
    const DebouncedState<std::optional<CalendarMode>>& calendarMode() const { return m_calendarMode; }
    CalendarDaysView* daysView() const { return m_days; }
    ActivityIndicator* progressIndicator() const { return m_progress; }
    // Whether the strip (and not the spinner) shows.
    bool showsDays() const;
    QMessageBox* alert() const { return m_alert; }
    // Shown while the last load failed.
    LoadFailureView* failureBanner() const { return m_failureBanner; }

    // How much of the calendar's width shows in its window: all of it, but where the window is
    // smaller than its least size (more than a small screen at a large scale).
    int shownWidth() const;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void fit();
    void selectMode(CalendarMode mode);
    void applyMode(std::optional<CalendarMode> mode);
    void refresh();
    void showLoading();
    void deleteFailed(const APIError& error);
    void showLoadError();

    QPointer<CalendarViewModel> m_viewModel;
    DebouncedState<std::optional<CalendarMode>> m_calendarMode;
    QStackedLayout* m_stack = nullptr;
    ActivityIndicator* m_progress = nullptr;
    CalendarDaysView* m_days = nullptr;
    LoadFailureView* m_failureBanner = nullptr;
    QPointer<QMessageBox> m_alert;
    Cancellable m_debounced;
    Cancellable m_deletions;
};

} // namespace velmora
