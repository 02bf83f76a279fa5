#pragma once

#include "images/core/Image.h"
#include "images/core/RemoteImageContext.h"
#include "images/core/RemoteImageOperation.h"
#include "images/core/RemoteImageOptions.h"
#include "images/widgets/RemoteImageViewLoading.h"

#include <QString>
#include <QUrl>

#include <memory>
#include <optional>

class QAbstractButton;

namespace velmora::images {

// Remote images on buttons. A button has two images: its image, shown while it is off, and
// its alternate image, shown while a checkable button is on; both go into its icon. Each has
// a load slot of its own, so loading one never cancels the other, while a new URL for the
// same image cancels that image's previous load.

// The key under which the alternate image's load runs.
QString alternateImageOperationKey();

std::shared_ptr<RemoteImageOperation>
setImageWithURL(QAbstractButton* button, const std::optional<QUrl>& url, const Image& placeholder = {},
                RemoteImageOptions options = 0, const RemoteImageContext& context = {},
                ImageLoaderProgressBlock progress = nullptr,
                RemoteImageViewSimpleCompletedBlock completed = nullptr);
std::shared_ptr<RemoteImageOperation>
setAlternateImageWithURL(QAbstractButton* button, const std::optional<QUrl>& url,
                         const Image& placeholder = {}, RemoteImageOptions options = 0,
                         const RemoteImageContext& context = {}, ImageLoaderProgressBlock progress = nullptr,
                         RemoteImageViewSimpleCompletedBlock completed = nullptr);

void cancelCurrentImageLoad(QAbstractButton* button);
void cancelCurrentAlternateImageLoad(QAbstractButton* button);
std::optional<QUrl> currentImageURL(QAbstractButton* button);
std::optional<QUrl> currentAlternateImageURL(QAbstractButton* button);

// What the button shows now for each state; null when nothing was put in.
Image buttonImage(QAbstractButton* button);
Image buttonAlternateImage(QAbstractButton* button);
void setButtonImage(QAbstractButton* button, const Image& image);
void setButtonAlternateImage(QAbstractButton* button, const Image& image);

} // namespace velmora::images
