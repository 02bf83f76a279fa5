// A flood of large hostile avatars on the app's avatar road: 40 or 80 distinct SVGs of 30 MB
// each asked at once (and 80 just under the most bytes one avatar may have), then half a second
// later a plain PNG, SVG and PDF. The road is the app's: the shared downloader and decode lanes,
// an image cache and the drawing processes, in a child started per flood, so that its peak
// memory (VmHWM) is the flood's alone. The same child fed the same bytes served as a type no
// decoder takes is the baseline: what the bytes cost on their way, with nothing waiting to be
// decoded.
//
// Bounds: the peak in the 80 x 30 MB flood under 700 MiB and against the bytes no decoder takes,
// the peak in the flood under the bound on its own and against its baseline, and the slowest plain
// avatar answered within two seconds in each flood.
#include "images/cache/ImageCache.h"
#include "images/cache/ImageCacheConfig.h"
#include "images/coders/ImageCodersManager.h"
#include "images/coders/ImageSVGCoder.h"
#include "images/download/RemoteImageDownloader.h"
#include "images/pipeline/RemoteImageManager.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LoopbackImageServer.h"
#include "tests/support/PdfDocuments.h"

#include "BenchMain.h"
#include "ProcessMemory.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include <unistd.h>

namespace {

using namespace velmora::images;
using velmora::test::ImageAnswer;
using velmora::test::LoopbackImageServer;

constexpr const char* childArgument = "--flood-child";
constexpr int plainAfterMs = 500;

// One path of many crossing lines, filled and finely dashed, drawn thousands of times over (seconds
// of drawing), and a comment that makes it `bytes` long.
QByteArray hostileSvg(qsizetype bytes) {
    QByteArray path = "<path id=\"p\" d=\"M0 0";
    for (int j = 0; j < 400; ++j) {
        path += " L" + QByteArray::number((j * 37) % 60) + " " + QByteArray::number((j * 53) % 60);
    }
    path += "\" stroke=\"black\" stroke-width=\"0.3\" stroke-dasharray=\"0.05\" fill=\"red\" "
            "fill-rule=\"evenodd\"/>";
    const QByteArray drawing =
        "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
        "width=\"60\" height=\"60\"><defs>" +
        path + "</defs>" + QByteArray("<use xlink:href=\"#p\"/>").repeated(4000);
    const QByteArray tail = "--></svg>";
    return drawing + "<!--" + QByteArray(bytes - drawing.size() - 4 - tail.size(), 'x') + tail;
}

// Bytes of the same size that no coder recognises.
QByteArray undecodable(qsizetype bytes) {
    return QByteArray(bytes, '\x5a');
}

QByteArray plainSvg() {
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"60\" height=\"60\">"
           "<rect width=\"60\" height=\"60\" fill=\"#00ff00\"/></svg>";
}

QByteArray plainPdf() {
    return velmora::test::pdfOf({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                                 "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 60 60] /Contents 4 0 R >>",
                                 velmora::test::streamOf("", "0 0 1 rg 0 0 60 60 re f")});
}

// The child: asks `count` avatars under `prefix` of the server at `base` at once, then the three
// plain ones, and prints
//   plain <kind> <ms>      for each plain avatar (-1 when not drawn)
//   flood <answered>       the flood's avatars answered within the bound
//   peak <VmHWM KiB>
int floodChild(const QUrl& base, const QString& prefix, int count) {
    QTemporaryDir folder;
    auto cache =
        std::make_shared<ImageCache>(QStringLiteral("avatars"), folder.path(), std::make_shared<ImageCacheConfig>());
    auto manager = std::make_shared<RemoteImageManager>(cache, RemoteImageDownloader::sharedDownloader());
    RemoteImageContext context;
    // As a task row asks for an avatar: drawn at the size it is kept.
    context.imageThumbnailPixelSize = QSizeF(64, 64);
    std::mutex mutex;
    int floodAnswered = 0;
    std::vector<std::shared_ptr<RemoteImageCombinedOperation>> loads;
    const auto ask = [&](const QString& path, std::function<void(const Image&)> answered) {
        QUrl url = base;
        url.setPath(path);
        loads.push_back(manager->loadImage(
            url, 0, context, nullptr,
            [answered](const Image& image, const QByteArray&, const ImageError&, ImageCacheType, bool finished,
                       const QUrl&) {
                if (finished) {
                    answered(image);
                }
            }));
    };
    for (int i = 0; i < count; ++i) {
        ask(QStringLiteral("/%1-%2").arg(prefix).arg(i), [&](const Image&) {
            std::lock_guard lock(mutex);
            ++floodAnswered;
        });
    }
    velmora::test::waitUntil([] { return false; }, plainAfterMs);
    QElapsedTimer clock;
    clock.start();
    std::map<QString, qint64> plain;
    for (const QString& kind : {QStringLiteral("png"), QStringLiteral("svg"), QStringLiteral("pdf")}) {
        ask(QStringLiteral("/plain.") + kind, [&, kind](const Image& image) {
            std::lock_guard lock(mutex);
            plain[kind] = image ? clock.elapsed() : -1;
        });
    }
    const auto settled = [&](std::size_t plainCount, int flood) {
        std::lock_guard lock(mutex);
        return plain.size() == plainCount && floodAnswered >= flood;
    };
    velmora::test::waitUntil([&] { return settled(3, 0); }, 60000);
    velmora::test::waitUntil([&] { return settled(3, count); }, 240000);
    std::lock_guard lock(mutex);
    for (const auto& [kind, ms] : plain) {
        std::printf("plain %s %lld\n", qPrintable(kind), static_cast<long long>(ms));
    }
    std::printf("flood %d\n", floodAnswered);
    std::printf("peak %.0f\n", velmora::bench::processStatusField(::getpid(), "VmHWM").value_or(0));
    std::fflush(stdout);
    return 0;
}

struct FloodFigures {
    double peakMiB = 0;
    double slowestPlainMs = 0;
    bool allPlainDrawn = true;
    int floodAnswered = 0;
};

// Serves `count` avatars of `body` (one shared buffer, distinct addresses) and the plain ones,
// and runs a child over them.
std::optional<FloodFigures> runFlood(const QByteArray& body, const QByteArray& contentType, int count) {
    LoopbackImageServer server;
    for (int i = 0; i < count; ++i) {
        server.serve("/flood-" + QByteArray::number(i), ImageAnswer::image(body, contentType));
    }
    server.serve("/plain.png", ImageAnswer::image(LoopbackImageServer::png(40, 40, Qt::red)));
    server.serve("/plain.svg", ImageAnswer::image(plainSvg(), "image/svg+xml"));
    server.serve("/plain.pdf", ImageAnswer::image(plainPdf(), "application/pdf"));
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Each refused avatar is said in the log; a flood of them says nothing the figures do not.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("app.velmora.images.*=false"));
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(),
                {QString::fromLatin1(childArgument), server.url(QStringLiteral("/")).toString(),
                 QStringLiteral("flood"), QString::number(count)});
    // The server answers on a thread of its own; this one only waits.
    if (!child.waitForFinished(10 * 60 * 1000) || child.exitCode() != 0) {
        return std::nullopt;
    }
    FloodFigures figures;
    int plainSeen = 0;
    for (const QByteArray& line : child.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() == 3 && fields.at(0) == "plain") {
            const double ms = fields.at(2).toDouble();
            ++plainSeen;
            figures.allPlainDrawn = figures.allPlainDrawn && ms >= 0;
            figures.slowestPlainMs = std::max(figures.slowestPlainMs, ms);
        } else if (fields.size() == 2 && fields.at(0) == "flood") {
            figures.floodAnswered = fields.at(1).toInt();
        } else if (fields.size() == 2 && fields.at(0) == "peak") {
            figures.peakMiB = fields.at(1).toDouble() / 1024;
        }
    }
    if (plainSeen != 3) {
        figures.allPlainDrawn = false;
    }
    return figures;
}

