// All frames of a 40-frame 256×256 GIF through the animated coder against Qt's plain
// QImageReader loop over the same bytes, and ten seconds of playback on an injected clock with
// the frame buffer's size watched.
#include "BenchMain.h"
#include "images/animation/AnimatedImagePlayer.h"
#include "images/animation/ImageFramePool.h"
#include "images/coders/GifEncoder.h"
#include "images/coders/ImageGIFCoder.h"

#include <benchmark/benchmark.h>

#include <QBuffer>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QThread>

namespace {

using namespace velmora::images;

const QByteArray& animation() {
    static const QByteArray data = [] {
        QList<GifEncoder::Frame> frames;
        for (int i = 0; i < 40; ++i) {
            QImage frame(256, 256, QImage::Format_ARGB32);
            frame.fill(QColor(20, 20, 40));
            QPainter painter(&frame);
            painter.setBrush(QColor::fromHsv((i * 9) % 360, 200, 230));
            painter.drawEllipse(QPointF(128 + 90 * std::cos(i * 0.157), 128 + 90 * std::sin(i * 0.157)), 30,
                                30);
            painter.end();
            frames.append({frame, 0.05});
        }
        return GifEncoder::encode(frames, 0);
    }();
    return data;
}

void BM_GifQImageReaderLoop(benchmark::State& state) {
    for (auto _ : state) {
        QBuffer buffer;
        buffer.setData(animation());
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer, "gif");
        int frames = 0;
        QImage frame;
        while (reader.read(&frame)) {
            benchmark::DoNotOptimize(frame);
            ++frames;
        }
        if (frames != 40) {
            state.SkipWithError("not 40 frames");
        }
    }
}

void BM_GifAnimatedCoderAllFrames(benchmark::State& state) {
    for (auto _ : state) {
        const auto coder = ImageGIFCoder::sharedCoder()->createAnimatedCoder(animation(), {});
        const unsigned count = coder->animatedImageFrameCount();
        for (unsigned i = 0; i < count; ++i) {
            Image frame = coder->animatedImageFrameAtIndex(i);
            benchmark::DoNotOptimize(frame);
        }
        if (count != 40) {
            state.SkipWithError("not 40 frames");
        }
    }
}

// Ten seconds at 60 refreshes a second, the buffer limited to four frames' worth of bytes.
void BM_GifPlaybackTenSeconds(benchmark::State& state) {
    unsigned largest = 0;
    unsigned limit = 0;
    unsigned frames = 0;
    for (auto _ : state) {
        const auto coder = ImageGIFCoder::sharedCoder()->createAnimatedCoder(animation(), {});
        auto player = AnimatedImagePlayer::playerWithProvider(coder);
        player->setMaxBufferSize(4ull * 256 * 256 * 4);
        unsigned shown = 0;
        player->setAnimationFrameHandler([&](unsigned, const Image&) { ++shown; });
        player->startPlaying();
        for (int tick = 0; tick < 600; ++tick) {
            player->displayDidRefresh(1.0 / 60.0);
            while (player->framePool()->isFetching()) {
                QThread::usleep(50);
            }
            largest = std::max(largest, player->framePool()->currentFrameCount());
        }
        limit = player->framePool()->maxBufferCount();
        frames = shown;
    }
    state.counters["largest_buffer"] = largest;
    state.counters["buffer_limit"] = limit;
    state.counters["frames_shown"] = frames;
}

// The two sides of the ratio many times over, in a random order, the medians of their CPU time
// compared: both decode on this thread, and one after the other a busy machine's waits fell on
// one side alone.
constexpr int repetitions = 15;
BENCHMARK(BM_GifQImageReaderLoop)->Unit(benchmark::kMillisecond)->Repetitions(repetitions)->MinTime(0.1);
BENCHMARK(BM_GifAnimatedCoderAllFrames)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(repetitions)
    ->MinTime(0.1);
BENCHMARK(BM_GifPlaybackTenSeconds)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication app(argc, argv);
    using velmora::bench::Bounds;
    using velmora::bench::Measurement;
    using velmora::bench::Quantity;
    using velmora::bench::Runs;
    Bounds bounds;
    bounds.cpuTimeRatio("40-frame GIF, all frames: animated coder / QImageReader loop",
                        "BM_GifAnimatedCoderAllFrames", "BM_GifQImageReaderLoop", 1.6);
    const std::string playback = "BM_GifPlaybackTenSeconds";
    bounds.atMost(
        "GIF playback: largest frame buffer / its limit",
        [playback](const Runs& runs) -> std::optional<Measurement> {
            const auto largest = Bounds::counter(runs, playback, "largest_buffer");
            const auto limit = Bounds::counter(runs, playback, "buffer_limit");
            if (!largest || !limit) {
                return std::nullopt;
            }
            return Measurement{Quantity::count(*largest), Quantity::count(*limit)};
        },
        1.0);
    // Ten seconds of 50 ms frames: 200 shown, none skipped while the buffer refills.
    bounds.exactly("GIF playback: frames shown in ten seconds",
                   [playback](const Runs& runs) -> std::optional<Measurement> {
                       const auto shown = Bounds::counter(runs, playback, "frames_shown");
                       return shown ? std::optional<Measurement>(
                                          {Quantity::count(*shown), Quantity::count(200)})
                                    : std::nullopt;
                   });
    return velmora::bench::runInterleaved(argc, argv, bounds);
}
