// Decoding through the coders registry against a plain QImageReader read of the same bytes:
// a 64 px PNG avatar and a 512×512 JPEG, side by side in one run.
#include "BenchMain.h"
#include "images/coders/ImageCodersManager.h"

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <QBuffer>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>

#include <vector>

namespace {

using namespace velmora::images;

QImage picture(int side) {
    QImage image(side, side, QImage::Format_ARGB32);
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            image.setPixel(x, y, qRgba((x * 5 + y * 3) % 256, (x * y) % 256, (x ^ y) % 256, 255 - (x % 64)));
        }
    }
    return image;
}

QByteArray encoded(const QImage& image, const char* format) {
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(90);
    writer.write(image);
    return data;
}

const QByteArray& avatarPng() {
    static const QByteArray data = encoded(picture(64), "png");
    return data;
}

const QByteArray& photoJpeg() {
    static const QByteArray data = encoded(picture(512).convertToFormat(QImage::Format_RGB32), "jpeg");
    return data;
}

void plainRead(benchmark::State& state, const QByteArray& data) {
    for (auto _ : state) {
        QBuffer buffer;
        buffer.setData(data);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer);
        QImage image = reader.read();
        benchmark::DoNotOptimize(image);
    }
}

void registryDecode(benchmark::State& state, const QByteArray& data) {
    auto manager = ImageCodersManager::sharedManager();
    for (auto _ : state) {
        Image image = manager->decodedImageWithData(data, {});
        benchmark::DoNotOptimize(image);
    }
}

void BM_AvatarPngQImageReader(benchmark::State& state) {
    plainRead(state, avatarPng());
}
void BM_AvatarPngCodersManager(benchmark::State& state) {
    registryDecode(state, avatarPng());
}
void BM_PhotoJpegQImageReader(benchmark::State& state) {
    plainRead(state, photoJpeg());
}
void BM_PhotoJpegCodersManager(benchmark::State& state) {
    registryDecode(state, photoJpeg());
}

// Each side of a ratio many times over, the runs of all four in a random order, and the
// medians compared: run one after the other, a moment's noise on the machine (another
// program, the clock rate) lands on one side of a ratio only, and a bound of 10 % is less
// than that noise.
constexpr int repetitions = 15;
BENCHMARK(BM_AvatarPngQImageReader)->Repetitions(repetitions)->MinTime(0.1);
BENCHMARK(BM_AvatarPngCodersManager)->Repetitions(repetitions)->MinTime(0.1);
BENCHMARK(BM_PhotoJpegQImageReader)->Repetitions(repetitions)->MinTime(0.1);
BENCHMARK(BM_PhotoJpegCodersManager)->Repetitions(repetitions)->MinTime(0.1);

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
    // As the app sets it: a decoded photo is mapped anew for each decode on both sides. Left to
    // itself, the allocator raises its threshold after a free, and which side then reuses the
    // heap depends on the order the repetitions ran in.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    QGuiApplication app(argc, argv);
    velmora::bench::Bounds bounds;
    // A still picture goes straight to Qt's reader: the registry's choice of coder may
    // cost little beside the decode itself. Both decode on this thread: their CPU time is
    // compared, so a bound of 10% is not left to where a busy machine's waits fall.
    bounds.cpuTimeRatio("still PNG avatar: coders registry / QImageReader", "BM_AvatarPngCodersManager",
                        "BM_AvatarPngQImageReader", 1.1);
    bounds.cpuTimeRatio("JPEG photo: coders registry / QImageReader", "BM_PhotoJpegCodersManager",
                        "BM_PhotoJpegQImageReader", 1.1);
    return velmora::bench::runInterleaved(argc, argv, bounds);
}
