#pragma once

#include "IntrospectableView.h"

#include <QProgressBar>

namespace velmora::introspection {

// A progress bar, rendered by QProgressBar.
struct ProgressViewWithLinearStyleType : IntrospectableView<ProgressViewWithLinearStyleType, QProgressBar> {
    enum class Style { linear };
};

inline ProgressViewWithLinearStyleType progressView(ProgressViewWithLinearStyleType::Style) {
    return {};
}

} // namespace velmora::introspection
