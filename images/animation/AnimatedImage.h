#pragma once

#include "images/coders/AnimatedImageCoder.h"
#include "images/coders/ImageFrame.h"
#include "images/core/AbstractAnimatedImage.h"
#include "images/core/DecodeOptions.h"
#include "images/core/Image.h"

#include <QList>
#include <QString>

#include <memory>
#include <mutex>

namespace velmora::images {

class AnimatedImageClass;

// The library's animated image: the image handle it makes shows frame 0 and carries this
// object as the provider of every frame, decoded on demand by the first registered animated
// coder that takes the data. Data that no animated coder takes becomes a still image of this
// kind (no coder, one frame); PDF and SVG data, and vector results, become nothing.
class AnimatedImage : public AbstractAnimatedImage, public std::enable_shared_from_this<AnimatedImage> {
public:
    static Image imageWithData(const QByteArray& data, double scale = 1.0, const DecodeOptions& options = {});
    static Image imageWithAnimatedCoder(const std::shared_ptr<AnimatedImageCoder>& coder, double scale);
    // The scale comes from an "@2x"-style suffix of the file's base name, 1 without one.
    static Image imageWithContentsOfFile(const QString& path);
    // A named image of a resource folder (":/images" or a folder on disk), kept in the shared
    // asset table once decoded.
    static Image imageNamed(const QString& name, const QString& folder, double scale = 0);

    // The animated image behind an image handle, null for other images.
    static std::shared_ptr<AnimatedImage> fromImage(const Image& image);
    // The kind a load asks decoded data to become.
    static std::shared_ptr<const AnimatedImageClass> animatedImageClass();

    // The format sniffed from the kept data.
    ImageFormat animatedImageFormat() const;
    double scale() const { return m_scale; }

    std::shared_ptr<AnimatedImageCoder> animatedCoder() const override { return m_coder; }
    void preloadAllFrames() override;
    void unloadAllFrames() override;
    bool isAllFramesLoaded() const override;

    QByteArray animatedImageData() override;
    unsigned animatedImageFrameCount() override;
    unsigned animatedImageLoopCount() override;
    Image animatedImageFrameAtIndex(unsigned index) override;
    double animatedImageDurationAtIndex(unsigned index) override;

    // The kept data unchanged for its own format at full quality; else encoded by the
    // registry, as one image or as all frames.
    QByteArray imageDataAsFormat(const Image& image, ImageFormat format, double compressionQuality = 1.0,
                                 bool firstFrameOnly = false);

private:
    AnimatedImage(std::shared_ptr<AnimatedImageCoder> coder, double scale);

    std::shared_ptr<AnimatedImageCoder> m_coder;
    double m_scale = 1.0;
    mutable std::mutex m_mutex;
    bool m_allFramesLoaded = false;
    QList<ImageFrame> m_loadedFrames;
};

} // namespace velmora::images
