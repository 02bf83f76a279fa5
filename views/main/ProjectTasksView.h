#pragma once

#include "state/ProjectViewModel.h"

#include <QListView>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

namespace velmora {

class ProjectTaskRowView;
class ProjectTasksModel;
class TimerViewModel;

// The task list of a project: a list over the loaded tasks whose selection is the view
// model's selected task (both ways). When the last task comes into view and more pages
// are to be had, it asks for the next one, once each time the last task appears; a
// spinner row under the last task shows while that page loads, and a page that
// failed says so in that row, with "Try Again". Its context menu offers
// "Add work log", which asks the sidebar for a booking of the task clicked.
class ProjectTasksView : public QListView {
    Q_OBJECT

public:
    ProjectTasksView(ProjectViewModel& viewModel, TimerViewModel* timer, QWidget* parent = nullptr);

    ProjectTasksModel* tasksModel() const { return m_model; }
    ProjectTaskRowView* rowView() const { return m_rowView; }

    // The context menu for the row at `position` (viewport coordinates); the caller
    // owns it.
    QMenu* makeContextMenu(const QPoint& position);

    // Looks whether the last task is in view and asks for the next page if it just came
    // into view. Runs after every scroll, resize and change of the rows.
    void checkLastRow();

    // The failure of the next page with its retry, in the row under the last task;
    // null while no page failed.
    QWidget* moreTasksFailure() const;

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;

private:
    void selectionFromModel();
    void scheduleLastRowCheck();
    void updateSpinner();
    void updateFailureRow();
    // Paints again the rows in view whose avatar is the picture of `url`.
    void repaintAvatar(const QUrl& url);

    QPointer<ProjectViewModel> m_viewModel;
    ProjectTasksModel* m_model;
    ProjectTaskRowView* m_rowView;
    // The id of the last task when it was last seen coming into view; empty while it is
    // out of view.
    QString m_lastRowSeen;
    bool m_checkScheduled = false;
    bool m_applyingSelection = false;
    QTimer m_spinnerTimer;
    int m_spinnerAngle = 0;
};

} // namespace velmora
