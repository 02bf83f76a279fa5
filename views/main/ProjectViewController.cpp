#include "views/main/ProjectViewController.h"

#include "state/BookingRecord.h"

#include "core/model/NotificationNames.h"
#include "core/model/Project.h"
#include "platform/notifications/NotificationCenter.h"
#include "state/ProjectViewModel.h"
#include "state/TimerViewModel.h"
#include "views/main/ActivityIndicator.h"
#include "views/main/AssetNames.h"
#include "views/main/LoadFailureView.h"
#include "views/main/PlainText.h"
#include "views/main/PopoverOnHover.h"
#include "views/main/ProjectNoTasksView.h"
#include "views/main/ProjectSplitViewController.h"
#include "views/main/TimeEditFieldView.h"
#include "views/main/ToolbarHost.h"
#include "views/main/ToolbarItemIdentifier.h"

#include <QAction>
#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QStackedLayout>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWidgetAction>

namespace velmora {

namespace id = ToolbarItemIdentifier;

namespace {
// Runs `handler` in a later turn of the event loop, and not at all once `context` is
// gone: the handler then reads the view models after the change was stored.
template <typename Signal, typename Sender>
Cancellable later(Sender* sender, Signal signal, QObject* context, std::function<void()> handler) {
    QPointer<QObject> weak(context);
    const auto connection = QObject::connect(
        sender, signal, context,
        [weak, handler] {
            if (weak) {
                handler();
            }
        },
        Qt::QueuedConnection);
    return Cancellable([connection] { QObject::disconnect(connection); });
}
} // namespace

ProjectViewController::ProjectViewController(ProjectViewModel& viewModel, TimerViewModel& timer,
                                             QWidget* parent)
    : QWidget(parent), m_viewModel(&viewModel), m_timer(&timer) {
    setObjectName(QStringLiteral("ProjectView"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    m_failureBanner =
        new LoadFailureView(LoadFailureView::Style::banner, tr("Couldn't refresh the tasks"), this);
    m_failureBanner->hide();
    connect(m_failureBanner, &LoadFailureView::retryRequested, this, [this] {
        if (m_viewModel) {
            m_viewModel->retry();
        }
    });
    column->addWidget(m_failureBanner);
    m_layout = new QStackedLayout;
    m_layout->setContentsMargins(0, 0, 0, 0);
    column->addLayout(m_layout, 1);

    m_disposables[QStringLiteral("loading")] =
        later(&viewModel, &ProjectViewModel::loadingChanged, this, [this] { updateView(); });
    m_disposables[QStringLiteral("tasks")] =
        later(&viewModel, &ProjectViewModel::tasksChanged, this, [this] { updateView(); });
    m_disposables[QStringLiteral("loadError")] =
        later(&viewModel, &ProjectViewModel::loadErrorChanged, this, [this] { updateView(); });
    m_disposables[QStringLiteral("timerState")] =
        later(&timer, &TimerViewModel::stateChanged, this, [this] { requestToolbarUpdate(); });

    updateView();
    QPointer<ProjectViewController> weak(this);
    m_timeEntrySaved = NotificationCenter::defaultCenter().addObserver(
        NotificationName::timeEntrySaved, this, [weak](const Notification& notification) {
            const Project* project = notification.objectAs<Project>();
            if (weak && weak->m_viewModel && project && *project == weak->m_viewModel->project()) {
                // Spent times changed: load the list again.
                weak->m_viewModel->loadTasks();
            }
        });
    // Time of no account is booked on the task selected here, where time is tracked.
    m_disposables[QStringLiteral("bookOnSelected")] = NotificationCenter::defaultCenter().addObserver(
        NotificationName::bookOnSelectedTask, this, [weak](const Notification& notification) {
            const auto* wanted = notification.objectAs<SelectedTaskWanted>();
            if (!weak || !weak->m_viewModel || !wanted || *wanted->taken || !weak->isVisible()) {
                return;
            }
            const auto& task = weak->m_viewModel->task();
            const Project& project = weak->m_viewModel->project();
            if (!task || !project.configuration.timeTrackingEnabled) {
                return;
            }
            *wanted->taken = true;
            NotificationCenter::defaultCenter().post(QString(NotificationName::bookReturnedTime),
                                                     ReturnedTimeOnTask{wanted->record, project, *task});
        });
}

ProjectViewController::~ProjectViewController() {
    m_timeEntrySaved.cancel();
    m_disposables.clear();
    if (m_toolbarSearch) {
        // Out of any toolbar first, so the field is released before it is deleted.
        const QObjectList holders = m_toolbarSearch->associatedObjects();
        for (QObject* holder : holders) {
            if (auto* widget = qobject_cast<QWidget*>(holder)) {
                widget->removeAction(m_toolbarSearch);
            }
        }
        delete m_toolbarSearch;
    }
}

ProjectSplitViewController* ProjectViewController::splitViewController() const {
    return qobject_cast<ProjectSplitViewController*>(m_child);
}

void ProjectViewController::updateView() {
    if (!m_viewModel) {
        return;
    }
    const std::size_t count = m_viewModel->tasks().size();
    const std::optional<APIError>& error = m_viewModel->loadError();
    const bool failedEmpty = !m_viewModel->loading() && error && count == 0;
    if (ToolbarHost* host = ToolbarHost::of(this)) {
        // A list that failed to load has no count to tell, and says so: the title opens with the
        // app's own words whatever the project's name reads.
        host->setTitleAndSubtitle(plainName(m_viewModel->project().name),
                                  failedEmpty  ? tr("issues not loaded")
                                  : count == 1 ? tr("1 issue")
                                               : QString(QString::number(count) + QStringLiteral(" issues")));
    }
    m_failureBanner->setVisible(!m_viewModel->loading() && error && count > 0);
    if (error) {
        m_failureBanner->setError(*error);
    }
    if (m_viewModel->loading()) {
        if (m_currentView != ViewState::loading) {
            auto* page = new QWidget;
            page->setObjectName(QStringLiteral("ProjectLoading"));
            auto* layout = new QVBoxLayout(page);
            auto* spinner = new ActivityIndicator(24, page);
            spinner->setAnimating(true);
            layout->addWidget(spinner, 0, Qt::AlignCenter);
            show(page);
            m_currentView = ViewState::loading;
        }
    } else if (failedEmpty) {
        auto* page = qobject_cast<LoadFailureView*>(m_child);
        if (m_currentView != ViewState::failed || !page) {
            page = new LoadFailureView(LoadFailureView::Style::page, tr("Couldn't load the tasks"));
            page->setObjectName(QStringLiteral("ProjectLoadFailure"));
            connect(page, &LoadFailureView::retryRequested, this, [this] {
                if (m_viewModel) {
                    m_viewModel->retry();
                }
            });
            show(page);
            m_currentView = ViewState::failed;
        }
        page->setError(*error);
    } else if (m_viewModel->tasks().empty()) {
        if (m_currentView != ViewState::noTasks) {
            show(new ProjectNoTasksView);
            m_currentView = ViewState::noTasks;
        }
    } else if (m_currentView != ViewState::tasks) {
        show(new ProjectSplitViewController(*m_viewModel, m_timer));
        m_currentView = ViewState::tasks;
    }
    requestToolbarUpdate();
}

void ProjectViewController::show(QWidget* child) {
    if (m_child) {
        m_layout->removeWidget(m_child);
        m_child->hide();
        m_child->deleteLater();
    }
    m_child = child;
    m_layout->addWidget(child);
    m_layout->setCurrentWidget(child);
}

void ProjectViewController::requestToolbarUpdate() {
    if (ToolbarHost* host = ToolbarHost::of(this)) {
        host->updateToolbar();
    }
}

QStringList ProjectViewController::toolbarAllowedItemIdentifiers() {
    return {id::timeTrackingDisabled, id::refreshData,          id::filter,
            id::trackingSplitItem,    id::startTimeTracking,    id::cancelTimeTracking,
            id::pauseTimeTracking,    id::continueTimeTracking, id::searchItem};
}

QStringList ProjectViewController::toolbarDefaultItemIdentifiers() {
    QStringList items;
    if (!m_viewModel || !m_timer) {
        return items;
    }
    const Project::Configuration& configuration = m_viewModel->project().configuration;
    if (!configuration.timeTrackingEnabled) {
        items << id::timeTrackingDisabled;
    }
    items << id::refreshData;
    if (configuration.assigneeFilterEnabled || configuration.stateFilterEnabled) {
        items << id::filter;
    }
    if (!m_viewModel->tasks().empty()) {
        items << id::trackingSplitItem;
        if (configuration.timeTrackingEnabled) {
            const std::optional<Issue>& selected = m_viewModel->task();
            const std::optional<Issue>& tracked = m_timer->task();
            // The tracked task is the selected one when their ids match, so a reloaded
            // task (another spent time) still offers pause and stop.
            const bool same = (!selected && !tracked) || (selected && tracked && selected->id == tracked->id);
            const TimerViewModel::State state = m_timer->state();
            if (state == TimerViewModel::State::cancelled || !same) {
                items << id::startTimeTracking;
            }
            if (same) {
                if (state != TimerViewModel::State::cancelled) {
                    items << id::cancelTimeTracking;
                }
                if (state == TimerViewModel::State::active) {
                    items << id::pauseTimeTracking;
                }
                if (state == TimerViewModel::State::paused) {
                    items << id::continueTimeTracking;
                }
            }
        }
    }
    if (configuration.searchEnabled) {
        items << id::searchItem;
    }
    return items;
}

void ProjectViewController::addToolbarItem(QToolBar& toolbar, const QString& identifier) {
    auto addCommand = [&](const QString& symbol, const QString& tip,
                          void (ProjectViewController::*command)()) {
        QAction* action = toolbar.addAction(Assets::icon(symbol), QString());
        action->setObjectName(identifier);
        action->setToolTip(tip);
        connect(action, &QAction::triggered, this, command);
    };
    if (identifier == id::timeTrackingDisabled) {
        // A stop for the keyboard too: its explanation shows while it has the focus.
        auto* warning = new QToolButton;
        warning->setObjectName(identifier);
        warning->setAutoRaise(true);
        warning->setFocusPolicy(Qt::TabFocus);
        warning->setIcon(Assets::icon(QStringLiteral("exclamationmark.triangle.fill")));
        warning->setIconSize(QSize(18, 18));
        const QString why = tr("This project does not have the time tracking feature enabled");
        warning->setAccessibleName(why);
        PopoverOnHover::attach(warning, why, PopoverOnHover::ArrowEdge::bottom, 170);
        toolbar.addWidget(warning)->setObjectName(identifier);
    } else if (identifier == id::refreshData) {
        addCommand(QStringLiteral("arrow.clockwise.circle"), tr("Refresh"),
                   &ProjectViewController::refreshData);
    } else if (identifier == id::filter) {
        auto* button = new QToolButton;
        button->setObjectName(identifier);
        button->setAutoRaise(true);
        button->setPopupMode(QToolButton::InstantPopup);
        button->setIcon(Assets::icon(m_viewModel->isFiltered()
                                         ? QStringLiteral("line.3.horizontal.decrease.circle.fill")
                                         : QStringLiteral("line.3.horizontal.decrease.circle")));
        button->setToolTip(tr("Filter"));
        QMenu* menu = makeFilterMenu();
        menu->setParent(button, menu->windowFlags());
        button->setMenu(menu);
        toolbar.addWidget(button)->setObjectName(identifier);
    } else if (identifier == id::trackingSplitItem) {
        // Only beside the task list, where it parts the list's items from the detail's.
        if (splitViewController()) {
            toolbar.addSeparator()->setObjectName(identifier);
        }
    } else if (identifier == id::startTimeTracking) {
        addCommand(QStringLiteral("play.circle"), tr("Start"), &ProjectViewController::startTimeTracking);
    } else if (identifier == id::cancelTimeTracking) {
        addCommand(QStringLiteral("square.circle"), tr("Stop"), &ProjectViewController::cancelTimeTracking);
    } else if (identifier == id::pauseTimeTracking) {
        addCommand(QStringLiteral("pause.circle"), tr("Pause"), &ProjectViewController::pauseTimeTracking);
    } else if (identifier == id::continueTimeTracking) {
        addCommand(QStringLiteral("play.circle"), tr("Continue"),
                   &ProjectViewController::continueTimeTracking);
    } else if (identifier == id::searchItem) {
        if (!m_toolbarSearch) {
            m_toolbarSearch = new QWidgetAction(nullptr);
            m_toolbarSearch->setObjectName(identifier);
            auto* field = new QLineEdit;
            field->setObjectName(identifier);
            field->setPlaceholderText(tr("Search"));
            field->setClearButtonEnabled(true);
            field->addAction(Assets::icon(QStringLiteral("magnifyingglass")), QLineEdit::LeadingPosition);
            field->setFixedWidth(180);
            field->installEventFilter(this);
            connect(field, &QLineEdit::returnPressed, this, &ProjectViewController::commitSearch);
            connect(field, &QLineEdit::textEdited, this, [this](const QString& text) {
                m_searchEdited = true;
                // The clear button ends the search at once.
                if (text.isEmpty()) {
                    commitSearch();
                }
            });
            m_toolbarSearch->setDefaultWidget(field);
        }
        auto* spacer = new QWidget;
        spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        toolbar.addWidget(spacer);
        toolbar.addAction(m_toolbarSearch);
    }
}

QLineEdit* ProjectViewController::searchField() const {
    return m_toolbarSearch ? qobject_cast<QLineEdit*>(m_toolbarSearch->defaultWidget()) : nullptr;
}

bool ProjectViewController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == searchField()) {
        if (event->type() == QEvent::FocusOut) {
            // Leaving the field ends an edit the user made. Focus that merely passes
            // through it (a pane replaced) searches nothing, and neither does a toolbar
            // rebuild, which hides the field for a moment.
            if (m_searchEdited && searchField()->isVisible()) {
                commitSearch();
            }
        } else if (event->type() == QEvent::KeyPress &&
                   static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
            searchField()->clear();
            commitSearch();
            // The keyboard goes back to the tasks it searched.
            if (ProjectSplitViewController* split = splitViewController()) {
                split->tasksView()->setFocus(Qt::OtherFocusReason);
            } else {
                searchField()->clearFocus();
            }
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

QMenu* ProjectViewController::makeFilterMenu() {
    auto* menu = new QMenu;
    menu->setObjectName(QStringLiteral("FilterMenu"));
    QMenu* states = menu->addMenu(tr("State"));
    states->setObjectName(QStringLiteral("StateMenu"));
    states->menuAction()->setCheckable(true);
    states->menuAction()->setChecked(m_viewModel->state().has_value());
    for (const Issue::State& state : m_viewModel->states()) {
        QAction* item = states->addAction(plainMenuText(state.name));
        item->setCheckable(true);
        item->setChecked(m_viewModel->state() == state);
        connect(item, &QAction::triggered, this, [this, state] { setStateFilter(state); });
    }
    QMenu* assignees = menu->addMenu(tr("Assignee"));
    assignees->setObjectName(QStringLiteral("AssigneeMenu"));
    assignees->menuAction()->setCheckable(true);
    assignees->menuAction()->setChecked(m_viewModel->assignee().has_value());
    for (const User& user : m_viewModel->assignees()) {
        QAction* item = assignees->addAction(plainMenuText(user.name));
        item->setCheckable(true);
        item->setChecked(m_viewModel->assignee() == user);
        connect(item, &QAction::triggered, this, [this, user] { setAssigneeFilter(user); });
    }
    return menu;
}

void ProjectViewController::setStateFilter(const Issue::State& state) {
    if (!m_viewModel) {
        return;
    }
    const bool same = m_viewModel->state() == state;
    m_viewModel->setState(same ? std::nullopt : std::optional<Issue::State>(state));
    m_viewModel->resetTasks();
    m_viewModel->loadTasks();
}

void ProjectViewController::setAssigneeFilter(const User& assignee) {
    if (!m_viewModel) {
        return;
    }
    const bool same = m_viewModel->assignee() == assignee;
    m_viewModel->setAssignee(same ? std::nullopt : std::optional<User>(assignee));
    m_viewModel->resetTasks();
    m_viewModel->loadTasks();
}

void ProjectViewController::commitSearch() {
    QLineEdit* field = searchField();
    if (!field || !m_viewModel) {
        return;
    }
    m_searchEdited = false;
    m_viewModel->setSearch(field->text());
    m_viewModel->resetTasks();
    m_viewModel->loadTasks();
}

void ProjectViewController::refreshData() {
    if (m_viewModel) {
        m_viewModel->refresh(false);
    }
}

void ProjectViewController::startTimeTracking() {
    if (!m_viewModel || !m_timer || !m_viewModel->task()) {
        return;
    }
    m_timer->start(m_viewModel->project(), *m_viewModel->task());
    requestToolbarUpdate();
}

void ProjectViewController::endTimeEdits() {
    // The toolbar's buttons take no focus: a time typed into the window's timer field and
    // not yet ended with Return would reach the timer only after it stopped (and the
    // booking sheet had read the time from before).
    for (TimeEditFieldView* field : window()->findChildren<TimeEditFieldView*>()) {
        field->commitEdit();
    }
}

void ProjectViewController::cancelTimeTracking() {
    if (m_timer) {
        endTimeEdits();
        m_timer->cancel();
        requestToolbarUpdate();
    }
}

void ProjectViewController::pauseTimeTracking() {
    if (m_timer) {
        endTimeEdits();
        m_timer->pause();
        requestToolbarUpdate();
    }
}

void ProjectViewController::continueTimeTracking() {
    if (m_timer) {
        endTimeEdits();
        m_timer->resume();
        requestToolbarUpdate();
    }
}

} // namespace velmora
