#include "images/cache/ImageCache.h"

#include "images/animation/AnimatedImageClass.h"
#include "images/cache/CacheKeys.h"
#include "images/cache/DiskCache.h"
#include "images/cache/ImageCacheConfig.h"
#include "images/cache/ImageCacheDecoding.h"
#include "images/cache/ImageCacheIoThread.h"
#include "images/cache/MemoryCache.h"
#include "images/coders/ImageCodersManager.h"
#include "images/core/CallbackQueue.h"
#include "images/core/DecodeAttempt.h"
#include "images/core/DispatchQueue.h"
#include "images/core/RetryDelay.h"
#include "images/core/Teardown.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>

namespace velmora::images {

namespace {

const auto cacheFolderName = QStringLiteral("velmora.images.ImageCache");

std::mutex& defaultDirectoryMutex() {
    static std::mutex mutex;
    return mutex;
}

QString& defaultDirectoryStorage() {
    static QString directory;
    return directory;
}

void onMainThread(std::function<void()> block) {
    DispatchQueue::main().async(std::move(block));
}

std::shared_ptr<CallbackQueue> callbackQueueOf(const RemoteImageContext& context) {
    const auto queue = context.callbackQueue.valueOr(nullptr);
    return queue ? queue : CallbackQueue::mainQueue();
}

bool storesToMemory(ImageCacheType type) {
    return type == ImageCacheType::Memory || type == ImageCacheType::All;
}

bool storesToDisk(ImageCacheType type) {
    return type == ImageCacheType::Disk || type == ImageCacheType::All;
}

// Big-endian numbers in image headers.
quint32 bigEndian32(const uchar* bytes) {
    return quint32(bytes[0]) << 24 | quint32(bytes[1]) << 16 | quint32(bytes[2]) << 8 | quint32(bytes[3]);
}

// Whether the chunks of a PNG run up to its IEND chunk. Bytes after it (padding, a signature a tool
// appended) belong to no chunk and change nothing.
bool pngReachesItsEnd(const QByteArray& data) {
    const auto* bytes = reinterpret_cast<const uchar*>(data.constData());
    const quint64 size = quint64(data.size());
    quint64 at = 8; // the signature
    while (at + 8 <= size) {
        const quint64 length = bigEndian32(bytes + at);
        if (std::memcmp(bytes + at + 4, "IEND", 4) == 0) {
            return true;
        }
        at += 12 + length; // length, type, data, CRC
    }
    return false;
}

// Whether a JPEG's segments and scans run up to its end-of-image marker. Segments are skipped by
// their length, so an end marker inside one (the preview image of a camera file) does not count,
// and whatever follows the real end is not looked at.
bool jpegReachesItsEnd(const QByteArray& data) {
    const auto* bytes = reinterpret_cast<const uchar*>(data.constData());
    const qsizetype size = data.size();
    qsizetype at = 2; // the start-of-image marker
    while (at < size) {
        // Decoders skip stray bytes before a marker, so this walk does too.
        if (bytes[at] != 0xff) {
            ++at;
            continue;
        }
        while (at < size && bytes[at] == 0xff) {
            ++at; // fill bytes
        }
        if (at >= size) {
            return false;
        }
        const uchar marker = bytes[at++];
        if (marker == 0xd9) {
            return true;
        }
        if (marker == 0x01 || (marker >= 0xd0 && marker <= 0xd7)) {
            continue; // markers without a segment
        }
        if (at + 2 > size) {
            return false;
        }
        at += (qsizetype(bytes[at]) << 8) | bytes[at + 1];
        if (marker == 0xda) {
            // The entropy-coded data of a scan: 0xff is followed by 0x00 (a stuffed byte), a restart
            // marker, or the next marker.
            while (at + 1 < size && !(bytes[at] == 0xff && bytes[at + 1] != 0x00 && bytes[at + 1] != 0xff &&
                                      !(bytes[at + 1] >= 0xd0 && bytes[at + 1] <= 0xd7))) {
                ++at;
            }
        }
    }
    return false;
}

// Whether a GIF's blocks run up to its trailer.
bool gifReachesItsEnd(const QByteArray& data) {
    const auto* bytes = reinterpret_cast<const uchar*>(data.constData());
    const qsizetype size = data.size();
    if (size < 13) {
        return false;
    }
    const auto colourTable = [&](uchar packed) {
        return (packed & 0x80) ? 3 * (qsizetype(2) << (packed & 7)) : 0;
    };
    const auto skipSubBlocks = [&](qsizetype at) {
        while (at < size && bytes[at] != 0) {
            at += 1 + bytes[at];
        }
        return at + 1;
    };
    qsizetype at = 13 + colourTable(bytes[10]);
    while (at < size) {
        switch (bytes[at]) {
        case 0x3b:
            return true;
        case 0x21: // extension: label, then sub-blocks
            at = skipSubBlocks(at + 2);
            break;
        case 0x2c: // image: descriptor, local colour table, code size, then sub-blocks
            if (at + 10 > size) {
                return false;
            }
            at = skipSubBlocks(at + 10 + colourTable(bytes[at + 9]) + 1);
            break;
        default:
            // Not a block: leave judging it to the decoder.
            return true;
        }
    }
    return false;
}

// Bytes that stop before their format's end: a file cut short by a crash, a full disk or another
// writer. Decoders tend to hand back the upper part of such an image with the rest blank, so a cache
// treats them as a miss.
bool isCutShort(const QByteArray& data) {
    switch (imageFormatForImageData(data)) {
    case ImageFormat::JPEG:
        return !jpegReachesItsEnd(data);
    case ImageFormat::PNG:
        return !pngReachesItsEnd(data);
    case ImageFormat::GIF:
        return !gifReachesItsEnd(data);
    case ImageFormat::WebP: {
        if (data.size() < 12) {
            return true;
        }
        const auto* bytes = reinterpret_cast<const uchar*>(data.constData());
        const quint64 riffSize =
            quint64(bytes[4]) | quint64(bytes[5]) << 8 | quint64(bytes[6]) << 16 | quint64(bytes[7]) << 24;
        return quint64(data.size()) < riffSize + 8;
    }
    default:
        return false;
    }
}

// Whether any query at all could make an image of the bytes: the shared coders with no options
// beyond the first frame.
bool decodesAtAll(const QByteArray& data) {
    DecodeOptions options;
    options.firstFrameOnly = true;
    return bool(ImageCodersManager::sharedManager()->decodedImageWithData(data, options));
}

} // namespace

struct ImageCache::Core : std::enable_shared_from_this<ImageCache::Core> {
    std::shared_ptr<ImageCacheConfig> config;
    std::shared_ptr<AbstractMemoryCache> memory;
    std::shared_ptr<AbstractDiskCache> disk;
    QString diskCachePath;
    std::unique_ptr<ImageCacheIoThread> io;

