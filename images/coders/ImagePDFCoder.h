#pragma once

#include "images/coders/ImageCoder.h"

#include <QSizeF>

#include <memory>

namespace velmora::images {

// The coder of PDF documents, drawn by Poppler in the vector drawing process
// (PdfVectorImageSource): a vector image of the first page, or a bitmap of it at the thumbnail
// size asked for. It claims the bytes that are a PDF, and writes nothing (the still-image coder
// writes a bitmap as a PDF).
class ImagePDFCoder : public ImageCoder {
public:
    static std::shared_ptr<ImagePDFCoder> sharedCoder();

    bool canDecodeFromData(const QByteArray& data) override;
    Image decodedImageWithData(const QByteArray& data, const DecodeOptions& options) override;
    bool canEncodeToFormat(ImageFormat) override { return false; }
    QByteArray encodedDataWithImage(const Image&, ImageFormat, const EncodeOptions&) override { return {}; }

    // Page `pageNumber` (from 0) of a PDF drawn into a bitmap of the target size in points (the
    // page's own size when empty) at the screen's scale; null without such a page or when the
    // page has an empty box.
    static Image createBitmapPDF(const QByteArray& data, int pageNumber, const QSizeF& targetSize,
                                 bool preserveAspectRatio);
};

} // namespace velmora::images
