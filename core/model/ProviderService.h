#pragma once

#include "core/model/APIError.h"
#include "core/model/AnyPaginator.h"
#include "core/model/DateInterval.h"
#include "core/model/Issue.h"
#include "core/model/Project.h"
#include "core/model/ProviderUser.h"
#include "core/model/User.h"
#include "core/model/WorkEntry.h"
#include "platform/async/Publisher.h"
#include "platform/async/Result.h"

#include <QString>

#include <optional>
#include <vector>

namespace velmora {

// A tracker service for one account: what the state objects, the setup views and
// the background job ask of any tracker (JiraService, AsanaService, YouTrackService
// implement it; the service factory picks one by the account's kind).
//
// Every publisher completes once, with its value or an APIError, and runs nothing
// until it is subscribed. It may deliver on a network thread: callers move delivery
// to the main thread themselves (`receiveOnMain()`). Services are held through
// std::shared_ptr so their own deferred work can hold them weakly.
//
// Booking an entry is not here: each tracker's booking form sends it itself. A
// service whose tracker refuses its account for good marks the account with the
// account store's `markMissingCredentials(id)` (core/storage), which also lets the
// window manager choose the current account again.
class ProviderService {
public:
    virtual ~ProviderService() = default;

    // The account's own user in the tracker.
    virtual Publisher<ProviderUser, APIError> fetchUser() = 0;

    // Every project of the account (all pages read), each with an empty task list.
    virtual Publisher<std::vector<Project>, APIError> fetchProjects() = 0;

    // The task states of a project; Jira and YouTrack put the unresolved sentinel
    // (Issue::State::unresolved()) first.
    virtual Publisher<std::vector<Issue::State>, APIError> fetchStates(const Project& project) = 0;

    // The users to whom the project's tasks can be assigned.
    virtual Publisher<std::vector<User>, APIError> fetchAssignees(const Project& project) = 0;

    // The project's tasks matching the filters (an absent one does not filter), page
    // by page. Nothing is sent until the first page is asked for.
    virtual AnyPaginator<Issue> fetchTasks(const Project& project, const std::optional<QString>& search,
                                           const std::optional<Issue::State>& state,
                                           const std::optional<User>& assignee) = 0;

    // The entries the account booked within the interval.
    virtual Publisher<std::vector<WorkEntry>, APIError> fetchWorkEntries(const DateInterval& interval) = 0;

    // The account user's own entries on one task within the interval, whoever the task
    // is assigned to, each with its creation time where the tracker tells it.
    virtual Publisher<std::vector<WorkEntry>, APIError> fetchOwnWorkEntries(const Issue& task,
                                                                            const DateInterval& interval) = 0;

    // Completes once the tracker has removed the entry.
    virtual Publisher<Void, APIError> deleteWorkEntry(const WorkEntry& entry) = 0;
};

} // namespace velmora
