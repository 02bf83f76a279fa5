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

void ApngFrameSource::renderNext() {
    const int index = m_rendered + 1;
    if (index == 0) {
        m_canvas = QImage(m_layout.canvas, QImage::Format_ARGB32_Premultiplied);
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
    m_beforeLast = m_canvas.copy();
    const QImage pixels = ApngSupport::decodeFrame(m_layout, index);
    if (!pixels.isNull()) {
        QPainter painter(&m_canvas);
        painter.setCompositionMode(control.blend == ApngSupport::BlendOver
                                       ? QPainter::CompositionMode_SourceOver
                                       : QPainter::CompositionMode_Source);
        painter.drawImage(control.offset, pixels);
    }
    m_rendered = index;
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
        renderNext();
    }
    return m_canvas.copy();
}

} // namespace velmora::images
