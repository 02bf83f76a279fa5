#pragma once

#include "image-views/RemoteImage.h"

#include <QPointer>
#include <QUrl>
#include <QWidget>

#include <optional>

namespace velmora {

// A user's avatar as a round image of a fixed side length.
//
// Without an address it draws the person symbol inside a grey ring a tenth of the
// side wide. With one it stands over a remote image view that loads the picture and
// shows it scaled to fit, and shows the person symbol on a secondary-colour square
// (both cut to the circle, no ring) while the picture loads or when it cannot be had.
class AvatarView : public QWidget {
    Q_OBJECT

public:
    // An empty or invalid address counts as none.
    AvatarView(std::optional<QUrl> url, qreal size, QWidget* parent = nullptr);

    // The address of a picture from a tracker's avatar text: only an http(s) address
    // with a host; anything else (a local path, another scheme, no text) is none, so
    // a tracker never makes the app read a file.
    static std::optional<QUrl> remoteUrl(const QString& text);

    const std::optional<QUrl>& url() const { return m_url; }
    // An address arriving (or going) replaces the content: the remote view is made
    // for the new address, or dropped.
    void setUrl(std::optional<QUrl> url);
    qreal avatarSize() const { return m_size; }

    // The remote view while there is an address; null otherwise.
    imageviews::RemoteImage* remoteImage() const { return m_remote; }
    // True while an address's picture is not (or cannot be) shown.
    bool showsPlaceholder() const;
    // Width of the grey ring; 0 when the avatar has an address (no ring then).
    qreal ringWidth() const { return m_url ? 0.0 : m_size / 10.0; }

    QSize sizeHint() const override;

    // Device pixels a point of an avatar is kept at.
    static constexpr int keptPixelsPerPoint = 4;
    // What an avatar of this side asks its picture's load for.
    static images::RemoteImageContext loadContext(qreal size);

    // The two looks of a picture that is not there, drawn into `rect`.
    static void paintPlaceholder(QPainter& painter, const QRectF& rect, const QPalette& palette);
    static void paintImage(QPainter& painter, const QRectF& rect, const QImage& image);
    // The look without an address: the person symbol in a grey ring a tenth of the side wide.
    static void paintWithoutAddress(QPainter& painter, const QRectF& rect, const QPalette& palette);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void rebuild();

    std::optional<QUrl> m_url;
    qreal m_size;
    QPointer<imageviews::RemoteImage> m_remote;
};

} // namespace velmora
