#pragma once

#include "images/coders/ImageCoder.h"

#include <QSizeF>

#include <memory>

namespace velmora::images {

// The coder of SVG documents, drawn by QtSvg in the vector drawing process (SvgVectorImageSource).
// It makes a vector image that draws sharply at any size, or a bitmap of a requested size, and
// writes a vector SVG image back as its document. It is not
// one of the registry's default coders; the application adds it at start-up, so it goes first.
class ImageSVGCoder : public ImageCoder {
public:
    static std::shared_ptr<ImageSVGCoder> sharedCoder();
    // Vector SVG images are always possible here: the drawing process draws them at any size.
    static bool supportsVectorSVGImage() { return true; }
    // True when the last 100 bytes (all of a shorter document) hold "</svg>".
    static bool isSVGFormatForData(const QByteArray& data);

    bool canDecodeFromData(const QByteArray& data) override;
    Image decodedImageWithData(const QByteArray& data, const DecodeOptions& options) override;
    bool canEncodeToFormat(ImageFormat format) override;
    QByteArray encodedDataWithImage(const Image& image, ImageFormat format,
                                    const EncodeOptions& options) override;

    static Image createVectorSVG(const QByteArray& data);
    // A bitmap of the document at the target size in points (a side of 0 or less takes the
    // canvas), never needing more bitmap bytes than the limit (0 means the helper's default).
    static Image createBitmapSVG(const QByteArray& data, const QSizeF& targetSize, bool preserveAspectRatio,
                                 quint64 limitBytes = 0);
};

} // namespace velmora::images
