#pragma once

#include "IntrospectableView.h"

#include <QSlider>

namespace velmora::introspection {

// A slider, rendered by QSlider.
struct SliderType : IntrospectableView<SliderType, QSlider> {};

inline SliderType slider() {
    return {};
}

} // namespace velmora::introspection
