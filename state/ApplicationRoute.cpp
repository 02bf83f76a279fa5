#include "state/ApplicationRoute.h"

#include "core/model/Hashing.h"

namespace velmora {

std::size_t qHash(const ApplicationRoute& route, std::size_t seed) {
    // An absent project (the calendar) hashes apart from every project.
    return HashBuilder(seed).add(route.project()).result();
}

} // namespace velmora
