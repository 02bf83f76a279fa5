#include "images/coders/GifFrameSource.h"

#include "images/core/Image.h"

#include <QScopeGuard>

#include <gif_lib.h>

#include <cstring>
#include <vector>

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

struct GifReadState {
    const QByteArray* data = nullptr;
    qsizetype at = 0;
};

int readFromArray(GifFileType* file, GifByteType* bytes, int length) {
    auto* state = static_cast<GifReadState*>(file->UserData);
    const qsizetype count = std::min<qsizetype>(length, state->data->size() - state->at);
    if (count <= 0) {
        return 0;
    }
    std::memcpy(bytes, state->data->constData() + state->at, size_t(count));
    state->at += count;
    return int(count);
}

// The row of the frame that the `line`th stored line fills.
int storedRowToFrameRow(int line, int height, bool interlaced) {
    if (!interlaced) {
        return line;
    }
    static const int start[4] = {0, 4, 2, 1};
    static const int step[4] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass) {
        const int rows = height > start[pass] ? (height - start[pass] + step[pass] - 1) / step[pass] : 0;
        if (line < rows) {
            return start[pass] + line * step[pass];
        }
        line -= rows;
    }
    return -1;
}

} // namespace

QImage GifFrameSource::firstFrameScaledTo(const QSize& size) {
    const int screenWidth = m_canvas.width();
    const int screenHeight = m_canvas.height();
    if (size.isEmpty() || size.width() > screenWidth || size.height() > screenHeight) {
        return {};
    }
    GifReadState state{&m_data, 0};
    int error = 0;
    GifFileType* file = DGifOpen(&state, readFromArray, &error);
    if (!file) {
        return {};
    }
    const auto close = qScopeGuard([file] {
        int ignored = 0;
        DGifCloseFile(file, &ignored);
    });
    int transparent = -1;
    GifRecordType record = UNDEFINED_RECORD_TYPE;
    do {
        if (DGifGetRecordType(file, &record) == GIF_ERROR) {
            return {};
        }
        if (record == EXTENSION_RECORD_TYPE) {
            int code = 0;
            GifByteType* block = nullptr;
            if (DGifGetExtension(file, &code, &block) == GIF_ERROR) {
                return {};
            }
            if (code == GRAPHICS_EXT_FUNC_CODE && block && block[0] >= 4) {
                transparent = (block[1] & 0x01) ? int(block[4]) : -1;
            }
            while (block) {
                if (DGifGetExtensionNext(file, &block) == GIF_ERROR) {
                    return {};
                }
            }
        }
    } while (record != IMAGE_DESC_RECORD_TYPE && record != TERMINATE_RECORD_TYPE);
    if (record != IMAGE_DESC_RECORD_TYPE || DGifGetImageDesc(file) == GIF_ERROR) {
        return {};
    }
    const GifImageDesc& frame = file->Image;
    const ColorMapObject* colours = frame.ColorMap ? frame.ColorMap : file->SColorMap;
    if (!colours || colours->ColorCount <= 0 || frame.Width <= 0 || frame.Height <= 0 ||
        !fitsPixelBudget(frame.Width, frame.Height)) {
        return {};
    }
    // Premultiplied sums of the screen pixels falling into each pixel of the result; pixels of
    // the screen the frame leaves uncovered are transparent and add nothing.
    const int width = size.width();
    const int height = size.height();
    std::vector<quint64> sums(size_t(width) * size_t(height) * 4, 0);
    std::vector<GifPixelType> line(size_t(frame.Width));
    std::vector<int> column(size_t(frame.Width), -1);
    for (int x = 0; x < frame.Width; ++x) {
        const qint64 screenX = qint64(frame.Left) + x;
        if (screenX < screenWidth) {
            column[size_t(x)] = int(screenX * width / screenWidth);
        }
    }
    for (int stored = 0; stored < frame.Height; ++stored) {
        if (DGifGetLine(file, line.data(), frame.Width) == GIF_ERROR) {
            break; // the rows so far stand, as a viewer shows them
        }
        const int frameRow = storedRowToFrameRow(stored, frame.Height, frame.Interlace);
        const qint64 screenY = qint64(frame.Top) + frameRow;
        if (frameRow < 0 || screenY >= screenHeight) {
            continue;
        }
        quint64* row = sums.data() + size_t(screenY * height / screenHeight) * size_t(width) * 4;
        for (int x = 0; x < frame.Width; ++x) {
            const int index = line[size_t(x)];
            if (column[size_t(x)] < 0 || index == transparent || index >= colours->ColorCount) {
                continue;
            }
            const GifColorType& colour = colours->Colors[index];
            quint64* cell = row + size_t(column[size_t(x)]) * 4;
            cell[0] += colour.Red;
            cell[1] += colour.Green;
            cell[2] += colour.Blue;
            cell[3] += 255;
        }
    }
    QImage result(size, QImage::Format_ARGB32_Premultiplied);
    if (result.isNull()) {
        return {};
    }
    // Each pixel of the result averages the screen pixels that fall into it.
    const auto span = [](int index, int length, int screen) {
        const auto first = [&](int i) { return (qint64(i) * screen + length - 1) / length; };
        return std::max<qint64>(1, first(index + 1) - first(index));
    };
    for (int y = 0; y < height; ++y) {
        auto* out = reinterpret_cast<QRgb*>(result.scanLine(y));
        const qint64 rows = span(y, height, screenHeight);
        for (int x = 0; x < width; ++x) {
            const quint64* cell = sums.data() + (size_t(y) * size_t(width) + size_t(x)) * 4;
            const quint64 area = quint64(rows * span(x, width, screenWidth));
            out[x] =
                qRgba(int(cell[0] / area), int(cell[1] / area), int(cell[2] / area), int(cell[3] / area));
        }
    }
    return result;
}

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
