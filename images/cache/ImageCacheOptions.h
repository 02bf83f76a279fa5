#pragma once

#include "images/core/RemoteImageOptions.h"

#include <QtGlobal>

namespace velmora::images {

// The option bits of an image cache query; the load options carry the same eight at other bits.
using ImageCacheOptions = quint64;

enum ImageCacheOption : quint64 {
    // Read the disk data even when the memory level has the image.
    ImageCacheQueryMemoryData = 1ull << 0,
    // When the memory level has the image, read the disk synchronously.
    ImageCacheQueryMemoryDataSync = 1ull << 1,
    // When the memory level misses, read the disk synchronously.
    ImageCacheQueryDiskDataSync = 1ull << 2,
    ImageCacheScaleDownLargeImages = 1ull << 3,
    ImageCacheAvoidDecodeImage = 1ull << 4,
    // A multi-frame image is served as its first frame.
    ImageCacheDecodeFirstFrameOnly = 1ull << 5,
    ImageCachePreloadAllFrames = 1ull << 6,
    // A memory hit must be of the context's animated image class.
    ImageCacheMatchAnimatedImageClass = 1ull << 7,
};

// Load options to cache options: bit 11 to bit 3, bits 12-14 to bits 0-2, bits 18-21 to bits 4-7;
// every other bit is dropped.
constexpr ImageCacheOptions cacheOptionsFromImageOptions(RemoteImageOptions options) {
    ImageCacheOptions result = 0;
    result |= ((options >> 11) & 0x1) << 3;
    result |= (options >> 12) & 0x7;
    result |= ((options >> 18) & 0xf) << 4;
    return result;
}

// Cache options to load options, for decoding: bit 3 to bit 11, bits 4-7 to bits 18-21; the three
// query bits are dropped.
constexpr RemoteImageOptions imageOptionsFromCacheOptions(ImageCacheOptions options) {
    RemoteImageOptions result = 0;
    result |= ((options >> 3) & 0x1) << 11;
    result |= ((options >> 4) & 0xf) << 18;
    return result;
}

} // namespace velmora::images
