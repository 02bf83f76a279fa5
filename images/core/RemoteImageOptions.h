#pragma once

#include <QtGlobal>

namespace velmora::images {

// The option bits of one load. Bits 26 to 63 carry no meaning.
using RemoteImageOptions = quint64;

enum RemoteImageOption : quint64 {
    RemoteImageRetryFailedURL = 1ull << 0,
    RemoteImageLowPriority = 1ull << 1,
    RemoteImageProgressiveLoad = 1ull << 2,
    RemoteImageRefreshCached = 1ull << 3,
    RemoteImageContinueInBackground = 1ull << 4,
    RemoteImageHandleCookies = 1ull << 5,
    RemoteImageAllowInvalidCertificates = 1ull << 6,
    RemoteImageHighPriority = 1ull << 7,
    RemoteImageDelayPlaceholder = 1ull << 8,
    RemoteImageTransformAnimatedImage = 1ull << 9,
    RemoteImageAvoidAutoSetImage = 1ull << 10,
    RemoteImageScaleDownLargeImages = 1ull << 11,
    RemoteImageQueryMemoryData = 1ull << 12,
    RemoteImageQueryMemoryDataSync = 1ull << 13,
    RemoteImageQueryDiskDataSync = 1ull << 14,
    RemoteImageFromCacheOnly = 1ull << 15,
    RemoteImageFromLoaderOnly = 1ull << 16,
    RemoteImageForceTransition = 1ull << 17,
    RemoteImageAvoidDecodeImage = 1ull << 18,
    RemoteImageDecodeFirstFrameOnly = 1ull << 19,
    RemoteImagePreloadAllFrames = 1ull << 20,
    RemoteImageMatchAnimatedImageClass = 1ull << 21,
    RemoteImageWaitStoreCache = 1ull << 22,
    RemoteImageTransformVectorImage = 1ull << 23,
    RemoteImageAvoidAutoCancelImage = 1ull << 24,
    RemoteImageWaitTransition = 1ull << 25,
};

} // namespace velmora::images