    mutable std::mutex mutex;
    std::function<QString(const QString&)> additionalCachePathBlock;

    // Writes waiting for the disk, newest sequence last, their bytes held to the configuration's
    // backlog: past it the oldest waiting write is dropped (a cache may lose an entry, never
    // memory). Lookups read a waiting write's bytes, so they never wait for it.
    struct PendingWrite {
        quint64 sequence = 0;
        QByteArray bytes;
        std::optional<QByteArray> extended;
        std::function<void()> done;
        // A refused drawing of the bytes, kept with them.
        std::optional<QByteArray> refusal;
    };
    std::mutex writesMutex;
    std::condition_variable writeEnded;
    std::map<QString, PendingWrite> pendingWrites;
    // Bytes of the writes waiting (not of the one being written).
    quint64 pendingBytes = 0;
    quint64 nextWrite = 0;
    // The key being written on the writer thread now (empty when none is), and its write.
    QString writingKey;
    quint64 writingSequence = 0;
    // Writes run on a thread of their own, so that a slow disk holds no lookup back.
    std::unique_ptr<ImageCacheIoThread> writer;

    // The folder's upkeep (counting it, removing what expired, holding it to its size) runs in
    // small steps on a thread of its own, apart from lookups and writes: it never delays an avatar,
    // and a quit waits for one step at most.
    struct Upkeep {
        std::mutex mutex;
        bool stopped = false;
        bool queued = false;
        ImageCacheIoThread* thread = nullptr;
    };
    std::unique_ptr<ImageCacheIoThread> upkeepThread;
    std::shared_ptr<Upkeep> upkeep = std::make_shared<Upkeep>();

    // Queues the next step of the upkeep of `disk`, unless one is queued or the upkeep stopped.
    static void wantUpkeep(const std::shared_ptr<Upkeep>& upkeep, const std::shared_ptr<DiskCache>& disk) {
        std::lock_guard lock(upkeep->mutex);
        if (upkeep->stopped || upkeep->queued || !upkeep->thread) {
            return;
        }
        upkeep->queued = true;
        upkeep->thread->async([upkeep, weakDisk = std::weak_ptr<DiskCache>(disk)] {
            {
                std::lock_guard lock(upkeep->mutex);
                upkeep->queued = false;
                if (upkeep->stopped) {
                    return;
                }
            }
            const auto disk = weakDisk.lock();
            if (disk && disk->upkeepStep()) {
                wantUpkeep(upkeep, disk);
            }
        });
    }

    void stopUpkeep() {
        std::lock_guard lock(upkeep->mutex);
        upkeep->stopped = true;
        upkeep->thread = nullptr;
    }

    ~Core() {
        stopUpkeep();
        upkeepThread.reset();
        // Queued disk work finishes before the levels it uses go away, the waiting writes too.
        writer->sync([this] {
            while (hasPendingWrites()) {
                writeOldest();
            }
        });
        writer.reset();
        io.reset();
    }

    bool hasPendingWrites() {
        std::lock_guard lock(writesMutex);
        return !pendingWrites.empty();
    }

    // Takes the write of `key` off the waiting list; its completion is the caller's to run.
    // One being written is waited for: once this returns nothing of the key lands on the disk later.
    std::optional<PendingWrite> takePendingWrite(const QString& key) {
        std::unique_lock lock(writesMutex);
        auto node = pendingWrites.extract(key);
        const bool beingWritten = !node.empty() && node.mapped().sequence == writingSequence;
        if (!node.empty() && !beingWritten) {
            pendingBytes -= quint64(node.mapped().bytes.size());
        }
        writeEnded.wait(lock, [&] { return writingKey != key; });
        if (node.empty()) {
            return std::nullopt;
        }
        return std::move(node.mapped());
    }

    static void finishWrite(const std::optional<PendingWrite>& write) {
        if (write && write->done) {
            write->done();
        }
    }

