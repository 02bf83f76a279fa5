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

#include <algorithm>
#include <atomic>
#include <string_view>
#include <vector>

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

// 40 people's avatars on a screen opened cold, from their avatar server (which adds 20 ms to
// every answer, as above), by a session made for the round: its connections new, their
// handshakes included over HTTPS. Plain HTTP beside HTTPS, round by round: what TLS adds is a
// handshake per connection, not a parse of every authority per connection.
// (`--cold_hosts`: each avatar on a server of its own with no latency, a new connection each: the
// handshakes' own cost, both ends of them in this process.)
constexpr int coldAvatars = 40;
bool coldHosts = false;

double coldRound(test::LoopbackImageServer::Scheme scheme,
                 std::vector<std::unique_ptr<test::LoopbackImageServer>>& servers, const QTemporaryDir& cacheFolder) {
    struct Count : ImageSessionDelegate {
        std::atomic<int> ended{0};
        std::atomic<int> failed{0};
        void didComplete(ImageDataTask&, const ImageError& error) override {
            failed += error.isNull() ? 0 : 1;
            ++ended;
        }
    } count;
    ImageSession::Configuration configuration;
    configuration.urlCacheDirectory = cacheFolder.path();
    configuration.extraCaCertificates = test::LoopbackImageServer::trustedCaCertificates();
    QElapsedTimer timer;
    timer.start();
    ImageSession session(configuration, &count);
    std::vector<std::shared_ptr<ImageDataTask>> tasks;
    std::vector<test::LoopbackImageServer*> ofScheme;
    for (const auto& server : servers) {
        if (server->url(QString()).scheme() == (scheme == test::LoopbackImageServer::Scheme::Https
                                                    ? QLatin1String("https")
                                                    : QLatin1String("http"))) {
            ofScheme.push_back(server.get());
        }
    }
    for (int i = 0; i < coldAvatars; ++i) {
        ImageRequest request;
        request.url = ofScheme[size_t(i) % ofScheme.size()]->url(QStringLiteral("/avatar/%1.png").arg(i));
        tasks.push_back(session.dataTask(request, false));
        tasks.back()->resume();
    }
    test::waitUntil([&] { return count.ended.load() == coldAvatars; }, 60000);
    const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    return count.ended.load() == coldAvatars && count.failed.load() == 0 ? ms : -1;
}

void BM_FortyColdAvatarsHttpsBesideHttp(benchmark::State& state) {
    using Scheme = test::LoopbackImageServer::Scheme;
    std::vector<std::unique_ptr<test::LoopbackImageServer>> servers;
    for (int i = 0; i < (coldHosts ? coldAvatars : 1); ++i) {
        for (const auto scheme : {Scheme::Http, Scheme::Https}) {
            servers.push_back(std::make_unique<test::LoopbackImageServer>(scheme));
            for (int avatar = 0; avatar < coldAvatars; ++avatar) {
                servers.back()->serve("/avatar/" + QByteArray::number(avatar) + ".png",
                                      test::ImageAnswer::image(test::LoopbackImageServer::png(48, 48)));
            }
            if (!coldHosts) {
                servers.back()->setLatency(latencyMs);
            }
        }
    }
    QTemporaryDir cacheFolder;
    std::vector<double> http;
    std::vector<double> https;
    for (auto _ : state) {
        http.push_back(coldRound(Scheme::Http, servers, cacheFolder));
        https.push_back(coldRound(Scheme::Https, servers, cacheFolder));
        if (http.back() < 0 || https.back() < 0) {
            state.SkipWithError("an avatar failed");
            return;
        }
        state.SetIterationTime((http.back() + https.back()) / 1000.0);
    }
    const auto median = [](std::vector<double> values) {
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    state.counters["http_ms"] = median(http);
    state.counters["https_ms"] = median(https);
}
BENCHMARK(BM_FortyColdAvatarsHttpsBesideHttp)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(9);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    for (int i = 1; i < argc; ++i) {
        coldHosts = coldHosts || std::string_view(argv[i]) == "--cold_hosts";
    }
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
    bounds.atMost(
        "40 cold avatars: HTTPS / HTTP",
        [](const Runs& runs) -> std::optional<Measurement> {
            const char* cold = "BM_FortyColdAvatarsHttpsBesideHttp";
            const auto https = Bounds::counter(runs, cold, "https_ms");
            const auto http = Bounds::counter(runs, cold, "http_ms");
            return https && http ? std::optional<Measurement>(
                                       {Quantity::seconds(*https / 1e3), Quantity::seconds(*http / 1e3)})
                                 : std::nullopt;
        },
        1.5);
    return velmora::bench::runBenchmarks(argc, argv, bounds);
}
