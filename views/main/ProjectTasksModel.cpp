#include "views/main/ProjectTasksModel.h"

#include "state/ProjectViewModel.h"
#include "state/TimerViewModel.h"
#include "views/main/PlainText.h"

namespace velmora {

ProjectTasksModel::ProjectTasksModel(ProjectViewModel& viewModel, TimerViewModel* timer, QObject* parent)
    : QAbstractListModel(parent), m_viewModel(&viewModel), m_timer(timer), m_tasks(viewModel.tasks()),
      m_spinner(viewModel.loadingMoreTasks() || viewModel.moreTasksError()) {
    connect(&viewModel, &ProjectViewModel::tasksChanged, this, &ProjectTasksModel::tasksChanged);
    connect(&viewModel, &ProjectViewModel::loadingMoreTasksChanged, this, &ProjectTasksModel::spinnerChanged);
    connect(&viewModel, &ProjectViewModel::moreTasksErrorChanged, this, &ProjectTasksModel::spinnerChanged);
    if (timer) {
        connect(timer, &TimerViewModel::taskChanged, this, &ProjectTasksModel::trackingChanged);
    }
}

int ProjectTasksModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid()) {
        return 0;
    }
    return taskCount() + (m_spinner && !m_tasks.empty() ? 1 : 0);
}

const Issue* ProjectTasksModel::taskAt(int row) const {
    if (row < 0 || row >= taskCount()) {
        return nullptr;
    }
    return &m_tasks[static_cast<std::size_t>(row)];
}

int ProjectTasksModel::rowOf(const QString& taskId) const {
    for (std::size_t i = 0; i < m_tasks.size(); ++i) {
        if (m_tasks[i].id == taskId) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool ProjectTasksModel::isTracking(const Issue& task) const {
    // By id, like the timer: a reloaded task whose spent time changed keeps its mark.
    return m_timer && m_timer->isTracking(task);
}

QVariant ProjectTasksModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) {
        return {};
    }
    const Issue* task = taskAt(index.row());
    if (role == SpinnerRole) {
        return task == nullptr;
    }
    if (!task) {
        return {};
    }
    switch (role) {
    case Qt::DisplayRole:
        return plainName(task->name);
    case Qt::ToolTipRole:
        // Bounded before it is joined: a name may be megabytes long.
        return plainToolTip(task->reference ? plainName(*task->reference) + QStringLiteral(" ") +
                                                  plainName(task->name, plainToolTipLength, plainToolTipCost)
                                            : task->name);
    case TrackingRole:
        return isTracking(*task);
    case TaskIdRole:
        return task->id;
    default:
        return {};
    }
}

void ProjectTasksModel::tasksChanged() {
    const std::vector<Issue>& next = m_viewModel->tasks();
    const std::size_t old = m_tasks.size();
    bool extends = !m_tasks.empty() && next.size() > old;
    for (std::size_t i = 0; extends && i < old; ++i) {
        extends = m_tasks[i].id == next[i].id;
    }
    if (!extends) {
        beginResetModel();
        m_tasks = next;
        m_spinner = m_viewModel->loadingMoreTasks() || m_viewModel->moreTasksError();
        endResetModel();
        return;
    }
    // A further page: the rows already shown stay (and keep the selection).
    const bool spinner = m_spinner;
    if (spinner) {
        beginRemoveRows({}, static_cast<int>(old), static_cast<int>(old));
        m_spinner = false;
        endRemoveRows();
    }
    beginInsertRows({}, static_cast<int>(old), static_cast<int>(next.size()) - 1);
    m_tasks.insert(m_tasks.end(), next.begin() + static_cast<std::ptrdiff_t>(old), next.end());
    endInsertRows();
    for (std::size_t i = 0; i < old; ++i) {
        if (!(m_tasks[i] == next[i])) {
            m_tasks[i] = next[i];
            emit dataChanged(index(static_cast<int>(i)), index(static_cast<int>(i)));
        }
    }
    spinnerChanged();
}

void ProjectTasksModel::spinnerChanged() {
    // A page that failed keeps the row: it says so there, with its retry.
    const bool wanted =
        (m_viewModel->loadingMoreTasks() || m_viewModel->moreTasksError().has_value()) && !m_tasks.empty();
    if (wanted == m_spinner) {
        return;
    }
    const int row = taskCount();
    if (wanted) {
        beginInsertRows({}, row, row);
        m_spinner = true;
        endInsertRows();
    } else {
        beginRemoveRows({}, row, row);
        m_spinner = false;
        endRemoveRows();
    }
}

void ProjectTasksModel::trackingChanged() {
    if (!m_tasks.empty()) {
        emit dataChanged(index(0), index(taskCount() - 1), {TrackingRole});
    }
}

} // namespace velmora
