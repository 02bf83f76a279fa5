#pragma once

#include "core/model/APIError.h"
#include "core/model/AnyPaginator.h"
#include "core/model/AsanaProvider.h"
#include "core/model/DateInterval.h"
#include "core/model/ProviderService.h"
#include "core/net/APIRequest.h"
#include "core/net/HandlesRateLimiting.h"
#include "core/net/QueryItems.h"
#include "core/net/RateLimitGuard.h"
#include "platform/async/Clock.h"
#include "platform/async/Publisher.h"
#include "trackers/asana/AsanaDTOs.h"

#include <QDateTime>
#include <QSet>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace velmora {

// The tracker service of an Asana account: workspaces, the account's user, projects,
// sections (the task states), members, the task search, and the time-tracking entries
// of the calendar.
//
// Every operation is made on the calling thread and delivers where its requests
// deliver; nothing is sent before it is subscribed. Around the requests:
// - the rate-limit guard refuses at once, while a limit lasts, every operation but
//   `fetchUser()` (judged when the operation is made);
// - a 429 records the limit ("Retry-After" seconds, else 60) and announces
//   "ProviderRateLimited"; a 402 (a workspace without the paid plan) marks the account
//   as missing its credentials;
// - a 401 exchanges the refresh token through the maker's server and runs the failed
//   read once more with the new token. Each operation gets that one second try of its
//   own; the exchange itself is shared by every service of the account (see
//   AsanaRefreshCoordinator). Only a refused exchange marks the account: no network, a
//   time-out, a 429 or a server failure leave it as it is.
// An account that is not saved yet (no id) gets every error back as it is: nothing is
// recorded, refreshed, marked or announced.
//
// Made through `create` and held by std::shared_ptr: running operations keep their
// service alive until they end.
class AsanaService final : public ProviderService,
                           public HandlesRateLimiting,
                           public std::enable_shared_from_this<AsanaService> {
public:
    using Credentials = AsanaProvider::Credentials;
    using WorkItemDTO = AsanaTimeTrackingDTO;

    // Items per page of every offset-paged list and of the task search.
    static constexpr std::int64_t pageSize = 50;
    // Items asked for per page when the range read searches the user's own tasks.
    static constexpr std::int64_t ownTasksPageSize = 100;
    // Entry reads of the range read that run side by side (free workspaces allow 150
    // requests a minute).
    static constexpr std::size_t entryReadsAtOnce = 4;

    // A service whose client sends `credentials.token` as its bearer token.
    static std::shared_ptr<AsanaService> create(AsanaProvider provider, const Credentials& credentials,
                                                std::shared_ptr<Clock> clock = Clock::system());

    const AsanaProvider& provider() const { return m_provider; }
    // The client of the account's current token; replaced after a token exchange.
    std::shared_ptr<APIRequest> request() const;

    // --- rate limits -----------------------------------------------------------------

    std::optional<QDateTime> rateLimitedUntil() const override { return m_guard.limitedUntil(); }
    void setRateLimitedUntil(const std::optional<QDateTime>& until) override {
        m_guard.setLimitedUntil(until);
    }
    // Records the limit and, for a saved account, announces it on the main thread.
    void registerRateLimit(std::optional<std::int64_t> retryAfter) override;
    // What a read's handler records: a 429's wait, or a refusal passed on (which moves
    // no limit).
    void registerRateLimit(const APIError& error);

    // `operation` unchanged, or while limited one that fails at once with the whole
    // seconds left; judged now.
    template <typename T> Publisher<T, APIError> guardRateLimit(Publisher<T, APIError> operation) const {
        return m_guard.guard(std::move(operation));
    }

    // --- reads -------------------------------------------------------------------------

    // Every workspace the user can see (for the account setup).
    Publisher<std::vector<AsanaWorkspaceDTO>, APIError> fetchWorkspaces();
    // Not guarded: it goes out even while the account is rate-limited.
    Publisher<ProviderUser, APIError> fetchUser() override;
    // The projects of the account's workspace, in the tracker's order.
    Publisher<std::vector<Project>, APIError> fetchProjects() override;
    // The project's sections as task states (no "Unresolved" state is added).
    Publisher<std::vector<Issue::State>, APIError> fetchStates(const Project& project) override;
    // The users of a team.
    Publisher<std::vector<User>, APIError> fetchTeamUsers(const QString& team);
    // The project's members, users of member teams included, one per id; a user
    // listed both directly and through a team keeps the team's avatar.
    Publisher<std::vector<User>, APIError> fetchAssignees(const Project& project) override;

    // The project's incomplete tasks, newest modification first, 50 a page.
    AnyPaginator<Issue> fetchTasks(const Project& project, const std::optional<QString>& search,
                                   const std::optional<Issue::State>& state,
                                   const std::optional<User>& assignee) override;

    // The account user's own entries within the interval (both ends included), earliest
    // first: entries on the user's tasks modified since the interval began, booked by
    // the user. One failing read fails the whole.
    Publisher<std::vector<WorkEntry>, APIError> fetchWorkEntries(const DateInterval& interval) override;
    // Every entry of the task within the interval, in the tracker's order.
    Publisher<std::vector<WorkEntry>, APIError> fetchWorkEntries(const Issue& task,
                                                                 const DateInterval& interval);

    // The account user's own entries of the task within the interval. The tracker is
    // asked for only those (its filtered list: the task, the user, the days); one that
    // does not know that list (404, 400) has the task's whole list read instead. Either
    // way each entry is checked for its author, task and day here, whatever the
    // tracker filtered.
    Publisher<std::vector<WorkEntry>, APIError> fetchOwnWorkEntries(const Issue& task,
                                                                    const DateInterval& interval) override;

    // Guarded; every error reaches the caller as it is.
    Publisher<Void, APIError> deleteWorkEntry(const WorkEntry& entry) override;

    // Books `body` on the task. Unguarded (the booking guards it) and no read's recovery: every
    // answer is the booking's own, except a 401, which proves nothing was stored: then, once,
    // the token is exchanged and the entry sent again on a fresh request.
    Publisher<AsanaResponseDTO<AsanaCreatedEntryDTO>, APIError> saveTimeTrackingEntry(const Issue& task,
                                                                                       const AsanaTimeTrackingDTO& body);

    // Exchanges a refresh token for a new pair at the maker's server, over the current
    // client (so with its headers). No guard, no recovery.
    Publisher<Credentials, APIError> refreshToken(const QString& refreshToken) const;

    // --- the pieces, for tests and the booking form ---------------------------------------

    // The items of one search page: the base items (fields, incomplete only, newest
    // first, `limit`, the cursor) with `own` laid over them, then empty values dropped.
    static QueryItems searchQueryItems(std::int64_t limit, const std::optional<QDateTime>& before,
                                       const QueryItems& own);
    static Issue issueFrom(const AsanaTaskDTO& task);
    // None for an entry whose day does not read or whose duration is under a minute.
    static std::optional<WorkEntry> workEntryFrom(const AsanaTimeTrackingEntryDTO& entry, const Issue& task);
    // The entries of `records` on `task` that start within `interval`, only `author`'s when named.
    static std::vector<WorkEntry> entriesWithin(const std::vector<AsanaTimeTrackingEntryDTO>& records,
                                                const Issue& task, const DateInterval& interval,
                                                const std::optional<QString>& author);
    // The refresh endpoint of the maker's server.
    static QUrl refreshUrl();

private:
    // Posts "ProviderRateLimited" with `delay` for a saved account, on the main thread.
    void announceRateLimit(std::int64_t delay);
    // A client and the token it sends.
    struct Client {
        std::shared_ptr<APIRequest> request;
        QString token;
    };
    template <typename T>
    using Attempt = std::function<Publisher<T, APIError>(const std::shared_ptr<APIRequest>&)>;

    // Where the search stands: the modification time of the last task read, and the
    // tasks already delivered (the next page reads from that very moment on, so some
    // come again).
    struct SearchCursor {
        QDateTime last;
        QSet<QString> delivered;
    };
    // One search page as the paging sees it: the tasks not delivered before, how many
    // the tracker sent, and where the next page starts (none after the last).
    struct SearchPage {
        std::vector<AsanaTaskDTO> tasks;
        std::size_t received = 0;
        std::optional<SearchCursor> next;
    };

    AsanaService(AsanaProvider provider, const Credentials& credentials, std::shared_ptr<Clock> clock);

    Client client() const;

    // `attempt` on the current client, with the recovery step behind it. `guarded`:
    // whether the operation passes the rate-limit guard, and so its second try too.
    template <typename T> Publisher<T, APIError> recoverable(Attempt<T> attempt, bool guarded = true);
    // The recovery step for a failure of `attempt` made on `used`; `retried` once the
    // operation had its second try.
    template <typename T>
    Publisher<T, APIError> handleError(const APIError& error, Attempt<T> attempt, const Client& used,
                                       bool retried, bool guarded);
    // A client with a token newer than `used`'s: the current one when another operation
    // already renewed it, else one made from an exchange.
    Publisher<Client, APIError> renewedClient(const Client& used);
    Client adopt(const Credentials& credentials);

    // The task search with the caller's items laid over the base items.
    AnyPaginator<Issue> searchTasks(std::int64_t limit, QueryItems own);
    Publisher<SearchPage, APIError> searchPage(std::int64_t limit, const std::optional<SearchCursor>& cursor,
                                               const QueryItems& own);
    Publisher<std::vector<AsanaTimeTrackingEntryDTO>, APIError> fetchEntryRecords(const Issue& task);
    // The records of the user's entries on the task entered on the days of `interval`,
    // as far as the tracker filters them (its task's whole list where it has no filters).
    Publisher<std::vector<AsanaTimeTrackingEntryDTO>, APIError>
    fetchOwnEntryRecords(const Issue& task, const QString& userId, const DateInterval& interval);
    Publisher<QString, APIError> accountUserId();

    const AsanaProvider m_provider;
    const std::shared_ptr<Clock> m_clock;
    RateLimitGuard m_guard;
    mutable std::mutex m_mutex;
    Client m_client;
};

} // namespace velmora
