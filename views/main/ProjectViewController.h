#pragma once

#include "core/model/Issue.h"
#include "core/model/User.h"
#include "platform/async/Cancellable.h"
#include "state/ProjectViewModel.h"
#include "state/TimerViewModel.h"
#include "views/main/ToolbarDelegate.h"

#include <QPointer>
#include <QWidget>

#include <map>

class QLineEdit;
class QMenu;
class QStackedLayout;
class QWidgetAction;

namespace velmora {

class LoadFailureView;
class ProjectSplitViewController;

// The detail pane of a project route: a spinner while the project loads, the empty
// view when the tracker answered with no tasks, the failure page with "Try Again"
// when a load failed with nothing to show, or the task list beside the task detail
// (with the failure above it when a reload failed). It keeps the
// window's title (the project's name) and subtitle (its number of tasks), and it
// supplies the main window's toolbar: refresh, the state and assignee filters, the
// timer commands for the selected task, and search. The search field is made once and
// kept, with its text and focus, through every rebuild of the toolbar.
class ProjectViewController : public QWidget, public ToolbarDelegate {
    Q_OBJECT

public:
    enum class ViewState { none, loading, noTasks, tasks, failed };
    Q_ENUM(ViewState)

    ProjectViewController(ProjectViewModel& viewModel, TimerViewModel& timer, QWidget* parent = nullptr);
    ~ProjectViewController() override;

    ProjectViewModel& viewModel() const { return *m_viewModel; }
    ViewState currentView() const { return m_currentView; }
    // The child shown now (spinner, empty view, failure page or split).
    QWidget* currentChild() const { return m_child; }
    // The failure shown above the task list while a reload failed; hidden otherwise.
    LoadFailureView* failureBanner() const { return m_failureBanner; }
    ProjectSplitViewController* splitViewController() const;

    // Brings title, subtitle, child and toolbar up to date.
    void updateView();

    // ToolbarDelegate.
    QStringList toolbarDefaultItemIdentifiers() override;
    QStringList toolbarAllowedItemIdentifiers() override;
    void addToolbarItem(QToolBar& toolbar, const QString& identifier) override;

    // The commands behind the toolbar items.
    void refreshData();
    void startTimeTracking();
    void cancelTimeTracking();
    void pauseTimeTracking();
    void continueTimeTracking();
    // Choosing the filter that is set clears it; either way the list loads afresh.
    void setStateFilter(const Issue::State& state);
    void setAssigneeFilter(const User& assignee);
    // The search field's end of editing: its text, empty included, becomes the search.
    void commitSearch();

    // The filter menu as it would be made now (the caller owns it).
    QMenu* makeFilterMenu();
    QLineEdit* searchField() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void show(QWidget* child);
    void requestToolbarUpdate();
    // Hands a time typed into the window's timer field to the timer.
    void endTimeEdits();

    QPointer<ProjectViewModel> m_viewModel;
    QPointer<TimerViewModel> m_timer;
    std::map<QString, Cancellable> m_disposables;
    ViewState m_currentView = ViewState::none;
    QPointer<QWidget> m_child;
    QStackedLayout* m_layout = nullptr;
    LoadFailureView* m_failureBanner = nullptr;
    QWidgetAction* m_toolbarSearch = nullptr;
    // The user typed in the search field since its last search.
    bool m_searchEdited = false;
    Cancellable m_timeEntrySaved;
};

} // namespace velmora
