#pragma once

#include <QString>

#include <any>

namespace velmora {

// One posted notice: its name and the object it carries (none when `object` is empty).
struct Notification {
    QString name;
    std::any object;

    // The object as a T, or null when there is none or it is of another type; a
    // listener that expects a certain payload simply ignores anything else.
    template <typename T> const T* objectAs() const { return std::any_cast<T>(&object); }
};

} // namespace velmora
