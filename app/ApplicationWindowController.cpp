#include "app/ApplicationWindowController.h"

#include "app/WindowFrames.h"

#include "core/model/NotificationNames.h"
#include "core/model/RateLimitInfo.h"
#include "core/time/ReadableTimeFormatter.h"
#include "platform/notifications/NotificationCenter.h"
#include "state/ApplicationViewModel.h"
#include "state/BookingRecords.h"
#include "state/CalendarViewModel.h"
#include "state/ProjectViewModel.h"
#include "state/TimerViewModel.h"
#include "views/main/BookingStatusView.h"
#include "views/main/ScreenRoom.h"
#include "views/main/SidebarSplitViewController.h"
#include "views/main/ToolbarDelegate.h"
#include "views/main/ToolbarItemIdentifier.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QScrollArea>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>

#include <algorithm>
#include <utility>

namespace velmora {

namespace {

// The booking strip's room: as tall as its rows, up to what the window gives it, and scrolled
// beyond that.
class StripArea : public QScrollArea {
public:
    explicit StripArea(QWidget* parent) : QScrollArea(parent) {
        setObjectName(QStringLiteral("BookingStatusScroll"));
        setFrameShape(QFrame::NoFrame);
        setWidgetResizable(true);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        viewport()->setAutoFillBackground(false);
    }

