#pragma once

#include "images/core/ImageError.h"

#include <QImage>

#include <optional>

namespace velmora::imageviews {

// What a remote image view has to show: the loaded image (already configured), the
// error of a failed load, or nothing yet.
class RemoteImagePhase {
public:
    enum class Kind { Empty, Failure, Success };

    static RemoteImagePhase empty() { return RemoteImagePhase(Kind::Empty, {}, {}); }
    static RemoteImagePhase failure(images::ImageError error) { return RemoteImagePhase(Kind::Failure, {}, std::move(error)); }
    static RemoteImagePhase success(QImage image) { return RemoteImagePhase(Kind::Success, std::move(image), {}); }

    Kind kind() const { return m_kind; }
    // Only a success has an image, only a failure an error.
    std::optional<QImage> image() const { return m_kind == Kind::Success ? std::optional<QImage>(m_image) : std::nullopt; }
    std::optional<images::ImageError> error() const {
        return m_kind == Kind::Failure ? std::optional<images::ImageError>(m_error) : std::nullopt;
    }

private:
    RemoteImagePhase(Kind kind, QImage image, images::ImageError error)
        : m_kind(kind), m_image(std::move(image)), m_error(std::move(error)) {}

    Kind m_kind;
    QImage m_image;
    images::ImageError m_error;
};

} // namespace velmora::imageviews