    // Queues `bytes` (and the image's extended data) for `key`; `done` runs once it is written or
    // dropped.
    void queueWrite(const QString& key, const QByteArray& bytes, const Image& image,
                    std::function<void()> done, std::optional<QByteArray> refusal = std::nullopt) {
        std::vector<std::function<void()>> dropped;
        {
            std::lock_guard lock(writesMutex);
            if (const auto it = pendingWrites.find(key); it != pendingWrites.end()) {
                pendingBytes -= quint64(it->second.bytes.size());
                dropped.push_back(std::move(it->second.done)); // replaced by the newer bytes
                pendingWrites.erase(it);
            }
            PendingWrite write{++nextWrite, bytes, image ? image.extendedObject() : std::nullopt,
                               std::move(done), std::move(refusal)};
            pendingBytes += quint64(bytes.size());
            pendingWrites.emplace(key, std::move(write));
            const quint64 budget = config->maxDiskWriteBacklog();
            while (budget > 0 && pendingBytes > budget) {
                const auto oldest = oldestWaiting();
                if (oldest == pendingWrites.end() || oldest->first == key) {
                    break; // the newest alone may pass the budget
                }
                pendingBytes -= quint64(oldest->second.bytes.size());
                dropped.push_back(std::move(oldest->second.done));
                pendingWrites.erase(oldest);
            }
        }
        for (const auto& block : dropped) {
            if (block) {
                block();
            }
        }
        writer->async([weak = weak_from_this()] {
            if (const auto core = weak.lock()) {
                core->writeOldest();
            }
        });
    }

    // Under the lock: the oldest write waiting (not the one being written).
    std::map<QString, PendingWrite>::iterator oldestWaiting() {
        auto oldest = pendingWrites.end();
        for (auto it = pendingWrites.begin(); it != pendingWrites.end(); ++it) {
            if (it->second.sequence != writingSequence &&
                (oldest == pendingWrites.end() || it->second.sequence < oldest->second.sequence)) {
                oldest = it;
            }
        }
        return oldest;
    }

    // On the writer thread: writes the oldest waiting write, if any is left.
    void writeOldest() {
        std::optional<std::pair<QString, PendingWrite>> next;
        {
            std::lock_guard lock(writesMutex);
            const auto oldest = oldestWaiting();
            if (oldest == pendingWrites.end()) {
                return;
            }
            // Still readable by lookups while it is written; its bytes no longer wait.
            pendingBytes -= quint64(oldest->second.bytes.size());
            writingKey = oldest->first;
            writingSequence = oldest->second.sequence;
            next.emplace(oldest->first, oldest->second);
        }
        const auto& [key, write] = *next;
        disk->setData(write.bytes, key);
        if (write.extended) {
            disk->setExtendedData(*write.extended, key);
        }
        if (write.refusal) {
            disk->setDrawingRefusal(*write.refusal, key);
        }
        std::function<void()> done;
        {
            std::lock_guard lock(writesMutex);
            const auto it = pendingWrites.find(key);
            // Unless it was taken meanwhile, or newer bytes came for the key, which wait their turn.
            if (it != pendingWrites.end() && it->second.sequence == write.sequence) {
                done = std::move(it->second.done);
                pendingWrites.erase(it);
            }
            writingKey.clear();
            writingSequence = 0;
        }
        writeEnded.notify_all();
        if (done) {
            done();
        }
    }

    std::optional<QByteArray> pendingBytesOf(const QString& key) {
        std::lock_guard lock(writesMutex);
        const auto it = pendingWrites.find(key);
        return it == pendingWrites.end() ? std::nullopt : std::optional<QByteArray>(it->second.bytes);
    }

    // On the I/O thread; a waiting write is dropped, never written after.
    void removeFromDisk(const QString& key) {
        finishWrite(takePendingWrite(key));
        disk->removeDataForKey(key);
    }

    void removeAllFromDisk() {
        std::map<QString, PendingWrite> waiting;
        {
            std::unique_lock lock(writesMutex);
            waiting = std::move(pendingWrites);
            pendingWrites.clear();
            pendingBytes = 0;
            writeEnded.wait(lock, [&] { return writingKey.isEmpty(); });
        }
        for (const auto& [key, write] : waiting) {
            if (write.done) {
                write.done();
            }
        }
        disk->removeAllData();
    }

    bool containsOnDisk(const QString& key) {
        return pendingBytesOf(key).has_value() || disk->containsDataForKey(key);
    }

    // On the I/O thread.
    std::optional<QByteArray> diskDataBySearchingAllPaths(const QString& key) {
        if (auto data = pendingBytesOf(key)) {
            return data;
        }
        if (auto data = disk->dataForKey(key)) {
            return data;
        }
        std::function<QString(const QString&)> block;
        {
            std::lock_guard lock(mutex);
            block = additionalCachePathBlock;
        }
        if (block) {
            const auto path = block(key);
            QFile file(path);
            if (!path.isEmpty() && file.open(QIODevice::ReadOnly)) {
                return file.readAll();
            }
        }
        return std::nullopt;
    }

    // Refused drawings (see AbstractImageCache::refuseDrawing) of this run, and those the disk's
    // files told of, by key: how many ended so in a row, and until when (ms since the epoch on
    // the configuration's clock) they are refused. Held to a bound: the soonest to end go first.
    struct Refusal {
        int failures = 0;
        qint64 untilMs = 0;

        QByteArray encoded() const {
            return QByteArray::number(failures) + ' ' + QByteArray::number(untilMs);
        }
        static std::optional<Refusal> decoded(const QByteArray& text) {
            const QList<QByteArray> parts = text.split(' ');
            bool failuresRead = false;
            bool untilRead = false;
            const Refusal read{parts.value(0).toInt(&failuresRead), parts.value(1).toLongLong(&untilRead)};
            if (parts.size() != 2 || !failuresRead || !untilRead || read.failures < 1) {
                return std::nullopt;
            }
            return read;
        }
    };
    static constexpr std::size_t maxRefusals = 1024;
    // Past this many in a row, the delay is the longest anyway.
    static constexpr int maxFailures = 30;
    std::mutex refusalsMutex;
    std::map<QString, Refusal> refusals;

