#pragma once

#include <QString>

namespace velmora {

// One endpoint of a tracker's interface (each tracker's XxxEndpoint implements it).
// The HTTP client puts "https://", its base address and "/" in front of `path()`.
class Endpoint {
public:
    virtual ~Endpoint() = default;

    // The path relative to the client's base address, without a leading "/"
    // ("rest/api/3/search/jql").
    virtual QString path() const = 0;

    // An id as one path segment: everything but letters, digits and "-._~" is
    // percent-encoded, so an id holding "/", "?" or "#" can never reach another path.
    static QString segment(const QString& id);
};

} // namespace velmora
