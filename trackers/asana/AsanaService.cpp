#include "trackers/asana/AsanaService.h"

#include "core/model/APIPaginator.h"
#include "core/model/APIPaginatorConfig.h"
#include "core/model/AppIdentity.h"
#include "core/model/Coding.h"
#include "core/model/Logger.h"
#include "core/model/NotificationNames.h"
#include "core/model/RateLimitInfo.h"
#include "core/net/ServerEndpoint.h"
#include "core/storage/CredentialLoading.h"
#include "core/storage/CredentialsManager.h"
#include "core/storage/ProviderManager.h"
#include "core/time/DateOperations.h"
#include "core/time/ReadableTimeFormatter.h"
#include "platform/notifications/NotificationCenter.h"
#include "trackers/asana/AsanaEndpoint.h"
#include "trackers/asana/AsanaRefreshCoordinator.h"

#include <QCoreApplication>
#include <QDate>
#include <QMetaObject>

#include <algorithm>
#include <unordered_map>
#include <utility>

namespace velmora {

namespace {

const QString taskFields = QStringLiteral(
    "name,html_notes,actual_time_minutes,assignee.name,assignee.photo,permalink_url,memberships.section.name,"
    "modified_at");
// The author is asked for too: the calendar shows only the user's own entries.
const QString entryFields = QStringLiteral("entered_on,duration_minutes,created_by,created_at");
// A list that is not the task's own says the task of each entry.
const QString listedEntryFields = entryFields + QStringLiteral(",task");

// Effects on the account store, the keyring and the notices belong to the main thread
// and never run inside the call that caused them.
void onMainThread(std::function<void()> work) {
    if (auto* app = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
    }
}

void markAccount(const QUuid& id) {
    onMainThread([id] { markMissingCredentials(id); });
}

// Whether the maker's server refused the refresh token itself, as opposed to not
// answering in time, limiting or failing: only a refusal means the user must sign in.
bool isRefusal(const APIError& error) {
    return error.is(APIError::Kind::Unauthorized) || error.is(APIError::Kind::Validation);
}

template <typename Item, typename Record>
using OffsetConfig = APIPaginatorConfig<AsanaPaginatedResponseDTO<Record>, Item, QString>;

// Reads every page of an offset-paged list: `leading` items, then "limit" and
// "offset" (left out on the first page), the next page at the previous page's
// `next_page.offset`. A page without a usable offset is the last one.
template <typename Record, typename Item = Record>
Publisher<std::vector<Item>, APIError> readAll(const std::shared_ptr<APIRequest>& request,
                                               const AsanaEndpoint& endpoint, const QueryItems& leading,
                                               std::function<Item(const Record&)> map = {}) {
    using Page = AsanaPaginatedResponseDTO<Record>;
    OffsetConfig<Item, Record> config;
    config.pageSize = AsanaService::pageSize;
    config.initialSkip = QString();
    config.isLastPage = [](const Page& page) { return !page.nextPage || page.nextPage->offset.isEmpty(); };
    config.calculateNextSkip = [](const QString&, const Page& page) { return page.nextPage->offset; };
    config.extractItems = [map](const Page& page) {
        if constexpr (std::is_same_v<Item, Record>) {
            if (!map) {
                return page.data;
            }
        }
        std::vector<Item> items;
        items.reserve(page.data.size());
        for (const auto& record : page.data) {
            items.push_back(map(record));
        }
        return items;
    };
    APIPaginator<OffsetConfig<Item, Record>> paginator(
        std::move(config), [request, endpoint, leading](std::int64_t limit, const QString& offset) {
            QueryItems items = leading;
            items.push_back({QStringLiteral("limit"), QString::number(limit)});
            items.push_back({QStringLiteral("offset"), offset});
            return request->perform<Page>(endpoint, HttpMethod::Get, nonEmptyQueryItems(items));
        });
    return paginator.fetchAll();
}

std::optional<QString> avatarOf(const std::optional<AsanaPhotoDTO>& photo) {
    if (!photo) {
        return std::nullopt;
    }
    return photo->image60X60;
}

User userFrom(const AsanaUserDTO& user) {
    return User{user.gid, user.name, avatarOf(user.photo)};
}

Project projectFrom(const AsanaProjectDTO& project) {
    Project out;
    out.id = project.gid;
    out.shortName = project.name;
    out.name = project.name;
    out.configuration.timeTrackingEnabled = std::any_of(
        project.customFieldSettings.begin(), project.customFieldSettings.end(), [](const auto& setting) {
            return setting.customField.asanaCreatedField == QStringLiteral("estimated_time");
        });
    out.configuration.assigneeFilterEnabled = true;
    out.configuration.stateFilterEnabled = true;
    out.configuration.searchEnabled = true;
    return out;
}

// One list of users, one per id; a later user replaces a kept one only by bringing
// the avatar the kept one lacks. First appearance decides the order.
std::vector<User> uniqueUsers(const std::vector<User>& users) {
    std::vector<User> kept;
    std::unordered_map<QString, std::size_t> index;
    for (const auto& user : users) {
        const auto it = index.find(user.id);
        if (it == index.end()) {
            index.emplace(user.id, kept.size());
            kept.push_back(user);
        } else if (!kept[it->second].avatar && user.avatar) {
            kept[it->second] = user;
        }
    }
    return kept;
}

} // namespace

// --- making --------------------------------------------------------------------------

std::shared_ptr<AsanaService> AsanaService::create(AsanaProvider provider, const Credentials& credentials,
                                                   std::shared_ptr<Clock> clock) {
    return std::shared_ptr<AsanaService>(
        new AsanaService(std::move(provider), credentials, std::move(clock)));
}

AsanaService::AsanaService(AsanaProvider provider, const Credentials& credentials,
                           std::shared_ptr<Clock> clock)
    : m_provider(std::move(provider)), m_clock(std::move(clock)),
      m_guard(m_clock), m_client{APIRequest::asana(credentials.token, credentials.refreshToken,
                                                   m_provider.parameters().workspace),
                                 credentials.token} {}

std::shared_ptr<APIRequest> AsanaService::request() const {
    return client().request;
}

AsanaService::Client AsanaService::client() const {
    std::lock_guard lock(m_mutex);
    return m_client;
}

// --- rate limits and recovery --------------------------------------------------------------

void AsanaService::registerRateLimit(std::optional<std::int64_t> retryAfter) {
    announceRateLimit(m_guard.record(retryAfter));
}

void AsanaService::registerRateLimit(const APIError& error) {
    announceRateLimit(m_guard.record(error));
}

void AsanaService::announceRateLimit(std::int64_t delay) {
    if (const auto& id = m_provider.id()) {
        onMainThread([info = RateLimitInfo{*id, delay}] {
            NotificationCenter::defaultCenter().post(QString(NotificationName::providerRateLimited), info);
        });
    }
}

template <typename T> Publisher<T, APIError> AsanaService::recoverable(Attempt<T> attempt, bool guarded) {
    const Client used = client();
    auto self = shared_from_this();
    return attempt(used.request).catchError([self, attempt, used, guarded](const APIError& error) {
        return self->handleError<T>(error, attempt, used, false, guarded);
    });
}

template <typename T>
Publisher<T, APIError> AsanaService::handleError(const APIError& error, Attempt<T> attempt,
                                                 const Client& used, bool retried, bool guarded) {
    const auto& id = m_provider.id();
    if (!id) {
        // An account being set up: its errors are the setup's to show.
        return Publisher<T, APIError>::fail(error);
    }
    switch (error.kind()) {
    case APIError::Kind::RateLimited:
        registerRateLimit(error);
        return Publisher<T, APIError>::fail(error);
    case APIError::Kind::PaymentRequired:
        markAccount(*id);
        return Publisher<T, APIError>::fail(error);
    case APIError::Kind::Unauthorized: {
        if (retried) {
            return Publisher<T, APIError>::fail(error);
        }
        auto self = shared_from_this();
        return renewedClient(used).flatMap([self, attempt, guarded](const Client& renewed) {
            // The second try is the operation once more: the recovery behind the
            // request, the guard outermost (so a refusal by the guard is no new limit
            // and no new notice), and no guard at all for the user read.
            auto again =
                attempt(renewed.request).catchError([self, attempt, renewed](const APIError& failure) {
                    return self->handleError<T>(failure, attempt, renewed, true, false);
                });
            return guarded ? self->guardRateLimit(std::move(again)) : again;
        });
    }
    default:
        return Publisher<T, APIError>::fail(error);
    }
}

Publisher<AsanaService::Client, APIError> AsanaService::renewedClient(const Client& used) {
    auto self = shared_from_this();
    return Publisher<Client, APIError>::deferred([self, used]() -> Publisher<Client, APIError> {
        const Client current = self->client();
        if (current.token != used.token) {
            // Another operation of this service renewed the token meanwhile.
            return Publisher<Client, APIError>::just(current);
        }
        const QUuid id = *self->m_provider.id();
        auto exchange = [id, request = used.request]() -> Publisher<Credentials, APIError> {
            auto stored = CredentialsManager::shared().load<Credentials>(uuidText(id));
            if (!stored.ok()) {
                // The keyring did not answer: the credentials may well be there.
                return Publisher<Credentials, APIError>::fail(APIError::unknown());
            }
            const std::optional<Credentials>& credentials = stored.value();
            if (!credentials || credentials->refreshToken.isEmpty()) {
                logError(Logger::keychain(),
                         QStringLiteral("[AsanaService] No refresh token is stored for the account"));
                markAccount(id);
                return Publisher<Credentials, APIError>::fail(APIError::unauthorized());
            }
            const QUrl url = refreshUrl();
            nlohmann::json body = {{"refreshToken", credentials->refreshToken.toStdString()}};
            return request->perform<Credentials>(url, HttpMethod::Post, std::nullopt, body)
                .handleEvents(
                    [id](const Credentials& renewed) {
                        onMainThread([id, renewed] {
                            if (!ProviderManager::shared().fetchProviderEntity(id)) {
                                return;
                            }
                            CredentialsManager::shared().store(encodeJsonText(renewed).toUtf8(), uuidText(id),
                                                               Credentials::identifier());
                        });
                    },
                    [id](const APIError& error) {
                        if (isRefusal(error)) {
                            markAccount(id);
                        }
                    });
        };
        return AsanaRefreshCoordinator::shared()
            .refresh(id, used.token, std::move(exchange))
            .map([self](const Credentials& credentials) { return self->adopt(credentials); });
    });
}

AsanaService::Client AsanaService::adopt(const Credentials& credentials) {
    std::lock_guard lock(m_mutex);
    if (m_client.token != credentials.token) {
        m_client = Client{
            APIRequest::asana(credentials.token, credentials.refreshToken, m_provider.parameters().workspace),
            credentials.token};
    }
    return m_client;
}

QUrl AsanaService::refreshUrl() {
    return QUrl(ServerEndpoint(ServerEndpoint::AsanaRefresh).url());
}

Publisher<AsanaService::Credentials, APIError> AsanaService::refreshToken(const QString& refreshToken) const {
    nlohmann::json body = {{"refreshToken", refreshToken.toStdString()}};
    return request()->perform<Credentials>(refreshUrl(), HttpMethod::Post, std::nullopt, body);
}

// --- account-level reads ---------------------------------------------------------------------

Publisher<std::vector<AsanaWorkspaceDTO>, APIError> AsanaService::fetchWorkspaces() {
    return guardRateLimit(
        recoverable<std::vector<AsanaWorkspaceDTO>>([](const std::shared_ptr<APIRequest>& request) {
            return readAll<AsanaWorkspaceDTO>(request, AsanaEndpoint::workspaces(), {});
        }));
}

Publisher<ProviderUser, APIError> AsanaService::fetchUser() {
    return recoverable<ProviderUser>(
        [](const std::shared_ptr<APIRequest>& request) {
            return request->perform<AsanaResponseDTO<AsanaUserDTO>>(AsanaEndpoint::user(), HttpMethod::Get)
                .map([](const AsanaResponseDTO<AsanaUserDTO>& response) {
                    const AsanaUserDTO& user = response.data;
                    return ProviderUser{user.gid, user.name, avatarOf(user.photo).value_or(QString())};
                });
        },
        false);
}

Publisher<std::vector<Project>, APIError> AsanaService::fetchProjects() {
    const QString workspace = m_provider.parameters().workspace;
    return guardRateLimit(
        recoverable<std::vector<Project>>([workspace](const std::shared_ptr<APIRequest>& request) {
            const QueryItems fields{
                {QStringLiteral("opt_fields"),
                 QStringLiteral("name,custom_field_settings.custom_field.asana_created_field")}};
            return readAll<AsanaProjectDTO, Project>(request, AsanaEndpoint::projects(workspace), fields,
                                                     projectFrom);
        }));
}

Publisher<std::vector<Issue::State>, APIError> AsanaService::fetchStates(const Project& project) {
    return guardRateLimit(
        recoverable<std::vector<Issue::State>>([project](const std::shared_ptr<APIRequest>& request) {
            return readAll<AsanaSectionDTO, Issue::State>(request, AsanaEndpoint::sections(project), {},
                                                          [](const AsanaSectionDTO& section) {
                                                              return Issue::State{section.gid, section.name};
                                                          });
        }));
}

Publisher<std::vector<User>, APIError> AsanaService::fetchTeamUsers(const QString& team) {
    return guardRateLimit(recoverable<std::vector<User>>([team](const std::shared_ptr<APIRequest>& request) {
        const QueryItems fields{{QStringLiteral("opt_fields"), QStringLiteral("name, photo")}};
        return readAll<AsanaUserDTO, User>(request, AsanaEndpoint::teamUsers(team), fields, userFrom);
    }));
}

Publisher<std::vector<User>, APIError> AsanaService::fetchAssignees(const Project& project) {
    // The team reads have their guard and recovery of their own, so what fails there
    // is not handled a second time here (no second refresh, no second notice).
    auto memberships = guardRateLimit(
        recoverable<std::vector<AsanaMembershipDTO>>([project](const std::shared_ptr<APIRequest>& request) {
            const QueryItems parent{{QStringLiteral("parent"), project.id}};
            return readAll<AsanaMembershipDTO>(request, AsanaEndpoint::memberships(), parent);
        }));
    auto self = shared_from_this();
    return memberships.flatMap([self](const std::vector<AsanaMembershipDTO>& members) {
        std::vector<User> direct;
        std::vector<Publisher<std::vector<User>, APIError>> teams;
        for (const auto& membership : members) {
            if (membership.member.resourceType == QStringLiteral("team")) {
                teams.push_back(self->fetchTeamUsers(membership.member.gid));
            }
        }
        for (const auto& membership : members) {
            if (membership.member.resourceType == QStringLiteral("user")) {
                direct.push_back(User{membership.member.gid, membership.member.name, std::nullopt});
            }
        }
        return whenAll(std::move(teams)).map([direct](const std::vector<std::vector<User>>& teamUsers) {
            std::vector<User> all = direct;
            for (const auto& users : teamUsers) {
                all.insert(all.end(), users.begin(), users.end());
            }
            return uniqueUsers(all);
        });
    });
}

// --- task search -------------------------------------------------------------------------------

QueryItems AsanaService::searchQueryItems(std::int64_t limit, const std::optional<QDateTime>& before,
                                          const QueryItems& own) {
    const QueryItems base{
        {QStringLiteral("opt_fields"), taskFields},
        {QStringLiteral("completed"), QStringLiteral("false")},
        {QStringLiteral("sort_by"), QStringLiteral("modified_at")},
        {QStringLiteral("sort_ascending"), QStringLiteral("false")},
        {QStringLiteral("limit"), QString::number(limit)},
        {QStringLiteral("modified_at.before"), before ? DateOperations::iso8601String(*before) : QString()},
    };
    return nonEmptyQueryItems(mergeQueryItems(own, base));
}

Issue AsanaService::issueFrom(const AsanaTaskDTO& task) {
    Issue issue;
    issue.id = task.gid;
    issue.name = task.name;
    issue.description = task.htmlNotes;
    if (!task.memberships.empty() && task.memberships.front().section) {
        const auto& section = *task.memberships.front().section;
        issue.state = Issue::State{section.gid, section.name};
    }
    const double minutes = static_cast<double>(task.actualTimeMinutes.value_or(0));
    issue.spentTime = ReadableTimeFormatter::format(minutes * 60.0);
    if (task.assignee) {
        issue.assignee = User{task.assignee->gid, task.assignee->name, avatarOf(task.assignee->photo)};
    }
    const QUrl url(task.permalinkUrl, QUrl::StrictMode);
    if (!task.permalinkUrl.isEmpty() && url.isValid() && !url.isRelative()) {
        issue.externalUrl = url;
    }
    return issue;
}

Publisher<AsanaService::SearchPage, APIError>
AsanaService::searchPage(std::int64_t limit, const std::optional<SearchCursor>& cursor,
                         const QueryItems& own) {
    using Response = AsanaResponseDTO<std::vector<AsanaTaskDTO>>;
    const QString workspace = m_provider.parameters().workspace;
    // Up to and including the last task's own millisecond: tasks modified in the same
    // second, even the same millisecond, as the last one read are read too; whatever
    // comes again is dropped by its id.
    const std::optional<QDateTime> before =
        cursor ? std::optional<QDateTime>(cursor->last.addMSecs(1)) : std::nullopt;
    const QueryItems items = searchQueryItems(limit, before, own);
    auto response =
        guardRateLimit(recoverable<Response>([workspace, items](const std::shared_ptr<APIRequest>& request) {
            return request->perform<Response>(AsanaEndpoint::search(workspace), HttpMethod::Get, items);
        }));
    return response.map([cursor](const Response& response) {
        SearchPage page;
        page.received = response.data.size();
        QSet<QString> delivered = cursor ? cursor->delivered : QSet<QString>();
        for (const auto& task : response.data) {
            if (!delivered.contains(task.gid)) {
                page.tasks.push_back(task);
            }
        }
        for (const auto& task : response.data) {
            delivered.insert(task.gid);
        }
        if (!response.data.empty()) {
            const QDateTime last = response.data.back().modifiedAt;
            // A page of nothing new that did not move back in time would be asked for
            // again and again (more tasks share one millisecond than fit a page).
            const bool stuck = cursor && page.tasks.empty() && last >= cursor->last;
            if (!stuck) {
                page.next = SearchCursor{last, std::move(delivered)};
            }
        }
        return page;
    });
}

AnyPaginator<Issue> AsanaService::searchTasks(std::int64_t limit, QueryItems own) {
    using Skip = std::optional<SearchCursor>;
    APIPaginatorConfig<SearchPage, Issue, Skip> config;
    config.pageSize = limit;
    config.initialSkip = std::nullopt;
    // A page short of 50 tasks ends the search, whatever the page size asked.
    config.isLastPage = [](const SearchPage& page) { return page.received < 50 || !page.next; };
    config.calculateNextSkip = [](const Skip&, const SearchPage& page) { return page.next; };
    config.extractItems = [](const SearchPage& page) {
        std::vector<Issue> issues;
        issues.reserve(page.tasks.size());
        for (const auto& task : page.tasks) {
            issues.push_back(issueFrom(task));
        }
        return issues;
    };
    // The paginator keeps its service: a task list may outlive the state object that
    // asked for it by a page.
    APIPaginator<APIPaginatorConfig<SearchPage, Issue, Skip>> paginator(
        std::move(config), [self = shared_from_this(), own](std::int64_t pageSize, const Skip& cursor) {
            return self->searchPage(pageSize, cursor, own);
        });
    return AnyPaginator<Issue>(std::move(paginator));
}

AnyPaginator<Issue> AsanaService::fetchTasks(const Project& project, const std::optional<QString>& search,
                                             const std::optional<Issue::State>& state,
                                             const std::optional<User>& assignee) {
    // The section filter only takes the tracker's own sections; "any unresolved task"
    // is what the search reads anyway.
    const bool sectionFilter = state && !state->isUnresolved();
    const QueryItems own{
        {QStringLiteral("projects.any"), project.id},
        {QStringLiteral("text"), search.value_or(QString())},
        {QStringLiteral("sections.all"), sectionFilter ? state->id : QString()},
        {QStringLiteral("assignee.any"), assignee ? assignee->id : QString()},
    };
    return searchTasks(pageSize, own);
}

// --- time-tracking entries -----------------------------------------------------------------------

std::optional<WorkEntry> AsanaService::workEntryFrom(const AsanaTimeTrackingEntryDTO& entry,
                                                     const Issue& task) {
    const QDate day = QDate::fromString(entry.enteredOn, QStringLiteral("yyyy-MM-dd"));
    if (!day.isValid()) {
        return std::nullopt;
    }
    const double seconds = static_cast<double>(entry.durationMinutes) * 60.0;
    const auto readable = ReadableTimeFormatter::format(seconds);
    if (!readable) {
        return std::nullopt;
    }
    WorkEntry out;
    out.id = entry.gid;
    out.spentTime = *readable;
    out.spentTimeSeconds = seconds;
    out.issue = task;
    // The day as the user lives it: its start in the local time zone.
    out.started = day.startOfDay();
    out.created = entry.createdAt;
    return out;
}

std::vector<WorkEntry> AsanaService::entriesWithin(const std::vector<AsanaTimeTrackingEntryDTO>& records,
                                                   const Issue& task, const DateInterval& interval,
                                                   const std::optional<QString>& author) {
    std::vector<WorkEntry> entries;
    for (const auto& record : records) {
        // A colleague's time on the user's task is not the user's, whatever the tracker filtered.
        if (author && (!record.createdBy || record.createdBy->gid != *author)) {
            continue;
        }
        if (auto entry = workEntryFrom(record, task); entry && interval.contains(entry->started)) {
            entries.push_back(std::move(*entry));
        }
    }
    return entries;
}

Publisher<std::vector<AsanaTimeTrackingEntryDTO>, APIError>
AsanaService::fetchEntryRecords(const Issue& task) {
    return guardRateLimit(recoverable<std::vector<AsanaTimeTrackingEntryDTO>>(
        [task](const std::shared_ptr<APIRequest>& request) {
            const QueryItems fields{{QStringLiteral("opt_fields"), entryFields}};
            return readAll<AsanaTimeTrackingEntryDTO>(request, AsanaEndpoint::timeTrackingEntries(task),
                                                      fields);
        }));
}

Publisher<std::vector<WorkEntry>, APIError> AsanaService::fetchWorkEntries(const Issue& task,
                                                                           const DateInterval& interval) {
    return fetchEntryRecords(task).map(
        [task, interval](const std::vector<AsanaTimeTrackingEntryDTO>& records) {
            return entriesWithin(records, task, interval, std::nullopt);
        });
}

Publisher<QString, APIError> AsanaService::accountUserId() {
    if (const auto& user = m_provider.user(); user && !user->externalId.isEmpty()) {
        return Publisher<QString, APIError>::just(user->externalId);
    }
    return fetchUser().map([](const ProviderUser& user) { return user.externalId; });
}

Publisher<std::vector<WorkEntry>, APIError> AsanaService::fetchWorkEntries(const DateInterval& interval) {
    // The user's tasks modified since the interval began, complete or not: a task
    // touched or completed after the entry was booked still holds it. (The search
    // pages and entry reads each have their own guard and recovery.)
    const QueryItems own{
        {QStringLiteral("assignee.any"), QStringLiteral("me")},
        {QStringLiteral("modified_at.after"), DateOperations::iso8601String(interval.start)},
        {QStringLiteral("completed"), QString()},
    };
    auto self = shared_from_this();
    return accountUserId().flatMap([self, own, interval](const QString& userId) {
        AnyPaginator<Issue> tasks = self->searchTasks(ownTasksPageSize, own);
        return tasks.fetchAll().flatMap([self, userId, interval](const std::vector<Issue>& found) {
            std::vector<Publisher<std::vector<WorkEntry>, APIError>> reads;
            reads.reserve(found.size());
            for (const auto& task : found) {
                reads.push_back(self->fetchEntryRecords(task).map(
                    [task, userId, interval](const std::vector<AsanaTimeTrackingEntryDTO>& records) {
                        return entriesWithin(records, task, interval, userId);
                    }));
            }
            return whenAll(std::move(reads), entryReadsAtOnce)
                .map([](const std::vector<std::vector<WorkEntry>>& perTask) {
                    std::vector<WorkEntry> all;
                    for (const auto& entries : perTask) {
                        all.insert(all.end(), entries.begin(), entries.end());
                    }
                    std::stable_sort(all.begin(), all.end(), [](const WorkEntry& a, const WorkEntry& b) {
                        return a.started < b.started;
                    });
                    return all;
                });
        });
    });
}

Publisher<std::vector<AsanaTimeTrackingEntryDTO>, APIError>
AsanaService::fetchOwnEntryRecords(const Issue& task, const QString& userId, const DateInterval& interval) {
    // Entries are dated by the day; a day starting within the interval is one of these
    // (the exact interval is kept below).
    const QString first = interval.start.toLocalTime().date().toString(Qt::ISODate);
    const QString last = interval.end.toLocalTime().date().toString(Qt::ISODate);
    const QString taskId = task.id;
    auto listed = guardRateLimit(recoverable<std::vector<AsanaTimeTrackingEntryDTO>>(
        [taskId, userId, first, last](const std::shared_ptr<APIRequest>& request) {
            const QueryItems items{
                {QStringLiteral("task"), taskId},
                {QStringLiteral("user"), userId},
                {QStringLiteral("entered_on_start_date"), first},
                {QStringLiteral("entered_on_end_date"), last},
                {QStringLiteral("opt_fields"), listedEntryFields},
            };
            return readAll<AsanaTimeTrackingEntryDTO>(request, AsanaEndpoint::timeTrackingEntryList(), items)
                .map([taskId](std::vector<AsanaTimeTrackingEntryDTO> records) {
                    // An entry that does not say it is on the task is not taken for one.
                    std::erase_if(records, [&](const AsanaTimeTrackingEntryDTO& record) {
                        return !record.task || record.task->gid != taskId;
                    });
                    return records;
                });
        }));
    auto self = shared_from_this();
    return listed.catchError([self, task](const APIError& error) {
        // A tracker without the filtered list reads the task's whole list instead.
        if (error.httpStatus() == 404 || error.httpStatus() == 400) {
            return self->fetchEntryRecords(task);
        }
        return Publisher<std::vector<AsanaTimeTrackingEntryDTO>, APIError>::fail(error);
    });
}

Publisher<std::vector<WorkEntry>, APIError> AsanaService::fetchOwnWorkEntries(const Issue& task,
                                                                              const DateInterval& interval) {
    // Read on the task itself: whoever it is assigned to, the user's entries are there.
    auto self = shared_from_this();
    return accountUserId().flatMap([self, task, interval](const QString& userId) {
        return self->fetchOwnEntryRecords(task, userId, interval)
            .map([task, userId, interval](const std::vector<AsanaTimeTrackingEntryDTO>& records) {
                return entriesWithin(records, task, interval, userId);
            });
    });
}

Publisher<Void, APIError> AsanaService::deleteWorkEntry(const WorkEntry& entry) {
    return guardRateLimit(
        request()->perform<Void>(AsanaEndpoint::deleteTimeTrackingEntry(entry), HttpMethod::Delete));
}

Publisher<AsanaResponseDTO<AsanaCreatedEntryDTO>, APIError>
AsanaService::saveTimeTrackingEntry(const Issue& task, const AsanaTimeTrackingDTO& body) {
    using P = Publisher<AsanaResponseDTO<AsanaCreatedEntryDTO>, APIError>;
    const auto post = [task, body](const std::shared_ptr<APIRequest>& request) {
        return request->perform<AsanaResponseDTO<AsanaCreatedEntryDTO>>(
            AsanaEndpoint::saveTimeTrackingEntry(task), HttpMethod::Post, std::nullopt, body);
    };
    const Client used = client();
    auto self = shared_from_this();
    return post(used.request).catchError([self, used, post](const APIError& error) -> P {
        if (!error.is(APIError::Kind::Unauthorized) || error.httpStatus() != 401 || !self->m_provider.id()) {
            return P::fail(error);
        }
        return self->renewedClient(used).flatMap([post](const Client& renewed) { return post(renewed.request); });
    });
}

} // namespace velmora
