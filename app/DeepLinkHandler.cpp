#include "app/DeepLinkHandler.h"

#include "app/WindowManager.h"
#include "core/model/AppIdentity.h"
#include "core/model/NotificationNames.h"
#include "platform/notifications/NotificationCenter.h"
#include "views/settings/SettingsSplitViewController.h"
#include "views/settings/SettingsViewModel.h"
#include "views/settings/SettingsWindowController.h"

#include <QLoggingCategory>
#include <QPointer>
#include <QTimer>

namespace velmora {

namespace {

Q_LOGGING_CATEGORY(deepLinks, "app.velmora.Velmora.Deep Link")

// Hands the credentials to the form that waits for them; none waiting, nobody gets them.
template <typename Credentials> void deliver(QLatin1StringView name, const Credentials& credentials) {
    NotificationCenter& centre = NotificationCenter::defaultCenter();
    const QString notice(name);
    if (centre.observerCount(notice) == 0) {
        qCInfo(deepLinks) << "[DeepLinkHandler] Ignored" << notice << "as no account setup waits for it";
        return;
    }
    centre.post(notice, credentials);
}

} // namespace

DeepLinkHandler::DeepLinkHandler(WindowManager& windows, QObject* parent)
    : QObject(parent), m_windows(windows) {}

void DeepLinkHandler::handle(const QStringList& urls) {
    for (const QString& url : urls) {
        if (auto link = DeepLink::parse(url)) {
            handle(*link);
        } else {
            qCInfo(deepLinks) << "[DeepLinkHandler] Ignored a link of" << DeepLink::describe(url);
        }
    }
}

void DeepLinkHandler::handle(const DeepLink::Value& link) {
    if (const auto* jira = std::get_if<DeepLink::AuthorizeJira>(&link)) {
        deliver(NotificationName::jiraCredentialsReceived, jira->credentials);
        return;
    }
    if (const auto* asana = std::get_if<DeepLink::AuthorizeAsana>(&link)) {
        deliver(NotificationName::asanaCredentialsReceived, asana->credentials);
        return;
    }
    m_windows.showSettings();
    SettingsWindowController* window = m_windows.settingsWindow();
    if (!window || !window->splitViewController()) {
        return;
    }
    window->splitViewController()->viewModel().setRoute(SettingsPage::Name::accounts);
    QTimer::singleShot(addAccountDelayMs, this, [] {
        NotificationCenter::defaultCenter().post(QString(NotificationName::addAccount));
    });
}

} // namespace velmora
