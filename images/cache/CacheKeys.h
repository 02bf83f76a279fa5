#pragma once

#include <QString>

namespace velmora::images {

// Cache keys of derived images: a transformed or thumbnailed image is cached apart from its
// original by inserting "-" and a text that names the derivation before the key's extension.

// `key` with "-" + `transformerKey` inserted before its path extension (in a web URL, before the
// extension of the URL's path, query and fragment untouched), or appended when it has none.
// A null key or transformer key gives a null key.
QString transformedCacheKey(const QString& key, const QString& transformerKey);

// The key of a thumbnail of at most width × height pixels: the transformed key with
// "Thumbnail({width,height},preserve)".
QString thumbnailCacheKey(const QString& key, bool preserveAspectRatio, double width, double height);

// The image scale a key names through an "@2x." or "@3x." marker (in a web URL also "%402x." or
// "%403x."); 1 otherwise.
double scaleFactorForCacheKey(const QString& key);

} // namespace velmora::images
