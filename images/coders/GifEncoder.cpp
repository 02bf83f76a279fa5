#include "images/coders/GifEncoder.h"

#include <gif_lib.h>

#include <cmath>
#include <vector>

namespace velmora::images {

namespace {

int writeToArray(GifFileType* file, const GifByteType* bytes, int length) {
    static_cast<QByteArray*>(file->UserData)->append(reinterpret_cast<const char*>(bytes), length);
    return length;
}

struct Indexed {
    QImage image; // Format_Indexed8
    int transparentIndex = -1;
};

Indexed reduce(const QImage& source, const QSize& canvas) {
    QImage rgba = source.convertToFormat(QImage::Format_ARGB32);
    if (rgba.size() != canvas) {
        rgba = rgba.scaled(canvas);
    }
    bool hasTransparency = false;
    for (int y = 0; y < rgba.height() && !hasTransparency; ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(rgba.constScanLine(y));
        for (int x = 0; x < rgba.width(); ++x) {
            if (qAlpha(line[x]) < 128) {
                hasTransparency = true;
                break;
            }
        }
    }
    Indexed result;
    result.image = rgba.convertToFormat(QImage::Format_RGB32)
                       .convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither);
    if (hasTransparency) {
        QList<QRgb> table = result.image.colorTable();
        int slot = int(table.size());
        if (slot >= 256) {
            // The palette is full: the last colour gives way to transparency, its pixels move
            // to the colour before it.
            slot = 255;
            for (int y = 0; y < result.image.height(); ++y) {
                uchar* line = result.image.scanLine(y);
                for (int x = 0; x < result.image.width(); ++x) {
                    if (line[x] == 255) {
                        line[x] = 254;
                    }
                }
            }
        } else {
            table.append(qRgba(0, 0, 0, 0));
            result.image.setColorTable(table);
        }
        for (int y = 0; y < rgba.height(); ++y) {
            const auto* line = reinterpret_cast<const QRgb*>(rgba.constScanLine(y));
            uchar* indexed = result.image.scanLine(y);
            for (int x = 0; x < rgba.width(); ++x) {
                if (qAlpha(line[x]) < 128) {
                    indexed[x] = uchar(slot);
                }
            }
        }
        result.transparentIndex = slot;
    }
    return result;
}

} // namespace

QByteArray GifEncoder::encode(const QList<Frame>& frames, unsigned loopCount) {
    if (frames.isEmpty() || frames.first().image.isNull()) {
        return {};
    }
    const QSize canvas = frames.first().image.size();
    if (canvas.width() > 65535 || canvas.height() > 65535) {
        return {};
    }
    QByteArray output;
    int error = 0;
    GifFileType* file = EGifOpen(&output, writeToArray, &error);
    if (!file) {
        return {};
    }
    EGifSetGifVersion(file, true);
    bool ok = EGifPutScreenDesc(file, canvas.width(), canvas.height(), 8, 0, nullptr) == GIF_OK;
    if (ok && frames.size() > 1) {
        const GifByteType application[] = {'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0'};
        const GifByteType loop[] = {1, GifByteType(loopCount & 0xFF), GifByteType((loopCount >> 8) & 0xFF)};
        ok = EGifPutExtensionLeader(file, APPLICATION_EXT_FUNC_CODE) == GIF_OK &&
             EGifPutExtensionBlock(file, sizeof(application), application) == GIF_OK &&
             EGifPutExtensionBlock(file, sizeof(loop), loop) == GIF_OK &&
             EGifPutExtensionTrailer(file) == GIF_OK;
    }
    for (qsizetype i = 0; ok && i < frames.size(); ++i) {
        const Frame& frame = frames.at(i);
        if (frame.image.isNull()) {
            ok = false;
            break;
        }
        const Indexed indexed = reduce(frame.image, canvas);
        GraphicsControlBlock control{};
        control.DisposalMode = indexed.transparentIndex >= 0 ? DISPOSE_BACKGROUND : DISPOSAL_UNSPECIFIED;
        control.UserInputFlag = false;
        const double seconds = std::isfinite(frame.duration) ? std::clamp(frame.duration, 0.0, 655.35) : 0.0;
        control.DelayTime = int(std::lround(seconds * 100.0));
        control.TransparentColor =
            indexed.transparentIndex >= 0 ? indexed.transparentIndex : NO_TRANSPARENT_COLOR;
        GifByteType extension[4];
        EGifGCBToExtension(&control, extension);
        ok = EGifPutExtension(file, GRAPHICS_EXT_FUNC_CODE, 4, extension) == GIF_OK;
        if (!ok) {
            break;
        }
        const QList<QRgb> table = indexed.image.colorTable();
        int mapSize = 2;
        while (mapSize < table.size()) {
            mapSize *= 2;
        }
        std::vector<GifColorType> colours(size_t(mapSize), GifColorType{0, 0, 0});
        for (qsizetype c = 0; c < table.size(); ++c) {
            colours[size_t(c)] = GifColorType{GifByteType(qRed(table[c])), GifByteType(qGreen(table[c])),
                                              GifByteType(qBlue(table[c]))};
        }
        ColorMapObject* map = GifMakeMapObject(mapSize, colours.data());
        ok = map && EGifPutImageDesc(file, 0, 0, canvas.width(), canvas.height(), false, map) == GIF_OK;
        for (int y = 0; ok && y < canvas.height(); ++y) {
            ok = EGifPutLine(file, const_cast<GifPixelType*>(indexed.image.constScanLine(y)),
                             canvas.width()) == GIF_OK;
        }
        if (map) {
            GifFreeMapObject(map);
        }
    }
    if (EGifCloseFile(file, &error) != GIF_OK) {
        ok = false;
    }
    return ok ? output : QByteArray();
}

} // namespace velmora::images