    QSize sizeHint() const override {
        const QWidget* rows = widget();
        if (!rows || rows->isHidden()) {
            return QSize(0, 0);
        }
        const int width = std::max(viewport()->width(), 1);
        const int height =
            rows->hasHeightForWidth() ? rows->heightForWidth(width) : rows->sizeHint().height();
        return QSize(rows->sizeHint().width(), std::max(height, rows->minimumSizeHint().height()));
    }
    QSize minimumSizeHint() const override {
        return QSize(0, std::min(sizeHint().height(), maximumHeight()));
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        // Rows came or went: the bar asks for the strip's new height.
        if (watched == widget() && event->type() == QEvent::LayoutRequest) {
            updateGeometry();
        }
        return QScrollArea::eventFilter(watched, event);
    }
};

} // namespace

ApplicationWindowController::ApplicationWindowController(AnyProvider provider, ShellEnvironment environment,
                                                         WindowViews views, IsSwitching isSwitching)
    : m_provider(std::move(provider)), m_environment(std::move(environment)), m_views(std::move(views)),
      m_isSwitching(std::move(isSwitching)) {}

ApplicationWindowController* ApplicationWindowController::make(const AnyProvider& provider,
                                                               const ShellEnvironment& environment,
                                                               const WindowViews& views,
                                                               std::shared_ptr<TimerViewModel> timerViewModel,
                                                               IsSwitching isSwitching) {
    auto* window = new ApplicationWindowController(provider, environment, views, std::move(isSwitching));
    window->setObjectName(frameAutosaveName);
    window->setTitleAndSubtitle(QStringLiteral("Velmora"), QString());
    window->resize(minimumWidth, minimumHeight);
    // Sets the least size too, which the screen decides.
    window->restoreFrame();

    QPointer<ApplicationWindowController> weak(window);
    window->m_rateLimitObserver = NotificationCenter::defaultCenter().addObserver(
        NotificationName::providerRateLimited, window, [weak](const Notification& notification) {
            if (weak) {
                weak->handleRateLimit(notification.object);
            }
        });

    window->m_applicationViewModel =
        std::make_unique<ApplicationViewModel>(provider, environment.service(provider), environment.state);
    const auto id = providerId(provider);
    window->m_timerViewModel = std::move(timerViewModel);
    // The account's bookings whose outcome the user should know or decide, under the
    // content (which the rate-limit screen may replace); the records outlive the window.
    if (BookingRecords* records = environment.state.bookings) {
        auto* bar = new QStatusBar(window);
        bar->setSizeGripEnabled(false);
        bar->setObjectName(QStringLiteral("BookingStatusBar"));
        auto* status =
            new BookingStatusView(*records, environment.bookingRecovery, id ? uuidText(*id) : QString(), bar);
        // The strip takes what the content leaves, and scrolls beyond it (fitStrip).
        auto* scroll = new StripArea(bar);
        const bool shown = !status->isHidden();
        scroll->setWidget(status);
        status->setVisible(shown);
        bar->addWidget(scroll, 1);
        window->setStatusBar(bar);
        // Shown only while a row is.
        bar->setVisible(status->isVisibleTo(bar));
        status->installEventFilter(window);
        window->m_bookingStatus = status;
        window->m_stripArea = scroll;
    }
    window->setupContent();
    return window;
}

ApplicationWindowController::~ApplicationWindowController() {
    m_rateLimitObserver.cancel();
    disconnect(m_routeDisposable);
    // The panes hold pointers into the view models: they go first.
    delete takeCentralWidget();
}

void ApplicationWindowController::setupContent() {
    m_applicationViewModel->start();

    QWidget* sidebar =
        m_views.sidebar ? m_views.sidebar(*m_applicationViewModel, *m_timerViewModel) : nullptr;
    auto* split = new SidebarSplitViewController(sidebar);
    // The least width the screen allows (restoreFrame).
    split->fitWidth(QMainWindow::minimumWidth());
    split->resize(size());
    disconnect(m_routeDisposable);
    delete takeCentralWidget();
    setCentralWidget(split);

    // The detail pane of the route shown now; the subscription below then skips it.
    const ApplicationRoute route = m_applicationViewModel->route();
    if (m_previousRoute) {
        m_previousRoute.reset();
    }
    updateToolbar();

    QPointer<ApplicationWindowController> weak(this);
    m_routeDisposable = connect(m_applicationViewModel.get(), &ApplicationViewModel::routeChanged, this,
                                [weak](const ApplicationRoute& changed) {
                                    if (weak) {
                                        weak->routeChanged(changed);
                                    }
                                });
    routeChanged(route);
}

void ApplicationWindowController::routeChanged(const ApplicationRoute& route) {
    if (m_previousRoute && *m_previousRoute == route) {
        return;
    }
    if (auto* split = splitViewController()) {
        QWidget* detail = nullptr;
        if (const auto& project = route.project()) {
            auto* model = new ProjectViewModel(m_applicationViewModel->service(), *project,
                                               providerUser(m_provider), m_environment.state);
            detail = m_views.projectView ? m_views.projectView(model, *m_timerViewModel) : nullptr;
            if (detail) {
                model->setParent(detail);
            } else {
                delete model;
            }
        } else {
            auto* model = new CalendarViewModel(m_applicationViewModel->service(), m_environment.state);
            detail = m_views.calendarView ? m_views.calendarView(model) : nullptr;
            if (detail) {
                model->setParent(detail);
            } else {
                delete model;
            }
        }
        split->setDetailViewController(detail ? detail : new QWidget);
    }
    updateToolbar(route);
    // Another pane needs another height.
    fitStrip();
    m_previousRoute = route;
}

SidebarSplitViewController* ApplicationWindowController::splitViewController() const {
    return qobject_cast<SidebarSplitViewController*>(centralWidget());
}

QWidget* ApplicationWindowController::contentSplitItem() const {
    auto* split = splitViewController();
    if (!split || split->count() < 2) {
        return nullptr;
    }
    return split->widget(1);
}

void ApplicationWindowController::updateToolbar() {
    updateToolbar(m_applicationViewModel->route());
}

void ApplicationWindowController::setTitleAndSubtitle(const QString& title, const QString& subtitle) {
    m_subtitle = subtitle;
    // The view's own title (a project's name from a tracker, of either direction) comes last:
    // nothing follows it for its direction to draw into its run (a right-to-left name ending in
    // a number took the count after it, "Pay 12 — 900 100 ו issues"), and what comes before it
    // is the app's own words, which set the title's direction. No invisible marks are needed,
    // which tools that match window titles would not type.
    m_viewTitle = subtitle.isEmpty() ? title : subtitle + QStringLiteral(" — ") + title;
    setRunningTime(m_runningTime);
}

void ApplicationWindowController::setRunningTime(const QString& text) {
    m_runningTime = text;
    const QString title =
        text.isEmpty() ? m_viewTitle : QStringLiteral("⏱ ") + text + QStringLiteral(" — ") + m_viewTitle;
    if (title != windowTitle()) {
        setWindowTitle(title);
    }
}

namespace {

// The toolbar's items that take the keyboard focus, in the toolbar's order, each with
// its action. Qt gives a toolbar's buttons no focus; here they take it by Tab.
QList<std::pair<QAction*, QWidget*>> focusableItems(QToolBar& toolbar) {
    QList<std::pair<QAction*, QWidget*>> items;
    for (QAction* action : toolbar.actions()) {
        QWidget* widget = toolbar.widgetForAction(action);
        if (!widget || action->isSeparator()) {
            continue;
        }
        if (qobject_cast<QToolButton*>(widget)) {
            widget->setFocusPolicy(Qt::TabFocus);
        }
        if (widget->focusPolicy() & Qt::TabFocus) {
            items.append({action, widget});
        }
    }
    return items;
}

// The last widget of `pane` that Tab stops at, in the window's focus chain.
QWidget* lastTabStopIn(QWidget& window, QWidget& pane) {
    QWidget* last = nullptr;
    for (QWidget* widget = window.nextInFocusChain(); widget && widget != &window;
         widget = widget->nextInFocusChain()) {
        if (pane.isAncestorOf(widget) && (widget->focusPolicy() & Qt::TabFocus)) {
            last = widget;
        }
    }
    return last;
}

} // namespace

void ApplicationWindowController::updateToolbar(const ApplicationRoute& shown) {
    // An item kept by the pane (the search field) moves to the new toolbar with its
    // text and, when it had it, the keyboard focus; a button that had it hands it to
    // the new toolbar's item of the same name, or at the same place. The window's own focus,
    // kept while another window has the keyboard (a project opened from the tray).
    QPointer<QWidget> focused = focusWidget();
    const bool focusInToolbar = m_toolbar && focused && m_toolbar->isAncestorOf(focused);
    QString focusedItem;
    qsizetype focusedIndex = -1;
    if (focusInToolbar) {
        const auto items = focusableItems(*m_toolbar);
        for (qsizetype i = 0; i < items.size(); ++i) {
            if (items[i].second == focused) {
                focusedItem = items[i].first->objectName();
                focusedIndex = i;
            }
        }
    }
    if (m_toolbar) {
        // Releases the kept items now; the buttons go once their own signals are done.
        m_toolbar->clear();
        removeToolBar(m_toolbar);
        m_toolbar->deleteLater();
        m_toolbar = nullptr;
    }
    auto* delegate = dynamic_cast<ToolbarDelegate*>(contentSplitItem());
    if (!delegate) {
        return;
    }
    auto* toolbar = new QToolBar(this);
    toolbar->setObjectName(shown.isCalendar() ? ToolbarIdentifier::applicationCalendar
                                              : ToolbarIdentifier::applicationProject);
    toolbar->setMovable(false);
    toolbar->setFloatable(false);
    toolbar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    toolbar->toggleViewAction()->setVisible(false);
    for (const QString& identifier : delegate->toolbarDefaultItemIdentifiers()) {
        delegate->addToolbarItem(*toolbar, identifier);
    }
    addToolBar(Qt::TopToolBarArea, toolbar);
    toolbar->show();
    m_toolbar = toolbar;

    // Tab reaches the toolbar right after the sidebar, before the pane it belongs to
    // (whose widgets, made later, join the chain after it).
    const auto items = focusableItems(*toolbar);
    if (!items.isEmpty()) {
        SidebarSplitViewController* split = splitViewController();
        if (QWidget* sidebar = split ? split->sidebarView() : nullptr) {
            if (QWidget* last = lastTabStopIn(*this, *sidebar)) {
                QWidget::setTabOrder(last, items.front().second);
            }
        }
        for (qsizetype i = 1; i < items.size(); ++i) {
            QWidget::setTabOrder(items[i - 1].second, items[i].second);
        }
    }

    if (focusInToolbar && focused && toolbar->isAncestorOf(focused)) {
        focused->setFocus(Qt::OtherFocusReason);
    } else if (focusInToolbar && !items.isEmpty()) {
        QWidget* next = nullptr;
        for (const auto& [action, widget] : items) {
            if (!focusedItem.isEmpty() && action->objectName() == focusedItem) {
                next = widget;
            }
        }
        if (!next && focusedIndex >= 0) {
            next = items[std::min(focusedIndex, items.size() - 1)].second;
        }
        if (next) {
            next->setFocus(Qt::TabFocusReason);
        }
    }
}

void ApplicationWindowController::handleRateLimit(const std::any& object) {
    const auto* info = std::any_cast<RateLimitInfo>(&object);
    if (!info) {
        return;
    }
    const auto id = providerId(m_provider);
    if (!id || info->provider != *id) {
        return;
    }
    const std::int64_t delay = std::max<std::int64_t>(info->delay, 0);
    // The longer of two limits stands; what is left of the one waiting is reckoned
    // from when it was announced.
    if (!m_pendingRateLimit || m_pendingRateLimit->secondsLeft() < delay) {
        m_pendingRateLimit = PendingRateLimit{delay, {}};
        m_pendingRateLimit->since.start();
    }
    showPendingRateLimit();
}

std::int64_t ApplicationWindowController::PendingRateLimit::secondsLeft() const {
    const std::int64_t waited = since.elapsed() / 1000;
    return waited >= delay ? 0 : delay - waited;
}

QDialog* ApplicationWindowController::openSheet() const {
    const auto dialogs = findChildren<QDialog*>();
    for (QDialog* dialog : dialogs) {
        if (dialog->isVisible() && dialog->isModal()) {
            return dialog;
        }
    }
    return nullptr;
}

void ApplicationWindowController::showPendingRateLimit() {
    if (!m_pendingRateLimit) {
        return;
    }
    // A sheet open on the window (a booking with what the user typed) would go with the
    // content: the screen waits until the sheet closes, counting down what is left.
    if (QDialog* sheet = openSheet()) {
        connect(sheet, &QDialog::finished, this, &ApplicationWindowController::showPendingRateLimit,
                static_cast<Qt::ConnectionType>(Qt::QueuedConnection | Qt::UniqueConnection));
        return;
    }
    const std::int64_t delay = m_pendingRateLimit->secondsLeft();
    m_pendingRateLimit.reset();
    showRateLimit(delay);
}

void ApplicationWindowController::showRateLimit(std::int64_t delay) {
    m_previousRoute.reset();
    disconnect(m_routeDisposable);
    QPointer<ApplicationWindowController> weak(this);
    auto retry = [weak] {
        if (weak) {
            // Later, so the screen that asked is not deleted under its own click.
            QMetaObject::invokeMethod(
                weak, [weak] { weak ? weak->setupContent() : void(); }, Qt::QueuedConnection);
        }
    };
    QWidget* screen = m_views.rateLimitView ? m_views.rateLimitView(delay, retry) : new QWidget;
    delete takeCentralWidget();
    setCentralWidget(screen);
    if (m_toolbar) {
        removeToolBar(m_toolbar);
        m_toolbar->deleteLater();
        m_toolbar = nullptr;
    }
}

void ApplicationWindowController::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    fitStrip();
}

