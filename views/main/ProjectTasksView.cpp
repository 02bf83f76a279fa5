#include "views/main/ProjectTasksView.h"

#include "views/main/LoadFailureView.h"

#include "core/model/NotificationNames.h"
#include "platform/notifications/NotificationCenter.h"
#include "state/ProjectViewModel.h"
#include "views/main/ProjectTaskRowView.h"
#include "views/main/ProjectTasksModel.h"

#include <QContextMenuEvent>
#include <QMenu>
#include <QResizeEvent>
#include <QScrollBar>

#include <any>

namespace velmora {

ProjectTasksView::ProjectTasksView(ProjectViewModel& viewModel, TimerViewModel* timer, QWidget* parent)
    : QListView(parent), m_viewModel(&viewModel), m_model(new ProjectTasksModel(viewModel, timer, this)),
      m_rowView(new ProjectTaskRowView(this)) {
    setObjectName(QStringLiteral("ProjectTasksView"));
    setModel(m_model);
    setItemDelegate(m_rowView);
    // Every row has one height: the list lays out and paints only what it shows.
    setUniformItemSizes(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFrameShape(QFrame::NoFrame);
    setMouseTracking(true);
    viewport()->setAutoFillBackground(false);

    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, &ProjectTasksView::scheduleLastRowCheck);
    connect(m_model, &QAbstractItemModel::rowsInserted, this, &ProjectTasksView::scheduleLastRowCheck);
    connect(m_model, &QAbstractItemModel::rowsRemoved, this, &ProjectTasksView::scheduleLastRowCheck);
    connect(m_model, &QAbstractItemModel::modelReset, this, [this] {
        m_lastRowSeen.clear();
        selectionFromModel();
        scheduleLastRowCheck();
    });
    connect(m_model, &QAbstractItemModel::rowsInserted, this, &ProjectTasksView::selectionFromModel);
    connect(&viewModel, &ProjectViewModel::taskChanged, this, &ProjectTasksView::selectionFromModel);
    connect(&viewModel, &ProjectViewModel::loadingMoreTasksChanged, this, &ProjectTasksView::updateSpinner);
    connect(&viewModel, &ProjectViewModel::moreTasksErrorChanged, this, &ProjectTasksView::updateFailureRow);
    connect(m_model, &QAbstractItemModel::rowsInserted, this, &ProjectTasksView::updateFailureRow);
    connect(m_model, &QAbstractItemModel::modelReset, this, &ProjectTasksView::updateFailureRow);
    connect(m_rowView, &ProjectTaskRowView::avatarArrived, this, &ProjectTasksView::repaintAvatar);

    m_spinnerTimer.setInterval(50);
    connect(&m_spinnerTimer, &QTimer::timeout, this, [this] {
        m_spinnerAngle = (m_spinnerAngle + 30) % 360;
        m_rowView->setSpinnerAngle(m_spinnerAngle);
        if (m_model->showsSpinner()) {
            viewport()->update(visualRect(m_model->index(m_model->taskCount())));
        }
    });
    selectionFromModel();
    updateSpinner();
}

void ProjectTasksView::repaintAvatar(const QUrl& url) {
    // Rows out of view find the picture when they are next painted.
    const QRect shown = viewport()->rect();
    const QModelIndex first = indexAt(shown.topLeft());
    if (!first.isValid()) {
        return;
    }
    for (int row = first.row(); row < m_model->taskCount(); ++row) {
        const QRect rect = visualRect(m_model->index(row));
        if (!rect.intersects(shown)) {
            break;
        }
        const Issue* task = m_model->taskAt(row);
        if (task && ProjectTaskRowView::avatarUrl(*task) == url) {
            viewport()->update(rect);
        }
    }
}

void ProjectTasksView::updateFailureRow() {
    if (!m_viewModel) {
        return;
    }
    const std::optional<APIError>& error = m_viewModel->moreTasksError();
    // Every task row has one height; a failure row takes what its text needs.
    if (uniformItemSizes() == error.has_value()) {
        setUniformItemSizes(!error.has_value());
        scheduleDelayedItemsLayout();
    }
    const QModelIndex row = m_model->index(m_model->taskCount());
    if (!row.isValid()) {
        return;
    }
    if (!error) {
        setIndexWidget(row, nullptr);
        return;
    }
    auto* failure = qobject_cast<LoadFailureView*>(indexWidget(row));
    if (!failure) {
        failure = new LoadFailureView(LoadFailureView::Style::banner, tr("Couldn't load more tasks"));
        failure->setObjectName(QStringLiteral("MoreTasksFailure"));
        connect(failure, &LoadFailureView::retryRequested, this, [this] {
            if (m_viewModel) {
                m_viewModel->retry();
            }
        });
        setIndexWidget(row, failure);
    }
    failure->setError(*error);
    // Its text may have changed.
    scheduleDelayedItemsLayout();
}

QWidget* ProjectTasksView::moreTasksFailure() const {
    return indexWidget(m_model->index(m_model->taskCount()));
}

void ProjectTasksView::updateSpinner() {
    if (m_viewModel && m_viewModel->loadingMoreTasks()) {
        m_spinnerTimer.start();
    } else {
        m_spinnerTimer.stop();
    }
}

void ProjectTasksView::selectionFromModel() {
    if (!m_viewModel || m_applyingSelection) {
        return;
    }
    const auto& task = m_viewModel->task();
    const int row = task ? m_model->rowOf(task->id) : -1;
    m_applyingSelection = true;
    if (row < 0) {
        // The view model cleared its selection (a refresh, a new filter).
        clearSelection();
        setCurrentIndex(QModelIndex());
    } else if (currentIndex().row() != row) {
        setCurrentIndex(m_model->index(row));
    }
    m_applyingSelection = false;
}

void ProjectTasksView::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    QListView::currentChanged(current, previous);
    if (m_applyingSelection || !m_viewModel) {
        return;
    }
    const Issue* task = m_model->taskAt(current.row());
    if (!task) {
        return;
    }
    const auto& selected = m_viewModel->task();
    if (!selected || selected->id != task->id) {
        m_applyingSelection = true;
        m_viewModel->setTask(*task);
        m_applyingSelection = false;
    }
}

