// Ten callers ask for one avatar URL at once, while the loopback image server (20 ms
// latency) has not answered yet: the downloader must make exactly one request and give
// all ten callers the same decoded image. Each round asks for a URL of its own (the
// server ignores the query), so no round can be answered from what an earlier one left
// in the URL cache; every round is counted, not only the last.
//
// Counters: wall_ms (until the tenth caller has its image), fewest_requests and
// most_requests (of any one round; both 1), most_distinct_images (of any one round; 1).
#include "images/download/RemoteImageDownloader.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LoopbackImageServer.h"

#include "BenchMain.h"
#include "ImageBenchSetup.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <climits>
#include <set>

namespace {

using namespace velmora;
using namespace velmora::images;

constexpr int callerCount = 10;
constexpr int latencyMs = 20;

void BM_TenCallersOneUrl(benchmark::State& state) {
    test::LoopbackImageServer server;
    server.serve("/avatar.png", test::ImageAnswer::image(test::LoopbackImageServer::png(64, 64)));
    server.setLatency(latencyMs);
    QTemporaryDir cacheFolder;
    const RemoteImageDownloaderConfig config = velmora::bench::downloaderConfig(cacheFolder);
    RemoteImageDownloader downloader(config);

    double wallTotal = 0;
    int fewestRequests = INT_MAX, mostRequests = 0;
    std::size_t mostDistinctImages = 0;
    int round = 0;
    for (auto _ : state) {
        const QUrl url = server.url(QStringLiteral("/avatar.png?round=%1").arg(++round));
        const int before = server.requestCount("/avatar.png");
        int finished = 0;
        std::vector<Image> images;
        std::vector<std::shared_ptr<RemoteImageDownloadToken>> tokens;
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < callerCount; ++i) {
            tokens.push_back(downloader.downloadImage(
                url, 0, {}, nullptr,
                [&](const Image& image, const QByteArray&, const ImageError&, bool done) {
                    if (done) {
                        ++finished;
                        images.push_back(image);
                    }
                }));
        }
        test::waitUntil([&] { return finished == callerCount; }, 60000);
        const double wallMs = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        std::set<const void*> distinct;
        for (const Image& image : images) {
            if (!image) {
                state.SkipWithError("a caller got no image");
                return;
            }
            distinct.insert(image.bitmap().constBits());
        }
        const int requests = server.requestCount("/avatar.png") - before;
        fewestRequests = std::min(fewestRequests, requests);
        mostRequests = std::max(mostRequests, requests);
        mostDistinctImages = std::max(mostDistinctImages, distinct.size());
        state.SetIterationTime(wallMs / 1000.0);
        wallTotal += wallMs;
    }
    const double iterations = static_cast<double>(state.iterations());
    if (iterations > 0) {
        state.counters["wall_ms"] = wallTotal / iterations;
        state.counters["fewest_requests"] = fewestRequests;
        state.counters["most_requests"] = mostRequests;
        state.counters["most_distinct_images"] = static_cast<double>(mostDistinctImages);
    }
}
BENCHMARK(BM_TenCallersOneUrl)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    using velmora::bench::Bounds;
    using velmora::bench::Measurement;
    using velmora::bench::Quantity;
    using velmora::bench::Runs;
    Bounds bounds;
    const std::string name = "BM_TenCallersOneUrl";
    const auto once = [name](std::string counter) {
        return [name, counter](const Runs& runs) -> std::optional<Measurement> {
            const auto value = Bounds::counter(runs, name, counter);
            return value ? std::optional<Measurement>({Quantity::count(*value), Quantity::count(1)})
                         : std::nullopt;
        };
    };
    bounds.exactly("ten callers of one URL: requests, fewest of any round", once("fewest_requests"));
    bounds.exactly("ten callers of one URL: requests, most of any round", once("most_requests"));
    bounds.exactly("ten callers of one URL: distinct images, most of any round",
                   once("most_distinct_images"));
    // One answer's latency and one decode: a second round trip would double it.
    bounds.atMost(
        "ten callers of one URL: wall / one answer's latency",
        [name](const Runs& runs) -> std::optional<Measurement> {
            const auto wall = Bounds::counter(runs, name, "wall_ms");
            return wall ? std::optional<Measurement>(
                              {Quantity::seconds(*wall / 1e3), Quantity::seconds(latencyMs / 1e3)})
                        : std::nullopt;
        },
        2.0);
    return velmora::bench::runBenchmarks(argc, argv, bounds);
}
