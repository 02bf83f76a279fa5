#include "trackers/jira/JiraService.h"

#include "core/model/AppIdentity.h"
#include "core/model/Coding.h"
#include "core/model/NotificationNames.h"
#include "core/model/RateLimitInfo.h"
#include "core/net/Configuration.h"
#include "core/net/ServerEndpoint.h"
#include "core/storage/CredentialLoading.h"
#include "core/storage/CredentialsManager.h"
#include "core/storage/ProviderManager.h"
#include "core/time/ReadableTimeFormatter.h"
#include "platform/notifications/NotificationCenter.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QRegularExpression>
#include <QThread>
#include <QTimeZone>

#include <algorithm>
#include <map>
#include <set>

namespace velmora {

namespace {

using Credentials = JiraProvider::Credentials;
using CredentialsResult = Result<Credentials, APIError>;

// One token refresh of one account, shared by every read that meets a 401 while it
// runs (in any service of that account).
struct RefreshFlight {
    std::mutex mutex;
    std::optional<CredentialsResult> outcome;
    std::vector<std::function<void(CredentialsResult)>> waiters;
    Cancellable subscription;

    // Calls `waiter` with the outcome, now when it is known, else when it comes.
    void wait(std::function<void(CredentialsResult)> waiter) {
        std::unique_lock lock(mutex);
        if (!outcome) {
            waiters.push_back(std::move(waiter));
            return;
        }
        const CredentialsResult known = *outcome;
        lock.unlock();
        waiter(known);
    }
};

std::mutex flightsMutex;
std::map<QUuid, std::shared_ptr<RefreshFlight>> flights;

void finish(const QUuid& providerId, const std::shared_ptr<RefreshFlight>& flight,
            const CredentialsResult& outcome) {
    {
        std::lock_guard lock(flightsMutex);
        const auto it = flights.find(providerId);
        if (it != flights.end() && it->second == flight) {
            flights.erase(it);
        }
    }
    std::vector<std::function<void(CredentialsResult)>> waiters;
    {
        std::lock_guard lock(flight->mutex);
        flight->outcome = outcome;
        waiters.swap(flight->waiters);
    }
    for (auto& waiter : waiters) {
        waiter(outcome);
    }
}

// Runs `work` on the main thread: now when this is it, else queued to it.
void onMainThread(std::function<void()> work) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread()) {
        work();
        return;
    }
    QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
}

// The refresh's answer says the refresh token is no good (rather than the server or
// the way to it failing).
bool isRefusal(const APIError& error) {
    return error.is(APIError::Kind::Unauthorized) || error.is(APIError::Kind::Validation);
}

// Unicode code-point order after canonical composition, case-sensitive.
bool codePointLess(const QString& a, const QString& b) {
    const QList<uint> x = a.normalized(QString::NormalizationForm_C).toUcs4();
    const QList<uint> y = b.normalized(QString::NormalizationForm_C).toUcs4();
    return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end());
}

User makeUser(const JiraTaskDTO::Fields::Assignee& assignee) {
    return User{assignee.accountId, assignee.displayName, assignee.avatarUrls.large};
}

} // namespace

JiraService::JiraService(JiraProvider provider, std::shared_ptr<APIRequest> request,
                         std::shared_ptr<Clock> clock)
    : m_provider(std::move(provider)), m_clock(std::move(clock)), m_guard(m_clock),
      m_request(std::move(request)) {
    Q_ASSERT(m_request);
}

std::shared_ptr<JiraService> JiraService::create(JiraProvider provider, std::shared_ptr<APIRequest> request,
                                                 std::shared_ptr<Clock> clock) {
    return std::make_shared<JiraService>(std::move(provider), std::move(request), std::move(clock));
}

std::shared_ptr<APIRequest> JiraService::request() const {
    std::lock_guard lock(m_mutex);
    return m_request;
}

void JiraService::setRequest(std::shared_ptr<APIRequest> request) {
    Q_ASSERT(request);
    std::lock_guard lock(m_mutex);
    m_request = std::move(request);
}

std::optional<JiraServerInfoDTO> JiraService::serverInfo() const {
    std::lock_guard lock(m_mutex);
    return m_serverInfo;
}

