#include "views/main/ProjectListModel.h"

#include "state/ApplicationViewModel.h"
#include "state/TimerViewModel.h"
#include "views/main/PlainText.h"

#include <algorithm>

namespace velmora {

ProjectListModel::ProjectListModel(ApplicationViewModel& viewModel, TimerViewModel& timer, QObject* parent)
    : QAbstractListModel(parent), m_viewModel(&viewModel), m_timer(&timer), m_projects(viewModel.projects()) {
    connect(&viewModel, &ApplicationViewModel::projectsChanged, this, [this] {
        beginResetModel();
        m_projects = m_viewModel->projects();
        endResetModel();
    });
    connect(&viewModel, &ApplicationViewModel::starredProjectsChanged, this, &ProjectListModel::rowsChanged);
    connect(&viewModel, &ApplicationViewModel::routeChanged, this, &ProjectListModel::rowsChanged);
    connect(&timer, &TimerViewModel::projectChanged, this, &ProjectListModel::rowsChanged);
}

int ProjectListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_projects.size());
}

const Project& ProjectListModel::project(int row) const {
    return m_projects.at(static_cast<std::size_t>(row));
}

QVariant ProjectListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.row() >= rowCount()) {
        return {};
    }
    const int row = index.row();
    switch (role) {
    case Qt::DisplayRole:
        return plainName(project(row).name);
    case Qt::ToolTipRole:
        return plainToolTip(project(row).name);
    case ProjectIdRole:
        return project(row).id;
    case IsActiveRole:
        return isActive(row).get();
    case IsStarredRole:
        return isStarred(row).get();
    case IsRecordingRole:
        return isRecording(row);
    default:
        return {};
    }
}

QHash<int, QByteArray> ProjectListModel::roleNames() const {
    auto names = QAbstractListModel::roleNames();
    names.insert(ProjectIdRole, "projectId");
    names.insert(IsActiveRole, "isActive");
    names.insert(IsStarredRole, "isStarred");
    names.insert(IsRecordingRole, "isRecording");
    return names;
}

Binding<bool> ProjectListModel::isActive(int row) const {
    const Project rowProject = project(row);
    QPointer<ApplicationViewModel> viewModel = m_viewModel;
    return Binding<bool>(
        [viewModel, rowProject] {
            return viewModel && viewModel->route() == ApplicationRoute::forProject(rowProject);
        },
        [viewModel, rowProject](const bool&) {
            if (viewModel) {
                viewModel->setRoute(ApplicationRoute::forProject(rowProject));
            }
        });
}

Binding<bool> ProjectListModel::isStarred(int row) const {
    const Project rowProject = project(row);
    QPointer<ApplicationViewModel> viewModel = m_viewModel;
    return Binding<bool>(
        [viewModel, rowProject] {
            if (!viewModel) {
                return false;
            }
            const auto& starred = viewModel->starredProjects();
            return std::find(starred.begin(), starred.end(), rowProject.id) != starred.end();
        },
        [viewModel, rowProject](const bool& starred) {
            if (viewModel) {
                viewModel->toggleStar(starred, rowProject);
            }
        });
}

bool ProjectListModel::isRecording(int row) const {
    return m_timer && m_timer->project() == project(row);
}

void ProjectListModel::rowsChanged() {
    if (!m_projects.empty()) {
        emit dataChanged(index(0), index(rowCount() - 1));
    }
}

} // namespace velmora
