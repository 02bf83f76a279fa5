#pragma once

#include "PlatformViewVersion.h"

#include <initializer_list>
#include <optional>

namespace velmora::introspection {

// Turns a list of entries into the one selector that serves the running Qt, or none.
template <typename V> class PlatformViewVersionPredicate {
public:
    using Selector = IntrospectionSelector<typename V::Entity>;

    // The first entry whose release is the running one; a newer Qt than every listed
    // release gets nothing.
    static PlatformViewVersionPredicate forQt(std::initializer_list<PlatformViewVersion<V>> versions) {
        return PlatformViewVersionPredicate(versions, &PlatformViewVersion<V>::isCurrent);
    }

    // The running Qt is this release or any later one.
    static PlatformViewVersionPredicate forQtOnwards(const PlatformViewVersion<V>& lowerBound) {
        return PlatformViewVersionPredicate({lowerBound}, &PlatformViewVersion<V>::isCurrentOrPast);
    }

    const std::optional<Selector>& selector() const { return selector_; }

private:
    PlatformViewVersionPredicate(std::initializer_list<PlatformViewVersion<V>> versions,
                                 bool (PlatformViewVersion<V>::*matches)() const) {
        for (const PlatformViewVersion<V>& version : versions) {
            if ((version.*matches)()) {
                selector_ = version.selector() ? *version.selector() : Selector::identity();
                return;
            }
        }
    }

    std::optional<Selector> selector_;
};

} // namespace velmora::introspection