void flood(benchmark::State& state, const QByteArray& body, const QByteArray& contentType) {
    const int count = static_cast<int>(state.range(0));
    for (auto _ : state) {
        const auto figures = runFlood(body, contentType, count);
        if (!figures) {
            state.SkipWithError("the child did not measure");
            return;
        }
        if (!figures->allPlainDrawn) {
            state.SkipWithError("a plain avatar was not drawn");
            return;
        }
        state.counters["peak_mib"] = figures->peakMiB;
        state.counters["slowest_plain_ms"] = figures->slowestPlainMs;
        state.counters["flood_answered"] = figures->floodAnswered;
    }
}

constexpr qsizetype large = 30ll * 1024 * 1024;
// Just under the most bytes one avatar may have.
constexpr qsizetype underTheBound = RemoteImageDownloaderConfig::avatarMaximumBytes - 64 * 1024;

void BM_LargeSvgFlood(benchmark::State& state) {
    static const QByteArray body = hostileSvg(large);
    flood(state, body, "image/svg+xml");
}

void BM_LargeUndecodableFlood(benchmark::State& state) {
    static const QByteArray body = undecodable(large);
    flood(state, body, "application/octet-stream");
}

void BM_SvgFloodUnderTheBound(benchmark::State& state) {
    static const QByteArray body = hostileSvg(underTheBound);
    flood(state, body, "image/svg+xml");
}

