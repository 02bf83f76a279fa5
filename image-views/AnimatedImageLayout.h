#pragma once

#include "images/widgets/AnimatedImageView.h"

#include <QMarginsF>

#include <optional>

namespace velmora::imageviews {

// How an `AnimatedImage` sizes, resizes, tints and draws its image. Plain values: a change
// announces nothing and takes effect at the view's next update.
class AnimatedImageLayout {
public:
    enum class ContentMode { Fit, Fill };
    enum class TemplateRenderingMode { Template, Original };
    enum class Interpolation { None, Low, Medium, High };
    using ResizingMode = images::AnimatedImageView::ResizingMode;

    std::optional<ContentMode> contentMode;
    std::optional<double> aspectRatio;
    // Top, leading (left), bottom, trailing (right).
    QMarginsF capInsets;
    std::optional<ResizingMode> resizingMode;
    std::optional<TemplateRenderingMode> renderingMode;
    std::optional<Interpolation> interpolation;
    bool antialiased = false;
};

} // namespace velmora::imageviews
