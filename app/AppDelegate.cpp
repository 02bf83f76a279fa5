#include "app/AppDelegate.h"

#include "app/ApplicationWindowController.h"
#include "app/BackgroundTaskManager.h"
#include "app/ConfigurationCheck.h"
#include "app/DeepLinkHandler.h"
#include "app/FirstFrameWatch.h"
#include "app/MainMenu.h"
#include "app/MenuBarManager.h"
#include "app/SoftwareUpdater.h"
#include "app/StoredStateAlerts.h"
#include "app/WelcomeWindowController.h"
#include "app/WindowFrames.h"
#include "app/WindowManager.h"
#include "images/coders/ImageCodersManager.h"
#include "images/coders/ImageSVGCoder.h"
#include "state/ApplicationViewModel.h"
#include "state/BookingRecords.h"
#include "state/BookingRecovery.h"
#include "state/TimerSnapshot.h"
#include "state/TimerViewModel.h"
#include "trackers/RefreshProviderUsers.h"
#include "views/main/BookingTexts.h"
#include "views/main/ProjectSplitViewController.h"
#include "views/main/ReadableAlert.h"
#include "views/settings/SettingsWindowController.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QLayout>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QUuid>
#include <QWindow>

#include <algorithm>
#include <atomic>
#include <memory>

namespace velmora {

namespace {
AppDelegate* sharedDelegate = nullptr;
} // namespace

ShellEnvironment AppDelegate::withBookings(ShellEnvironment environment) {
    if (!environment.state.accountExists) {
        // Held time is never written onto the timer of an account that is gone. A store that
        // cannot be read says nothing of an account: it is taken to be there.
        ProviderManager* providers = &environment.providerManager();
        environment.state.accountExists = [providers](const QString& account) {
            const QUuid id = QUuid::fromString(account);
            auto all = providers->tryFetchProviders();
            if (id.isNull() || !all.ok()) {
                return !id.isNull();
            }
            return std::any_of(all.value().begin(), all.value().end(),
                               [&id](const AnyProvider& provider) { return providerId(provider) == id; });
        };
    }
    if (!environment.state.bookings) {
        m_bookingRecords = std::make_unique<BookingRecords>(environment.state);
        environment.state.bookings = m_bookingRecords.get();
    }
    if (!environment.bookingRecovery) {
        m_bookingRecovery = std::make_unique<BookingRecovery>(
            *environment.state.bookings, [this](const QString& account) { return lookUpService(account); });
        environment.bookingRecovery = m_bookingRecovery.get();
    }
    return environment;
}

std::shared_ptr<ProviderService> AppDelegate::lookUpService(const QString& account) {
    if (!m_windowManager) {
        return nullptr;
    }
    if (ApplicationWindowController* window = m_windowManager->applicationWindow();
        window && !window->hasClosed()) {
        const auto id = providerId(window->provider());
        if (id && uuidText(*id) == account) {
            return window->applicationViewModel()->service();
        }
    }
    const auto provider = m_windowManager->loadProvider(account);
    return provider ? m_environment.service(*provider) : nullptr;
}

AppDelegate::AppDelegate(ShellEnvironment environment, WindowViews views, QObject* parent)
    : QObject(parent), m_environment(withBookings(std::move(environment))),
      m_softwareUpdater(std::make_unique<SoftwareUpdater>()),
      m_windowManager(std::make_unique<WindowManager>(m_environment, std::move(views))),
      m_menuBarManager(std::make_unique<MenuBarManager>(m_environment.makeStatusItem)),
      m_backgroundTaskManager(std::make_unique<BackgroundTaskManager>()),
      m_deepLinkHandler(std::make_unique<DeepLinkHandler>(*m_windowManager)) {
    sharedDelegate = this;
    QCoreApplication::instance()->installEventFilter(this);
    connect(m_windowManager.get(), &WindowManager::mainMenuRebuildRequested, this,
            &AppDelegate::buildMainMenu);
    // A window made now gets its menu once it is set up, unless a build came first (the
    // launch builds the first window's right after showing it): built again, the bar
    // would be replaced and the window laid out anew before its first frame.
    connect(m_windowManager.get(), &WindowManager::windowMade, this, [this] {
        if (m_menuRebuildPending) {
            return;
        }
        m_menuRebuildPending = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_menuRebuildPending) {
                    buildMainMenu();
                }
            },
            Qt::QueuedConnection);
    });
    connect(m_menuBarManager.get(), &MenuBarManager::timerTextChanged, this, &AppDelegate::showTimerInTitle);
    // The status item shows the current account's timer, whether its window is open or not.
    connect(m_windowManager.get(), &WindowManager::timerChanged, m_menuBarManager.get(),
            &MenuBarManager::setTimerViewModel);
    // With the tray the app outlives its windows; the item brings them back.
    QPointer<AppDelegate> self(this);
    m_menuBarManager->setOpenWindow([self] {
        if (self) {
            self->showMainWindow();
        }
    });
    m_windowManager->setLivesWithoutWindows(
        [self] { return self && self->m_menuBarManager->showsStatusItem(); });
    // A tray that ends while no window is open would leave the app out of reach.
    connect(m_menuBarManager.get(), &MenuBarManager::statusItemAvailabilityChanged, this,
            [this](bool available) {
                if (!available && !m_terminated && !m_windowManager->anyWindowVisible()) {
                    showMainWindow();
                }
            });
    m_windowManager->setSoftwareUpdater(m_softwareUpdater.get());
    // The tray names what is on hold.
    BookingRecords* records = m_environment.state.bookings;
    m_menuBarManager->setNotes([records] { return BookingTexts::heldNotes(*records); });
    connect(records, &BookingRecords::recordChanged, m_menuBarManager.get(), &MenuBarManager::refresh);
    // A booking's note that could not be written changed nothing: the user hears so, once (a
    // booking's sheet says it itself, with what it means for that booking).
    connect(records, &BookingRecords::writeFailed, this, [this](const QString& reason, bool toldByAsker) {
        if (!toldByAsker) {
            StoredStateAlerts::notWritten(reason, alertParent())->open();
        }
    });
    ShellHooks::setInstance(m_windowManager.get());
    m_windowManager->selectInitialAccount();
}

