#pragma once

#include "core/model/APIError.h"
#include "core/model/APIPaginator.h"
#include "core/model/APIPaginatorConfig.h"
#include "core/model/AnyPaginator.h"
#include "core/model/DateInterval.h"
#include "core/model/JiraProvider.h"
#include "core/model/ProviderService.h"
#include "core/net/APIRequest.h"
#include "core/net/HandlesRateLimiting.h"
#include "core/net/QueryItems.h"
#include "core/net/RateLimitGuard.h"
#include "platform/async/Clock.h"
#include "platform/async/Publisher.h"
#include "trackers/jira/JiraDTOs.h"
#include "trackers/jira/JiraEndpoint.h"

#include <QDateTime>
#include <QString>
#include <QUuid>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace velmora {

// The tracker service of one Jira Cloud account: its user and sites, projects,
// statuses and assignees, the issue search, the work logs of a date range and their
// deletion. Bookings are sent by JiraWorkLogForm through `request()` and the guard.
//
// Every operation is built when it is called, on the client current at that moment,
// and runs nothing until it is subscribed. Reads pass one error handler:
// - a 429 records the limit ("Retry-After" seconds, 60 when absent) and announces it
//   with "ProviderRateLimited" on the main thread;
// - a 401 of a saved account refreshes the token through the maker's server and runs
//   the read once more on a new client. One refresh per account runs at a time: a 401
//   meanwhile (from this service or another one of the same account) waits for it and
//   retries with its result, and a 401 of a read made before the refresh simply runs
//   again on the new client. A read that already ran again after a 401 reports the
//   next one, and a client whose fresh token (or whose refresh) is refused is not
//   refreshed again until a read on it succeeds (another service of the account starts afresh). Only a
//   refusal of the refresh (401/403) marks the account as missing its credentials; a refresh that fails for
//   any other reason marks nothing. The caller gets the refresh's own error.
// Outermost, the rate-limit guard fails an operation at once, without sending, while
// a recorded limit lies ahead. Deleting has the guard but no handler.
//
// Services are held in a std::shared_ptr (make them with `create`): operations keep
// their service alive until they end, and the notice holds it weakly. Results may
// arrive on any thread that subscribed; callers move them to the main thread.
class JiraService : public ProviderService,
                    public HandlesRateLimiting,
                    public std::enable_shared_from_this<JiraService> {
public:
    using WorkItemDTO = JiraWorkItemDTO;
    using Credentials = JiraProvider::Credentials;

    // Items per page of every Jira list.
    static constexpr std::int64_t pageSize = 50;
    // Work-log reads of a date range that run side by side.
    static constexpr std::size_t maxConcurrentWorkLogReads = 4;
    // The fields the issue search asks for.
    static inline const QString searchFields =
        QStringLiteral("description,summary,status,timespent,assignee");

    template <typename Page, typename Item> using PagingConfig = APIPaginatorConfig<Page, Item, std::int64_t>;

    JiraService(JiraProvider provider, std::shared_ptr<APIRequest> request,
                std::shared_ptr<Clock> clock = Clock::system());
    static std::shared_ptr<JiraService> create(JiraProvider provider, std::shared_ptr<APIRequest> request,
                                               std::shared_ptr<Clock> clock = Clock::system());

    const JiraProvider& provider() const { return m_provider; }
    // The clock of its rate limit, and of the bookings made through it.
    const std::shared_ptr<Clock>& clock() const { return m_clock; }

    // The client current now; replaced after every successful token refresh.
    std::shared_ptr<APIRequest> request() const;
    void setRequest(std::shared_ptr<APIRequest> request);

    // HandlesRateLimiting.
    std::optional<QDateTime> rateLimitedUntil() const override { return m_guard.limitedUntil(); }
    void setRateLimitedUntil(const std::optional<QDateTime>& until) override {
        m_guard.setLimitedUntil(until);
    }
    void registerRateLimit(std::optional<std::int64_t> retryAfter) override;
    // What a read's handler records: a 429's wait, or a refusal passed on (which moves
    // no limit).
    void registerRateLimit(const APIError& error);

    // The site's server information once `loadServerInfoIfNeeded()` read it.
    std::optional<JiraServerInfoDTO> serverInfo() const;

    // While a limit lies ahead: an operation that fails at once with the seconds
    // left; otherwise `operation`. Judged now.
    template <typename T> Publisher<T, APIError> guardRateLimit(Publisher<T, APIError> operation) const {
        return m_guard.guard(std::move(operation));
    }

    // --- the maker's server -----------------------------------------------------------

    // Exchanges a refresh token for a new pair at the maker's server. Sent without
    // the tracker's bearer token: the maker's server has no business with it.
    Publisher<Credentials, APIError> refreshToken(const QString& refreshToken) const;

    // --- reads ------------------------------------------------------------------------

    // The sites the token may reach (for the account setup).
    Publisher<std::vector<JiraAccessibleResourceDTO>, APIError> fetchAccessibleResources();
    // The user of the token, read from the cloud API host whatever the client's site.
    Publisher<ProviderUser, APIError> fetchUser() override;
    // All projects, by name (code-point order), with time tracking on when the site
    // uses its own ("JIRA").
    Publisher<std::vector<Project>, APIError> fetchProjects() override;
    Publisher<JiraTimeTrackingSettingsDTO, APIError> fetchTimeTrackingSettings();
    // "Unresolved" first, then the statuses of all issue types, each id once.
    Publisher<std::vector<Issue::State>, APIError> fetchStates(const Project& project) override;
    Publisher<std::vector<User>, APIError> searchUsers(const QString& query);
    // The users of "is assignee of <project key>".
    Publisher<std::vector<User>, APIError> fetchAssignees(const Project& project) override;
    Publisher<JiraServerInfoDTO, APIError> fetchServerInfo();
    // Reads and keeps the server information unless it is kept already.
    Publisher<Void, APIError> loadServerInfoIfNeeded();

    AnyPaginator<Issue> fetchTasks(const Project& project, const std::optional<QString>& search,
                                   const std::optional<Issue::State>& state,
                                   const std::optional<User>& assignee) override;

    // The account user's own work logs started within the interval, by start.
    Publisher<std::vector<WorkEntry>, APIError> fetchWorkEntries(const DateInterval& interval) override;
    // The work logs of one issue started from `start` to `end`; with `authorId`, only
    // that user's.
    Publisher<std::vector<WorkEntry>, APIError> fetchWorkEntries(const Issue& task, const QDateTime& start,
                                                                 const QDateTime& end,
                                                                 const std::optional<QString>& authorId = {});

    // The account user's work logs of one issue started within the interval: the server
    // is asked for the interval ("startedAfter", "startedBefore"; the issue's work log
    // has no author filter), and each log is checked here for its author and start
    // whatever it filtered.
    // Books a work log on the task. Unguarded (the booking guards it) and no read's recovery:
    // every answer is the booking's own, except a 401, which proves nothing was stored: then,
    // once, the token is refreshed and the work log sent again on a fresh request.
    Publisher<JiraCreatedWorkLogDTO, APIError> saveWorkItem(const Issue& task, const JiraWorkItemDTO& body);

    Publisher<std::vector<WorkEntry>, APIError> fetchOwnWorkEntries(const Issue& task,
                                                                    const DateInterval& interval) override;

    Publisher<Void, APIError> deleteWorkEntry(const WorkEntry& entry) override;

    // --- pieces with rules of their own -------------------------------------------------

    // The JQL of the task list: project, then summary text (quoted, with "\" and '"'
    // escaped), then state ("resolution=Unresolved" for the unresolved sentinel), then
    // assignee.
    static QString searchQuery(const Project& project, const std::optional<QString>& search,
                               const std::optional<Issue::State>& state, const std::optional<User>& assignee);
    // The JQL of a date range: the account user's work logs from the day before the
    // interval's first local day to the day after its last, both included (Jira reads
    // the days in its profile's time zone).
    static QString workLogQuery(const DateInterval& interval);
    // Text as the inside of a JQL string: backslash and double quote escaped.
    static QString escapeJql(const QString& text);
    // "2024-03-04T10:00:00.000+0100" (also "Z" and "+01:00" as the zone); none for
    // anything else. ASCII digits and the Gregorian calendar whatever the locale.
    static std::optional<QDateTime> parseStarted(const QString& text);
    // `time` in the local zone as Jira writes a work log's start:
    // "2026-12-07T09:15:00.000+0100", ASCII digits whatever the locale.
    static QString formatStarted(const QDateTime& time);

    // Issues of a search page as the task list shows them.
    std::vector<Issue> makeIssues(const JiraSearchDTO& page) const;
    static WorkEntry makeWorkEntry(const JiraWorkLogDTO& workLog, const Issue& task,
                                   const QDateTime& fallbackStart);

    // The paging every Jira list shares, with its own item extraction.
    template <typename Page, typename Item>
    static PagingConfig<Page, Item> pagingConfig(std::function<std::vector<Item>(const Page&)> extractItems) {
        PagingConfig<Page, Item> config;
        config.pageSize = pageSize;
        config.initialSkip = 0;
        // A page that claims no room (0 or fewer results) would never let a listing end.
        config.isLastPage = [](const Page& page) {
            return page.maxResults <= 0 || static_cast<std::int64_t>(page.values.size()) < page.maxResults;
        };
        config.calculateNextSkip = [](const std::int64_t& skip, const Page& page) {
            return skip + page.maxResults;
        };
        config.extractItems = std::move(extractItems);
        return config;
    }

    // Stores refreshed credentials in the keyring when the account is still stored.
    // Main thread.
    static void saveRefreshedCredentials(const QUuid& providerId, const Credentials& credentials);

private:
    using RequestPtr = std::shared_ptr<APIRequest>;
    template <typename T> using Build = std::function<Publisher<T, APIError>(const RequestPtr&)>;

    // The read built on the current client, with the error handler (whose retry builds
    // it again) and, when `guarded`, the guard.
    template <typename T> Publisher<T, APIError> read(Build<T> build, bool guarded = true, int attempt = 0);

    template <typename T>
    Publisher<T, APIError> handleError(const APIError& error, std::function<Publisher<T, APIError>()> retry,
                                       const RequestPtr& builtOn, int attempt);

    // Posts "ProviderRateLimited" with `delay` from the main thread.
    void announceRateLimit(std::int64_t delay);
    // Waits for the account's refresh in flight, or starts one; yields the new pair.
    Publisher<Credentials, APIError> refreshedCredentials();
    void applyRefreshedToken(const Credentials& credentials);
    // Whether the client's token was refused right after the refresh that made it
    // (until a read on it succeeds).
    bool isRefused(const RequestPtr& request) const;
    void setRefused(const RequestPtr& request, bool refused);

    // `endpoint` on the client's base, or on the cloud API host for the endpoints that
    // live there.
    template <typename T>
    static Publisher<T, APIError> get(const RequestPtr& request, const JiraEndpoint& endpoint,
                                      const std::optional<QueryItems>& queryItems = std::nullopt) {
        if (endpoint.isOnVendorRoot()) {
            return request->perform<T>(vendorRootUrl(endpoint), HttpMethod::Get, queryItems);
        }
        return request->perform<T>(endpoint, HttpMethod::Get, queryItems);
    }
    static QUrl vendorRootUrl(const JiraEndpoint& endpoint);
    static QueryItems withPaging(QueryItems items, std::int64_t size, std::int64_t skip);

    // The issue search pages by token: none asks for the first page.
    using SearchCursor = std::optional<QString>;
    using SearchConfig = APIPaginatorConfig<JiraSearchDTO, Issue, SearchCursor>;
    Publisher<JiraSearchDTO, APIError> searchPage(const QString& jql, std::int64_t size,
                                                  const SearchCursor& token);
    APIPaginator<SearchConfig> searchPaginator(const QString& jql);

    const JiraProvider m_provider;
    const std::shared_ptr<Clock> m_clock;
    RateLimitGuard m_guard;
    mutable std::mutex m_mutex;
    RequestPtr m_request;
    // The token of the client made from a refresh, so that reads waiting for the same
    // refresh make one new client between them.
    std::optional<QString> m_refreshedToken;
    RequestPtr m_refusedRequest;
    std::optional<JiraServerInfoDTO> m_serverInfo;
};