void JiraService::registerRateLimit(std::optional<std::int64_t> retryAfter) {
    announceRateLimit(m_guard.record(retryAfter));
}

void JiraService::registerRateLimit(const APIError& error) {
    announceRateLimit(m_guard.record(error));
}

void JiraService::announceRateLimit(std::int64_t delay) {
    // The notice goes out from the main thread, and only while the service still
    // exists: its account decides whether there is anyone to tell.
    std::weak_ptr<JiraService> weakSelf = weak_from_this();
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) {
        return;
    }
    QMetaObject::invokeMethod(
        app,
        [weakSelf, delay] {
            const auto self = weakSelf.lock();
            if (!self || !self->m_provider.id()) {
                return;
            }
            NotificationCenter::defaultCenter().post(QString(NotificationName::providerRateLimited),
                                                     RateLimitInfo{*self->m_provider.id(), delay});
        },
        Qt::QueuedConnection);
}

// --- token refresh ----------------------------------------------------------------------

Publisher<Credentials, APIError> JiraService::refreshToken(const QString& refreshToken) const {
    // A client of its own, without the account's bearer token, over the same settings.
    APIRequest maker(QString(), DateDecodingStrategy::SecondsSince1970);
    const QUrl url(ServerEndpoint(ServerEndpoint::JiraRefresh).url());
    return maker.perform<Credentials>(url, HttpMethod::Post, std::nullopt,
                                      nlohmann::json{{"refreshToken", refreshToken.toStdString()}});
}

Publisher<Credentials, APIError> JiraService::refreshedCredentials() {
    const QUuid providerId = *m_provider.id();
    const JiraProvider provider = m_provider;
    auto self = shared_from_this();
    return Publisher<Credentials, APIError>::create(
        [self, providerId, provider](auto sink) -> std::function<void()> {
            std::shared_ptr<RefreshFlight> flight;
            bool starts = false;
            {
                std::lock_guard lock(flightsMutex);
                auto& slot = flights[providerId];
                if (!slot) {
                    slot = std::make_shared<RefreshFlight>();
                    starts = true;
                }
                flight = slot;
            }
            flight->wait(sink);
            if (!starts) {
                return {};
            }

            // The refresh token as stored now: another service of the account may have
            // refreshed before us and stored the newer one.
            auto stored = loadCredentials(provider);
            if (!stored.ok()) {
                // The keyring did not answer (locked, absent, too slow). That says nothing
                // about the token: the credentials may well be there, so nothing is
                // marked, and the read fails as `unknown` rather than as a refusal, which
                // would keep this client from ever refreshing again.
                finish(providerId, flight, CredentialsResult::failure(APIError::unknown()));
                return {};
            }
            if (stored.value().refreshToken.isEmpty()) {
                // Nothing to refresh with, and the maker's server would only refuse an
                // empty token. Loading has marked an account with nothing stored; one
                // whose item lacks the refresh token needs signing in again just as much.
                auto item = CredentialsManager::shared().load<Credentials>(uuidText(providerId));
                if (!item.ok()) {
                    finish(providerId, flight, CredentialsResult::failure(APIError::unknown()));
                    return {};
                }
                if (item.value()) {
                    markMissingCredentials(providerId);
                }
                finish(providerId, flight, CredentialsResult::failure(APIError::unauthorized()));
                return {};
            }
            // The refresh runs to its end even when the read that started it is cancelled:
            // others may be waiting for it, and its new tokens must be kept.
            flight->subscription = self->refreshToken(stored.value().refreshToken)
                                       .subscribe([providerId, flight](CredentialsResult outcome) {
                                           flight->subscription.detach();
                                           if (!outcome.ok()) {
                                               if (isRefusal(outcome.error())) {
                                                   markMissingCredentials(providerId);
                                               }
                                               finish(providerId, flight, outcome);
                                               return;
                                           }
                                           // Stored before anyone may refresh again, so the next
                                           // refresh reads the new refresh token.
                                           onMainThread([providerId, flight, outcome] {
                                               saveRefreshedCredentials(providerId, outcome.value());
                                               finish(providerId, flight, outcome);
                                           });
                                       });
            return {};
        });
}