bool ApplicationWindowController::event(QEvent* event) {
    const bool handled = QMainWindow::event(event);
    // The content's needs changed (projects loaded, another pane, a toolbar rebuilt).
    if (event->type() == QEvent::LayoutRequest) {
        fitStrip();
    }
    return handled;
}

void ApplicationWindowController::fitStrip() {
    if (!m_stripArea) {
        return;
    }
    // The content keeps what it needs (the project list and the time whole); the strip takes
    // the rest, and at least a line of its words.
    int content = centralWidget() ? centralWidget()->minimumSizeHint().height() : 0;
    if (QWidget* menu = menuWidget(); menu && !menu->isHidden()) {
        content += menu->sizeHint().height();
    }
    for (const QToolBar* toolbar : findChildren<QToolBar*>(Qt::FindDirectChildrenOnly)) {
        if (!toolbar->isHidden() && toolBarArea(const_cast<QToolBar*>(toolbar)) == Qt::TopToolBarArea) {
            content += toolbar->sizeHint().height();
        }
    }
    // The bar's own room around the strip.
    const int bar = std::max(0, statusBar()->minimumSizeHint().height() - m_stripArea->minimumSizeHint().height());
    content += bar;
    const int line = m_stripArea->fontMetrics().lineSpacing();
    // The first row's headline and buttons show, its words scrolling: where the content leaves
    // less, the window grows into what the screen has (its frame drawn, what is left of it).
    const auto* status = qobject_cast<const BookingStatusView*>(m_bookingStatus.data());
    const int lead = status && !status->isHidden() ? status->leadHeight() : 0;
    if (const QRect room = ScreenRoom::of(*this); lead > height() - content && isVisible() && !isMaximized() &&
                                                  !isFullScreen() && room.height() > height()) {
        resize(width(), std::min(room.height(), content + lead));
        ScreenRoom::keepWithin(*this);
    }
    const int cap = std::max(line, height() - content);
    if (cap != m_stripArea->maximumHeight()) {
        m_stripArea->setMaximumHeight(cap);
    }
}

