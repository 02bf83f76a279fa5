#pragma once

#include "IntrospectionScope.h"
#include "IntrospectionView.h"
#include "PlatformEntity.h"

#include <functional>

namespace velmora::introspection {

// How a target is found from an introspection widget: one search among the composite's own
// widgets, one among the widgets that contain it.
template <typename Target> class IntrospectionSelector {
public:
    using Search = std::function<Target*(IntrospectionView*)>;

    Search receiverSelector;
    Search ancestorSelector;

    // Looks for widgets of class Entry and hands a found one through `transform`.
    template <typename Entry> static IntrospectionSelector make(std::function<Target*(Entry*)> transform) {
        IntrospectionSelector selector;
        selector.receiverSelector = [transform](IntrospectionView* view) -> Target* {
            Entry* entry = PlatformEntity::findReceiver<Entry>(view);
            return entry != nullptr ? transform(entry) : nullptr;
        };
        selector.ancestorSelector = [transform](IntrospectionView* view) -> Target* {
            Entry* entry = PlatformEntity::findAncestor<Entry>(view);
            return entry != nullptr ? transform(entry) : nullptr;
        };
        return selector;
    }

    // Looks for widgets of class Target that `accept` takes, and hands them out as they are.
    static IntrospectionSelector matching(std::function<bool(Target*)> accept) {
        IntrospectionSelector selector;
        selector.receiverSelector = [accept](IntrospectionView* view) -> Target* {
            return PlatformEntity::findReceiver<Target>(view, accept);
        };
        selector.ancestorSelector = [accept](IntrospectionView* view) -> Target* {
            return PlatformEntity::findAncestor<Target>(view, accept);
        };
        return selector;
    }

    static IntrospectionSelector identity() {
        return make<Target>([](Target* target) { return target; });
    }

    IntrospectionSelector replacingReceiverSelector(Search search) const {
        IntrospectionSelector copy = *this;
        copy.receiverSelector = std::move(search);
        return copy;
    }

    IntrospectionSelector replacingAncestorSelector(Search search) const {
        IntrospectionSelector copy = *this;
        copy.ancestorSelector = std::move(search);
        return copy;
    }

    // The receiver search first; the ancestor search only when that found nothing.
    Target* select(IntrospectionView* view, IntrospectionScope scope) const {
        if (scope.contains(IntrospectionScope::receiver())) {
            if (Target* target = receiverSelector(view))
                return target;
        }
        if (scope.contains(IntrospectionScope::ancestor()))
            return ancestorSelector(view);
        return nullptr;
    }
};

} // namespace velmora::introspection