void JiraService::applyRefreshedToken(const Credentials& credentials) {
    std::lock_guard lock(m_mutex);
    if (m_refreshedToken == credentials.token) {
        return;
    }
    m_request =
        APIRequest::jira(credentials.token, credentials.refreshToken, m_provider.parameters().organisation);
    m_refreshedToken = credentials.token;
}

bool JiraService::isRefused(const RequestPtr& request) const {
    std::lock_guard lock(m_mutex);
    return m_refusedRequest && m_refusedRequest == request;
}

void JiraService::setRefused(const RequestPtr& request, bool refused) {
    std::lock_guard lock(m_mutex);
    if (refused) {
        m_refusedRequest = request;
    } else if (m_refusedRequest == request) {
        m_refusedRequest.reset();
    }
}

void JiraService::saveRefreshedCredentials(const QUuid& providerId, const Credentials& credentials) {
    const auto entity = ProviderManager::shared().fetchProviderEntity(providerId);
    if (!entity) {
        return;
    }
    // Keyring failures are logged by the credentials manager.
    CredentialsManager::shared().store(encodeJsonText(credentials).toUtf8(), uuidText(entity->id),
                                       Credentials::identifier());
}

// --- reads ------------------------------------------------------------------------------

QUrl JiraService::vendorRootUrl(const JiraEndpoint& endpoint) {
    return QUrl(QStringLiteral("https://") + Configuration::jiraApiHost() + QLatin1Char('/') +
                    endpoint.path(),
                QUrl::StrictMode);
}

QueryItems JiraService::withPaging(QueryItems items, std::int64_t size, std::int64_t skip) {
    items.push_back({QStringLiteral("maxResults"), QString::number(size)});
    items.push_back({QStringLiteral("startAt"), QString::number(skip)});
    return items;
}

Publisher<std::vector<JiraAccessibleResourceDTO>, APIError> JiraService::fetchAccessibleResources() {
    return read<std::vector<JiraAccessibleResourceDTO>>([](const RequestPtr& request) {
        return get<std::vector<JiraAccessibleResourceDTO>>(request, JiraEndpoint::accessibleResources());
    });
}

Publisher<ProviderUser, APIError> JiraService::fetchUser() {
    return read<ProviderUser>([](const RequestPtr& request) {
        return get<JiraUserDTO>(request, JiraEndpoint::user()).map([](const JiraUserDTO& user) {
            return ProviderUser{user.accountId, user.name, user.picture};
        });
    });
}

Publisher<JiraTimeTrackingSettingsDTO, APIError> JiraService::fetchTimeTrackingSettings() {
    return read<JiraTimeTrackingSettingsDTO>([](const RequestPtr& request) {
        return get<JiraTimeTrackingSettingsDTO>(request, JiraEndpoint::timeTrackingSettings());
    });
}

Publisher<std::vector<Project>, APIError> JiraService::fetchProjects() {
    auto self = shared_from_this();
    return read<std::vector<Project>>([self](const RequestPtr& request) {
        using Config = PagingConfig<JiraPaginatedResponseDTO<JiraProjectDTO>, JiraProjectDTO>;
        APIPaginator<Config> pages(pagingConfig<JiraPaginatedResponseDTO<JiraProjectDTO>, JiraProjectDTO>(
                                       [](const auto& page) { return page.values; }),
                                   [request](std::int64_t size, const std::int64_t& skip) {
                                       return get<JiraPaginatedResponseDTO<JiraProjectDTO>>(
                                           request, JiraEndpoint::projects(), withPaging({}, size, skip));
                                   });
        return pages.fetchAll().flatMap([self](const std::vector<JiraProjectDTO>& projects) {
            return self->fetchTimeTrackingSettings().map(
                [projects](const JiraTimeTrackingSettingsDTO& settings) {
                    const bool tracking = settings.key == QLatin1String("JIRA");
                    std::vector<Project> result;
                    result.reserve(projects.size());
                    for (const auto& p : projects) {
                        result.push_back(Project{p.id, p.key, p.name, {tracking, true, true, true}, {}});
                    }
                    std::stable_sort(result.begin(), result.end(), [](const Project& a, const Project& b) {
                        return codePointLess(a.name, b.name);
                    });
                    return result;
                });
        });
    });
}

