#include "images/coders/GifFrameSource.h"

#include "images/core/Image.h"

namespace velmora::images {

namespace {

quint16 le16(const QByteArray& data, qsizetype at) {
    return quint16(quint8(data.at(at))) | quint16(quint8(data.at(at + 1)) << 8);
}

// Skips a chain of sub-blocks starting at `at`; the offset after its terminator, or -1 when
// the data ends first.
qsizetype skipSubBlocks(const QByteArray& data, qsizetype at) {
    while (at < data.size()) {
        const int size = quint8(data.at(at));
        ++at;
        if (size == 0) {
            return at;
        }
        at += size;
    }
    return -1;
}

} // namespace

std::optional<GifFrameSource::Layout> GifFrameSource::parse(const QByteArray& data) {
    if (data.size() < 13 || !(data.startsWith("GIF87a") || data.startsWith("GIF89a"))) {
        return std::nullopt;
    }
    Layout layout;
    layout.canvas = QSize(le16(data, 6), le16(data, 8));
    const quint8 packed = quint8(data.at(10));
    qsizetype at = 13;
    if (packed & 0x80) {
        at += 3 * (1 << ((packed & 0x07) + 1));
    }
    std::optional<double> pendingDelay;
    while (at < data.size()) {
        const quint8 introducer = quint8(data.at(at));
        if (introducer == 0x3B) {
            break;
        }
        if (introducer == 0x21) {
            if (at + 2 > data.size()) {
                break;
            }
            const quint8 label = quint8(data.at(at + 1));
            const qsizetype blocks = at + 2;
            if (label == 0xF9 && blocks + 5 <= data.size() && quint8(data.at(blocks)) >= 4) {
                pendingDelay = le16(data, blocks + 2) / 100.0;
            } else if (label == 0xFF && blocks + 12 <= data.size() && quint8(data.at(blocks)) == 11 &&
                       (data.mid(blocks + 1, 11) == "NETSCAPE2.0" ||
                        data.mid(blocks + 1, 11) == "ANIMEXTS1.0")) {
                const qsizetype sub = blocks + 12;
                if (sub + 4 <= data.size() && quint8(data.at(sub)) >= 3 && quint8(data.at(sub + 1)) == 1) {
                    layout.loopCount = le16(data, sub + 2);
                }
            }
            at = skipSubBlocks(data, blocks);
            if (at < 0) {
                break;
            }
            continue;
        }
        if (introducer == 0x2C) {
            if (at + 10 > data.size()) {
                break;
            }
            const quint8 imagePacked = quint8(data.at(at + 9));
            qsizetype next = at + 10;
            if (imagePacked & 0x80) {
                next += 3 * (1 << ((imagePacked & 0x07) + 1));
            }
            next += 1; // LZW minimum code size
            next = skipSubBlocks(data, next);
            if (next < 0) {
                break; // the frame's data is cut off: it is not whole
            }
            layout.delays.append(pendingDelay);
            pendingDelay.reset();
            at = next;
            continue;
        }
        break; // anything else is damage: what came before stands
    }
    if (layout.delays.isEmpty() || !fitsPixelBudget(layout.canvas)) {
        return std::nullopt;
    }
    return layout;
}

std::shared_ptr<GifFrameSource> GifFrameSource::create(const QByteArray& data) {
    auto layout = parse(data);
    if (!layout) {
        return nullptr;
    }
    return std::shared_ptr<GifFrameSource>(new GifFrameSource(data, std::move(*layout)));
}

GifFrameSource::GifFrameSource(QByteArray data, Layout layout)
    : m_data(std::move(data)), m_canvas(layout.canvas), m_delays(std::move(layout.delays)),
      m_loopCount(layout.loopCount) {}

std::optional<double> GifFrameSource::frameDelay(int index) const {
    if (index < 0 || index >= m_delays.size()) {
        return std::nullopt;
    }
    return m_delays.at(index);
}

void GifFrameSource::restart() {
    m_reader.reset();
    m_buffer = std::make_unique<QBuffer>();
    m_buffer->setData(m_data);
    m_buffer->open(QIODevice::ReadOnly);
    m_reader = std::make_unique<QImageReader>(m_buffer.get(), "gif");
    // Only the GIF plugin: detection would load and ask every other one first.
    m_reader->setAutoDetectImageFormat(false);
    m_nextIndex = 0;
    m_last = QImage();
}

QImage GifFrameSource::frameAt(int index) {
    if (index < 0 || index >= frameCount()) {
        return {};
    }
    std::lock_guard lock(m_mutex);
    if (!m_reader || index < m_nextIndex - 1) {
        restart();
    }
    if (index == m_nextIndex - 1) {
        return m_last;
    }
    while (m_nextIndex <= index) {
        QImage frame;
        if (!m_reader->read(&frame)) {
            // The reader cannot go on from a damaged frame; the next call starts over.
            m_reader.reset();
            return {};
        }
        ++m_nextIndex;
        m_last = frame;
    }
    return m_last;
}

} // namespace velmora::images