template <typename T> Publisher<T, APIError> JiraService::read(Build<T> build, bool guarded, int attempt) {
    const RequestPtr request = this->request();
    auto self = shared_from_this();
    auto handled =
        build(request)
            .handleEvents([self, request](const T&) { self->setRefused(request, false); })
            .catchError([self, build, guarded, attempt, request](const APIError& error) {
                return self->handleError<T>(
                    error,
                    [self, build, guarded, attempt] { return self->read<T>(build, guarded, attempt + 1); },
                    request, attempt);
            });
    return guarded ? guardRateLimit(std::move(handled)) : handled;
}

template <typename T>
Publisher<T, APIError> JiraService::handleError(const APIError& error,
                                                std::function<Publisher<T, APIError>()> retry,
                                                const RequestPtr& builtOn, int attempt) {
    using P = Publisher<T, APIError>;
    switch (error.kind()) {
    case APIError::Kind::RateLimited:
        registerRateLimit(error);
        return P::fail(error);
    case APIError::Kind::Unauthorized: {
        // An account being set up has nothing to refresh with.
        if (!m_provider.id()) {
            return P::fail(error);
        }
        const RequestPtr current = request();
        // A read that already ran again after a 401 reports the next one; when it ran
        // on the current client, that client's token is refused even fresh, and reads
        // nested in other reads do not refresh it over and over.
        if (attempt > 0) {
            if (builtOn == current) {
                setRefused(current, true);
            }
            return P::fail(error);
        }
        // The token this read was sent with has been replaced meanwhile.
        if (builtOn != current) {
            return retry();
        }
        if (isRefused(current)) {
            return P::fail(error);
        }
        auto self = shared_from_this();
        return refreshedCredentials()
            .catchError([self, current](const APIError& refreshError) {
                // A refresh that ends in a 401 is not asked for again on this client:
                // the handlers of enclosing reads would repeat the refusal (and the
                // marking of the account) once each.
                if (refreshError.is(APIError::Kind::Unauthorized)) {
                    self->setRefused(current, true);
                }
                return Publisher<Credentials, APIError>::fail(refreshError);
            })
            .flatMap([self, retry](const Credentials& credentials) {
                self->applyRefreshedToken(credentials);
                return retry();
            });
    }
    default:
        return P::fail(error);
    }
}

} // namespace velmora
