#pragma once

#include "images/coders/ImageIOAnimatedCoder.h"

namespace velmora::images {

// Animated (and still) WebP through libwebp's animation decoder and encoder.
class ImageAWebPCoder : public ImageIOAnimatedCoder {
public:
    static std::shared_ptr<ImageAWebPCoder> sharedCoder();

    ImageFormat imageFormat() const override { return ImageFormat::WebP; }
    QString imageUTType() const override { return QStringLiteral("org.webmproject.webp"); }
    unsigned defaultLoopCount() const override { return 0; }

protected:
    std::shared_ptr<ImageIOAnimatedCoder> newInstance() const override {
        return std::make_shared<ImageAWebPCoder>();
    }
    QByteArray writeFrames(const QList<ImageFrame>& frames, unsigned loopCount,
                           const EncodeOptions& options) override;
};

} // namespace velmora::images
