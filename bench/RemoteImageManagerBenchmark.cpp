// An avatar already in memory, loaded through the whole pipeline (cache key, query, completion on
// the main thread), beside a direct memory-cache lookup plus one queued call to the main thread.
#include "images/cache/ImageCache.h"
#include "images/cache/ImageCacheConfig.h"
#include "images/cache/MemoryCache.h"
#include "images/download/RemoteImageDownloader.h"
#include "images/pipeline/RemoteImageManager.h"

#include "BenchMain.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QImage>
#include <QTemporaryDir>
#include <QUrl>

namespace {

using namespace velmora::images;

const QUrl avatarURL(QStringLiteral("https://avatars.example.com/u/12345/avatar-64.png?v=3"));

Image avatar() {
    QImage bitmap(64, 64, QImage::Format_ARGB32_Premultiplied);
    bitmap.fill(Qt::darkCyan);
    return Image(bitmap);
}

void BM_MemoryLookupPlusQueuedCall(benchmark::State& state) {
    MemoryCache cache;
    cache.setObject(avatar(), avatarURL.toString(QUrl::FullyEncoded), 1);
    for (auto _ : state) {
        bool done = false;
        const auto image = cache.objectForKey(avatarURL.toString(QUrl::FullyEncoded));
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [&done, image] { done = image.has_value(); }, Qt::QueuedConnection);
        QCoreApplication::sendPostedEvents();
        benchmark::DoNotOptimize(done);
    }
}
BENCHMARK(BM_MemoryLookupPlusQueuedCall);

void BM_PipelineMemoryHit(benchmark::State& state) {
    QTemporaryDir root;
    auto cache = std::make_shared<ImageCache>(QStringLiteral("bench"), root.path(),
                                              std::make_shared<ImageCacheConfig>());
    auto manager = std::make_shared<RemoteImageManager>(cache, RemoteImageDownloader::sharedDownloader());
    cache->storeImageToMemory(avatar(), manager->cacheKeyForURL(avatarURL));
    for (auto _ : state) {
        bool done = false;
        manager->loadImage(avatarURL, 0, nullptr,
                           [&done](const Image& image, const QByteArray&, const ImageError&, ImageCacheType,
                                   bool, const QUrl&) { done = !image.isNull(); });
        if (!done) {
            QCoreApplication::sendPostedEvents();
        }
        benchmark::DoNotOptimize(done);
    }
}
BENCHMARK(BM_PipelineMemoryHit);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    velmora::bench::Bounds bounds;
    bounds.timeRatio("avatar memory hit: whole pipeline / lookup + queued call", "BM_PipelineMemoryHit",
                     "BM_MemoryLookupPlusQueuedCall", 2.0);
    return velmora::bench::runBenchmarks(argc, argv, bounds);
}