AppDelegate::~AppDelegate() {
    applicationWillTerminate();
    if (ShellHooks* previous = ShellHooks::setInstance(nullptr); previous != m_windowManager.get()) {
        // Someone else's hooks were installed meanwhile: leave them.
        ShellHooks::setInstance(previous);
    }
    m_backgroundTaskManager.reset();
    m_menuBarManager.reset();
    m_deepLinkHandler.reset();
    m_windowManager.reset();
    m_softwareUpdater.reset();
    m_bookingRecovery.reset();
    m_bookingRecords.reset();
    if (sharedDelegate == this) {
        sharedDelegate = nullptr;
    }
}

AppDelegate* AppDelegate::shared() {
    return sharedDelegate;
}

void AppDelegate::applicationDidFinishLaunching() {
    registerImageCoders();
    observeAccountStore();
    // What earlier runs left open is asked about again, whichever window shows.
    if (m_environment.bookingRecovery) {
        m_environment.bookingRecovery->start();
    }
    WindowManager& windows = *m_windowManager;
    windows.rebuildMainMenu();
    if (windows.provider()) {
        windows.closeWelcome();
        windows.showApplication();
    } else if (windows.accountsUnreadable()) {
        windows.closeApplication();
        windows.showAccountsUnreadable();
    } else {
        windows.closeApplication();
        // Made with its menu before it shows: a menu bar added to a shown window has it
        // laid out again before its first frame.
        windows.welcomeWindow();
        buildMainMenu();
        windows.showWelcome();
    }
    if (windows.provider() || windows.accountsUnreadable()) {
        buildMainMenu();
    }
    if (m_environment.scheduleJobs) {
        m_backgroundTaskManager->schedule(std::make_shared<RefreshProviderUsers>());
    }
    checkConfiguration();
    tellStoredStateProblem();
    // The status item lives outside the windows, and making the tray's connects to the
    // session bus and asks whether a tray is there, which takes longer than building
    // the window: it comes once the first window is on screen.
    m_firstFrameWatch = std::make_unique<FirstFrameWatch>(
        [this] {
            m_menuBarManager->showStatusItem();
            emit firstWindowShown();
        },
        firstFrameFallbackMs);
}

