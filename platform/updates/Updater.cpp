#include "platform/updates/Updater.h"

#include "platform/net/NetworkSession.h"
#include "platform/updates/AppVersion.h"
#include "platform/updates/Appcast.h"
#include "platform/updates/SystemProfile.h"

#include <QLoggingCategory>
#include <QSettings>
#include <QUrlQuery>

#include <algorithm>
#include <climits>

namespace velmora {

namespace {

Q_LOGGING_CATEGORY(lcUpdates, "app.velmora.Velmora.Updates")

const QString kAutomaticKey = QStringLiteral("Updates/automaticallyChecksForUpdates");
const QString kLastCheckKey = QStringLiteral("Updates/lastUpdateCheckDate");

QString failureMessage() {
    return QObject::tr("An error occurred while checking for updates. Please try again later.");
}

} // namespace

Updater::Updater(Options options, std::shared_ptr<UserDriver> userDriver, QObject* parent)
    : QObject(parent), m_options(std::move(options)), m_userDriver(std::move(userDriver)),
      m_settings(m_options.settingsFile.isEmpty()
                     ? std::make_unique<QSettings>()
                     : std::make_unique<QSettings>(m_options.settingsFile, QSettings::IniFormat)) {
    if (m_options.currentDisplayVersion.isEmpty())
        m_options.currentDisplayVersion = m_options.currentVersion;
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &Updater::checkForUpdatesInBackground);
}

Updater::~Updater() = default;

void Updater::start() {
    m_started = true;
    schedule();
}

bool Updater::automaticallyChecksForUpdates() const {
    return m_settings->value(kAutomaticKey, false).toBool();
}

void Updater::setAutomaticallyChecksForUpdates(bool on) {
    if (on == automaticallyChecksForUpdates())
        return;
    m_settings->setValue(kAutomaticKey, on);
    m_settings->sync();
    schedule();
    emit automaticallyChecksForUpdatesChanged(on);
}

std::optional<QDateTime> Updater::lastUpdateCheckDate() const {
    const QDateTime date = m_settings->value(kLastCheckKey).toDateTime();
    return date.isValid() ? std::optional<QDateTime>(date) : std::nullopt;
}

QUrl Updater::feedUrl() const {
    QUrl url(m_feedUrl ? m_feedUrl() : QString(), QUrl::StrictMode);
    if (m_sendsSystemProfile && url.isValid()) {
        QUrlQuery query(url);
        for (const auto& [name, value] : SystemProfile::queryItems()) {
            // Fully encoded, so a value such as "C++" or "a&b" stays one value.
            query.addQueryItem(QString::fromUtf8(QUrl::toPercentEncoding(name)),
                               QString::fromUtf8(QUrl::toPercentEncoding(value)));
        }
        url.setQuery(query);
    }
    return url;
}

std::optional<QDateTime> Updater::nextScheduledCheck() const {
    if (!automaticallyChecksForUpdates())
        return std::nullopt;
    std::optional<QDateTime> base = lastUpdateCheckDate();
    if (m_lastAttempt && (!base || *m_lastAttempt > *base))
        base = m_lastAttempt;
    if (!base)
        return m_options.clock->now();
    return base->addMSecs(m_options.checkInterval.count());
}

void Updater::schedule() {
    m_timer.stop();
    if (!m_started)
        return;
    const std::optional<QDateTime> next = nextScheduledCheck();
    if (!next)
        return;
    const qint64 wait = std::clamp<qint64>(m_options.clock->now().msecsTo(*next), 0, INT_MAX);
    m_timer.start(static_cast<int>(wait));
}

void Updater::checkForUpdates() {
    check(true);
}

void Updater::checkForUpdatesInBackground() {
    check(false);
}

