#include "images/coders/ApngFrameSource.h"

#include <QPainter>

namespace velmora::images {

std::shared_ptr<ApngFrameSource> ApngFrameSource::create(const QByteArray& data) {
    auto layout = ApngSupport::parse(data);
    if (!layout) {
        return nullptr;
    }
    return std::shared_ptr<ApngFrameSource>(new ApngFrameSource(std::move(*layout)));
}

std::optional<double> ApngFrameSource::frameDelay(int index) const {
    if (!m_layout.animated || index < 0 || index >= m_layout.controls.size()) {
        return std::nullopt;
    }
    return m_layout.controls.at(index).delay;
}

bool ApngFrameSource::renderNext() {
    const int index = m_rendered + 1;
    if (index == 0) {
        // The parser checked the canvas against the pixel budget.
        m_canvas = QImage(m_layout.canvas, QImage::Format_ARGB32_Premultiplied);
        if (m_canvas.isNull()) {
            return false;
        }
        m_canvas.fill(Qt::transparent);
    } else {
        // The previous frame leaves the canvas as its dispose operation says.
        const ApngSupport::FrameControl& previous = m_layout.controls.at(m_rendered);
        const QRect area(previous.offset, previous.size);
        quint8 dispose = previous.dispose;
        if (dispose == ApngSupport::DisposePrevious && m_rendered == 0) {
            dispose = ApngSupport::DisposeBackground;
        }
        if (dispose == ApngSupport::DisposeBackground) {
            QPainter painter(&m_canvas);
            painter.setCompositionMode(QPainter::CompositionMode_Source);
            painter.fillRect(area, Qt::transparent);
        } else if (dispose == ApngSupport::DisposePrevious && !m_beforeLast.isNull()) {
            m_canvas = m_beforeLast;
        }
    }
    const ApngSupport::FrameControl& control = m_layout.controls.at(index);
    // Only a frame that restores what was under it needs the canvas kept (a shared copy: the
    // pixels are copied when the canvas is next drawn on).
    m_beforeLast = control.dispose == ApngSupport::DisposePrevious ? m_canvas : QImage();
    m_rendered = index;
    const QImage pixels = ApngSupport::decodeFrame(m_layout, index);
    if (pixels.isNull()) {
        return false;
    }
    QPainter painter(&m_canvas);
    painter.setCompositionMode(control.blend == ApngSupport::BlendOver ? QPainter::CompositionMode_SourceOver
                                                                       : QPainter::CompositionMode_Source);
    painter.drawImage(control.offset, pixels);
    return true;
}

QImage ApngFrameSource::frameAt(int index) {
    if (index < 0 || index >= frameCount()) {
        return {};
    }
    std::lock_guard lock(m_mutex);
    if (index < m_rendered) {
        m_rendered = -1;
        m_beforeLast = QImage();
    }
    while (m_rendered < index) {
        m_renderedFailed = !renderNext();
        if (m_canvas.isNull()) {
            m_rendered = -1;
            return {};
        }
    }
    // A frame whose pixels cannot be decoded is no frame, not the canvas without it.
    return m_renderedFailed ? QImage() : m_canvas;
}

QImage ApngFrameSource::firstFrameScaledTo(const QSize& size) {
    if (size.isEmpty() || frameCount() == 0 || m_layout.canvas.isEmpty()) {
        return {};
    }
    const QImage pixels = ApngSupport::decodeFrame(m_layout, 0);
    if (pixels.isNull()) {
        return {};
    }
    return drawnScaled(pixels, m_layout.controls.at(0).offset, m_layout.canvas, size);
}

} // namespace velmora::images
