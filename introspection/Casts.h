#pragma once

#include <QObject>

namespace velmora::introspection {

// The object is of another class: yields null.
template <typename T> T* conditionalCast(QObject* object) {
    return qobject_cast<T*>(object);
}

// Only where the caller already knows the class; anything else is a programming error.
template <typename T> T* forceCast(QObject* object) {
    Q_ASSERT(object == nullptr || qobject_cast<T*>(object) != nullptr);
    return static_cast<T*>(object);
}

} // namespace velmora::introspection
