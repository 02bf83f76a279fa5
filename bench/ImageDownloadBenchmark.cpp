// 100 distinct 64 px avatars from the loopback image server, which adds 20 ms to every
// answer. The downloader runs 6 downloads at a time, so the whole batch should cost
// about 100 / 6 rounds of 20 ms, not 100.
//
// Counters: wall_ms (the batch, from the first request to the last decoded image),
// requests (per batch), peak_connections. Bounds: the wall time against 100 / 6 rounds
// of 20 ms, exactly 100 requests, at most 6 connections.
#include "images/download/RemoteImageDownloader.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LoopbackImageServer.h"

#include "BenchMain.h"
#include "ImageBenchSetup.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

namespace {

using namespace velmora;
using namespace velmora::images;

constexpr int avatarCount = 100;
constexpr int latencyMs = 20;

void BM_HundredAvatars(benchmark::State& state) {
    test::LoopbackImageServer server;
    for (int i = 0; i < avatarCount; ++i) {
        server.serve("/avatar/" + QByteArray::number(i) + ".png",
                     test::ImageAnswer::image(
                         test::LoopbackImageServer::png(64, 64, QColor::fromHsv(i * 3, 200, 200))));
    }
    server.setLatency(latencyMs);
    QTemporaryDir cacheFolder;
    const RemoteImageDownloaderConfig config = velmora::bench::downloaderConfig(cacheFolder);

    double wallTotal = 0;
    int requests = 0;
    for (auto _ : state) {
        // A downloader per batch: nothing is carried over from the last one.
        RemoteImageDownloader downloader(config);
        const int before = server.totalRequestCount();
        int finished = 0;
        int failed = 0;
        std::vector<std::shared_ptr<RemoteImageDownloadToken>> tokens;
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < avatarCount; ++i) {
            tokens.push_back(downloader.downloadImage(
                server.url(QStringLiteral("/avatar/%1.png").arg(i)), 0, {}, nullptr,
                [&](const Image& image, const QByteArray&, const ImageError&, bool done) {
                    if (done) {
                        ++finished;
                        failed += image ? 0 : 1;
                    }
                }));
        }
        test::waitUntil([&] { return finished == avatarCount; }, 60000);
        const double wallMs = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        if (finished != avatarCount || failed > 0) {
            state.SkipWithError("a download failed");
            break;
        }
        requests = server.totalRequestCount() - before;
        state.SetIterationTime(wallMs / 1000.0);
        wallTotal += wallMs;
    }
    const double iterations = static_cast<double>(state.iterations());
    if (iterations > 0) {
        const double wall = wallTotal / iterations;
        state.counters["wall_ms"] = wall;
        state.counters["requests"] = requests;
        state.counters["peak_connections"] = server.peakConnections();
    }
}
BENCHMARK(BM_HundredAvatars)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    using velmora::bench::Bounds;
    using velmora::bench::Measurement;
    using velmora::bench::Quantity;
    using velmora::bench::Runs;
    Bounds bounds;
    const std::string name = "BM_HundredAvatars";
    // Against 100 / 6 rounds of the latency: four at a time (25 rounds) misses.
    bounds.atMost(
        "100 avatars: wall / (100 / 6 rounds of 20 ms)",
        [name](const Runs& runs) -> std::optional<Measurement> {
            const auto wall = Bounds::counter(runs, name, "wall_ms");
            return wall ? std::optional<Measurement>({Quantity::seconds(*wall / 1e3),
                                                      Quantity::seconds(avatarCount / 6.0 * latencyMs / 1e3)})
                        : std::nullopt;
        },
        1.35);
    bounds.exactly("100 avatars: requests", [name](const Runs& runs) -> std::optional<Measurement> {
        const auto requests = Bounds::counter(runs, name, "requests");
        return requests
                   ? std::optional<Measurement>({Quantity::count(*requests), Quantity::count(avatarCount)})
                   : std::nullopt;
    });
    bounds.atMost(
        "100 avatars: peak connections",
        [name](const Runs& runs) -> std::optional<Measurement> {
            const auto peak = Bounds::counter(runs, name, "peak_connections");
            return peak ? std::optional<Measurement>({Quantity::count(*peak), std::nullopt}) : std::nullopt;
        },
        6);
    return velmora::bench::runBenchmarks(argc, argv, bounds);
}