void ProjectTasksView::scheduleLastRowCheck() {
    if (m_checkScheduled) {
        return;
    }
    m_checkScheduled = true;
    // After the layout has caught up with the change.
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_checkScheduled = false;
            checkLastRow();
        },
        Qt::QueuedConnection);
}

void ProjectTasksView::checkLastRow() {
    if (!m_viewModel || !isVisible() || m_model->taskCount() == 0) {
        m_lastRowSeen.clear();
        return;
    }
    const int lastRow = m_model->taskCount() - 1;
    const QRect last = visualRect(m_model->index(lastRow));
    const bool inView = last.isValid() && viewport()->rect().intersects(last);
    if (!inView) {
        m_lastRowSeen.clear();
        return;
    }
    const QString id = m_model->taskAt(lastRow)->id;
    if (id == m_lastRowSeen) {
        return;
    }
    m_lastRowSeen = id;
    if (m_viewModel->hasMoreTasks()) {
        m_viewModel->loadMoreTasks();
    }
}

void ProjectTasksView::resizeEvent(QResizeEvent* event) {
    QListView::resizeEvent(event);
    if (moreTasksFailure() && event->size().width() != event->oldSize().width()) {
        // The failure's text wraps anew.
        scheduleDelayedItemsLayout();
    }
    scheduleLastRowCheck();
}

void ProjectTasksView::showEvent(QShowEvent* event) {
    QListView::showEvent(event);
    scheduleLastRowCheck();
}

QMenu* ProjectTasksView::makeContextMenu(const QPoint& position) {
    const QModelIndex index = indexAt(position);
    std::optional<Issue> task;
    if (const Issue* clicked = m_model->taskAt(index.row())) {
        task = *clicked;
    }
    auto* menu = new QMenu(this);
    QAction* add = menu->addAction(QStringLiteral("Add work log"));
    add->setObjectName(QStringLiteral("AddWorkLog"));
    add->setEnabled(m_viewModel && m_viewModel->project().configuration.timeTrackingEnabled);
    connect(add, &QAction::triggered, this, [task] {
        // Without a task (a click beside the rows) the notice carries nothing, and the
        // sidebar opens nothing.
        NotificationCenter::defaultCenter().post(NotificationName::addManualWorkLog,
                                                 task ? std::any(*task) : std::any());
    });
    return menu;
}

void ProjectTasksView::contextMenuEvent(QContextMenuEvent* event) {
    const QModelIndex index = indexAt(event->pos());
    if (m_model->taskAt(index.row())) {
        setCurrentIndex(index);
    }
    QMenu* menu = makeContextMenu(event->pos());
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

} // namespace velmora
