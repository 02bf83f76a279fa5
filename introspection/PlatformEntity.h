#pragma once

#include "Casts.h"
#include "PreorderWalk.h"

#include <QWidget>

#include <functional>
#include <vector>

namespace velmora::introspection {

// The widget tree as the searches see it. A tree ends at its window: a dialog's parent
// window belongs to another tree, so no search climbs out of the window it starts in.
namespace PlatformEntity {

using Walk = PreorderWalk<QWidget*, std::function<std::vector<QWidget*>(QWidget*)>>;

QWidget* parentEntity(QWidget* widget);
// Direct child widgets in the parent's stacking order (raise and lower change it).
std::vector<QWidget*> childEntities(QWidget* widget);
// A widget counts as contained in itself.
bool isContained(QWidget* widget, QWidget* other);
// Strict ancestors, nearest first, up to and including the window.
std::vector<QWidget*> parentChain(QWidget* widget);
// Every descendant in pre-order, read lazily; the widget itself is not included.
Walk subtreeInPreOrder(QWidget* widget);

// Our own hidden helper widgets carry this mark; the searches never hand them out.
bool isIntrospectionPlatformEntity(const QWidget* widget);
void markAsIntrospectionPlatformEntity(QWidget* widget);

// The introspection widget names itself on its own widget, as a controller would on its view.
void setIntrospectionController(QWidget* widget, QObject* controller);

// The anchor paired with the introspection widget `widget`, or null.
QWidget* anchorEntity(QWidget* widget);

// The nearest of `widget` and its ancestors that contains `other`, or null.
QWidget* closestContainer(QWidget* widget, QWidget* other);

// The first widget of class T (that `accept` takes, when given) placed between the anchor
// behind `front` and `front` itself, in pre-order: a container wins over anything inside it,
// an earlier sibling over a later one.
template <typename T> T* findReceiver(QWidget* front, const std::function<bool(T*)>& accept = {}) {
    QWidget* back = anchorEntity(front);
    if (back == nullptr)
        return nullptr;
    QWidget* common = closestContainer(back, front);
    if (common == nullptr)
        return nullptr;
    Walk walk = subtreeInPreOrder(common);
    bool reachedBack = false;
    while (std::optional<QWidget*> candidate = walk.next()) {
        if (!reachedBack) {
            reachedBack = *candidate == back;
            if (!reachedBack)
                continue;
        }
        if (*candidate == front)
            break;
        if (isIntrospectionPlatformEntity(*candidate))
            continue;
        T* match = conditionalCast<T>(*candidate);
        if (match != nullptr && (!accept || accept(match)))
            return match;
    }
    return nullptr;
}

// The nearest ancestor of `front` of class T (that `accept` takes, when given).
template <typename T> T* findAncestor(QWidget* front, const std::function<bool(T*)>& accept = {}) {
    for (QWidget* ancestor : parentChain(front)) {
        if (isIntrospectionPlatformEntity(ancestor))
            continue;
        T* match = conditionalCast<T>(ancestor);
        if (match != nullptr && (!accept || accept(match)))
            return match;
    }
    return nullptr;
}

} // namespace PlatformEntity

} // namespace velmora::introspection
