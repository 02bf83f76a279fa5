#pragma once

#include "images/coders/AnimatedFrameSource.h"

#include <QBuffer>
#include <QImageReader>
#include <QList>

#include <memory>
#include <mutex>

namespace velmora::images {

// A GIF: its blocks are walked once for the frame count, delays and loop count (no pixels
// decoded); pixels come from Qt's GIF reader, read forward and restarted only when an earlier
// frame is asked for.
class GifFrameSource : public AnimatedFrameSource {
public:
    static std::shared_ptr<GifFrameSource> create(const QByteArray& data);

    int frameCount() const override { return int(m_delays.size()); }
    std::optional<unsigned> loopCount() const override { return m_loopCount; }
    std::optional<double> frameDelay(int index) const override;
    QSize canvasSize() const override { return m_canvas; }
    QImage frameAt(int index) override;
    // Decoded row by row into a box filter of the wanted size: memory for one row and the
    // result, whatever the logical screen declares.
    QImage firstFrameScaledTo(const QSize& size) override;

    // The parts of a GIF stream that say how it plays, read without decoding pixels; frames
    // whose data is cut off are not counted.
    struct Layout {
        QSize canvas;
        QList<std::optional<double>> delays;
        std::optional<unsigned> loopCount;
    };
    static std::optional<Layout> parse(const QByteArray& data);

private:
    explicit GifFrameSource(QByteArray data, Layout layout);
    void restart();

    QByteArray m_data;
    QSize m_canvas;
    QList<std::optional<double>> m_delays;
    std::optional<unsigned> m_loopCount;

    std::mutex m_mutex;
    std::unique_ptr<QBuffer> m_buffer;
    std::unique_ptr<QImageReader> m_reader;
    int m_nextIndex = 0;
    QImage m_last;
};

} // namespace velmora::images
