#pragma once

#include "images/core/RemoteImageOptions.h"

#include <QtGlobal>

namespace velmora::images {

// The option bits of one download. Bits 13 to 63 carry no meaning.
using RemoteImageDownloaderOptions = quint64;

enum RemoteImageDownloaderOption : quint64 {
    RemoteImageDownloaderLowPriority = 1ull << 0,
    RemoteImageDownloaderProgressiveLoad = 1ull << 1,
    RemoteImageDownloaderUseURLCache = 1ull << 2,
    RemoteImageDownloaderIgnoreCachedResponse = 1ull << 3,
    RemoteImageDownloaderContinueInBackground = 1ull << 4,
    RemoteImageDownloaderHandleCookies = 1ull << 5,
    RemoteImageDownloaderAllowInvalidCertificates = 1ull << 6,
    RemoteImageDownloaderHighPriority = 1ull << 7,
    RemoteImageDownloaderScaleDownLargeImages = 1ull << 8,
    RemoteImageDownloaderAvoidDecodeImage = 1ull << 9,
    RemoteImageDownloaderDecodeFirstFrameOnly = 1ull << 10,
    RemoteImageDownloaderPreloadAllFrames = 1ull << 11,
    RemoteImageDownloaderMatchAnimatedImageClass = 1ull << 12,
};

// The decoding bits of download options as load options: bits 9 to 12 become bits 18 to
// 21 and bit 8 becomes bit 11; nothing else passes.
constexpr RemoteImageOptions imageOptionsFromDownloaderOptions(RemoteImageDownloaderOptions options) {
    RemoteImageOptions image = ((options >> 9) & 0xFull) << 18;
    if (options & RemoteImageDownloaderScaleDownLargeImages) {
        image |= RemoteImageScaleDownLargeImages;
    }
    return image;
}

} // namespace velmora::images