bool ApplicationWindowController::eventFilter(QObject* watched, QEvent* event) {
    // The bar under the content comes and goes with the booking line in it.
    if (watched == m_bookingStatus && statusBar() &&
        (event->type() == QEvent::ShowToParent || event->type() == QEvent::HideToParent)) {
        statusBar()->setVisible(event->type() == QEvent::ShowToParent);
    }
    return QMainWindow::eventFilter(watched, event);
}

void ApplicationWindowController::closeEvent(QCloseEvent* event) {
    windowWillClose();
    QMainWindow::closeEvent(event);
}

void ApplicationWindowController::windowWillClose() {
    if (m_closed) {
        return;
    }
    m_closed = true;
    saveFrame();
    // The timer outlives the window: what its close means for the timer (a pause, as the
    // user set it) is the window manager's to say, who knows whether the app goes on.
    emit closed(!(m_isSwitching && m_isSwitching()));
}

namespace {
QRect roomWithin(const QRect& available) {
    return ScreenRoom::within(available);
}
} // namespace

QSize ApplicationWindowController::firstStartSize(const QRect& available) {
    return QSize(1100, 720).boundedTo(roomWithin(available).size()).expandedTo(minimumSizeWithin(available));
}

QSize ApplicationWindowController::minimumSizeWithin(const QRect& available) {
    // A screen too small for the usual minimum (or a large one at a high scale: 1,600
    // pixels at scale 2 are 800) gets a cramped window rather than one off its edge.
    return QSize(minimumWidth, minimumHeight).boundedTo(roomWithin(available).size()).expandedTo(QSize(1, 1));
}

