// What a cached avatar costs: a memory hit against a plain QCache<QString, QImage> lookup, and a
// disk hit (read and decode) against QNetworkDiskCache plus QImage decoding of the same bytes.
#include "images/cache/ImageCache.h"
#include "images/cache/ImageCacheConfig.h"
#include "images/cache/MemoryCache.h"

#include "BenchMain.h"

#include <benchmark/benchmark.h>

#include <QBuffer>
#include <QCache>
#include <QCoreApplication>
#include <QImage>
#include <QImageWriter>
#include <QNetworkCacheMetaData>
#include <QNetworkDiskCache>
#include <QTemporaryDir>
#include <QUrl>

#include <vector>

namespace {

using namespace velmora::images;
using velmora::bench::median;
using velmora::bench::threadCpuSeconds;

const QString avatarKey = QStringLiteral("https://avatars.example.com/u/12345/avatar-64.png?v=3");

QImage avatarBitmap() {
    QImage bitmap(64, 64, QImage::Format_ARGB32);
    for (int y = 0; y < 64; ++y) {
        for (int x = 0; x < 64; ++x) {
            bitmap.setPixel(x, y, qRgba(x * 4, y * 4, (x * y) % 256, 255 - x));
        }
    }
    return bitmap;
}

QByteArray avatarPng() {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter(&buffer, "png").write(avatarBitmap());
    return bytes;
}

// A cache of some hundred avatars, as a long task list would fill it.
QString keyFor(int i) {
    return QStringLiteral("https://avatars.example.com/u/%1/avatar-64.png?v=3").arg(i);
}

void BM_QCacheLookup(benchmark::State& state) {
    QCache<QString, QImage> cache(1000);
    for (int i = 0; i < 300; ++i) {
        cache.insert(keyFor(i), new QImage(avatarBitmap()));
    }
    cache.insert(avatarKey, new QImage(avatarBitmap()));
    for (auto _ : state) {
        const QImage* image = cache.object(avatarKey);
        benchmark::DoNotOptimize(image);
    }
}
BENCHMARK(BM_QCacheLookup);

// The same lookup, keeping the image as any user of it outside the cache must (a QCache pointer
// dies with the next insert).
void BM_QCacheLookupAndCopy(benchmark::State& state) {
    QCache<QString, QImage> cache(1000);
    for (int i = 0; i < 300; ++i) {
        cache.insert(keyFor(i), new QImage(avatarBitmap()));
    }
    cache.insert(avatarKey, new QImage(avatarBitmap()));
    for (auto _ : state) {
        const QImage* found = cache.object(avatarKey);
        QImage image = found ? *found : QImage();
        benchmark::DoNotOptimize(image);
    }
}
BENCHMARK(BM_QCacheLookupAndCopy);

void BM_ImageCacheMemoryHit(benchmark::State& state) {
    QTemporaryDir root;
    ImageCache cache(QStringLiteral("bench"), root.path(), std::make_shared<ImageCacheConfig>());
    const Image avatar(avatarBitmap());
    for (int i = 0; i < 300; ++i) {
        cache.storeImageToMemory(Image(avatarBitmap()), keyFor(i));
    }
    cache.storeImageToMemory(avatar, avatarKey);
    for (auto _ : state) {
        auto image = cache.imageFromMemoryCacheForKey(avatarKey);
        benchmark::DoNotOptimize(image);
    }
}
BENCHMARK(BM_ImageCacheMemoryHit);

void BM_MemoryCacheHit(benchmark::State& state) {
    MemoryCache cache;
    for (int i = 0; i < 300; ++i) {
        cache.setObject(Image(avatarBitmap()), keyFor(i), 1);
    }
    cache.setObject(Image(avatarBitmap()), avatarKey, 1);
    for (auto _ : state) {
        auto image = cache.objectForKey(avatarKey);
        benchmark::DoNotOptimize(image);
    }
}
BENCHMARK(BM_MemoryCacheHit);

void BM_QNetworkDiskCacheHitAndDecode(benchmark::State& state) {
    QTemporaryDir root;
    QNetworkDiskCache cache;
    cache.setCacheDirectory(root.path());
    const QUrl url(avatarKey);
    QNetworkCacheMetaData meta;
    meta.setUrl(url);
    meta.setSaveToDisk(true);
    meta.setRawHeaders({{"Content-Type", "image/png"}});
    const auto png = avatarPng();
    if (auto* device = cache.prepare(meta)) {
        device->write(png);
        cache.insert(device);
    }
    for (auto _ : state) {
        std::unique_ptr<QIODevice> device(cache.data(url));
        const auto bytes = device ? device->readAll() : QByteArray();
        auto image = QImage::fromData(bytes);
        benchmark::DoNotOptimize(image);
    }
}
BENCHMARK(BM_QNetworkDiskCacheHitAndDecode);

void BM_ImageCacheDiskHit(benchmark::State& state) {
    QTemporaryDir root;
    auto config = std::make_shared<ImageCacheConfig>();
    config->setShouldCacheImagesInMemory(false); // every query reads and decodes
    ImageCache cache(QStringLiteral("bench"), root.path(), config);
    cache.storeImageDataToDisk(avatarPng(), avatarKey);
    for (auto _ : state) {
        auto image = cache.imageFromDiskCacheForKey(avatarKey);
        benchmark::DoNotOptimize(image);
    }
}
BENCHMARK(BM_ImageCacheDiskHit);

// Each memory hit costs tens of nanoseconds, less than anything a busy machine does to a
// run of them: the three take turns in batches of 10,000 hits, each batch timed by the
// main thread's CPU time, and the figures are the medians of 200 batches, per hit.
void BM_MemoryHitsSideBySide(benchmark::State& state) {
    QCache<QString, QImage> plain(1000);
    QTemporaryDir root;
    ImageCache imageCache(QStringLiteral("bench"), root.path(), std::make_shared<ImageCacheConfig>());
    MemoryCache memoryCache;
    for (int i = 0; i < 300; ++i) {
        plain.insert(keyFor(i), new QImage(avatarBitmap()));
        imageCache.storeImageToMemory(Image(avatarBitmap()), keyFor(i));
        memoryCache.setObject(Image(avatarBitmap()), keyFor(i), 1);
    }
    plain.insert(avatarKey, new QImage(avatarBitmap()));
    imageCache.storeImageToMemory(Image(avatarBitmap()), avatarKey);
    memoryCache.setObject(Image(avatarBitmap()), avatarKey, 1);

    constexpr int batch = 10000;
    std::vector<double> plainHits, imageCacheHits, memoryCacheHits;
    const auto timed = [](const auto& hit) {
        const double start = threadCpuSeconds();
        for (int i = 0; i < batch; ++i) {
            hit();
        }
        return (threadCpuSeconds() - start) / batch;
    };
    for (auto _ : state) {
        plainHits.push_back(timed([&] {
            const QImage* found = plain.object(avatarKey);
            QImage image = found ? *found : QImage();
            benchmark::DoNotOptimize(image);
        }));
        imageCacheHits.push_back(timed([&] {
            auto image = imageCache.imageFromMemoryCacheForKey(avatarKey);
            benchmark::DoNotOptimize(image);
        }));
        memoryCacheHits.push_back(timed([&] {
            auto image = memoryCache.objectForKey(avatarKey);
            benchmark::DoNotOptimize(image);
        }));
    }
    state.counters["qcache_copy_ns"] = median(plainHits) * 1e9;
    state.counters["image_cache_ns"] = median(imageCacheHits) * 1e9;
    state.counters["memory_cache_ns"] = median(memoryCacheHits) * 1e9;
}
BENCHMARK(BM_MemoryHitsSideBySide)->Iterations(200)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    using velmora::bench::Bounds;
    using velmora::bench::Measurement;
    using velmora::bench::Quantity;
    using velmora::bench::Runs;
    Bounds bounds;
    // A memory hit hands out a shared image, as a QCache user must copy one out; a disk hit
    // reads and decodes once (twice would miss).
    const auto besideQCache = [](std::string counter) {
        return [counter](const Runs& runs) -> std::optional<Measurement> {
            const auto figure = Bounds::counter(runs, "BM_MemoryHitsSideBySide", counter);
            const auto plain = Bounds::counter(runs, "BM_MemoryHitsSideBySide", "qcache_copy_ns");
            if (!figure || !plain) {
                return std::nullopt;
            }
            return Measurement{Quantity::seconds(*figure / 1e9), Quantity::seconds(*plain / 1e9)};
        };
    };
    bounds.atMost("avatar memory hit: image cache / QCache lookup + copy", besideQCache("image_cache_ns"),
                  1.5);
    bounds.atMost("avatar memory hit: memory cache / QCache lookup + copy", besideQCache("memory_cache_ns"),
                  1.5);
    bounds.timeRatio("avatar disk hit: image cache / QNetworkDiskCache + decode", "BM_ImageCacheDiskHit",
                     "BM_QNetworkDiskCacheHitAndDecode", 2.0);
    return velmora::bench::runBenchmarks(argc, argv, bounds);
}
