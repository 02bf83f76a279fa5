#pragma once

#include "image-views/AnimatedLoadingModel.h"

#include <QVariant>
#include <QVariantHash>

#include <optional>

namespace velmora::imageviews {

// Lives as long as one animated image view: the record of what was loaded into it, and two
// free slots for callers that nothing here reads.
class AnimatedImageCoordinator {
public:
    QVariant object;
    std::optional<QVariantHash> userInfo;
    AnimatedLoadingModel imageLoading;
};

} // namespace velmora::imageviews
