#pragma once

#include "platform/updates/Updater.h"

#include <QDateTime>
#include <QObject>

#include <memory>
#include <optional>

namespace velmora {

// The app's side of software updates: starts the update engine at once with the feed of the
// maker's update endpoint, the "Device-ID" header and the system profile, and mirrors the
// engine's automatic-check switch and last check date for the General settings page. The main
// menu's "Check for Updates..." calls checkForUpdates().
class SoftwareUpdater : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool automaticallyChecksForUpdates READ automaticallyChecksForUpdates WRITE
                   setAutomaticallyChecksForUpdates NOTIFY automaticallyChecksForUpdatesChanged)

public:
    // The app's: its settings, its versions, its dialogs.
    explicit SoftwareUpdater(QObject* parent = nullptr);
    // With an engine made from these (tests use their own settings file, feed and driver).
    SoftwareUpdater(Updater::Options options, std::shared_ptr<UserDriver> userDriver,
                    QObject* parent = nullptr);
    ~SoftwareUpdater() override;

    Updater* updater() const { return m_updater.get(); }

    bool automaticallyChecksForUpdates() const { return m_automaticallyChecksForUpdates; }
    // Stored here first, then written to the engine.
    void setAutomaticallyChecksForUpdates(bool on);
    std::optional<QDateTime> lastUpdateCheckDate() const { return m_lastUpdateCheckDate; }

    // The update endpoint of the maker's server; empty when the configuration names no server.
    static QString feedURLString();
    // The "Device-ID" header's value: empty when this machine has no identifier.
    static QByteArray deviceIdHeader();

public slots:
    // A check the user asked for.
    void checkForUpdates();

signals:
    void automaticallyChecksForUpdatesChanged(bool on);
    void lastUpdateCheckDateChanged();

private:
    void mirrorAutomaticChecks(bool engineValue);

    std::unique_ptr<Updater> m_updater;
    bool m_automaticallyChecksForUpdates = false;
    std::optional<QDateTime> m_lastUpdateCheckDate;
};

} // namespace velmora
