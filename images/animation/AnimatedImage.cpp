#include "images/animation/AnimatedImage.h"

#include "images/animation/AnimatedImageClass.h"
#include "images/animation/ImageAssetManager.h"
#include "images/coders/ImageCodersManager.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace velmora::images {

namespace {

double atLeastOne(double scale) {
    return scale >= 1.0 ? scale : 1.0;
}

class AnimatedImageKind : public AnimatedImageClass {
public:
    Image imageWithData(const QByteArray& data, double scale, const DecodeOptions& options) const override {
        return AnimatedImage::imageWithData(data, scale, options);
    }
    bool isInstance(const Image& image) const override { return AnimatedImage::fromImage(image) != nullptr; }
    void preloadAllFrames(const Image& image) const override {
        if (const auto animated = AnimatedImage::fromImage(image)) {
            animated->preloadAllFrames();
        }
    }
};

} // namespace

AnimatedImage::AnimatedImage(std::shared_ptr<AnimatedImageCoder> coder, double scale)
    : m_coder(std::move(coder)), m_scale(atLeastOne(scale)) {}

std::shared_ptr<const AnimatedImageClass> AnimatedImage::animatedImageClass() {
    static const auto kind = std::make_shared<AnimatedImageKind>();
    return kind;
}

std::shared_ptr<AnimatedImage> AnimatedImage::fromImage(const Image& image) {
    return std::dynamic_pointer_cast<AnimatedImage>(image.animatedProvider());
}

Image AnimatedImage::imageWithData(const QByteArray& data, double scale, const DecodeOptions& options) {
    if (data.isEmpty()) {
        return {};
    }
    const ImageFormat format = imageFormatForImageData(data);
    if (format == ImageFormat::PDF || format == ImageFormat::SVG) {
        return {};
    }
    DecodeOptions scaled = options;
    scaled.scaleFactor = scale;
    const auto coders = ImageCodersManager::sharedManager()->coders();
    for (auto it = coders.crbegin(); it != coders.crend(); ++it) {
        const auto animated = std::dynamic_pointer_cast<AnimatedImageCoder>(*it);
        if (animated && animated->canDecodeFromData(data)) {
            if (auto coder = animated->createAnimatedCoder(data, scaled)) {
                return imageWithAnimatedCoder(coder, scale);
            }
            break;
        }
    }
    // No animated coder takes it: a still image of this kind.
    const Image still = ImageCodersManager::sharedManager()->decodedImageWithData(data, scaled);
    if (still.isNull() || still.isVector()) {
        return {};
    }
    auto provider = std::shared_ptr<AnimatedImage>(new AnimatedImage(nullptr, scale));
    Image image(still.bitmap(), atLeastOne(scale), provider);
    image.setImageFormat(still.imageFormat());
    return image;
}

Image AnimatedImage::imageWithAnimatedCoder(const std::shared_ptr<AnimatedImageCoder>& coder, double scale) {
    if (!coder) {
        return {};
    }
    const Image poster = coder->animatedImageFrameAtIndex(0);
    if (poster.isNull()) {
        return {};
    }
    // A single frame keeps no coder: the image behaves as a still one.
    auto provider = std::shared_ptr<AnimatedImage>(
        new AnimatedImage(coder->animatedImageFrameCount() >= 2 ? coder : nullptr, scale));
    Image image(poster.bitmap(), atLeastOne(scale), provider);
    image.setImageFormat(imageFormatForImageData(coder->animatedImageData()));
    return image;
}

Image AnimatedImage::imageWithContentsOfFile(const QString& path) {
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QByteArray data = file.readAll();
    double scale = 1.0;
    if (!path.endsWith(QLatin1Char('/'))) {
        const QFileInfo info(path);
        const QString base = info.path() + QLatin1Char('/') + info.completeBaseName();
        static const QRegularExpression suffix(QStringLiteral("@([0-9]+\\.?[0-9]*)x$"),
                                               QRegularExpression::MultilineOption);
        const auto match = suffix.match(base);
        if (match.hasMatch()) {
            scale = match.captured(1).toDouble();
        }
    }
    DecodeOptions options;
    const QString extension = QFileInfo(path).suffix();
    if (!extension.isEmpty()) {
        options.fileExtensionHint = extension;
    }
    return imageWithData(data, scale, options);
}

