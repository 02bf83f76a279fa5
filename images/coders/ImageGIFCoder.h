#pragma once

#include "images/coders/ImageIOAnimatedCoder.h"

namespace velmora::images {

// GIF: frames read through Qt, written through libgif. Data without a loop count plays once.
class ImageGIFCoder : public ImageIOAnimatedCoder {
public:
    static std::shared_ptr<ImageGIFCoder> sharedCoder();

    ImageFormat imageFormat() const override { return ImageFormat::GIF; }
    QString imageUTType() const override { return QStringLiteral("com.compuserve.gif"); }
    unsigned defaultLoopCount() const override { return 1; }

protected:
    std::shared_ptr<ImageIOAnimatedCoder> newInstance() const override {
        return std::make_shared<ImageGIFCoder>();
    }
    QByteArray writeFrames(const QList<ImageFrame>& frames, unsigned loopCount,
                           const EncodeOptions& options) override;
};

} // namespace velmora::images