Publisher<std::vector<Issue::State>, APIError> JiraService::fetchStates(const Project& project) {
    return read<std::vector<Issue::State>>([project](const RequestPtr& request) {
        return get<std::vector<JiraIssueTypeWithStatusDTO>>(request, JiraEndpoint::statuses(project))
            .map([](const std::vector<JiraIssueTypeWithStatusDTO>& types) {
                std::vector<Issue::State> states{Issue::State::unresolved()};
                std::set<QString> seen;
                for (const auto& type : types) {
                    for (const auto& status : type.statuses) {
                        if (seen.insert(status.id).second) {
                            states.push_back(Issue::State{status.id, status.name});
                        }
                    }
                }
                return states;
            });
    });
}

Publisher<std::vector<User>, APIError> JiraService::searchUsers(const QString& query) {
    return read<std::vector<User>>([query](const RequestPtr& request) {
        using Assignee = JiraTaskDTO::Fields::Assignee;
        using Page = JiraPaginatedResponseDTO<Assignee>;
        APIPaginator<PagingConfig<Page, User>> pages(
            pagingConfig<Page, User>([](const Page& page) {
                std::vector<User> users;
                users.reserve(page.values.size());
                for (const auto& assignee : page.values) {
                    users.push_back(makeUser(assignee));
                }
                return users;
            }),
            [request, query](std::int64_t size, const std::int64_t& skip) {
                return get<Page>(request, JiraEndpoint::userSearch(),
                                 withPaging({{QStringLiteral("query"), query}}, size, skip));
            });
        return pages.fetchAll();
    });
}

Publisher<std::vector<User>, APIError> JiraService::fetchAssignees(const Project& project) {
    return searchUsers(QStringLiteral("is assignee of ") + project.shortName);
}

Publisher<JiraServerInfoDTO, APIError> JiraService::fetchServerInfo() {
    return read<JiraServerInfoDTO>([](const RequestPtr& request) {
        return get<JiraServerInfoDTO>(request, JiraEndpoint::serverInfo());
    });
}

Publisher<Void, APIError> JiraService::loadServerInfoIfNeeded() {
    if (serverInfo()) {
        return Publisher<Void, APIError>::just(Void{});
    }
    auto self = shared_from_this();
    return fetchServerInfo().map([self](const JiraServerInfoDTO& info) {
        std::lock_guard lock(self->m_mutex);
        if (!self->m_serverInfo) {
            self->m_serverInfo = info;
        }
        return Void{};
    });
}

// --- issue search -----------------------------------------------------------------------

QString JiraService::escapeJql(const QString& text) {
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        if (c == QLatin1Char('\\') || c == QLatin1Char('"')) {
            escaped += QLatin1Char('\\');
        }
        escaped += c;
    }
    return escaped;
}

QString JiraService::searchQuery(const Project& project, const std::optional<QString>& search,
                                 const std::optional<Issue::State>& state,
                                 const std::optional<User>& assignee) {
    QString jql = QStringLiteral("project=") + project.id;
    if (search && !search->isEmpty()) {
        jql += QStringLiteral(" AND summary~\"") + escapeJql(*search) + QLatin1Char('"');
    }
    if (state) {
        jql += state->isUnresolved() ? QStringLiteral(" AND resolution=Unresolved")
                                     : QStringLiteral(" AND status=") + state->id;
    }
    if (assignee) {
        jql += QStringLiteral(" AND assignee=") + assignee->id;
    }
    return jql;
}