    qint64 nowMs() const { return config->clock()->now().toMSecsSinceEpoch(); }

    // The refusal of `key` this run knows of; on the I/O thread, `lookOnDisk` reads its file's.
    std::optional<Refusal> refusalOf(const QString& key, bool lookOnDisk) {
        {
            std::lock_guard lock(refusalsMutex);
            if (const auto it = refusals.find(key); it != refusals.end()) {
                return it->second;
            }
        }
        if (!lookOnDisk) {
            return std::nullopt;
        }
        const auto stored = disk->drawingRefusalForKey(key);
        auto refusal = stored ? Refusal::decoded(*stored) : std::nullopt;
        if (refusal) {
            // As the file says, within what a refusal made now could say (a clock set back since,
            // or a file written by another hand, refuses no longer than the longest delay).
            refusal->failures = std::min(refusal->failures, maxFailures);
            refusal->untilMs = std::min(refusal->untilMs, nowMs() + longestDelay().count());
            remember(key, *refusal);
        }
        return refusal;
    }

    std::chrono::milliseconds firstDelay() const { return delayOf(config->drawingRetryDelay()); }
    std::chrono::milliseconds longestDelay() const {
        return std::max(firstDelay(), delayOf(config->maxDrawingRetryDelay()));
    }
    static std::chrono::milliseconds delayOf(double seconds) {
        return std::chrono::milliseconds(std::llround(std::clamp(seconds, 0.0, 86400.0) * 1000));
    }

    void remember(const QString& key, const Refusal& refusal) {
        std::lock_guard lock(refusalsMutex);
        refusals[key] = refusal;
        while (refusals.size() > maxRefusals) {
            refusals.erase(
                std::min_element(refusals.begin(), refusals.end(), [](const auto& a, const auto& b) {
                    return a.second.untilMs < b.second.untilMs;
                }));
        }
    }

    // Another drawing of `key`'s bytes ended its process: refused for the growing delay of as
    // many in a row.
    Refusal refuse(const QString& key, const std::optional<Refusal>& before) {
        Refusal refusal;
        refusal.failures = std::min((before ? before->failures : 0) + 1, maxFailures);
        refusal.untilMs = nowMs() + RetryDelay::after(refusal.failures, firstDelay(), longestDelay()).count();
        remember(key, refusal);
        return refusal;
    }

    void forgetRefusal(const QString& key) {
        std::lock_guard lock(refusalsMutex);
        refusals.erase(key);
    }

    Image diskImage(const QString& key, const std::optional<QByteArray>& data, ImageCacheOptions options,
                    const RemoteImageContext& context) {
        if (!data || key.isEmpty()) {
            return {};
        }
        // Bytes whose drawing ended its process are not drawn again before their delay is over.
        std::optional<Refusal> refusal;
        io->sync([&] { refusal = refusalOf(key, true); });
        if (refusal && refusal->untilMs > nowMs()) {
            return {};
        }
        bool unreadable = isCutShort(*data);
        const DecodeAttempt attempt;
        auto image = unreadable ? Image()
                                : imageCacheDecodeImageData(*data, key, imageOptionsFromCacheOptions(options),
                                                            context);
        if (image && image.size().isEmpty()) {
            // A picture of no pixels is no picture: a miss, so the image is made anew.
            image = Image();
            unreadable = true;
        }
        if (!image && attempt.drawingEnded()) {
            const QByteArray refused = refuse(key, refusal).encoded();
            io->sync([&] { disk->setDrawingRefusal(refused, key); });
            return {};
        }
        if (!image) {
            // A file that cannot be decoded would be read and refused again on every query. One that
            // only this query's options refuse (an animated kind to match, a coder of its own) is
            // another query's image and stays, and so is one that could not be drawn now (which
            // says nothing of it, and would be asked for another drawing).
            if (!data->isEmpty() && !attempt.hadNoDrawing() && !attempt.gaveUpAtQuickLimit() &&
                (unreadable || !decodesAtAll(*data))) {
                io->sync([&] { removeFromDisk(key); });
            }
            return {};
        }
        if (refusal) {
            forgetRefusal(key);
            io->sync([&] { disk->setDrawingRefusal(std::nullopt, key); });
        }
        // Extended data travels as bytes both ways; nothing read from a cache file becomes an object.
        std::optional<QByteArray> extended;
        io->sync([&] { extended = disk->extendedDataForKey(key); });
        if (extended) {
            image.setExtendedObject(extended);
        }
        return image;
    }

