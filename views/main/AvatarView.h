#pragma once

#include <QImage>
#include <QUrl>
#include <QWidget>

#include <optional>

namespace velmora {

// A user's avatar as a round image of a fixed side length.
//
// Without an address it draws the person symbol inside a grey ring a tenth of the
// side wide. With one it shows the loaded picture scaled to fit, and the person
// symbol on a secondary-colour square (both cut to the circle, no ring) while the
// picture loads or when it cannot be had.
class AvatarView : public QWidget {
    Q_OBJECT

public:
    // An empty or invalid address counts as none.
    AvatarView(std::optional<QUrl> url, qreal size, QWidget* parent = nullptr);

    const std::optional<QUrl>& url() const { return m_url; }
    // A new address drops the picture of the old one.
    void setUrl(std::optional<QUrl> url);
    qreal avatarSize() const { return m_size; }

    // The picture loaded for the current address; a null image shows the placeholder.
    void setImage(const QImage& image);
    bool showsPlaceholder() const { return m_url.has_value() && m_image.isNull(); }
    // Width of the grey ring; 0 when the avatar has an address (no ring then).
    qreal ringWidth() const { return m_url ? 0.0 : m_size / 10.0; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::optional<QUrl> m_url;
    qreal m_size;
    QImage m_image;
};

} // namespace velmora
