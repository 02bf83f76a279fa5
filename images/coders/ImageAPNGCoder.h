#pragma once

#include "images/coders/ImageIOAnimatedCoder.h"

namespace velmora::images {

// Animated PNG of our own over Qt's PNG plugin and zlib; a still PNG is a one-frame image.
class ImageAPNGCoder : public ImageIOAnimatedCoder {
public:
    static std::shared_ptr<ImageAPNGCoder> sharedCoder();

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