    void storeDiskImageToMemory(const Image& image, const QString& key) {
        if (!image || !config->shouldCacheImagesInMemory()) {
            return;
        }
        auto memoryKey = key;
        if (image.isThumbnail() && !key.contains(QLatin1String("-Thumbnail("))) {
            const auto options = image.decodeOptions().value_or(DecodeOptions{});
            const auto size = options.thumbnailPixelSize.valueOr(QSizeF());
            memoryKey = thumbnailCacheKey(key, options.preserveAspectRatio.valueOr(true), size.width(),
                                          size.height());
        }
        memory->setObject(image, memoryKey, image.memoryCost());
    }
};

ImageCache::ImageCache(const QString& nameSpace, const QString& diskCacheDirectory,
                       const std::shared_ptr<ImageCacheConfig>& config)
    : d(std::make_shared<Core>()), m_terminationGuard(std::make_unique<QObject>()) {
    Q_ASSERT_X(!nameSpace.isEmpty(), "ImageCache", "Cache namespace should not be empty");
    d->config = (config ? config : ImageCacheConfig::defaultCacheConfig())->copy();
    d->io = std::make_unique<ImageCacheIoThread>(QStringLiteral("ImageCache.io"));
    d->writer = std::make_unique<ImageCacheIoThread>(QStringLiteral("ImageCache.write"));

    const auto memoryFactory = d->config->memoryCacheFactory();
    d->memory = memoryFactory ? memoryFactory(d->config) : std::make_shared<MemoryCache>(d->config);

    const auto directory = diskCacheDirectory.isEmpty() ? defaultDiskCacheDirectory() : diskCacheDirectory;
    d->diskCachePath = QDir(directory).filePath(nameSpace);
    const auto diskFactory = d->config->diskCacheFactory();
    d->disk = diskFactory ? diskFactory(d->diskCachePath, d->config)
                          : std::make_shared<DiskCache>(d->diskCachePath, d->config);
    Q_ASSERT(d->memory && d->disk);

    if (const auto disk = std::dynamic_pointer_cast<DiskCache>(d->disk)) {
        // What writes killed before their rename left goes as the upkeep's walk meets it, and the
        // folder is held to its size whatever an earlier run or anyone else left in it: on the
        // upkeep's thread, in steps, while lookups answer from the folder at once.
        d->upkeepThread = std::make_unique<ImageCacheIoThread>(QStringLiteral("ImageCache.upkeep"));
        d->upkeep->thread = d->upkeepThread.get();
        disk->setUpkeepWanted(
            [upkeep = std::weak_ptr<Core::Upkeep>(d->upkeep), weakDisk = std::weak_ptr<DiskCache>(disk)] {
                const auto alive = upkeep.lock();
                const auto disk = weakDisk.lock();
                if (alive && disk) {
                    Core::wantUpkeep(alive, disk);
                }
            });
        Core::wantUpkeep(d->upkeep, disk);
    }
    // Files of the folder an earlier layout used are carried over once per process.
    if (dynamic_cast<DiskCache*>(d->disk.get())) {
        static std::once_flag migrated;
        std::call_once(migrated, [this] {
            const auto user = userCacheDirectory();
            const auto source =
                QDir(user).filePath(QStringLiteral("default/velmora.images.RemoteImageCache.default"));
            const auto destination =
                QDir(QDir(user).filePath(cacheFolderName)).filePath(QStringLiteral("default"));
            d->io->async(
                [disk = d->disk, source, destination] { disk->moveCacheDirectory(source, destination); });
        });
    }

    if (auto* app = QCoreApplication::instance()) {
        // Expired files went while the app ran, as the upkeep met them; a quit does not wait for
        // the folder: the upkeep stops after the step under way, and what is left is left for the
        // next run.
        QObject::connect(
            app, &QCoreApplication::aboutToQuit, m_terminationGuard.get(),
            [weak = std::weak_ptr<Core>(d)] {
                if (const auto core = weak.lock()) {
                    core->stopUpkeep();
                }
            },
            Qt::DirectConnection);
    }
}

ImageCache::~ImageCache() = default;

std::shared_ptr<ImageCache> ImageCache::sharedImageCache() {
    static const auto cache = [] {
        auto created = std::make_shared<ImageCache>();
        // Disk work still queued at the end runs while what it uses is whole; after that the
        // cache answers from the caller's thread.
        Teardown::add(Teardown::Stage::Disk, [core = std::weak_ptr<Core>(created->d)] {
            if (const auto alive = core.lock()) {
                alive->stopUpkeep();
                if (alive->upkeepThread) {
                    alive->upkeepThread->stop();
                }
                alive->io->stop();
                alive->writer->stop();
            }
        });
        return created;
    }();
    return cache;
}

QString ImageCache::userCacheDirectory() {
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
}

QString ImageCache::defaultDiskCacheDirectory() {
    std::lock_guard lock(defaultDirectoryMutex());
    auto& directory = defaultDirectoryStorage();
    if (directory.isEmpty()) {
        directory = QDir(userCacheDirectory()).filePath(cacheFolderName);
    }
    return directory;
}

void ImageCache::setDefaultDiskCacheDirectory(const QString& directory) {
    std::lock_guard lock(defaultDirectoryMutex());
    defaultDirectoryStorage() = directory;
}

std::shared_ptr<ImageCacheConfig> ImageCache::config() const {
    return d->config;
}

std::shared_ptr<AbstractMemoryCache> ImageCache::memoryCache() const {
    return d->memory;
}

std::shared_ptr<AbstractDiskCache> ImageCache::diskCache() const {
    return d->disk;
}

QString ImageCache::diskCachePath() const {
    return d->diskCachePath;
}

void ImageCache::setAdditionalCachePathBlock(std::function<QString(const QString&)> block) {
    std::lock_guard lock(d->mutex);
    d->additionalCachePathBlock = std::move(block);
}

QString ImageCache::cachePathForKey(const QString& key) const {
    return key.isEmpty() ? QString() : d->disk->cachePathForKey(key);
}

// Store.

void ImageCache::storeImage(const Image& image, const std::optional<QByteArray>& data, const QString& key,
                            RemoteImageOptions options, const RemoteImageContext& context,
                            ImageCacheType cacheType, ImageCacheCompletion completion) {
    Q_UNUSED(options);
    if ((!image && !data) || key.isEmpty()) {
        if (completion) {
            completion();
        }
        return;
    }
    if (image && storesToMemory(cacheType) && d->config->shouldCacheImagesInMemory()) {
        d->memory->setObject(image, key, image.memoryCost());
    }
    if (!storesToDisk(cacheType)) {
        if (completion) {
            completion();
        }
        return;
    }

    auto finish = [core = d, image, key, queue = callbackQueueOf(context),
                   completion = std::move(completion)](const std::optional<QByteArray>& bytes) {
        std::function<void()> done;
        if (completion) {
            done = [queue, completion] { queue->async(completion); };
        }
        if (bytes) {
            // New bytes: nothing refused of them yet (their file is new, without the old one's).
            core->forgetRefusal(key);
            core->queueWrite(key, *bytes, image, std::move(done));
            return;
        }
        // Only extended data to write: it waits for the writes before it, as it always did.
        core->io->async([core, image, key, done = std::move(done)] {
            if (const auto extended = image ? image.extendedObject() : std::nullopt) {
                core->disk->setExtendedData(*extended, key);
            }
            if (done) {
                done();
            }
        });
    };

    auto bytes = data;
    if (!bytes && image) {
        const auto animated = image.animatedImageData();
        if (!animated.isEmpty()) {
            bytes = animated;
        }
    }
    if (bytes || !image) {
        finish(bytes);
        return;
    }
    // Encoding may take a while; it runs beside the I/O thread, which only writes the result.
    DispatchQueue::global().async([image, encodeOptions = context.imageEncodeOptions.valueOr(EncodeOptions{}),
                                   finish = std::move(finish)] {
        auto format = image.imageFormat();
        if ((format == ImageFormat::PDF || format == ImageFormat::SVG) && !image.isVector()) {
            // A vector document drawn at a size is a bitmap now: written back as a document (a PDF
            // of its pixels) it would not read back as the same picture.
            format = ImageFormat::PNG;
        }
        if (format == ImageFormat::Undefined) {
            if (image.imageFrameCount() >= 2) {
                format = ImageFormat::GIF;
            } else {
                format = image.bitmap().hasAlphaChannel() ? ImageFormat::PNG : ImageFormat::JPEG;
            }
        }
        const auto encoded =
            ImageCodersManager::sharedManager()->encodedDataWithImage(image, format, encodeOptions);
        finish(encoded.isNull() ? std::nullopt : std::optional<QByteArray>(encoded));
    });
}

void ImageCache::storeImage(const Image& image, const QString& key, ImageCacheCompletion completion) {
    storeImage(image, std::nullopt, key, 0, RemoteImageContext{}, ImageCacheType::All, std::move(completion));
}

void ImageCache::storeImage(const Image& image, const QString& key, bool toDisk,
                            ImageCacheCompletion completion) {
    storeImage(image, std::nullopt, key, toDisk, std::move(completion));
}

void ImageCache::storeImage(const Image& image, const std::optional<QByteArray>& data, const QString& key,
                            bool toDisk, ImageCacheCompletion completion) {
    storeImage(image, data, key, 0, RemoteImageContext{},
               toDisk ? ImageCacheType::All : ImageCacheType::Memory, std::move(completion));
}

void ImageCache::storeImageData(const QByteArray& data, const QString& key, ImageCacheCompletion completion) {
    storeImage(Image(), data, key, 0, RemoteImageContext{}, ImageCacheType::All, std::move(completion));
}

void ImageCache::storeImageToMemory(const Image& image, const QString& key) {
    if (image && !key.isEmpty()) {
        d->memory->setObject(image, key, image.memoryCost());
    }
}

void ImageCache::storeImageDataToDisk(const QByteArray& data, const QString& key) {
    if (data.isNull() || key.isEmpty()) {
        return;
    }
    d->writer->sync([&] {
        // Written now: an older write of the key that still waits must not land after it.
        Core::finishWrite(d->takePendingWrite(key));
        d->disk->setData(data, key);
    });
}

// Query.

std::shared_ptr<ImageCacheToken> ImageCache::queryCacheOperationForKey(const QString& key,
                                                                       ImageCacheQueryCompletion done) {
    return queryCacheOperationForKey(key, 0, RemoteImageContext{}, ImageCacheType::All, std::move(done));
}

std::shared_ptr<ImageCacheToken> ImageCache::queryCacheOperationForKey(const QString& key,
                                                                       ImageCacheOptions options,
                                                                       const RemoteImageContext& context,
                                                                       ImageCacheQueryCompletion done) {
    return queryCacheOperationForKey(key, options, context, ImageCacheType::All, std::move(done));
}

namespace {

// A memory image as the query's options want it, or null when they make it a miss.
Image adjustedMemoryImage(Image image, ImageCacheOptions options, const RemoteImageContext& context) {
    if (!image) {
        return image;
    }
    if ((options & ImageCacheDecodeFirstFrameOnly) && image.imageFrameCount() >= 2) {
        const auto firstFrame = image.bitmap();
        return firstFrame.isNull() ? Image() : Image(firstFrame, image.scale());
    }
    if (options & ImageCacheMatchAnimatedImageClass) {
        const auto animatedClass = context.animatedImageClass.valueOr(nullptr);
        if (animatedClass && !animatedClass->isInstance(image)) {
            return Image();
        }
    }
    return image;
}

} // namespace

std::shared_ptr<ImageCacheToken> ImageCache::queryCacheOperationForKey(const QString& key,
                                                                       ImageCacheOptions options,
                                                                       const RemoteImageContext& context,
                                                                       ImageCacheType cacheType,
                                                                       ImageCacheQueryCompletion done) {
    if (key.isEmpty() || cacheType == ImageCacheType::None) {
        if (done) {
            done(Image(), std::nullopt, ImageCacheType::None);
        }
        return nullptr;
    }
    Image memoryImage;
    if (cacheType != ImageCacheType::Disk) {
        memoryImage = adjustedMemoryImage(d->memory->objectForKey(key).value_or(Image()), options, context);
    }
    if (cacheType == ImageCacheType::Memory || (memoryImage && !(options & ImageCacheQueryMemoryData))) {
        if (done) {
            done(memoryImage, std::nullopt, ImageCacheType::Memory);
        }
        return nullptr;
    }

    const auto queue = callbackQueueOf(context);
    auto token = std::make_shared<ImageCacheToken>(key, std::move(done), queue);
    struct Result {
        Image image;
        std::optional<QByteArray> data;
    };
    auto diskStep = [core = d, token, key, memoryImage, options, context]() {
        Result result;
        if (token->isCancelled()) {
            return result;
        }
        result.data = core->diskDataBySearchingAllPaths(key);
        if (token->isCancelled()) {
            return result;
        }
        if (memoryImage) {
            result.image = memoryImage;
            return result;
        }
        if (!result.data) {
            return result;
        }
        const auto storeType = context.storeCacheType;
        if (storeType.hasValue() && !storesToMemory(storeType.value())) {
            result.image = core->diskImage(key, result.data, options, context);
        } else if (const auto stored = core->config->shouldCacheImagesInMemory()
                                           ? core->memory->objectForKey(key)
                                           : std::nullopt) {
            result.image = *stored; // stored meanwhile
        } else {
            result.image = core->diskImage(key, result.data, options, context);
            core->storeDiskImageToMemory(result.image, key);
        }
        if (!result.image) {
            result.data.reset(); // a file that does not decode is a miss
        }
        return result;
    };

    const bool synchronous = memoryImage ? (options & ImageCacheQueryMemoryDataSync) != 0
                                         : (options & ImageCacheQueryDiskDataSync) != 0;
    if (synchronous) {
        Result result;
        d->io->sync([&] { result = diskStep(); });
        if (const auto callback = token->takeDone()) {
            callback(result.image, result.data, ImageCacheType::Disk);
        }
        return token;
    }
    d->io->async([diskStep = std::move(diskStep), token, queue] {
        auto result = diskStep();
        if (token->isCancelled()) {
            return;
        }
        queue->async([token, result = std::move(result)] {
            if (const auto callback = token->takeDone()) {
                callback(result.image, result.data, ImageCacheType::Disk);
            }
        });
    });
    return token;
}

std::optional<QDateTime> ImageCache::drawingRefusedUntil(const QString& key) {
    const auto refusal = key.isEmpty() ? std::nullopt : d->refusalOf(key, false);
    if (!refusal || refusal->untilMs <= d->nowMs()) {
        return std::nullopt;
    }
    return QDateTime::fromMSecsSinceEpoch(refusal->untilMs);
}

void ImageCache::refuseDrawing(const QString& key, const QByteArray& bytes) {
    if (key.isEmpty()) {
        return;
    }
    const QByteArray refusal = d->refuse(key, d->refusalOf(key, false)).encoded();
    if (!bytes.isEmpty()) {
        d->queueWrite(key, bytes, Image(), nullptr, refusal);
        return;
    }
    d->io->async([core = d, key, refusal] { core->disk->setDrawingRefusal(refusal, key); });
}

std::shared_ptr<RemoteImageOperation> ImageCache::queryImageForKey(const QString& key,
                                                                   RemoteImageOptions options,
                                                                   const RemoteImageContext& context,
                                                                   ImageCacheType cacheType,
                                                                   ImageCacheQueryCompletion completion) {
    return queryCacheOperationForKey(key, cacheOptionsFromImageOptions(options), context, cacheType,
                                     std::move(completion));
}

Image ImageCache::imageFromMemoryCacheForKey(const QString& key) const {
    if (key.isEmpty()) {
        return {};
    }
    // Moved out rather than copied: a copy of the handle is one more atomic count on a hit.
    auto found = d->memory->objectForKey(key);
    return found ? std::move(*found) : Image();
}

Image ImageCache::imageFromDiskCacheForKey(const QString& key, ImageCacheOptions options,
                                           const RemoteImageContext& context) {
    if (key.isEmpty()) {
        return {};
    }
    const auto data = diskImageDataForKey(key);
    auto image = d->diskImage(key, data, options, context);
    const auto storeType = context.storeCacheType;
    if (!storeType.hasValue() || storesToMemory(storeType.value())) {
        d->storeDiskImageToMemory(image, key);
    }
    return image;
}

Image ImageCache::imageFromCacheForKey(const QString& key, ImageCacheOptions options,
                                       const RemoteImageContext& context) {
    const auto memoryImage = adjustedMemoryImage(imageFromMemoryCacheForKey(key), options, context);
    return memoryImage ? memoryImage : imageFromDiskCacheForKey(key, options, context);
}

Image ImageCache::diskImageForKey(const QString& key) {
    if (key.isEmpty()) {
        return {};
    }
    return d->diskImage(key, diskImageDataForKey(key), 0, RemoteImageContext{});
}

Image ImageCache::diskImageForKey(const QString& key, const std::optional<QByteArray>& data,
                                  ImageCacheOptions options, const RemoteImageContext& context) {
    return d->diskImage(key, data, options, context);
}

std::optional<QByteArray> ImageCache::diskImageDataForKey(const QString& key) {
    if (key.isEmpty()) {
        return std::nullopt;
    }
    std::optional<QByteArray> data;
    d->io->sync([&] { data = d->diskDataBySearchingAllPaths(key); });
    return data;
}

void ImageCache::diskImageDataQueryForKey(const QString& key,
                                          std::function<void(const std::optional<QByteArray>&)> completion) {
    d->io->async([core = d, key, completion = std::move(completion)] {
        auto data = key.isEmpty() ? std::nullopt : core->diskDataBySearchingAllPaths(key);
        if (completion) {
            onMainThread([completion, data = std::move(data)] { completion(data); });
        }
    });
}

void ImageCache::diskImageExistsWithKey(const QString& key, std::function<void(bool)> completion) {
    d->io->async([core = d, key, completion = std::move(completion)] {
        const bool exists = !key.isEmpty() && core->containsOnDisk(key);
        if (completion) {
            onMainThread([completion, exists] { completion(exists); });
        }
    });
}

bool ImageCache::diskImageDataExistsWithKey(const QString& key) {
    if (key.isEmpty()) {
        return false;
    }
    bool exists = false;
    d->io->sync([&] { exists = d->containsOnDisk(key); });
    return exists;
}

void ImageCache::containsImageForKey(const QString& key, ImageCacheType cacheType,
                                     ImageCacheContainsCompletion completion) {
    const auto answerFromDisk = [&] {
        diskImageExistsWithKey(key, [completion](bool exists) {
            if (completion) {
                completion(exists ? ImageCacheType::Disk : ImageCacheType::None);
            }
        });
    };
    switch (cacheType) {
    case ImageCacheType::Disk:
        answerFromDisk();
        return;
    case ImageCacheType::Memory:
        if (completion) {
            completion(imageFromMemoryCacheForKey(key) ? ImageCacheType::Memory : ImageCacheType::None);
        }
        return;
    case ImageCacheType::All:
        if (imageFromMemoryCacheForKey(key)) {
            if (completion) {
                completion(ImageCacheType::Memory);
            }
            return;
        }
        answerFromDisk();
        return;
    default:
        if (completion) {
            completion(ImageCacheType::None);
        }
        return;
    }
}

// Remove and clear.

void ImageCache::removeImageForKey(const QString& key, bool fromMemory, bool fromDisk,
                                   ImageCacheCompletion completion) {
    if (key.isEmpty()) {
        return;
    }
    if (fromMemory && d->config->shouldCacheImagesInMemory()) {
        d->memory->removeObjectForKey(key);
    }
    if (!fromDisk) {
        if (completion) {
            completion();
        }
        return;
    }
    d->io->async([core = d, key, completion = std::move(completion)] {
        core->removeFromDisk(key);
        if (completion) {
            onMainThread(completion);
        }
    });
}

void ImageCache::removeImageForKey(const QString& key, ImageCacheCompletion completion) {
    removeImageForKey(key, true, true, std::move(completion));
}

void ImageCache::removeImageForKey(const QString& key, bool fromDisk, ImageCacheCompletion completion) {
    removeImageForKey(key, true, fromDisk, std::move(completion));
}

void ImageCache::removeImageForKey(const QString& key, ImageCacheType cacheType,
                                   ImageCacheCompletion completion) {
    switch (cacheType) {
    case ImageCacheType::None:
        removeImageForKey(key, false, false, std::move(completion));
        return;
    case ImageCacheType::Disk:
        removeImageForKey(key, false, true, std::move(completion));
        return;
    case ImageCacheType::Memory:
        removeImageForKey(key, true, false, std::move(completion));
        return;
    case ImageCacheType::All:
        removeImageForKey(key, true, true, std::move(completion));
        return;
    }
    if (completion) {
        completion();
    }
}

void ImageCache::removeImageFromMemoryForKey(const QString& key) {
    if (!key.isEmpty()) {
        d->memory->removeObjectForKey(key);
    }
}

void ImageCache::removeImageFromDiskForKey(const QString& key) {
    if (!key.isEmpty()) {
        d->io->sync([&] { d->removeFromDisk(key); });
    }
}

void ImageCache::clearMemory() {
    d->memory->removeAllObjects();
}

void ImageCache::clearDiskOnCompletion(ImageCacheCompletion completion) {
    d->io->async([core = d, completion = std::move(completion)] {
        core->removeAllFromDisk();
        if (completion) {
            onMainThread(completion);
        }
    });
}

void ImageCache::clearWithCacheType(ImageCacheType cacheType, ImageCacheCompletion completion) {
    switch (cacheType) {
    case ImageCacheType::Disk:
        clearDiskOnCompletion(std::move(completion));
        return;
    case ImageCacheType::Memory:
        clearMemory();
        break;
    case ImageCacheType::All:
        clearMemory();
        clearDiskOnCompletion(std::move(completion));
        return;
    default:
        break;
    }
    if (completion) {
        completion();
    }
}

void ImageCache::deleteOldFilesWithCompletion(ImageCacheCompletion completion) {
    d->io->async([core = d, completion = std::move(completion)] {
        core->disk->removeExpiredData();
        if (const auto disk = std::dynamic_pointer_cast<DiskCache>(core->disk)) {
            Core::wantUpkeep(core->upkeep, disk); // the folder is counted again
        }
        if (completion) {
            onMainThread(completion);
        }
    });
}

// Sizes.

quint64 ImageCache::totalDiskSize() {
    quint64 size = 0;
    d->io->sync([&] { size = d->disk->totalSize(); });
    return size;
}

quint64 ImageCache::totalDiskCount() {
    quint64 count = 0;
    d->io->sync([&] { count = d->disk->totalCount(); });
    return count;
}

void ImageCache::calculateSizeWithCompletion(std::function<void(quint64, quint64)> completion) {
    d->io->async([core = d, completion = std::move(completion)] {
        const auto count = core->disk->totalCount();
        const auto size = core->disk->totalSize();
        if (completion) {
            onMainThread([completion, count, size] { completion(count, size); });
        }
    });
}

} // namespace velmora::images