void AppDelegate::openLinks(const QStringList& links) {
    if (links.isEmpty()) {
        // Started again without a link: the user looks for the app's window.
        showMainWindow();
        return;
    }
    m_deepLinkHandler->handle(links);
}

void AppDelegate::showMainWindow() {
    WindowManager& windows = *m_windowManager;
    QWidget* window = nullptr;
    if (ApplicationWindowController* main = windows.applicationWindow(); main && !main->hasClosed()) {
        window = main;
    } else if (windows.provider()) {
        // A main window the user closed is made anew; it shows the timer the tray kept.
        windows.showApplication();
        window = windows.applicationWindow();
    } else if (windows.accountsUnreadable()) {
        windows.showAccountsUnreadable();
        return;
    } else {
        window = windows.welcomeWindow();
    }
    if (window) {
        window->show();
        window->raise();
        window->activateWindow();
    }
}

void AppDelegate::buildMainMenu() {
    m_menuRebuildPending = false;
    if (ApplicationWindowController* window = m_windowManager->applicationWindow()) {
        window->setMenuBar(MainMenu::build(*this));
    }
    if (m_menuBarManager->timerViewModel() != m_windowManager->timerViewModel()) {
        m_menuBarManager->setTimerViewModel(m_windowManager->timerViewModel());
    }
    if (SettingsWindowController* window = m_windowManager->existingSettingsWindow()) {
        window->setMenuBar(MainMenu::build(*this));
    }
    if (WelcomeWindowController* window = m_windowManager->existingWelcomeWindow();
        window && window->layout()) {
        QWidget* old = window->layout()->menuBar();
        window->layout()->setMenuBar(MainMenu::build(*this));
        delete old;
    }
}

void AppDelegate::showTimerInTitle(const QString& text) {
    ApplicationWindowController* window = m_windowManager->applicationWindow();
    if (!window) {
        return;
    }
    // Only where no tray shows the time: one that started since takes it from the title.
    window->setRunningTime(m_menuBarManager->statusItem().isAvailable() ? QString() : text);
}

void AppDelegate::registerImageCoders() {
    // Once per process, however often the shell starts up (tests start it many times).
    static const bool registered = [] {
        images::ImageCodersManager::sharedManager()->addCoder(images::ImageSVGCoder::sharedCoder());
        return true;
    }();
    Q_UNUSED(registered);
}

void AppDelegate::observeAccountStore() {
    if (m_storeObserver) {
        return;
    }
    QPointer<AppDelegate> weak(this);
    m_storeObserver =
        connect(&m_environment.providerManager().store(), &ProviderStore::changed, this, [weak] {
            // Always a later turn: a change made inside a menu action never rebuilds the
            // menu under it.
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [weak] {
                    if (weak) {
                        weak->m_windowManager->rebuildMainMenu();
                    }
                },
                Qt::QueuedConnection);
        });
}

void AppDelegate::checkConfiguration() {
    const auto error = ConfigurationCheck::serverUrlError(Configuration::application());
    if (!error || m_configurationAlertShown) {
        return;
    }
    m_configurationAlertShown = true;
    const QString message = ConfigurationCheck::message(*error);
    qCCritical(ConfigurationCheck::category()).noquote()
        << QStringLiteral("[Configuration] An error occurred while reading the configuration: ") +
               Configuration::description(*error);
    QWidget* parent = m_windowManager->applicationWindow();
    if (!parent) {
        parent = m_windowManager->welcomeWindow();
    }
    auto* alert = new QMessageBox(QMessageBox::Warning, QStringLiteral("Configuration error."), message,
                                  QMessageBox::Ok, parent);
    alert->setObjectName(QStringLiteral("ConfigurationAlert"));
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setAttribute(Qt::WA_QuitOnClose, false);
    ReadableAlert::prepare(*alert);
    alert->open();
}