QRect ApplicationWindowController::placedWithin(const QRect& frame, const QRect& available) {
    // Where the user left it, when the screen still holds it.
    if (available.contains(frame)) {
        return frame;
    }
    const QRect room = roomWithin(available);
    QRect placed(frame.topLeft(),
                 frame.size().boundedTo(room.size()).expandedTo(minimumSizeWithin(available)));
    placed.moveTopLeft(ScreenRoom::fitted(placed, room));
    return placed;
}

void ApplicationWindowController::saveFrame() {
    WindowFrames::write(m_environment.windowStateFile, frameAutosaveName, saveGeometry());
}

void ApplicationWindowController::restoreFrame() {
    const QByteArray frame =
        WindowFrames::read(m_environment.windowStateFile, frameAutosaveName).toByteArray();
    const bool restored = !frame.isEmpty() && restoreGeometry(frame);
    // The screen the saved frame is on, else the primary one.
    const QScreen* screen = restored ? QGuiApplication::screenAt(geometry().center()) : nullptr;
    if (!screen) {
        screen = QGuiApplication::primaryScreen();
    }
    if (!screen) {
        setMinimumSize(minimumWidth, minimumHeight);
        return;
    }
    const QRect available = screen->availableGeometry();
    setMinimumSize(minimumSizeWithin(available));
    if (!restored) {
        // Centred on first start.
        QRect area(QPoint(), firstStartSize(available));
        area.moveCenter(available.center());
        setGeometry(area);
        return;
    }
    // Saved on a larger screen, or at a smaller scale.
    setGeometry(placedWithin(geometry(), available));
}

} // namespace velmora