std::vector<Issue> JiraService::makeIssues(const JiraSearchDTO& page) const {
    const auto info = serverInfo();
    std::vector<Issue> issues;
    issues.reserve(page.values.size());
    for (const JiraTaskDTO& task : page.values) {
        Issue issue;
        issue.id = task.id;
        issue.reference = task.key;
        issue.name = task.fields.summary;
        if (task.renderedFields.description && !task.renderedFields.description->isEmpty()) {
            issue.description = task.renderedFields.description;
        }
        issue.state = Issue::State{task.fields.status.id, task.fields.status.name};
        if (task.fields.timespent) {
            issue.spentTime = ReadableTimeFormatter::format(static_cast<double>(*task.fields.timespent));
        }
        if (task.fields.assignee) {
            issue.assignee = makeUser(*task.fields.assignee);
        }
        if (info) {
            const QUrl url(info->baseUrl + QStringLiteral("/browse/") + task.key, QUrl::StrictMode);
            if (url.isValid() && !url.scheme().isEmpty()) {
                issue.externalUrl = url;
            }
        }
        issues.push_back(std::move(issue));
    }
    return issues;
}

Publisher<JiraSearchDTO, APIError> JiraService::searchPage(const QString& jql, std::int64_t size,
                                                           const SearchCursor& token) {
    auto self = shared_from_this();
    return read<JiraSearchDTO>([self, jql, size, token](const RequestPtr& request) {
        return self->loadServerInfoIfNeeded().flatMap([request, jql, size, token](Void) {
            // The search answers with bare ids unless the fields are named.
            QueryItems items{{QStringLiteral("jql"), jql},
                             {QStringLiteral("fields"), searchFields},
                             {QStringLiteral("expand"), QStringLiteral("renderedFields")},
                             {QStringLiteral("maxResults"), QString::number(size)}};
            if (token) {
                items.push_back({QStringLiteral("nextPageToken"), *token});
            }
            // A page that hands back the token it was asked with would be asked for
            // again and again: it ends the search.
            return get<JiraSearchDTO>(request, JiraEndpoint::search(), items)
                .map([token](JiraSearchDTO page) {
                    if (token && page.nextPageToken == token) {
                        page.nextPageToken.reset();
                    }
                    return page;
                });
        });
    });
}

APIPaginator<JiraService::SearchConfig> JiraService::searchPaginator(const QString& jql) {
    auto self = shared_from_this();
    SearchConfig config;
    config.pageSize = pageSize;
    config.initialSkip = std::nullopt;
    config.isLastPage = [](const JiraSearchDTO& page) { return page.isLastPage(); };
    config.calculateNextSkip = [](const SearchCursor&, const JiraSearchDTO& page) {
        return page.nextPageToken;
    };
    config.extractItems = [self](const JiraSearchDTO& page) { return self->makeIssues(page); };
    return APIPaginator<SearchConfig>(std::move(config),
                                      [self, jql](std::int64_t size, const SearchCursor& token) {
                                          return self->searchPage(jql, size, token);
                                      });
}

AnyPaginator<Issue> JiraService::fetchTasks(const Project& project, const std::optional<QString>& search,
                                            const std::optional<Issue::State>& state,
                                            const std::optional<User>& assignee) {
    return AnyPaginator<Issue>(searchPaginator(searchQuery(project, search, state, assignee)));
}

// --- work entries -----------------------------------------------------------------------

QString JiraService::workLogQuery(const DateInterval& interval) {
    // Jira reads these days in the time zone of the user's profile, which need not be
    // this machine's: a day either side takes in the work logs of the interval for any
    // two zones less than a day apart (all but the farthest Pacific pairs), and the
    // per-issue reads keep to the exact interval. Qt::ISODate writes ASCII digits of the Gregorian date
    // whatever the locale.
    const QString from = interval.start.toLocalTime().date().addDays(-1).toString(Qt::ISODate);
    const QString to = interval.end.toLocalTime().date().addDays(1).toString(Qt::ISODate);
    return QStringLiteral("worklogDate >= ") + from + QStringLiteral(" AND worklogDate <= ") + to +
           QStringLiteral(" AND worklogAuthor = currentUser()");
}

