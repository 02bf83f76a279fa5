#include "views/main/CalendarView.h"

#include "core/model/NotificationNames.h"
#include "platform/notifications/NotificationCenter.h"
#include "views/main/ActivityIndicator.h"
#include "views/main/BookTimeView.h"
#include "views/main/CalendarDaysView.h"
#include "views/main/LoadFailureView.h"
#include "views/main/ReadableAlert.h"

#include <QEvent>
#include <QStackedLayout>
#include <QVBoxLayout>

namespace velmora {

CalendarView::CalendarView(CalendarViewModel& viewModel, std::chrono::milliseconds delay, QWidget* parent)
    : QWidget(parent), m_viewModel(&viewModel), m_calendarMode(std::nullopt, delay) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    m_failureBanner =
        new LoadFailureView(LoadFailureView::Style::banner, tr("Entries couldn't be loaded"), this);
    m_failureBanner->setObjectName(QStringLiteral("CalendarLoadFailure"));
    m_failureBanner->hide();
    connect(m_failureBanner, &LoadFailureView::retryRequested, this, [this] {
        if (m_viewModel) {
            m_viewModel->loadWorkEntries();
        }
    });
    column->addWidget(m_failureBanner);
    m_stack = new QStackedLayout;
    column->addLayout(m_stack, 1);
    auto* spinnerPage = new QWidget(this);
    auto* spinnerLayout = new QStackedLayout(spinnerPage);
    m_progress = new ActivityIndicator(24, spinnerPage);
    spinnerLayout->addWidget(m_progress);
    spinnerLayout->setAlignment(m_progress, Qt::AlignCenter);
    m_days = new CalendarDaysView(this);
    m_stack->addWidget(spinnerPage);
    m_stack->addWidget(m_days);

    QPointer<CalendarView> self(this);
    m_debounced =
        m_calendarMode.debouncedValueChanges().subscribe([self](const std::optional<CalendarMode>& mode) {
            if (self) {
                self->applyMode(mode);
            }
        });
    m_deletions = NotificationCenter::defaultCenter().addObserver(
        QString(NotificationName::worklogDeleted), this, [self](const Notification& notification) {
            // Only the calendar on screen deletes; one left over in a closed window does not.
            if (!self || !self->isVisible() || !self->m_viewModel) {
                return;
            }
            if (const auto* entry = notification.objectAs<WorkEntry>()) {
                self->m_viewModel->deleteWorkEntry(*entry);
            }
        });
    connect(&viewModel, &CalendarViewModel::isLoadingChanged, this, &CalendarView::showLoading);
    connect(&viewModel, &CalendarViewModel::workEntriesChanged, this, &CalendarView::refresh);
    connect(&viewModel, &CalendarViewModel::dateChanged, this, &CalendarView::refresh);
    connect(&viewModel, &CalendarViewModel::workEntryDeleteFailed, this, &CalendarView::deleteFailed);
    connect(&viewModel, &CalendarViewModel::loadErrorChanged, this, [this] {
        showLoadError();
        refresh();
    });
    showLoading();
    showLoadError();
}

CalendarView::~CalendarView() = default;

CalendarView::CalendarMode CalendarView::modeForWidth(int width) {
    if (width >= CalendarDaysView::idealWidth(7)) {
        return CalendarMode::sevenDays;
    }
    if (width >= CalendarDaysView::idealWidth(5)) {
        return CalendarMode::fiveDays;
    }
    return CalendarMode::threeDays;
}

bool CalendarView::showsDays() const {
    return m_stack->currentWidget() == m_days;
}

void CalendarView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    fit();
}

void CalendarView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // What of the calendar shows follows its window's size too.
    window()->removeEventFilter(this);
    window()->installEventFilter(this);
    fit();
}

bool CalendarView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window() && event->type() == QEvent::Resize) {
        fit();
    }
    return QWidget::eventFilter(watched, event);
}

int CalendarView::shownWidth() const {
    // A window smaller than its least size (the main window at scale 2 on a screen of 1366 × 768,
    // held to the screen by the window manager) lays its contents out at that size all the same,
    // past its own edge, where they are never seen.
    const QWidget* top = window();
    if (top == this || !isVisible()) {
        return width();
    }
    const QRect inWindow(mapTo(top, QPoint(0, 0)), size());
    const QRect shown = inWindow.intersected(top->rect());
    return shown.isEmpty() ? width() : shown.width();
}

void CalendarView::fit() {
    // The strip is as wide as what shows of the calendar: the days it names are the days seen,
    // with the scroll bar beside them.
    const int shown = shownWidth();
    m_days->setMaximumWidth(shown < width() ? shown : QWIDGETSIZE_MAX);
    const CalendarMode mode = modeForWidth(shown);
    // A strip "appears" only when the fit changes.
    if (m_calendarMode.currentValue() != mode) {
        selectMode(mode);
    }
}

void CalendarView::selectMode(CalendarMode mode) {
    if (m_viewModel) {
        m_viewModel->setIsLoading(true);
    }
    m_calendarMode.setCurrentValue(mode);
    refresh();
}

void CalendarView::applyMode(std::optional<CalendarMode> mode) {
    if (!m_viewModel || !mode) {
        return;
    }
    if (m_viewModel->calendarMode() == mode) {
        // Back to the mode already loaded within the delay: nothing to load, and the
        // spinner must not stay.
        m_viewModel->setIsLoading(false);
        return;
    }
    m_viewModel->setCalendarMode(mode);
}

void CalendarView::refresh() {
    // While the entries load the spinner stands in for the columns; they are built once
    // loading ends (the window's first frame, which shows the spinner, does not wait
    // for columns it would not show).
    if (!m_viewModel || m_viewModel->isLoading()) {
        return;
    }
    const auto mode = m_calendarMode.currentValue();
    m_days->setDays(mode ? m_viewModel->visibleDays(*mode) : std::vector<CalendarDay>());
}

void CalendarView::showLoading() {
    const bool loading = m_viewModel && m_viewModel->isLoading();
    m_progress->setAnimating(loading);
    m_stack->setCurrentIndex(loading ? 0 : 1);
    if (!loading) {
        // The columns are built anew, so a column whose deletion was confirmed is gone.
        refresh();
    }
}

void CalendarView::showLoadError() {
    const std::optional<APIError> error = m_viewModel ? m_viewModel->loadError() : std::nullopt;
    if (error) {
        m_failureBanner->setError(*error);
    }
    m_failureBanner->setVisible(error.has_value());
}

void CalendarView::deleteFailed(const APIError& error) {
    if (m_alert) {
        return;
    }
    m_alert = new QMessageBox(QMessageBox::Warning, BookTimeView::errorTitle, BookTimeView::errorTitle,
                              QMessageBox::Ok, window());
    if (failureMayBeTheInput(error)) {
        m_alert->setInformativeText(BookTimeView::errorMessage);
    } else {
        m_alert->setWindowTitle(tr("The entry wasn't deleted."));
        m_alert->setText(tr("The entry wasn't deleted."));
        m_alert->setInformativeText(failureExplanation(error));
    }
    m_alert->setAttribute(Qt::WA_DeleteOnClose);
    m_alert->setWindowModality(Qt::WindowModal);
    ReadableAlert::prepare(*m_alert);
    m_alert->open();
}

} // namespace velmora
