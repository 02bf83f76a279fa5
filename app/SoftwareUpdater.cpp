#include "app/SoftwareUpdater.h"

#include "core/net/Configuration.h"
#include "core/net/Device.h"
#include "core/net/ServerEndpoint.h"
#include "platform/updates/StandardUserDriver.h"

namespace velmora {

namespace {
Updater::Options applicationOptions() {
    Updater::Options options;
    options.currentVersion = Configuration::buildVersion();
    options.currentDisplayVersion = Configuration::shortVersion();
    return options;
}
} // namespace

SoftwareUpdater::SoftwareUpdater(QObject* parent)
    : SoftwareUpdater(applicationOptions(), std::make_shared<StandardUserDriver>(), parent) {}

SoftwareUpdater::SoftwareUpdater(Updater::Options options, std::shared_ptr<UserDriver> userDriver,
                                 QObject* parent)
    : QObject(parent), m_updater(std::make_unique<Updater>(std::move(options), std::move(userDriver))) {
    m_updater->setSendsSystemProfile(true);
    m_updater->setHttpHeaders({{"Device-ID", deviceIdHeader()}});
    m_updater->setFeedUrlProvider(&SoftwareUpdater::feedURLString);

    // The engine's stored switch is the truth at start; afterwards each real change of it is
    // copied here and written back, which leaves it as it is.
    m_automaticallyChecksForUpdates = m_updater->automaticallyChecksForUpdates();
    connect(m_updater.get(), &Updater::automaticallyChecksForUpdatesChanged, this,
            &SoftwareUpdater::mirrorAutomaticChecks);
    m_lastUpdateCheckDate = m_updater->lastUpdateCheckDate();
    connect(m_updater.get(), &Updater::lastUpdateCheckDateChanged, this, [this] {
        m_lastUpdateCheckDate = m_updater->lastUpdateCheckDate();
        emit lastUpdateCheckDateChanged();
    });
    m_updater->start();
}

SoftwareUpdater::~SoftwareUpdater() = default;

void SoftwareUpdater::mirrorAutomaticChecks(bool engineValue) {
    if (engineValue == m_automaticallyChecksForUpdates)
        return;
    m_automaticallyChecksForUpdates = engineValue;
    emit automaticallyChecksForUpdatesChanged(engineValue);
}

void SoftwareUpdater::setAutomaticallyChecksForUpdates(bool on) {
    const bool changed = on != m_automaticallyChecksForUpdates;
    m_automaticallyChecksForUpdates = on;
    m_updater->setAutomaticallyChecksForUpdates(on);
    if (changed)
        emit automaticallyChecksForUpdatesChanged(on);
}

void SoftwareUpdater::checkForUpdates() {
    m_updater->checkForUpdates();
}

QString SoftwareUpdater::feedURLString() {
    // Without a server the check fails like any unreachable feed, instead of stopping the app.
    if (!Configuration::application().value<QString>(Configuration::Key::ServerUrl).ok())
        return {};
    return ServerEndpoint(ServerEndpoint::Updates).url();
}

QByteArray SoftwareUpdater::deviceIdHeader() {
    return Device::identifier().value_or(QString()).toUtf8();
}

} // namespace velmora
