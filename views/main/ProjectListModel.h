#pragma once

#include "core/model/Project.h"
#include "state/ApplicationViewModel.h"
#include "state/TimerViewModel.h"
#include "views/main/Binding.h"

#include <QAbstractListModel>
#include <QPointer>

namespace velmora {

// The account's projects as the sidebar lists them, in the order the application
// state keeps them (starred first). Each row can say whether it is the route shown,
// whether it is starred and whether the window's timer runs on it, and hands out the
// bindings a row acts through: selecting writes the window's route, starring asks the
// state to toggle the star (which persists and re-sorts).
class ProjectListModel : public QAbstractListModel {
    Q_OBJECT

public:
    enum Role {
        ProjectIdRole = Qt::UserRole + 1,
        IsActiveRole,
        IsStarredRole,
        IsRecordingRole,
    };

    ProjectListModel(ApplicationViewModel& viewModel, TimerViewModel& timer, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    // The project of a row; the row must exist.
    const Project& project(int row) const;

    // Reads true while the route shows the row's project (equal in every field); any
    // write selects it, so a click never deselects.
    Binding<bool> isActive(int row) const;
    // Reads whether the project is starred; a write stars or unstars it.
    Binding<bool> isStarred(int row) const;
    // Whether the window's timer runs on the row's project.
    bool isRecording(int row) const;

private:
    void rowsChanged();

    QPointer<ApplicationViewModel> m_viewModel;
    QPointer<TimerViewModel> m_timer;
    std::vector<Project> m_projects;
};

} // namespace velmora
