#pragma once

#include "images/coders/ImageIOAnimatedCoder.h"

namespace velmora::images {

// Animated PNG of our own (ApngSupport): frames read by Qt's PNG reader, written by PngWriter
// over zlib. It takes only PNGs that carry an animation control before their image data: a
// still PNG is left to the still coder, which decodes it directly. Asked to decode a still PNG
// anyway, it gives a one-frame image.
class ImageAPNGCoder : public ImageIOAnimatedCoder {
public:
    static std::shared_ptr<ImageAPNGCoder> sharedCoder();

    bool canDecodeFromData(const QByteArray& data) override;

    ImageFormat imageFormat() const override { return ImageFormat::PNG; }
    QString imageUTType() const override { return QStringLiteral("public.png"); }
    unsigned defaultLoopCount() const override { return 0; }

protected:
    std::shared_ptr<ImageIOAnimatedCoder> newInstance() const override {
        return std::make_shared<ImageAPNGCoder>();
    }
    QByteArray writeFrames(const QList<ImageFrame>& frames, unsigned loopCount,
                           const EncodeOptions& options) override;
};

} // namespace velmora::images
