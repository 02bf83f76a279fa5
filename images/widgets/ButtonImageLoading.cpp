#include "images/widgets/ButtonImageLoading.h"

#include <QAbstractButton>
#include <QIcon>
#include <QPixmap>
#include <QPointer>

#include <map>
#include <mutex>

namespace velmora::images {

namespace {

// The two images of each button, kept beside it for as long as it lives.
struct ButtonImages {
    Image image;
    Image alternate;
};

std::mutex buttonTableLock;

std::map<const QAbstractButton*, ButtonImages>& buttonTable() {
    static std::map<const QAbstractButton*, ButtonImages> images;
    return images;
}

ButtonImages imagesOf(const QAbstractButton* button) {
    std::lock_guard lock(buttonTableLock);
    const auto it = buttonTable().find(button);
    return it == buttonTable().end() ? ButtonImages() : it->second;
}

// A vector image is rendered at the button's icon size.
QPixmap pixmapOf(const Image& image, const QAbstractButton* button) {
    const QSizeF drawn = image.size().scaled(QSizeF(button->iconSize()), Qt::KeepAspectRatio);
    return image ? QPixmap::fromImage(image.bitmap(drawn, button->devicePixelRatioF())) : QPixmap();
}

// The icon holds the image for the off state and the alternate image for the on state.
void storeAndShow(QAbstractButton* button, bool alternate, const Image& image) {
    ButtonImages images;
    {
        std::lock_guard lock(buttonTableLock);
        auto& states = buttonTable();
        auto it = states.find(button);
        if (it == states.end()) {
            it = states.emplace(button, ButtonImages()).first;
            QObject::connect(button, &QObject::destroyed, [button] {
                std::lock_guard lock(buttonTableLock);
                buttonTable().erase(button);
            });
        }
        (alternate ? it->second.alternate : it->second.image) = image;
        images = it->second;
    }
    QIcon icon;
    if (images.image) {
        icon.addPixmap(pixmapOf(images.image, button), QIcon::Normal, QIcon::Off);
    }
    if (images.alternate) {
        icon.addPixmap(pixmapOf(images.alternate, button), QIcon::Normal, QIcon::On);
    }
    button->setIcon(icon);
}

std::shared_ptr<RemoteImageOperation> load(QAbstractButton* button, bool alternate,
                                           const std::optional<QUrl>& url, const Image& placeholder,
                                           RemoteImageOptions options, const RemoteImageContext& context,
                                           ImageLoaderProgressBlock progress,
                                           RemoteImageViewSimpleCompletedBlock completed) {
    RemoteImageContext slotContext = context;
    if (alternate) {
        slotContext.setImageOperationKey = alternateImageOperationKey();
    }
    QPointer<QAbstractButton> guarded(button);
    // A button that has gone is skipped.
    auto setImage = [guarded, alternate](const Image& image, const QByteArray&, ImageCacheType, const QUrl&) {
        if (guarded) {
            storeAndShow(guarded, alternate, image);
        }
    };
    return internalSetImageWithURL(button, url, placeholder, options, slotContext, setImage,
                                   std::move(progress),
                                   [completed](const Image& image, const QByteArray&, const ImageError& error,
                                               ImageCacheType cacheType, bool, const QUrl& imageURL) {
                                       if (completed) {
                                           completed(image, error, cacheType, imageURL);
                                       }
                                   });
}

} // namespace

QString alternateImageOperationKey() {
    return QStringLiteral("alternateImage");
}

std::shared_ptr<RemoteImageOperation> setImageWithURL(QAbstractButton* button, const std::optional<QUrl>& url,
                                                      const Image& placeholder, RemoteImageOptions options,
                                                      const RemoteImageContext& context,
                                                      ImageLoaderProgressBlock progress,
                                                      RemoteImageViewSimpleCompletedBlock completed) {
    return load(button, false, url, placeholder, options, context, std::move(progress), std::move(completed));
}

std::shared_ptr<RemoteImageOperation>
setAlternateImageWithURL(QAbstractButton* button, const std::optional<QUrl>& url, const Image& placeholder,
                         RemoteImageOptions options, const RemoteImageContext& context,
                         ImageLoaderProgressBlock progress, RemoteImageViewSimpleCompletedBlock completed) {
    return load(button, true, url, placeholder, options, context, std::move(progress), std::move(completed));
}

void cancelCurrentImageLoad(QAbstractButton* button) {
    cancelImageLoadOperation(button, QString());
}

void cancelCurrentAlternateImageLoad(QAbstractButton* button) {
    cancelImageLoadOperation(button, alternateImageOperationKey());
}

std::optional<QUrl> currentImageURL(QAbstractButton* button) {
    const auto state = imageLoadState(button, QString());
    return state ? state->url : std::nullopt;
}

std::optional<QUrl> currentAlternateImageURL(QAbstractButton* button) {
    const auto state = imageLoadState(button, alternateImageOperationKey());
    return state ? state->url : std::nullopt;
}

Image buttonImage(QAbstractButton* button) {
    return imagesOf(button).image;
}

Image buttonAlternateImage(QAbstractButton* button) {
    return imagesOf(button).alternate;
}

void setButtonImage(QAbstractButton* button, const Image& image) {
    storeAndShow(button, false, image);
}

void setButtonAlternateImage(QAbstractButton* button, const Image& image) {
    storeAndShow(button, true, image);
}

} // namespace velmora::images
