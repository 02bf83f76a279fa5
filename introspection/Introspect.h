#pragma once

#include "IntrospectableViewType.h"
#include "IntrospectionAnchor.h"
#include "IntrospectionScope.h"
#include "IntrospectionSelector.h"
#include "IntrospectionView.h"
#include "PlatformViewVersionPredicate.h"

#include <QUuid>

#include <functional>
#include <optional>
#include <type_traits>
#include <vector>

namespace velmora::introspection {

// What one introspection asks for: where to search, how (the selector of the first
// predicate that serves the running Qt, none if no predicate does), and what to do with
// the widget found.
template <IntrospectableViewType V> class IntrospectModifier {
public:
    using Entity = typename V::Entity;
    using Customize = std::function<void(Entity*)>;

    IntrospectModifier(V, const std::vector<PlatformViewVersionPredicate<V>>& versions,
                       std::optional<IntrospectionScope> scope, Customize customize)
        : id_(QUuid::createUuid()), scope_(scope.value_or(V::scope())), customize_(std::move(customize)) {
        for (const PlatformViewVersionPredicate<V>& predicate : versions) {
            if (predicate.selector()) {
                selector_ = predicate.selector();
                break;
            }
        }
    }

    QUuid id() const { return id_; }
    IntrospectionScope scope() const { return scope_; }
    bool hasSelector() const { return selector_.has_value(); }

    // Brackets the composite's children with an anchor (first) and an introspection widget
    // (last), both hidden and zero-size, and runs the first search. Without a selector the
    // composite is left untouched and null is returned.
    IntrospectionView* apply(QWidget* content) const {
        if (!selector_ || content == nullptr)
            return nullptr;
        auto* anchor = new IntrospectionAnchor(id_, content);
        anchor->lower();
        const IntrospectionSelector<Entity> selector = *selector_;
        const IntrospectionScope scope = scope_;
        const Customize customize = customize_;
        auto* view = new IntrospectionView(
            id_, [selector, scope](IntrospectionView* v) -> QWidget* { return selector.select(v, scope); },
            [customize](QWidget* target) { customize(forceCast<Entity>(target)); }, content);
        view->raise();
        view->runHandler();
        return view;
    }

private:
    QUuid id_;
    IntrospectionScope scope_;
    std::optional<IntrospectionSelector<Entity>> selector_;
    Customize customize_;
};

// Reaches the Qt widget of class V::Entity behind `content` on the Qt releases the
// predicates name and hands it to `customize` on the main thread: at once when it is there,
// otherwise when `content` is next shown, and again on every contentUpdated() of the returned
// widget. Returns null, and never calls `customize`, when no predicate serves the running Qt.
template <IntrospectableViewType V>
IntrospectionView* introspect(QWidget* content, V viewType,
                              const std::vector<PlatformViewVersionPredicate<V>>& versions,
                              std::optional<IntrospectionScope> scope,
                              std::type_identity_t<std::function<void(typename V::Entity*)>> customize) {
    return IntrospectModifier<V>(viewType, versions, scope, std::move(customize)).apply(content);
}

template <IntrospectableViewType V>
IntrospectionView* introspect(QWidget* content, V viewType,
                              const std::vector<PlatformViewVersionPredicate<V>>& versions,
                              std::type_identity_t<std::function<void(typename V::Entity*)>> customize) {
    return introspect(content, viewType, versions, std::nullopt, std::move(customize));
}

} // namespace velmora::introspection
