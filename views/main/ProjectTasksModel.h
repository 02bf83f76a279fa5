#pragma once

#include "core/model/Issue.h"
#include "state/ProjectViewModel.h"
#include "state/TimerViewModel.h"

#include <QAbstractListModel>
#include <QPointer>

#include <vector>

namespace velmora {

// The rows of the task list: one per task loaded so far and, while the next page
// loads or after it failed, one more under the last task for the spinner or the
// failure. A page that extends the list
// inserts its rows; anything else resets the model. The rows read the window's timer
// for the tracking mark. The tasks themselves are read from the project's state, not
// copied: a long project's list is held once.
class ProjectTasksModel : public QAbstractListModel {
    Q_OBJECT

public:
    enum Role {
        TrackingRole = Qt::UserRole + 1, // bool: the timer tracks this row's task
        SpinnerRole,                     // bool: the row is the spinner under the last task
        TaskIdRole,                      // text: the task's id
    };

    ProjectTasksModel(ProjectViewModel& viewModel, TimerViewModel* timer, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    // The task of a row; null for the spinner row or a row out of range.
    const Issue* taskAt(int row) const;
    // The row of the task with this id, or -1.
    int rowOf(const QString& taskId) const;
    int taskCount() const { return static_cast<int>(m_ids.size()); }
    bool showsSpinner() const { return m_spinner; }
    bool isTracking(const Issue& task) const;

private:
    void tasksChanged();
    void spinnerChanged();
    void trackingChanged();

    QPointer<ProjectViewModel> m_viewModel;
    QPointer<TimerViewModel> m_timer;
    // The ids of the rows shown, which tell a further page from another list.
    std::vector<QString> m_ids;
    bool m_spinner = false;
};

} // namespace velmora
