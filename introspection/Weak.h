#pragma once

#include <QObject>
#include <QPointer>

namespace velmora::introspection {

// A box that never keeps its object alive: once the object is destroyed it reads as null.
template <typename T> class Weak {
public:
    explicit Weak(T* wrappedValue = nullptr) : value_(wrappedValue) {}

    T* wrappedValue() const { return value_.data(); }
    void setWrappedValue(T* value) { value_ = value; }

private:
    QPointer<T> value_;
};

} // namespace velmora::introspection
