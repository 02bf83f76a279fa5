#pragma once

#include <QPointer>
#include <QUuid>

#include <cstddef>

namespace velmora::introspection {

class IntrospectionAnchor;
class IntrospectionView;

// Pairs an introspection widget with its anchor by their shared id. It holds neither
// strongly, and an entry leaves as soon as both of its widgets are gone, so placing and
// removing introspections for the life of the app never makes it grow. Main thread only.
class IntrospectionStore {
public:
    static void registerAnchor(const QUuid& id, IntrospectionAnchor* anchor);
    static void registerView(const QUuid& id, IntrospectionView* view);
    // Called by a widget of a pair while it is being destroyed.
    static void release(const QUuid& id, const QObject* widget);

    static IntrospectionAnchor* anchor(const QUuid& id);
    static IntrospectionView* view(const QUuid& id);
    static std::size_t size();
};

} // namespace velmora::introspection
