#include "app/WindowManager.h"

#include "views/settings/AccountsSettingsView.h"

#include "app/ApplicationWindowController.h"
#include "app/SoftwareUpdater.h"
#include "app/WelcomeWindowController.h"

#include "core/net/Configuration.h"
#include "state/TimerViewModel.h"
#include "views/main/ReadableAlert.h"

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QTimer>

namespace velmora {

WindowManager::WindowManager(ShellEnvironment environment, WindowViews views, QObject* parent)
    : QObject(parent), m_environment(std::move(environment)), m_views(std::move(views)) {}

WindowManager::~WindowManager() {
    ++m_closingOwnWindows;
    delete m_applicationWindow;
    delete m_welcomeWindow;
    delete m_settingsWindow;
    delete m_accountsAlert;
}

WelcomeWindowController* WindowManager::welcomeWindow() {
    if (!m_welcomeWindow) {
        QWidget* content = m_views.welcomeView ? m_views.welcomeView() : nullptr;
        m_welcomeWindow =
            new WelcomeWindowController(content, m_environment.windowStateFile, m_environment.state.bookings);
        m_welcomeWindow->setAttribute(Qt::WA_QuitOnClose, false);
        connect(m_welcomeWindow, &WelcomeWindowController::closed, this, [this] {
            if (m_closingOwnWindows == 0) {
                windowClosedByUser();
            }
        });
        emit windowMade();
    }
    return m_welcomeWindow;
}

SettingsWindowController* WindowManager::settingsWindow() {
    if (!m_settingsWindow) {
        Q_ASSERT(m_softwareUpdater != nullptr);
        SettingsEnvironment settings;
        settings.settings = &m_environment.settings();
        settings.updater = m_softwareUpdater->updater();
        settings.store = &m_environment.providerManager().store();
        // The accounts page asks what becomes of the time an account's bookings hold.
        settings.accountsPage = [page = m_views.accountsPage, bookings = m_environment.state.bookings](
                                    SettingsViewModel& model) -> QWidget* {
            QWidget* made = page ? page(model) : nullptr;
            if (auto* accounts = qobject_cast<AccountsSettingsView*>(made)) {
                accounts->setBookings(bookings);
            }
            return made;
        };
        settings.windowStateFile = m_environment.windowStateFile;
        m_settingsWindow = new SettingsWindowController(std::move(settings));
        m_settingsWindow->setAttribute(Qt::WA_QuitOnClose, false);
        connect(m_settingsWindow, &SettingsWindowController::closed, this, [this] {
            if (m_closingOwnWindows == 0) {
                windowClosedByUser();
            }
        });
        emit windowMade();
    }
    return m_settingsWindow;
}

void WindowManager::showSettings() {
    SettingsWindowController* window = settingsWindow();
    window->show();
    window->raise();
    window->activateWindow();
}

void WindowManager::closeSettings() {
    if (!m_settingsWindow) {
        return;
    }
    ++m_closingOwnWindows;
    m_settingsWindow->close();
    --m_closingOwnWindows;
}

void WindowManager::selectInitialAccount() {
    // The whole list is read first: a damaged store may still yield the default's own
    // row, and opening it would leave every other account silently missing.
    if (!m_environment.providerManager().tryFetchOperationalProviders().ok()) {
        m_provider.reset();
        m_accountsUnreadable = true;
        return;
    }
    m_accountsUnreadable = false;
    if (auto loaded = loadProvider(m_environment.settings().defaultAccount())) {
        m_provider = std::move(loaded);
        return;
    }
    chooseDefault();
}

std::optional<AnyProvider> WindowManager::loadProvider(const QString& id) {
    if (id.isEmpty()) {
        return std::nullopt;
    }
    const QUuid uuid = QUuid::fromString(id);
    if (uuid.isNull()) {
        return std::nullopt;
    }
    auto provider = m_environment.providerManager().provider(uuid);
    if (!provider || providerState(*provider) != ProviderState::operational) {
        return std::nullopt;
    }
    return provider;
}

bool WindowManager::chooseDefault() {
    const auto read = m_environment.providerManager().tryFetchOperationalProviders();
    m_provider.reset();
    m_accountsUnreadable = !read.ok();
    if (!read.ok()) {
        // Nothing is known about the accounts, least of all that the default is gone.
        return false;
    }
    const auto& operational = read.value();
    if (!operational.empty()) {
        m_provider = operational.front();
    }
    const auto id = m_provider ? providerId(*m_provider) : std::nullopt;
    const QString stored = id ? uuidText(*id) : QString();
    // Written only when it changes: every write goes to disk at once, and this runs
    // on every start.
    if (m_environment.settings().defaultAccount() != stored) {
        m_environment.settings().setDefaultAccount(stored);
    }
    return true;
}

void WindowManager::selectDefaultProvider(bool showWindow) {
    // The current account stays when it is still usable: a background refresh that
    // marks another account must not switch the user away from this one.
    std::optional<AnyProvider> stillCurrent;
    if (m_provider) {
        if (const auto id = providerId(*m_provider)) {
            stillCurrent = loadProvider(uuidText(*id));
        }
    }
    if (stillCurrent) {
        m_provider = std::move(stillCurrent);
        if (showWindow) {
            rebuildMainMenu();
        }
        return;
    }
    const bool read = chooseDefault();
    if (!showWindow) {
        return;
    }
    rebuildMainMenu();
    if (m_provider) {
        closeWelcome();
        showApplication();
    } else if (!read) {
        // Setting up accounts again from the welcome window would only meet a store
        // that takes no more writes.
        closeApplication();
        closeWelcome();
        showAccountsUnreadable();
    } else {
        closeApplication();
        showWelcome();
    }
}

void WindowManager::switchProvider(const AnyProvider& provider, bool setAsDefault) {
    const auto id = providerId(provider);
    if (!id) {
        return;
    }
    m_isSwitching = true;
    if (m_environment.settings().changeDefaultAccountAutomatically() || setAsDefault) {
        m_environment.settings().setDefaultAccount(uuidText(*id));
    }
    if (auto loaded = loadProvider(uuidText(*id))) {
        m_provider = std::move(loaded);
        closeWelcome();
        showApplication();
    } else {
        // Gone or not operational: choose again from scratch.
        m_provider.reset();
        selectDefaultProvider(true);
    }
    rebuildMainMenu();
    m_isSwitching = false;
}

void WindowManager::switchToProvider(const QUuid& id, bool force) {
    if (auto provider = m_environment.providerManager().provider(id)) {
        switchProvider(*provider, force);
        return;
    }
    // The account vanished before the switch: choose again.
    m_isSwitching = true;
    m_provider.reset();
    selectDefaultProvider(true);
    m_isSwitching = false;
}

void WindowManager::providerDeleted(const AnyProvider& provider) {
    const std::optional<QUuid> current = m_provider ? providerId(*m_provider) : std::nullopt;
    if (current != providerId(provider)) {
        return;
    }
    m_provider.reset();
    selectDefaultProvider(true);
}

void WindowManager::rebuildMainMenu() {
    emit mainMenuRebuildRequested();
}

void WindowManager::showWelcome() {
    WelcomeWindowController* window = welcomeWindow();
    window->show();
    window->activateWindow();
}

void WindowManager::showAccountsUnreadable() {
    if (m_accountsAlert) {
        m_accountsAlert->raise();
        m_accountsAlert->activateWindow();
        return;
    }
    const QString path = QDir::toNativeSeparators(m_environment.providerManager().store().path());
    const QString title = QStringLiteral("Your accounts could not be read.");
    // The title goes in the text too: without a window manager's title bar (and in some
    // desktops' dialogs) the window title is never seen.
    auto* alert = new QMessageBox(QMessageBox::Critical, title, title, QMessageBox::Ok);
    alert->setInformativeText(
        QStringLiteral("The account store %1 is damaged, so Velmora cannot show your accounts. Nothing was "
                       "changed in that file, and Velmora will not write to it. Restore the file from a "
                       "backup, then start Velmora again.")
            .arg(path));
    alert->setObjectName(QStringLiteral("AccountsUnreadableAlert"));
    // The path is there to be copied.
    alert->setTextInteractionFlags(Qt::TextSelectableByMouse);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setAttribute(Qt::WA_QuitOnClose, false);
    connect(alert, &QDialog::finished, this, [this] {
        if (m_closingOwnWindows == 0) {
            windowClosedByUser();
        }
    });
    m_accountsAlert = alert;
    ReadableAlert::prepare(*alert);
    alert->open();
}

void WindowManager::closeWelcome() {
    // A welcome window that was never made has nothing to close.
    if (!m_welcomeWindow) {
        return;
    }
    ++m_closingOwnWindows;
    m_welcomeWindow->close();
    --m_closingOwnWindows;
}

void WindowManager::showApplication() {
    closeApplication();
    if (!m_provider) {
        return;
    }
    // Making the window can find its account without tokens and choose again, which
    // shows the next account's window from inside this one's making: the copy keeps this
    // account alive until then, and a window whose account is no longer current is let go.
    const AnyProvider provider = *m_provider;
    const quint64 made = ++m_windowsMade;
    auto* window = ApplicationWindowController::make(provider, m_environment, m_views, timerFor(provider),
                                                     [this] { return m_isSwitching; });
    if (made != m_windowsMade || !m_provider || providerId(*m_provider) != providerId(provider)) {
        ++m_closingOwnWindows;
        window->close();
        window->deleteLater();
        --m_closingOwnWindows;
        return;
    }
    window->setAttribute(Qt::WA_QuitOnClose, false);
    connect(window, &ApplicationWindowController::closed, this, [this, window](bool byUser) {
        applicationWindowClosed(*window, byUser);
        if (m_closingOwnWindows == 0) {
            windowClosedByUser();
        }
    });
    m_applicationWindow = window;
    emit windowMade();
    window->show();
    window->activateWindow();
}

void WindowManager::closeApplication() {
    if (m_applicationWindow) {
        ++m_closingOwnWindows;
        ApplicationWindowController* window = m_applicationWindow;
        m_applicationWindow = nullptr;
        // Runs the window's close hook (once, also when the user closed it before).
        window->close();
        window->deleteLater();
        --m_closingOwnWindows;
    }
    releaseTimerOfFormerAccount();
}

void WindowManager::applicationWillTerminate() {
    closeApplication();
    // A window the user closed before left the timer running in the tray.
    if (m_timer) {
        m_timer->handleLifecycle(m_timerKey, TimerViewModel::LifecycleReason::closing);
    }
}

std::shared_ptr<TimerViewModel> WindowManager::timerFor(const AnyProvider& provider) {
    const auto id = providerId(provider);
    const QString key = id ? uuidText(*id) : QString();
    if (!m_timer || m_timerKey != key) {
        releaseTimerOfFormerAccount();
        // It comes back as it was saved when the account's timer was last let go.
        m_timer = std::make_shared<TimerViewModel>(key, m_environment.state);
        m_timerKey = key;
        emit timerChanged(m_timer.get());
    }
    return m_timer;
}

void WindowManager::releaseTimerOfFormerAccount() {
    if (!m_timer) {
        return;
    }
    const auto current = m_provider ? providerId(*m_provider) : std::nullopt;
    if (current && uuidText(*current) == m_timerKey) {
        return;
    }
    // Its window may have closed long before, leaving it running in the tray: it pauses
    // now as the settings say, and is saved for the account's next window.
    m_timer->handleLifecycle(m_timerKey, m_isSwitching ? TimerViewModel::LifecycleReason::switching
                                                       : TimerViewModel::LifecycleReason::closing);
    // A window of that account still being let go holds it until it is gone.
    m_timer.reset();
    m_timerKey.clear();
    emit timerChanged(nullptr);
}

void WindowManager::applicationWindowClosed(ApplicationWindowController& window, bool byUser) {
    TimerViewModel* timer = window.timerViewModel();
    const auto id = providerId(window.provider());
    if (!timer || !id) {
        return;
    }
    if (!byUser) {
        timer->handleLifecycle(uuidText(*id), TimerViewModel::LifecycleReason::switching);
    } else if (m_closingOwnWindows > 0 || !livesWithoutWindows()) {
        // Without a tray this close is the app's exit, as on a desktop where closing the
        // main window quits.
        timer->handleLifecycle(uuidText(*id), TimerViewModel::LifecycleReason::closing);
    }
    // Otherwise the user closed the window and the app lives on in the tray: the timer
    // runs on there, and the exit settles it.
}

void WindowManager::showAbout() {
    QWidget* parent =
        m_applicationWindow ? static_cast<QWidget*>(m_applicationWindow) : m_welcomeWindow.data();
    QMessageBox::about(
        parent, QStringLiteral("About Velmora"),
        QStringLiteral("Velmora %1 (%2)").arg(Configuration::shortVersion(), Configuration::buildVersion()));
}

bool WindowManager::anyWindowVisible() const {
    for (QWidget* window : QApplication::topLevelWidgets()) {
        // An icon in an X tray is a window of its own to Qt, and no window of the app's.
        if (window->isVisible() && window->isWindow() && !window->testAttribute(Qt::WA_DontShowOnScreen) &&
            window->windowType() != Qt::Popup && window->windowType() != Qt::ToolTip &&
            !window->inherits("QSystemTrayIconSys")) {
            return true;
        }
    }
    return false;
}

void WindowManager::windowClosedByUser() {
    // Checked once the close has settled, so a window that closes while another opens
    // (a sheet, the settings window) is counted correctly.
    QTimer::singleShot(0, this, [this] {
        if (!anyWindowVisible() && !livesWithoutWindows()) {
            emit lastWindowClosed();
        }
    });
}

} // namespace velmora
