#include "images/coders/WebPSupport.h"

#include "images/core/Image.h"

#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <cmath>
#include <cstring>

namespace velmora::images {

std::shared_ptr<WebPFrameSource> WebPFrameSource::create(const QByteArray& data) {
    if (data.isEmpty()) {
        return nullptr;
    }
    WebPData webp{reinterpret_cast<const uint8_t*>(data.constData()), size_t(data.size())};
    WebPDemuxer* demux = WebPDemux(&webp);
    if (!demux) {
        return nullptr;
    }
    std::shared_ptr<WebPFrameSource> source(new WebPFrameSource());
    source->m_data = data;
    source->m_canvas = QSize(int(WebPDemuxGetI(demux, WEBP_FF_CANVAS_WIDTH)),
                             int(WebPDemuxGetI(demux, WEBP_FF_CANVAS_HEIGHT)));
    const uint32_t flags = WebPDemuxGetI(demux, WEBP_FF_FORMAT_FLAGS);
    const bool animated = (flags & ANIMATION_FLAG) != 0;
    if (animated) {
        source->m_loopCount = WebPDemuxGetI(demux, WEBP_FF_LOOP_COUNT);
    }
    WebPIterator iterator;
    if (WebPDemuxGetFrame(demux, 1, &iterator)) {
        do {
            if (!iterator.complete) {
                break;
            }
            source->m_delays.append(animated ? std::optional<double>(iterator.duration / 1000.0)
                                             : std::nullopt);
        } while (WebPDemuxNextFrame(&iterator));
        WebPDemuxReleaseIterator(&iterator);
    }
    WebPDemuxDelete(demux);
    if (source->m_delays.isEmpty() || !fitsPixelBudget(source->m_canvas)) {
        return nullptr;
    }
    return source;
}

WebPFrameSource::~WebPFrameSource() {
    if (m_decoder) {
        WebPAnimDecoderDelete(m_decoder);
    }
}

QImage WebPFrameSource::firstFrameScaledTo(const QSize& size) {
    if (size.isEmpty()) {
        return {};
    }
    WebPData webp{reinterpret_cast<const uint8_t*>(m_data.constData()), size_t(m_data.size())};
    WebPDemuxer* demux = WebPDemux(&webp);
    if (!demux) {
        return {};
    }
    QImage pixels;
    QPoint offset;
    WebPIterator iterator;
    if (WebPDemuxGetFrame(demux, 1, &iterator)) {
        offset = QPoint(iterator.x_offset, iterator.y_offset);
        int width = 0;
        int height = 0;
        if (iterator.complete &&
            WebPGetInfo(iterator.fragment.bytes, iterator.fragment.size, &width, &height) &&
            width == iterator.width && height == iterator.height && fitsPixelBudget(width, height)) {
            if (uint8_t* rgba =
                    WebPDecodeRGBA(iterator.fragment.bytes, iterator.fragment.size, &width, &height)) {
                pixels = QImage(rgba, width, height, width * 4, QImage::Format_RGBA8888)
                             .convertToFormat(QImage::Format_ARGB32_Premultiplied);
                WebPFree(rgba);
            }
        }
        WebPDemuxReleaseIterator(&iterator);
    }
    WebPDemuxDelete(demux);
    if (pixels.isNull()) {
        return {};
    }
    return drawnScaled(pixels, offset, m_canvas, size);
}

std::optional<double> WebPFrameSource::frameDelay(int index) const {
    if (index < 0 || index >= m_delays.size()) {
        return std::nullopt;
    }
    return m_delays.at(index);
}

QImage WebPFrameSource::frameAt(int index) {
    if (index < 0 || index >= frameCount()) {
        return {};
    }
    std::lock_guard lock(m_mutex);
    if (!m_decoder) {
        WebPAnimDecoderOptions options;
        if (!WebPAnimDecoderOptionsInit(&options)) {
            return {};
        }
        options.color_mode = MODE_RGBA;
        options.use_threads = 0;
        WebPData webp{reinterpret_cast<const uint8_t*>(m_data.constData()), size_t(m_data.size())};
        m_decoder = WebPAnimDecoderNew(&webp, &options);
        if (!m_decoder) {
            return {};
        }
        m_nextIndex = 0;
    }
    if (index < m_nextIndex - 1) {
        WebPAnimDecoderReset(m_decoder);
        m_nextIndex = 0;
    }
    if (index == m_nextIndex - 1) {
        return m_last;
    }
    while (m_nextIndex <= index) {
        uint8_t* pixels = nullptr;
        int timestamp = 0;
        if (!WebPAnimDecoderGetNext(m_decoder, &pixels, &timestamp) || !pixels) {
            WebPAnimDecoderReset(m_decoder);
            m_nextIndex = 0;
            return {};
        }
        QImage frame(m_canvas, QImage::Format_RGBA8888);
        if (frame.isNull()) {
            return {};
        }
        const size_t row = size_t(m_canvas.width()) * 4;
        for (int y = 0; y < m_canvas.height(); ++y) {
            std::memcpy(frame.scanLine(y), pixels + row * size_t(y), row);
        }
        m_last = frame.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        ++m_nextIndex;
    }
    return m_last;
}

QByteArray WebPFrameSource::encode(const QList<Frame>& frames, unsigned loopCount, double quality) {
    if (frames.isEmpty() || frames.first().image.isNull()) {
        return {};
    }
    const QSize canvas = frames.first().image.size();
    WebPAnimEncoderOptions options;
    if (!WebPAnimEncoderOptionsInit(&options)) {
        return {};
    }
    options.anim_params.loop_count = int(std::min(loopCount, 65535u));
    WebPAnimEncoder* encoder = WebPAnimEncoderNew(canvas.width(), canvas.height(), &options);
    if (!encoder) {
        return {};
    }
    WebPConfig config;
    WebPConfigInit(&config);
    quality = std::isfinite(quality) ? std::clamp(quality, 0.0, 1.0) : 1.0;
    config.lossless = quality >= 1.0 ? 1 : 0;
    config.quality = float(quality * 100.0);
    int timestamp = 0;
    bool ok = true;
    for (const Frame& frame : frames) {
        const QImage rgba = frame.image.convertToFormat(QImage::Format_RGBA8888).scaled(canvas);
        WebPPicture picture;
        if (!WebPPictureInit(&picture)) {
            ok = false;
            break;
        }
        picture.use_argb = 1;
        picture.width = canvas.width();
        picture.height = canvas.height();
        if (!WebPPictureImportRGBA(&picture, rgba.constBits(), int(rgba.bytesPerLine()))) {
            WebPPictureFree(&picture);
            ok = false;
            break;
        }
        ok = WebPAnimEncoderAdd(encoder, &picture, timestamp, &config);
        WebPPictureFree(&picture);
        if (!ok) {
            break;
        }
        const double duration = std::isfinite(frame.duration) ? std::max(frame.duration, 0.0) : 0.0;
        timestamp += int(std::lround(duration * 1000.0));
    }
    QByteArray output;
    if (ok && WebPAnimEncoderAdd(encoder, nullptr, timestamp, nullptr)) {
        WebPData assembled;
        WebPDataInit(&assembled);
        if (WebPAnimEncoderAssemble(encoder, &assembled)) {
            output = QByteArray(reinterpret_cast<const char*>(assembled.bytes), qsizetype(assembled.size));
        }
        WebPDataClear(&assembled);
    }
    WebPAnimEncoderDelete(encoder);
    return output;
}

} // namespace velmora::images