void Updater::check(bool userInitiated) {
    if (checkInProgress()) {
        // The user asked while an automatic check runs: that check's outcome is shown.
        m_userWaiting = m_userWaiting || userInitiated;
        return;
    }
    m_userWaiting = userInitiated;
    m_lastAttempt = m_options.clock->now();
    const QUrl url = feedUrl();
    if (!url.isValid() || url.scheme() != QLatin1String("https")) {
        fail(userInitiated, QStringLiteral("the feed address is not a valid https URL: ") + url.toString());
        return;
    }
    HttpRequest request;
    request.url = url;
    request.headers = m_headers;
    // A feed lists a few releases; anything near this size is not one.
    request.maxBodySize = maxFeedSize;
    if (!m_session)
        m_session = NetworkSession::create(m_options.session.value_or(SessionConfiguration::standard()));

    m_check.emplace();
    Cancellable subscription =
        m_session->send(std::move(request)).subscribe([this](Result<HttpResponse, TransportError> r) {
            const bool userInitiated = m_userWaiting;
            if (m_check) {
                Cancellable done = std::move(*m_check);
                m_check.reset();
                done.detach();
            }
            if (!r.ok()) {
                fail(userInitiated,
                     QStringLiteral("the feed could not be fetched: ") + r.error().description());
                return;
            }
            const HttpResponse& response = r.value();
            if (response.statusCode < 200 || response.statusCode > 299) {
                fail(userInitiated, QStringLiteral("the feed answered HTTP %1").arg(response.statusCode));
                return;
            }
            auto items = Appcast::parse(response.body);
            if (!items.ok()) {
                fail(userInitiated, QStringLiteral("the feed cannot be read: ") + items.error());
                return;
            }
            m_settings->setValue(kLastCheckKey, m_options.clock->now());
            m_settings->sync();
            emit lastUpdateCheckDateChanged();

            const AppcastItem* best = nullptr;
            for (const AppcastItem& item : items.value()) {
                if (!item.downloadLink.isValid() || item.downloadLink.scheme() != QLatin1String("https")) {
                    qCWarning(lcUpdates)
                        << "[Updater] Skipping version" << item.version
                        << "whose download page is not https:" << item.downloadLink.toString();
                    continue;
                }
                if (AppVersion::compare(item.version, m_options.currentVersion) > 0 &&
                    (best == nullptr || AppVersion::compare(item.version, best->version) > 0)) {
                    best = &item;
                }
            }
            if (best != nullptr) {
                offer(*best);
            } else {
                if (userInitiated)
                    m_userDriver->showUpdateNotFound(m_options.currentDisplayVersion);
                finish(Outcome::NoUpdate);
            }
        });
    if (m_check)
        *m_check = std::move(subscription);
}

void Updater::offer(AppcastItem item) {
    const QUrl notes = item.releaseNotesLink;
    if (!item.releaseNotes.trimmed().isEmpty() || notes.isEmpty()) {
        m_userDriver->showUpdateFound(item, m_options.currentDisplayVersion);
        finish(Outcome::UpdateFound);
        return;
    }
    if (!notes.isValid() || notes.scheme() != QLatin1String("https") || notes.host().isEmpty()) {
        qCWarning(lcUpdates) << "[Updater] Not fetching release notes that are not on https:"
                             << notes.toString();
        m_userDriver->showUpdateFound(item, m_options.currentDisplayVersion);
        finish(Outcome::UpdateFound);
        return;
    }
    HttpRequest request;
    request.url = notes;
    // Stop reading past the cap rather than hold a page too long to show.
    request.maxBodySize = kReleaseNotesCap;
    // The check stays in progress until the offer is shown.
    m_check.emplace();
    Cancellable subscription = m_session->send(std::move(request))
                                   .subscribe([this, item](Result<HttpResponse, TransportError> r) mutable {
                                       if (m_check) {
                                           Cancellable done = std::move(*m_check);
                                           m_check.reset();
                                           done.detach();
                                       }
                                       item.releaseNotes = releaseNotesFrom(r);
                                       m_userDriver->showUpdateFound(item, m_options.currentDisplayVersion);
                                       finish(Outcome::UpdateFound);
                                   });
    if (m_check)
        *m_check = std::move(subscription);
}

QString Updater::releaseNotesFrom(const Result<HttpResponse, TransportError>& response) {
    // Without its notes the offer still stands: a failure here is only logged.
    if (!response.ok()) {
        qCWarning(lcUpdates).noquote()
            << "[Updater] The release notes could not be fetched:" << response.error().description();
        return QString();
    }
    const HttpResponse& page = response.value();
    if (page.statusCode < 200 || page.statusCode > 299) {
        qCWarning(lcUpdates) << "[Updater] The release notes answered HTTP" << page.statusCode;
        return QString();
    }
    if (page.body.size() > kReleaseNotesCap) {
        qCWarning(lcUpdates) << "[Updater] Release notes of" << page.body.size() << "bytes are not shown";
        return QString();
    }
    return QString::fromUtf8(page.body);
}

void Updater::fail(bool userInitiated, const QString& reason) {
    qCWarning(lcUpdates).noquote() << "[Updater] An update check failed:" << reason;
    if (userInitiated)
        m_userDriver->showUpdaterError(failureMessage());
    finish(Outcome::Failed);
}

void Updater::finish(Outcome outcome) {
    schedule();
    emit checkFinished(outcome);
}

} // namespace velmora
