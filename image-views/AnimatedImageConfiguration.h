#pragma once

#include "images/animation/AnimatedImagePlaybackMode.h"
#include "images/widgets/RemoteImageIndicator.h"
#include "images/widgets/RemoteImageTransition.h"

#include <QString>

#include <memory>
#include <optional>

namespace velmora::imageviews {

// How an `AnimatedImage` loads and plays, and which indicator and transition its loads use.
// Unset values leave the view's defaults; a change takes effect at the next update.
class AnimatedImageConfiguration {
public:
    std::optional<bool> incrementalLoad;
    std::optional<quint64> maxBufferSize;
    std::optional<quint64> customLoopCount;
    std::optional<QString> runLoopMode;
    std::optional<bool> pausable;
    std::optional<bool> purgeable;
    std::optional<double> playbackRate;
    std::optional<images::AnimatedImagePlaybackMode> playbackMode;
    std::shared_ptr<images::RemoteImageIndicator> indicator;
    std::shared_ptr<images::RemoteImageTransition> transition;
};

} // namespace velmora::imageviews
