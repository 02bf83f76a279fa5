#pragma once

#include "platform/async/Cancellable.h"
#include "platform/async/Clock.h"
#include "platform/async/Result.h"
#include "platform/net/HttpHeaders.h"
#include "platform/net/HttpResponse.h"
#include "platform/net/SessionConfiguration.h"
#include "platform/net/TransportError.h"
#include "platform/updates/AppcastItem.h"
#include "platform/updates/UserDriver.h"

#include <QDateTime>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QSettings;

namespace velmora {
class NetworkSession;
}

namespace velmora {

// Checks the update feed and offers a newer version. Checks run when the user asks
// (checkForUpdates) and, while automaticallyChecksForUpdates is on, once per check interval
// counted from the last successful check. The switch and the last check date are kept in the
// settings store, so both survive restarts. Main thread only.
//
// A check that fails (no answer, an HTTP error, a feed that cannot be read) offers nothing
// and leaves the last check date as it was: it is logged, and only a check the user asked for
// tells the user. Items whose download page is not https are never offered.
class Updater : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool automaticallyChecksForUpdates READ automaticallyChecksForUpdates WRITE
                   setAutomaticallyChecksForUpdates NOTIFY automaticallyChecksForUpdatesChanged)

public:
    struct Options {
        // The settings file that keeps the switch and the last check date; empty: the
        // application's own settings.
        QString settingsFile;
        // The running build's version, which feed items are compared with.
        QString currentVersion;
        // The version as the user knows it, for messages; currentVersion when empty.
        QString currentDisplayVersion;
        std::shared_ptr<Clock> clock = Clock::system();
        std::chrono::milliseconds checkInterval = std::chrono::hours(24);
        // The feed session's settings; none: SessionConfiguration::standard() as it
        // stands when the first check makes the session. (Reading the standard one
        // here would read the extra authorities, loading the TLS library, while the
        // app starts.)
        std::optional<SessionConfiguration> session;
    };

    enum class Outcome { UpdateFound, NoUpdate, Failed };

    // The largest feed read; a larger answer fails the check.
    static constexpr qint64 maxFeedSize = 1024 * 1024;
    // The most of a release notes page that is shown; a longer page is not shown at all.
    static constexpr qsizetype kReleaseNotesCap = 512 * 1024;

    Updater(Options options, std::shared_ptr<UserDriver> userDriver, QObject* parent = nullptr);
    ~Updater() override;

    // Where the feed is, asked anew for every check.
    void setFeedUrlProvider(std::function<QString()> provider) { m_feedUrl = std::move(provider); }
    void setHttpHeaders(HttpHeaders headers) { m_headers = std::move(headers); }
    // Adds the system profile (SystemProfile) to the feed request's query.
    void setSendsSystemProfile(bool sends) { m_sendsSystemProfile = sends; }

    // Starts the automatic schedule.
    void start();

    bool automaticallyChecksForUpdates() const;
    void setAutomaticallyChecksForUpdates(bool on);
    // When a check last got a usable feed; absent before the first.
    std::optional<QDateTime> lastUpdateCheckDate() const;

    // A check the user asked for: its outcome is always shown.
    void checkForUpdates();
    // A check nobody asked for: only a newer version is shown.
    void checkForUpdatesInBackground();
    bool checkInProgress() const { return m_check.has_value(); }

    // The feed request's address: the provider's URL plus the system profile when sent.
    QUrl feedUrl() const;
    // When the next automatic check is due; absent while automatic checks are off.
    std::optional<QDateTime> nextScheduledCheck() const;

signals:
    void automaticallyChecksForUpdatesChanged(bool on);
    void lastUpdateCheckDateChanged();
    void checkFinished(Updater::Outcome outcome);

private:
    void check(bool userInitiated);
    // Shows the offer of `item`, with the release notes its link points to (https only)
    // when it carries none itself.
    void offer(AppcastItem item);
    static QString releaseNotesFrom(const Result<HttpResponse, TransportError>& response);
    void finish(Outcome outcome);
    void fail(bool userInitiated, const QString& reason);
    void schedule();

    Options m_options;
    std::shared_ptr<UserDriver> m_userDriver;
    std::unique_ptr<QSettings> m_settings;
    std::function<QString()> m_feedUrl;
    HttpHeaders m_headers;
    bool m_sendsSystemProfile = false;
    bool m_started = false;
    std::shared_ptr<NetworkSession> m_session;
    std::optional<Cancellable> m_check;
    std::optional<QDateTime> m_lastAttempt;
    // Someone waits for the running check's outcome.
    bool m_userWaiting = false;
    QTimer m_timer;
};

} // namespace velmora
