#include "trackers/ServiceFactory.h"

#include "core/storage/CredentialLoading.h"

#include <type_traits>

namespace velmora {

namespace {
// The stored credentials, or empty ones when there are none or the keyring failed.
template <typename P> typename P::Credentials credentialsOf(const P& provider) {
    auto loaded = loadCredentials(provider);
    return loaded.ok() ? loaded.value() : P::Credentials::empty();
}
} // namespace

#ifdef VELMORA_WITH_JIRA
std::shared_ptr<JiraService> ServiceFactory::makeService(const JiraProvider& provider) {
    const auto credentials = credentialsOf(provider);
    return JiraService::create(provider, APIRequest::jira(credentials.token, credentials.refreshToken,
                                                          provider.parameters().organisation));
}
#endif

#ifdef VELMORA_WITH_YOUTRACK
std::shared_ptr<YouTrackService> ServiceFactory::makeService(const YouTrackProvider& provider) {
    const auto credentials = credentialsOf(provider);
    return std::make_shared<YouTrackService>(
        provider, APIRequest::youTrack(credentials.token, provider.parameters().baseUrl));
}
#endif

#ifdef VELMORA_WITH_ASANA
std::shared_ptr<AsanaService> ServiceFactory::makeService(const AsanaProvider& provider) {
    return AsanaService::create(provider, credentialsOf(provider));
}
#endif

std::shared_ptr<ProviderService> ServiceFactory::makeService(const AnyProvider& provider) {
    return std::visit(
        [](const auto& account) -> std::shared_ptr<ProviderService> {
            using P = std::decay_t<decltype(account)>;
#ifdef VELMORA_WITH_JIRA
            if constexpr (std::is_same_v<P, JiraProvider>) {
                return makeService(account);
            }
#endif
#ifdef VELMORA_WITH_YOUTRACK
            if constexpr (std::is_same_v<P, YouTrackProvider>) {
                return makeService(account);
            }
#endif
#ifdef VELMORA_WITH_ASANA
            if constexpr (std::is_same_v<P, AsanaProvider>) {
                return makeService(account);
            }
#endif
            (void)account;
            return nullptr;
        },
        provider);
}

} // namespace velmora
