#pragma once

#include "images/coders/ImageIOAnimatedCoder.h"

namespace velmora::images {

// HEIC and HEIF stills through libheif (image sequences are not read: libheif here has no sequence support).
class ImageHEICCoder : public ImageIOAnimatedCoder {
public:
    static std::shared_ptr<ImageHEICCoder> sharedCoder();

    ImageFormat imageFormat() const override { return ImageFormat::HEIC; }
    QString imageUTType() const override { return QStringLiteral("public.heics"); }
    unsigned defaultLoopCount() const override { return 0; }

    bool canEncodeToFormat(ImageFormat format) override;

protected:
    std::shared_ptr<ImageIOAnimatedCoder> newInstance() const override {
        return std::make_shared<ImageHEICCoder>();
    }
    QByteArray writeFrames(const QList<ImageFrame>& frames, unsigned loopCount,
                           const EncodeOptions& options) override;
    bool decodesFormat(ImageFormat format) const override;
};

} // namespace velmora::images
