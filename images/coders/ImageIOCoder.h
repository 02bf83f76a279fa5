#pragma once

#include "images/coders/ProgressiveImageCoder.h"

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QSizeF>

#include <memory>
#include <mutex>

namespace velmora::images {

// The general still-image coder over Qt's image readers and writers and libheif, with PNG written
// by PngWriter and a PNG that floods read by PartialPngDecoder. It claims every input and every
// output format, so a registry asks it last; it always decodes the first frame only. It reads no
// vector document (a PDF, an SVG): the registry gives those to their own coders by what the bytes
// are, and what is handed here all the same is no image. The shared instance keeps no state; each progressive
// decode makes its own instance.
class ImageIOCoder : public ProgressiveImageCoder {
public:
    ImageIOCoder();
    static std::shared_ptr<ImageIOCoder> sharedCoder();

    bool canDecodeFromData(const QByteArray& data) override;
    Image decodedImageWithData(const QByteArray& data, const DecodeOptions& options) override;
    bool canEncodeToFormat(ImageFormat format) override;
    QByteArray encodedDataWithImage(const Image& image, ImageFormat format,
                                    const EncodeOptions& options) override;

    bool canIncrementalDecodeFromData(const QByteArray& data) override;
    std::shared_ptr<ProgressiveImageCoder> createIncrementalCoder(const DecodeOptions& options) override;
    void updateIncrementalData(const QByteArray& data, bool finished) override;
    Image incrementalDecodedImageWithOptions(const DecodeOptions& options) override;

    bool claimsEveryInput() const override { return true; }

    // Whether the data is an SVG document: sniffed or hinted as one, or, when the sniff knows
    // nothing, what Qt's detection would give its SVG reader (asking it reads only the first
    // bytes).
    static bool isReadAsSvg(const QByteArray& data, const DecodeOptions& options);

    // The largest side an encoded image may have under a maximum pixel size; 0 when no limit
    // applies (no maximum, an empty image, or an image already within it).
    static double maxPixelSizeLimit(const QSize& imageSize, const QSizeF& maxPixelSize);

    // Whether Qt's readers and writers (or the coder libraries, or our own PNG writer) on this
    // machine read or write the format.
    static bool machineCanDecode(ImageFormat format);
    static bool machineCanEncode(ImageFormat format);

private:
    explicit ImageIOCoder(const DecodeOptions& incrementalOptions);

    // Incremental state; used by one caller at a time, guarded all the same.
    std::mutex m_mutex;
    QByteArray m_data;
    quint64 m_width = 0;
    quint64 m_height = 0;
    int m_orientation = 1;
    double m_scale = 1.0;
    bool m_finished = false;
    bool m_preserveAspectRatio = true;
    QSizeF m_thumbnailSize;
    bool m_lazyDecode = true;
};

} // namespace velmora::images
