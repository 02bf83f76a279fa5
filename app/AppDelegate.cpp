#include "app/AppDelegate.h"

#include "app/ApplicationWindowController.h"
#include "app/ConfigurationCheck.h"
#include "app/SoftwareUpdater.h"
#include "app/WelcomeWindowController.h"
#include "app/WindowManager.h"
#include "images/ImageCodersManager.h"
#include "images/ImageSVGCoder.h"
#include "views/main/ProjectSplitViewController.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

namespace velmora {

namespace {
AppDelegate* sharedDelegate = nullptr;
} // namespace

AppDelegate::AppDelegate(ShellEnvironment environment, WindowViews views, QObject* parent)
    : QObject(parent), m_environment(environment), m_softwareUpdater(std::make_unique<SoftwareUpdater>()),
      m_windowManager(std::make_unique<WindowManager>(std::move(environment), std::move(views))) {
    sharedDelegate = this;
    m_windowManager->setSoftwareUpdater(m_softwareUpdater.get());
    ShellHooks::setInstance(m_windowManager.get());
    m_windowManager->selectInitialAccount();
}

AppDelegate::~AppDelegate() {
    applicationWillTerminate();
    if (ShellHooks* previous = ShellHooks::setInstance(nullptr); previous != m_windowManager.get()) {
        // Someone else's hooks were installed meanwhile: leave them.
        ShellHooks::setInstance(previous);
    }
    m_windowManager.reset();
    m_softwareUpdater.reset();
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
    WindowManager& windows = *m_windowManager;
    windows.rebuildMainMenu();
    if (windows.provider()) {
        windows.closeWelcome();
        windows.showApplication();
    } else {
        windows.closeApplication();
        windows.showWelcome();
    }
    checkConfiguration();
    QTimer::singleShot(0, this, [this] { emit firstWindowShown(); });
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
    alert->open();
}

void AppDelegate::applicationWillTerminate() {
    if (m_terminated) {
        return;
    }
    m_terminated = true;
    m_windowManager->closeApplication();
    m_environment.snapshots().flush();
}

} // namespace velmora
