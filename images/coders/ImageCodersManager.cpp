#include "images/coders/ImageCodersManager.h"

#include "images/coders/ImageAPNGCoder.h"
#include "images/coders/ImageGIFCoder.h"
#include "images/coders/ImageIOCoder.h"
#include "images/coders/ImagePDFCoder.h"
#include "images/coders/ImageSVGCoder.h"

namespace velmora::images {

ImageCodersManager::ImageCodersManager() : m_coders(defaultCoders()) {}

std::shared_ptr<ImageCodersManager> ImageCodersManager::sharedManager() {
    static const auto instance = std::make_shared<ImageCodersManager>();
    return instance;
}

QList<std::shared_ptr<ImageCoder>> ImageCodersManager::defaultCoders() {
    return {ImageIOCoder::sharedCoder(), ImagePDFCoder::sharedCoder(), ImageGIFCoder::sharedCoder(),
            ImageAPNGCoder::sharedCoder()};
}

QList<std::shared_ptr<ImageCoder>> ImageCodersManager::coders() const {
    std::lock_guard lock(m_mutex);
    return m_coders;
}

void ImageCodersManager::setCoders(const QList<std::shared_ptr<ImageCoder>>& coders) {
    std::lock_guard lock(m_mutex);
    m_coders.clear();
    for (const auto& coder : coders) {
        m_coders.append(coder);
    }
}

void ImageCodersManager::addCoder(const std::shared_ptr<ImageCoder>& coder) {
    if (!coder) {
        return;
    }
    std::lock_guard lock(m_mutex);
    m_coders.append(coder);
}

void ImageCodersManager::removeCoder(const std::shared_ptr<ImageCoder>& coder) {
    if (!coder) {
        return;
    }
    std::lock_guard lock(m_mutex);
    m_coders.removeAll(coder);
}

bool ImageCodersManager::canDecodeFromData(const QByteArray& data) {
    const auto list = coders();
    for (auto it = list.crbegin(); it != list.crend(); ++it) {
        if (*it && (*it)->canDecodeFromData(data)) {
            return true;
        }
    }
    return false;
}

Image ImageCodersManager::decodedImageWithData(const QByteArray& data, const DecodeOptions& options) {
    if (data.isEmpty()) {
        return {};
    }
    const auto list = coders();
    for (auto it = list.crbegin(); it != list.crend(); ++it) {
        if (!*it || !(*it)->canDecodeFromData(data)) {
            continue;
        }
        // What the bytes are decides before a coder that takes anything: a PDF goes to the PDF
        // coder, and an SVG that no SVG coder claimed (its closing tag not at its end, or only
        // a name or Qt's detection saying SVG) is drawn as a bitmap by the SVG road, whose filter
        // takes every outside reference out first. The still-image coder never reads either.
        if ((*it)->claimsEveryInput()) {
            if (ImagePDFCoder::sharedCoder()->canDecodeFromData(data)) {
                return ImagePDFCoder::sharedCoder()->decodedImageWithData(data, options);
            }
            if (ImageIOCoder::isReadAsSvg(data, options)) {
                Image image =
                    ImageSVGCoder::createBitmapSVG(data, options.thumbnailPixelSize.valueOr(QSizeF()),
                                                   options.preserveAspectRatio.valueOr(true));
                if (!image.isNull()) {
                    image.setImageFormat(ImageFormat::SVG);
                }
                return image;
            }
        }
        return (*it)->decodedImageWithData(data, options);
    }
    return {};
}

bool ImageCodersManager::canEncodeToFormat(ImageFormat format) {
    const auto list = coders();
    for (auto it = list.crbegin(); it != list.crend(); ++it) {
        if (*it && (*it)->canEncodeToFormat(format)) {
            return true;
        }
    }
    return false;
}

QByteArray ImageCodersManager::encodedDataWithImage(const Image& image, ImageFormat format,
                                                    const EncodeOptions& options) {
    if (image.isNull()) {
        return {};
    }
    const auto list = coders();
    for (auto it = list.crbegin(); it != list.crend(); ++it) {
        if (*it && (*it)->canEncodeToFormat(format)) {
            return (*it)->encodedDataWithImage(image, format, options);
        }
    }
    return {};
}

QByteArray ImageCodersManager::encodedDataWithFrames(const QList<ImageFrame>& frames, unsigned loopCount,
                                                     ImageFormat format, const EncodeOptions& options) {
    if (frames.isEmpty()) {
        return {};
    }
    const auto list = coders();
    for (auto it = list.crbegin(); it != list.crend(); ++it) {
        // A coder that claims the format but cannot encode frames is passed over.
        if (*it && (*it)->canEncodeToFormat(format) && (*it)->canEncodeFrames()) {
            return (*it)->encodedDataWithFrames(frames, loopCount, format, options);
        }
    }
    return {};
}

} // namespace velmora::images