std::optional<QDateTime> JiraService::parseStarted(const QString& text) {
    static const QRegularExpression shape(
        QStringLiteral("^([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})\\.([0-9]{3})(Z|[+-"
                       "][0-9]{2}:?[0-9]{2})$"));
    const auto match = shape.match(text);
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    const QDate date(match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt());
    const QTime time(match.captured(4).toInt(), match.captured(5).toInt(), match.captured(6).toInt(),
                     match.captured(7).toInt());
    if (!date.isValid() || !time.isValid()) {
        return std::nullopt;
    }
    int offsetSeconds = 0;
    const QString zone = match.captured(8);
    if (zone != QLatin1String("Z")) {
        QString digits = zone.mid(1);
        digits.remove(QLatin1Char(':'));
        const int hours = digits.left(2).toInt();
        const int minutes = digits.mid(2, 2).toInt();
        if (hours > 18 || minutes > 59) {
            return std::nullopt;
        }
        offsetSeconds = (hours * 3600 + minutes * 60) * (zone.startsWith(QLatin1Char('-')) ? -1 : 1);
    }
    const QDateTime started(date, time, QTimeZone(offsetSeconds));
    if (!started.isValid()) {
        return std::nullopt;
    }
    return started.toLocalTime();
}

QString JiraService::formatStarted(const QDateTime& time) {
    const QDateTime local = time.toLocalTime();
    const int offsetMinutes = local.offsetFromUtc() / 60;
    const int magnitude = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    // A format string writes ASCII digits of the Gregorian calendar whatever the locale.
    return local.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz")) +
           QLatin1Char(offsetMinutes < 0 ? '-' : '+') +
           QStringLiteral("%1%2")
               .arg(magnitude / 60, 2, 10, QLatin1Char('0'))
               .arg(magnitude % 60, 2, 10, QLatin1Char('0'));
}

WorkEntry JiraService::makeWorkEntry(const JiraWorkLogDTO& workLog, const Issue& task,
                                     const QDateTime& fallbackStart) {
    WorkEntry entry;
    entry.id = workLog.id;
    if (workLog.comment && !workLog.comment->isEmpty()) {
        entry.description = workLog.comment;
    }
    // Version 2 of the API sends the comment as it was typed, not as HTML.
    entry.descriptionFormat = WorkEntry::DescriptionFormat::plainText;
    entry.spentTime = workLog.timeSpent;
    entry.spentTimeSeconds = workLog.timeSpentSeconds;
    entry.issue = task;
    entry.started = parseStarted(workLog.started).value_or(fallbackStart);
    if (workLog.created) {
        entry.created = parseStarted(*workLog.created);
    }
    return entry;
}

Publisher<std::vector<WorkEntry>, APIError>
JiraService::fetchWorkEntries(const Issue& task, const QDateTime& start, const QDateTime& end,
                              const std::optional<QString>& authorId) {
    return read<std::vector<WorkEntry>>([task, start, end, authorId](const RequestPtr& request) {
        using Config = PagingConfig<JiraWorkLogsDTO, JiraWorkLogDTO>;
        APIPaginator<Config> pages(
            pagingConfig<JiraWorkLogsDTO, JiraWorkLogDTO>(
                [](const JiraWorkLogsDTO& page) { return page.values; }),
            [request, task, start, end](std::int64_t size, const std::int64_t& skip) {
                return get<JiraWorkLogsDTO>(
                    request, JiraEndpoint::worklogs(task),
                    withPaging({{QStringLiteral("startedAfter"), QString::number(start.toMSecsSinceEpoch())},
                                {QStringLiteral("startedBefore"), QString::number(end.toMSecsSinceEpoch())}},
                               size, skip));
            });
        return pages.fetchAll().map([task, start, authorId](const std::vector<JiraWorkLogDTO>& workLogs) {
            std::vector<WorkEntry> entries;
            for (const auto& workLog : workLogs) {
                if (authorId && (!workLog.author || workLog.author->accountId != *authorId)) {
                    continue;
                }
                entries.push_back(makeWorkEntry(workLog, task, start));
            }
            return entries;
        });
    });
}

