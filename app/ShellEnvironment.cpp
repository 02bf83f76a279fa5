#include "app/ShellEnvironment.h"

#include "trackers/ServiceFactory.h"

namespace velmora {

std::shared_ptr<ProviderService> ShellEnvironment::service(const AnyProvider& provider) const {
    return makeService ? makeService(provider) : ServiceFactory::makeService(provider);
}

} // namespace velmora