void BM_UndecodableFloodUnderTheBound(benchmark::State& state) {
    static const QByteArray body = undecodable(underTheBound);
    flood(state, body, "application/octet-stream");
}

BENCHMARK(BM_LargeSvgFlood)->Arg(40)->Arg(80)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_LargeUndecodableFlood)->Arg(40)->Arg(80)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_SvgFloodUnderTheBound)->Arg(80)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_UndecodableFloodUnderTheBound)->Arg(80)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
    QGuiApplication app(argc, argv);
    if (argc == 5 && std::strcmp(argv[1], childArgument) == 0) {
        // As the app registers it, so that SVG avatars decode.
        ImageCodersManager::sharedManager()->addCoder(ImageSVGCoder::sharedCoder());
        return floodChild(QUrl(QString::fromLatin1(argv[2])), QString::fromLatin1(argv[3]), std::atoi(argv[4]));
    }
    using velmora::bench::Bounds;
    using velmora::bench::Measurement;
    using velmora::bench::Quantity;
    using velmora::bench::Runs;
    Bounds bounds;
    const auto peak = [](std::string benchmark) {
        return [benchmark](const Runs& runs) -> std::optional<Measurement> {
            const auto value = Bounds::counter(runs, benchmark, "peak_mib");
            return value ? std::optional<Measurement>({Quantity::mib(*value), std::nullopt}) : std::nullopt;
        };
    };
    const auto peakAgainst = [](std::string benchmark, std::string baseline) {
        return [benchmark, baseline](const Runs& runs) -> std::optional<Measurement> {
            const auto value = Bounds::counter(runs, benchmark, "peak_mib");
            const auto base = Bounds::counter(runs, baseline, "peak_mib");
            if (!value || !base) {
                return std::nullopt;
            }
            return Measurement{Quantity::mib(*value), Quantity::mib(*base)};
        };
    };
    const auto slowestPlain = [](std::string benchmark) {
        return [benchmark](const Runs& runs) -> std::optional<Measurement> {
            const auto value = Bounds::counter(runs, benchmark, "slowest_plain_ms");
            return value ? std::optional<Measurement>({Quantity::seconds(*value / 1e3), std::nullopt})
                         : std::nullopt;
        };
    };
    bounds.atMost("80 x 30 MB hostile SVGs at once: the app's peak", peak("BM_LargeSvgFlood/80/iterations:1"),
                  700);
    // The avatars over the bound are refused as they arrive: what is left is the road's own cost.
    bounds.atMost("80 x 30 MB hostile SVGs at once: the app's peak / the same bytes no decoder takes",
                  peakAgainst("BM_LargeSvgFlood/80/iterations:1", "BM_LargeUndecodableFlood/80/iterations:1"),
                  1.5);
    bounds.atMost("40 x 30 MB hostile SVGs at once: the app's peak / the same bytes no decoder takes",
                  peakAgainst("BM_LargeSvgFlood/40/iterations:1", "BM_LargeUndecodableFlood/40/iterations:1"),
                  1.5);
    // Avatars each just under the bound: the bytes waiting for a decode are held to their budget
    // (32 MiB), beside those the eight decode places and the six downloads hold (some 56 MiB) and
    // what drawing them costs on the way: 120-168 MiB measured, 2.0-2.2 times the same bytes no
    // decoder takes (348 MiB, 5.5 times, when every one waited whole for a decode).
    bounds.atMost("80 hostile SVGs of just under 4 MiB at once: the app's peak",
                  peak("BM_SvgFloodUnderTheBound/80/iterations:1"), 250);
    bounds.atMost("80 hostile SVGs of just under 4 MiB at once: the app's peak / the same bytes no decoder takes",
                  peakAgainst("BM_SvgFloodUnderTheBound/80/iterations:1",
                              "BM_UndecodableFloodUnderTheBound/80/iterations:1"),
                  3.0);
    bounds.atMost("80 x 30 MB hostile SVGs at once: the slowest plain PNG, SVG or PDF asked 0.5 s later",
                  slowestPlain("BM_LargeSvgFlood/80/iterations:1"), 2.0);
    bounds.atMost("80 hostile SVGs of just under 4 MiB at once: the slowest plain PNG, SVG or PDF asked 0.5 s later",
                  slowestPlain("BM_SvgFloodUnderTheBound/80/iterations:1"), 2.0);
    return velmora::bench::runBenchmarks(argc, argv, bounds);
}