Publisher<std::vector<WorkEntry>, APIError> JiraService::fetchWorkEntries(const DateInterval& interval) {
    auto self = shared_from_this();
    // The calendar is the user's own record: only their work logs count, or the day
    // totals would hold colleagues' time and offer to delete their logs.
    return read<std::vector<WorkEntry>>(
        [self, interval](const RequestPtr&) {
            const auto& owner = self->m_provider.user();
            auto accountId =
                owner ? Publisher<QString, APIError>::just(owner->externalId)
                      : self->fetchUser().map([](const ProviderUser& user) { return user.externalId; });
            return accountId.flatMap([self, interval](const QString& accountId) {
                auto issues = self->searchPaginator(workLogQuery(interval));
                return issues.fetchAll().flatMap([self, interval,
                                                  accountId](const std::vector<Issue>& found) {
                    std::vector<Publisher<std::vector<WorkEntry>, APIError>> reads;
                    reads.reserve(found.size());
                    for (const Issue& issue : found) {
                        reads.push_back(Publisher<std::vector<WorkEntry>, APIError>::deferred(
                            [self, issue, interval, accountId] {
                                return self->fetchWorkEntries(issue, interval.start, interval.end, accountId);
                            }));
                    }
                    return whenAll(std::move(reads), maxConcurrentWorkLogReads)
                        .map([](const std::vector<std::vector<WorkEntry>>& perIssue) {
                            std::vector<WorkEntry> entries;
                            for (const auto& list : perIssue) {
                                entries.insert(entries.end(), list.begin(), list.end());
                            }
                            std::stable_sort(
                                entries.begin(), entries.end(),
                                [](const WorkEntry& a, const WorkEntry& b) { return a.started < b.started; });
                            return entries;
                        });
                });
            });
        },
        /*guarded=*/false);
}

Publisher<std::vector<WorkEntry>, APIError> JiraService::fetchOwnWorkEntries(const Issue& task,
                                                                             const DateInterval& interval) {
    auto self = shared_from_this();
    return read<std::vector<WorkEntry>>(
        [self, task, interval](const RequestPtr&) {
            const auto& owner = self->m_provider.user();
            auto accountId =
                owner ? Publisher<QString, APIError>::just(owner->externalId)
                      : self->fetchUser().map([](const ProviderUser& user) { return user.externalId; });
            return accountId.flatMap([self, task, interval](const QString& accountId) {
                // The server is asked for the interval; what it sends is kept to it all
                // the same (the author is checked on the way).
                return self->fetchWorkEntries(task, interval.start, interval.end, accountId)
                    .map([interval](std::vector<WorkEntry> entries) {
                        std::erase_if(entries, [&](const WorkEntry& entry) {
                            return !interval.contains(entry.started);
                        });
                        return entries;
                    });
            });
        },
        /*guarded=*/false);
}

Publisher<Void, APIError> JiraService::deleteWorkEntry(const WorkEntry& entry) {
    return guardRateLimit(request()->perform<Void>(JiraEndpoint::deleteWorkItem(entry), HttpMethod::Delete));
}

Publisher<JiraCreatedWorkLogDTO, APIError> JiraService::saveWorkItem(const Issue& task,
                                                                   const JiraWorkItemDTO& body) {
    using P = Publisher<JiraCreatedWorkLogDTO, APIError>;
    const auto post = [task, body](const RequestPtr& request) {
        return request->perform<JiraCreatedWorkLogDTO>(JiraEndpoint::saveWorkItem(task), HttpMethod::Post,
                                                       std::nullopt, body);
    };
    // Only a 401 that answered the POST itself proves the booking was not stored: it alone goes
    // again, as a read does (once, on a refreshed token; a fresh token refused again marks the
    // client so that no later refusal refreshes it over again).
    const auto answeredRefusal = [](const APIError& error) {
        return error.is(APIError::Kind::Unauthorized) && error.httpStatus() == 401;
    };
    const RequestPtr used = request();
    auto self = shared_from_this();
    return post(used).catchError([self, used, post, answeredRefusal](const APIError& error) -> P {
        if (!answeredRefusal(error)) {
            return P::fail(error);
        }
        const auto again = [self, post, answeredRefusal] {
            const RequestPtr fresh = self->request();
            return post(fresh).catchError([self, fresh, answeredRefusal](const APIError& refused) -> P {
                return answeredRefusal(refused) ? self->handleError<JiraCreatedWorkLogDTO>(refused, {}, fresh, 1)
                                                : P::fail(refused);
            });
        };
        return self->handleError<JiraCreatedWorkLogDTO>(error, again, used, 0);
    });
}

} // namespace velmora
