#pragma once

#include "images/core/DecodeOptions.h"
#include "images/core/Image.h"
#include "images/core/RemoteImageContext.h"
#include "images/core/RemoteImageOptions.h"

#include <QByteArray>
#include <QString>

namespace velmora::images {

// The coder options of one load, built from its context, its options and its cache key, so an image
// decoded from the network and the same image decoded from disk are decoded alike. The scale is the
// context's when it is at least 1, else the one the key names; the key's extension is a hint only
// when the context gives no type hint.
DecodeOptions decodeOptionsFromContext(const RemoteImageContext& context, RemoteImageOptions options,
                                       const QString& cacheKey);

// Writes coder options back into a context and the first-frame-only bit of the options.
void contextFromDecodeOptions(RemoteImageContext& context, RemoteImageOptions& options,
                              const DecodeOptions& decodeOptions);

// Force-decodes a decoded image by the context's policy (never when the options avoid it) and
// gives it the decode options it was made with.
Image forceDecodedImage(const Image& image, RemoteImageOptions options, const RemoteImageContext& context,
                        const DecodeOptions& decodeOptions);

// Decodes whole image data with the given coder options: through the context's animated image
// class when it names one (and first-frame-only is not asked), else through the context's coder
// or the shared registry; then force-decoded. Null when nothing decodes the data. Downloads and
// cache reads both decode through here.
Image decodeImageDataWithOptions(const QByteArray& data, RemoteImageOptions options,
                                 const RemoteImageContext& context, const DecodeOptions& decodeOptions);

// Decodes bytes read from a cache: through the context's animated image class when it names one
// (and first-frame-only is not asked), else through the context's coder or the shared registry;
// then force-decoded by the context's policy. The result carries its decode options. Null when the
// bytes or the key are empty or nothing decodes them.
Image imageCacheDecodeImageData(const QByteArray& data, const QString& cacheKey, RemoteImageOptions options,
                                const RemoteImageContext& context);

} // namespace velmora::images
