#include "views/main/ProjectSplitViewController.h"

#include "state/ProjectViewModel.h"
#include "views/main/ProjectTaskView.h"
#include "views/main/ProjectTasksView.h"
#include "views/main/ToolbarHost.h"

#include <QResizeEvent>
#include <QSettings>

#include <algorithm>

#include <memory>

namespace velmora {

namespace {
QString& settingsFile() {
    static QString file;
    return file;
}

std::unique_ptr<QSettings> settings() {
    return settingsFile().isEmpty() ? std::make_unique<QSettings>()
                                    : std::make_unique<QSettings>(settingsFile(), QSettings::NativeFormat);
}
} // namespace

void ProjectSplitViewController::setSettingsFile(const QString& file) {
    settingsFile() = file;
}

ProjectSplitViewController::ProjectSplitViewController(ProjectViewModel& viewModel, TimerViewModel* timer,
                                                       QWidget* parent)
    : QSplitter(Qt::Horizontal, parent), m_viewModel(&viewModel),
      m_tasks(new ProjectTasksView(viewModel, timer)) {
    setObjectName(QStringLiteral("split-view-project"));
    setChildrenCollapsible(false);
    setHandleWidth(1);
    m_tasks->setMinimumWidth(listMinimumWidth);
    addWidget(m_tasks);
    connect(this, &QSplitter::splitterMoved, this, &ProjectSplitViewController::saveDividerPlace);

    // A later turn, so the handler reads the view model after the change is stored.
    QPointer<ProjectSplitViewController> weak(this);
    connect(
        &viewModel, &ProjectViewModel::taskChanged, this,
        [weak] {
            if (weak && weak->m_viewModel) {
                weak->updateDetail(weak->m_viewModel->task());
            }
        },
        Qt::QueuedConnection);
    updateDetail(viewModel.task());
}

void ProjectSplitViewController::updateDetail(const std::optional<Issue>& task) {
    if (task && m_viewModel) {
        if (m_detail) {
            m_detail->setTask(m_viewModel->project(), *task);
        } else {
            m_detail = new ProjectTaskView(m_viewModel->project(), *task);
            addWidget(m_detail);
            fitWidth(width());
            setStretchFactor(0, 0);
            setStretchFactor(1, 1);
            restoreDividerPlace();
        }
    }
    if (ToolbarHost* host = ToolbarHost::of(this)) {
        host->updateToolbar();
    }
}

void ProjectSplitViewController::resizeEvent(QResizeEvent* event) {
    fitWidth(event->size().width());
    QSplitter::resizeEvent(event);
}

void ProjectSplitViewController::fitWidth(int width) {
    const int room = width - (m_detail ? handleWidth() : 0);
    int detail = 0;
    if (m_detail) {
        const int needed = std::min(m_detail->minimumSizeHint().width(), static_cast<int>(detailMinimumWidth));
        detail = std::clamp(room - listMinimumWidth, std::max(needed, 1), static_cast<int>(detailMinimumWidth));
        m_detail->setMinimumWidth(detail);
    }
    m_tasks->setMinimumWidth(std::clamp(room - detail, 1, static_cast<int>(listMinimumWidth)));
}

void ProjectSplitViewController::saveDividerPlace() {
    settings()->setValue(autosaveName, saveState());
}

void ProjectSplitViewController::restoreDividerPlace() {
    const QByteArray state = settings()->value(autosaveName).toByteArray();
    if (!state.isEmpty()) {
        restoreState(state);
    }
}

} // namespace velmora
