#include "views/main/ProjectTasksModel.h"

#include "state/ProjectViewModel.h"
#include "state/TimerViewModel.h"
#include "views/main/PlainText.h"

namespace velmora {

namespace {
// Appends the ids of the tasks from `from` on.
void appendIds(std::vector<QString>& ids, const std::vector<Issue>& tasks, std::size_t from = 0) {
    for (std::size_t i = from; i < tasks.size(); ++i) {
        ids.push_back(tasks[i].id);
    }
}
} // namespace

ProjectTasksModel::ProjectTasksModel(ProjectViewModel& viewModel, TimerViewModel* timer, QObject* parent)
    : QAbstractListModel(parent), m_viewModel(&viewModel), m_timer(timer),
      m_spinner(viewModel.loadingMoreTasks() || viewModel.moreTasksError()) {
    appendIds(m_ids, viewModel.tasks());
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
    return taskCount() + (m_spinner && !m_ids.empty() ? 1 : 0);
}

const Issue* ProjectTasksModel::taskAt(int row) const {
    // The state's list changes just before this model hears of it: a row it still shows
    // may be gone there for that moment.
    if (row < 0 || row >= taskCount() || !m_viewModel ||
        static_cast<std::size_t>(row) >= m_viewModel->tasks().size()) {
        return nullptr;
    }
    return &m_viewModel->tasks()[static_cast<std::size_t>(row)];
}

int ProjectTasksModel::rowOf(const QString& taskId) const {
    for (std::size_t i = 0; i < m_ids.size(); ++i) {
        if (m_ids[i] == taskId) {
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
    const std::size_t old = m_ids.size();
    // The rows the state kept as they were need no look (a further page keeps them all).
    const std::size_t kept = std::min(m_viewModel->tasksKeptByLastChange(), old);
    bool extends = !m_ids.empty() && next.size() > old;
    for (std::size_t i = kept; extends && i < old; ++i) {
        extends = m_ids[i] == next[i].id;
    }
    if (!extends) {
        beginResetModel();
        m_ids.clear();
        appendIds(m_ids, next);
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
    appendIds(m_ids, next, old);
    endInsertRows();
    // The same tasks in a list that replaced the old one (a reload) may read otherwise now.
    if (kept < old) {
        emit dataChanged(index(static_cast<int>(kept)), index(static_cast<int>(old) - 1));
    }
    spinnerChanged();
}

void ProjectTasksModel::spinnerChanged() {
    // A page that failed keeps the row: it says so there, with its retry.
    const bool wanted =
        (m_viewModel->loadingMoreTasks() || m_viewModel->moreTasksError().has_value()) && !m_ids.empty();
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
    if (!m_ids.empty()) {
        emit dataChanged(index(0), index(taskCount() - 1), {TrackingRole});
    }
}

} // namespace velmora
