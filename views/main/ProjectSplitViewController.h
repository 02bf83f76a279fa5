#pragma once

#include "core/model/Issue.h"
#include "state/ProjectViewModel.h"
#include "views/main/ProjectTaskView.h"

#include <QPointer>
#include <QSplitter>
#include <QString>

#include <optional>

namespace velmora {

class ProjectTasksView;
class TimerViewModel;

// The task list beside the selected task's detail. The detail pane joins at the first
// selected task and then only changes its content; when the selection is cleared it
// keeps the last task shown. The divider's place is kept between runs under "project".
class ProjectSplitViewController : public QSplitter {
    Q_OBJECT

public:
    static constexpr int listMinimumWidth = 300;
    static constexpr int detailMinimumWidth = 291;
    static inline const QString autosaveName = QStringLiteral("project");

    ProjectSplitViewController(ProjectViewModel& viewModel, TimerViewModel* timer, QWidget* parent = nullptr);

    ProjectTasksView* tasksView() const { return m_tasks; }
    // Null before the first selection.
    ProjectTaskView* detailView() const { return m_detail; }

    // Shows `task` in the detail pane (an absent task changes nothing there) and asks
    // the window for a new toolbar, whose timer items follow the selection.
    void updateDetail(const std::optional<Issue>& task);

    // Where the divider's place is kept; empty: the app's settings file (tests set their own).
    static void setSettingsFile(const QString& file);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    // Keeps the list and the detail side by side within `width`: the detail narrows first, down
    // to what its content needs, then the list (whose rows scroll).
    void fitWidth(int width);
    void saveDividerPlace();
    void restoreDividerPlace();

    QPointer<ProjectViewModel> m_viewModel;
    ProjectTasksView* m_tasks;
    QPointer<ProjectTaskView> m_detail;
};

} // namespace velmora
