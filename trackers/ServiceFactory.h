#pragma once

#include "core/model/AnyProvider.h"
#include "core/model/ProviderService.h"

#include <memory>

#ifdef VELMORA_WITH_JIRA
#include "trackers/jira/JiraService.h"
#endif
#ifdef VELMORA_WITH_YOUTRACK
#include "trackers/youtrack/YouTrackService.h"
#endif
#ifdef VELMORA_WITH_ASANA
#include "trackers/asana/AsanaService.h"
#endif

namespace velmora {

// Makes the tracker service of an account: the service of its kind, over a client
// built from the account's stored credentials and its parameters. Each call makes a
// new service (a service keeps its own rate limit and token state).
//
// Credentials are loaded as the account store does it: an account without stored
// credentials is marked and gets empty ones (its service then fails with 401), and
// a keyring that does not answer also gives empty ones, marking nothing. So a
// service is always made. Callable from any thread.
class ServiceFactory {
public:
    ServiceFactory() = delete;

    // The account's service; null only for a kind whose connector is not built in.
    static std::shared_ptr<ProviderService> makeService(const AnyProvider& provider);

#ifdef VELMORA_WITH_JIRA
    static std::shared_ptr<JiraService> makeService(const JiraProvider& provider);
#endif
#ifdef VELMORA_WITH_YOUTRACK
    static std::shared_ptr<YouTrackService> makeService(const YouTrackProvider& provider);
#endif
#ifdef VELMORA_WITH_ASANA
    static std::shared_ptr<AsanaService> makeService(const AsanaProvider& provider);
#endif
};

} // namespace velmora