QWidget* AppDelegate::alertParent() const {
    if (ApplicationWindowController* main = m_windowManager->applicationWindow();
        main && !main->hasClosed()) {
        return main;
    }
    return m_windowManager->existingWelcomeWindow();
}

void AppDelegate::tellStoredStateProblem() {
    const auto problem = m_environment.snapshots().loadProblem();
    if (!problem || m_storedStateTold) {
        return;
    }
    m_storedStateTold = true;
    StoredStateAlerts::damaged(*problem, alertParent())->open();
}

void AppDelegate::commitData() {
    // The timer, also when its window was closed and it runs on in the tray.
    const TimerViewModel* timer = m_windowManager->timerViewModel();
    if (timer && timer->isInUse()) {
        m_environment.snapshots().save(timer->snapshot(), m_windowManager->timerKey());
    }
    waitForTheDisk(false);
}

void AppDelegate::applicationWillTerminate() {
    if (m_terminated) {
        return;
    }
    m_terminated = true;
    m_windowManager->applicationWillTerminate();
    // What the bookings' records were asked to write is written before the quit.
    waitForTheDisk(true);
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Quit && watched == QCoreApplication::instance() && !m_terminated) {
        // Qt closes every window before the loop ends. Their frames wait for the end of the
        // quit (a settings file is synced on this thread), and on a disk that is slow right now
        // (a write of the store has taken long already) the note comes at once.
        WindowFrames::hold();
        // A window that refuses to close calls the quit off: then they are written as usual.
        QTimer::singleShot(0, this, [this] {
            if (!m_terminated) {
                WindowFrames::release();
            }
        });
        const auto writing = m_environment.snapshots().writingFor();
        if (writing && *writing >= std::chrono::milliseconds(diskWaitNoteAfterMs)) {
            showDiskNote(true);
        }
    }
    return QObject::eventFilter(watched, event);
}

void AppDelegate::showDiskNote(bool quitting) {
    if (m_diskNote) {
        return;
    }
    m_diskNote = StoredStateAlerts::waitingForTheDisk(quitting);
    // Painted now: the thread may have to wait for the disk next, with no turn of its loop.
    QDeadlineTimer painted(diskNotePaintMs);
    while (m_diskNote && !painted.hasExpired() &&
           !(m_diskNote->windowHandle() && m_diskNote->windowHandle()->isExposed())) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 20);
    }
    if (m_diskNote) {
        m_diskNote->repaint();
    }
}

void AppDelegate::waitForTheDisk(bool quitting) {
    BookingRecords& records = *m_environment.state.bookings;
    SnapshotManager& snapshots = m_environment.snapshots();
    QTimer later;
    later.setSingleShot(true);
    connect(&later, &QTimer::timeout, this, [this, quitting] { showDiskNote(quitting); });
    later.start(diskWaitNoteAfterMs);
    for (;;) {
        // The records go on with their queue as each of their writes ends.
        while (records.isWriting()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        const std::uint64_t made = snapshots.changesMade();
        const auto written = std::make_shared<std::atomic<bool>>(false);
        snapshots.whenWritten(made, [written](const std::optional<QString>&) {
            *written = true;
            // Wakes the main thread from its wait for events.
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [] {}, Qt::QueuedConnection);
        });
        while (!*written) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        // Nothing changed meanwhile (a menu of the tray stays open while the app quits).
        if (!records.isWriting() && snapshots.changesMade() == made) {
            break;
        }
    }
    if (quitting) {
        // Last, as nothing else waits for them.
        WindowFrames::release();
    }
    delete m_diskNote;
}

} // namespace velmora