Image AnimatedImage::imageNamed(const QString& name, const QString& folder, double scale) {
    if (name.isEmpty()) {
        return {};
    }
    const auto assets = ImageAssetManager::sharedAssetManager();
    const Image stored = assets->imageForName(name);
    if (fromImage(stored)) {
        return stored;
    }
    double preferred = scale;
    const QString path = assets->pathForName(name, folder, &preferred);
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        return stored;
    }
    const Image image = imageWithData(file.readAll(), preferred);
    if (image.isNull()) {
        return {};
    }
    assets->storeImage(image, name);
    return image;
}

ImageFormat AnimatedImage::animatedImageFormat() const {
    return m_coder ? imageFormatForImageData(m_coder->animatedImageData()) : ImageFormat::Undefined;
}

void AnimatedImage::preloadAllFrames() {
    if (!m_coder || isAllFramesLoaded()) {
        return;
    }
    QList<ImageFrame> frames;
    const unsigned count = m_coder->animatedImageFrameCount();
    for (unsigned index = 0; index < count; ++index) {
        frames.append(
            {m_coder->animatedImageFrameAtIndex(index), m_coder->animatedImageDurationAtIndex(index)});
    }
    std::lock_guard lock(m_mutex);
    m_loadedFrames = std::move(frames);
    m_allFramesLoaded = true;
}

void AnimatedImage::unloadAllFrames() {
    std::lock_guard lock(m_mutex);
    if (!m_coder || !m_allFramesLoaded) {
        return;
    }
    m_loadedFrames.clear();
    m_allFramesLoaded = false;
}

bool AnimatedImage::isAllFramesLoaded() const {
    std::lock_guard lock(m_mutex);
    return m_allFramesLoaded;
}

QByteArray AnimatedImage::animatedImageData() {
    return m_coder ? m_coder->animatedImageData() : QByteArray();
}

unsigned AnimatedImage::animatedImageFrameCount() {
    return m_coder ? m_coder->animatedImageFrameCount() : 0;
}

unsigned AnimatedImage::animatedImageLoopCount() {
    return m_coder ? m_coder->animatedImageLoopCount() : 0;
}

Image AnimatedImage::animatedImageFrameAtIndex(unsigned index) {
    if (index >= animatedImageFrameCount()) {
        return {};
    }
    {
        std::lock_guard lock(m_mutex);
        if (m_allFramesLoaded) {
            return m_loadedFrames.value(index).image;
        }
    }
    return m_coder->animatedImageFrameAtIndex(index);
}

double AnimatedImage::animatedImageDurationAtIndex(unsigned index) {
    if (index >= animatedImageFrameCount()) {
        return 0;
    }
    {
        std::lock_guard lock(m_mutex);
        if (m_allFramesLoaded) {
            return m_loadedFrames.value(index).duration;
        }
    }
    return m_coder->animatedImageDurationAtIndex(index);
}

QByteArray AnimatedImage::imageDataAsFormat(const Image& image, ImageFormat format, double compressionQuality,
                                            bool firstFrameOnly) {
    const QByteArray data = animatedImageData();
    if (compressionQuality == 1.0 && !data.isEmpty() && format == animatedImageFormat()) {
        return data;
    }
    EncodeOptions options;
    options.compressionQuality = compressionQuality;
    options.firstFrameOnly = firstFrameOnly;
    const auto manager = ImageCodersManager::sharedManager();
    const unsigned count = animatedImageFrameCount();
    if (count < 2) {
        const QByteArray encoded = manager->encodedDataWithImage(image, format, options);
        if (!encoded.isEmpty()) {
            return encoded;
        }
    }
    QList<ImageFrame> frames;
    for (unsigned index = 0; index < count; ++index) {
        frames.append({animatedImageFrameAtIndex(index), animatedImageDurationAtIndex(index)});
    }
    return manager->encodedDataWithFrames(frames, animatedImageLoopCount(), format, options);
}

} // namespace velmora::images
