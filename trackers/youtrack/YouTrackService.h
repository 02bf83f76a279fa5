#pragma once

#include "core/model/APIError.h"
#include "core/model/APIPaginator.h"
#include "core/model/APIPaginatorConfig.h"
#include "core/model/ProviderService.h"
#include "core/model/YouTrackProvider.h"
#include "core/net/APIRequest.h"
#include "core/net/RateLimitGuard.h"
#include "trackers/youtrack/YouTrackDTOs.h"
#include "trackers/youtrack/YouTrackEndpoint.h"

#include <QString>
#include <QUuid>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace velmora {

// The tracker service of one YouTrack account, talking to the account's own
// instance with its permanent token.
//
// The token cannot be renewed from here, so there is no refresh and no retry. A 429
// on a read of the account announces "ProviderRateLimited" with the server's
// "Retry-After" (60 s without one), as the other trackers do, so the window shows
// the wait instead of an empty list; the read still fails. A refused token (`unauthorized`) on the
// account's own data (user, projects, states, assignees, settings, work items)
// marks the account missing its credentials, on the main thread, and still fails
// the operation; the issue search and the delete only report it.
//
// Every list is read in pages of 20 with "$top"/"$skip"; whole lists are read page
// after page to their end before anything is delivered. Publishers deliver on the
// thread that subscribed; consumers move delivery to the main thread themselves.
class YouTrackService final : public ProviderService {
public:
    using WorkItemDTO = YouTrackWorkItemDTO;

    static constexpr std::int64_t pageSize = 20;
    // Time-tracking settings asked for at once when listing projects.
    static constexpr std::size_t maxConcurrentSettingsRequests = 8;

    static inline const QString userFields = QStringLiteral("login,fullName,avatarUrl");
    static inline const QString projectFields = QStringLiteral("id,shortName,name");
    static inline const QString settingsFields = QStringLiteral("enabled,workItemTypes(id,name)");
    static inline const QString stateFields = QStringLiteral("values(name)");
    static inline const QString assigneeFields = QStringLiteral(
        "groups(teamForProject(id,shortName,name)),aggregatedUsers(id,fullName,avatarUrl,login)");
    static inline const QString issueFields = QStringLiteral(
        "id,idReadable,summary,wikifiedDescription,customFields(name,value(id,name,presentation,"
        "avatarUrl))");
    static inline const QString workItemFields =
        QStringLiteral("id,duration(presentation,minutes),issue(id,idReadable,summary,wikifiedDescription,"
                       "customFields(name)),text,textPreview,date");
    // The fields of the reads that also want to know when each item was made and whose
    // it is.
    static inline const QString workItemFieldsWithCreation =
        workItemFields + QStringLiteral(",created,author(login)");

    // The custom-field types the issue mapping reads (by type alone, never by name).
    static inline const QString stateFieldType = YouTrackTaskDTO::CustomField::stateType;
    static inline const QString spentTimeFieldType = YouTrackTaskDTO::CustomField::periodType;
    static inline const QString assigneeFieldType = YouTrackTaskDTO::CustomField::singleUserType;
    // An assignee field of several users shows its first one.
    static inline const QString multiAssigneeFieldType = YouTrackTaskDTO::CustomField::multiUserType;

    YouTrackService(YouTrackProvider provider, std::shared_ptr<APIRequest> request);

    const YouTrackProvider& provider() const { return m_provider; }
    const std::shared_ptr<APIRequest>& request() const { return m_request; }

    // The token's owner: login, full name and avatar (resolved against the base URL).
    Publisher<ProviderUser, APIError> fetchUser() override;

    // Every project, sorted by name, with time tracking as its settings say. A
    // project whose settings are refused (403) is listed with time tracking off
    // rather than hiding all the others; any other failure fails the whole list.
    Publisher<std::vector<Project>, APIError> fetchProjects() override;

    // The project's time-tracking settings with its work-item types.
    Publisher<YouTrackTimeTrackingSettingsDTO, APIError> fetchTimeTrackingSettings(const QString& projectId);

    // "Unresolved", then the values of the instance's first state bundle (the
    // project plays no part); empty when there is no bundle.
    Publisher<std::vector<Issue::State>, APIError> fetchStates(const Project& project) override;

    // The users of every user bundle that serves the project (or no project's team),
    // each login once, id = login.
    Publisher<std::vector<User>, APIError> fetchAssignees(const Project& project) override;

    // The project's issues matching the filters, page by page.
    AnyPaginator<Issue> fetchTasks(const Project& project, const std::optional<QString>& search,
                                   const std::optional<Issue::State>& state,
                                   const std::optional<User>& assignee) override;

    // The account user's own work items within the interval, in the tracker's order.
    Publisher<std::vector<WorkEntry>, APIError> fetchWorkEntries(const DateInterval& interval) override;

    // The account user's own work items of one issue dated within the interval (read
    // among the user's work items, so whoever the issue is assigned to). The server is
    // asked for only those (the user, the dates and, where the issue's readable id is
    // known, the issue), and what it sends is checked all the same: an item of another
    // author, issue or date is never among them, whatever a server or proxy filtered.
    Publisher<std::vector<WorkEntry>, APIError> fetchOwnWorkEntries(const Issue& task,
                                                                    const DateInterval& interval) override;

    Publisher<Void, APIError> deleteWorkEntry(const WorkEntry& entry) override;

    // --- the mapping rules, public for their tests ---------------------------------

    // The query-language text of an issue search: "project: S", then
    // " summary: {T}" (non-empty search), " State: {X}" and " Assignee: L".
    static QString searchQuery(const Project& project, const std::optional<QString>& search,
                               const std::optional<Issue::State>& state, const std::optional<User>& assignee);

    // An avatar address as the tracker sent it, made absolute: an absolute address
    // stays as it is, a path is put under "https://" + base URL; empty stays empty.
    static QString resolveAvatar(const QString& baseUrl, const QString& avatarUrl);

    // The query that keeps a work-item read to one issue: "issue ID: " and its readable
    // id; none when the id is not known or not of the form the language reads bare.
    static std::optional<QString> issueQuery(const Issue& task);

    static Issue issueFrom(const YouTrackTaskDTO& task, const QString& baseUrl);
    static WorkEntry workEntryFrom(const YouTrackWorkEntryDTO& entry);

private:
    template <typename DTO, typename Item = DTO>
    using Config = APIPaginatorConfig<std::vector<DTO>, Item, std::int64_t>;

    // A paginator over `endpoint` with the YouTrack paging, sending `queryItems`
    // before "$top" and "$skip" and turning each record into an item with `map`.
    template <typename DTO, typename Item = DTO>
    APIPaginator<Config<DTO, Item>> paginator(const YouTrackEndpoint& endpoint, const QueryItems& queryItems,
                                              std::function<Item(const DTO&)> map = {}) const;

    // Passes any failure on unchanged; a 429 first announces the account's limit.
    template <typename T>
    static Publisher<T, APIError> announcingRateLimit(Publisher<T, APIError> publisher,
                                                      std::shared_ptr<RateLimitGuard> guard,
                                                      std::optional<QUuid> id);
    // Passes any failure on unchanged; a refused token first marks the account.
    template <typename T> Publisher<T, APIError> handleRejectedToken(Publisher<T, APIError> publisher) const;

    YouTrackProvider m_provider;
    std::shared_ptr<APIRequest> m_request;
    // Only to reckon the wait announced; YouTrack reads are not held back by it.
    std::shared_ptr<RateLimitGuard> m_rateLimit;
};

} // namespace velmora
