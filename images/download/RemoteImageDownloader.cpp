#include "images/download/RemoteImageDownloader.h"

#include "images/core/OperationQueue.h"
#include "images/core/Teardown.h"
#include "images/download/AbstractRemoteImageDownloaderDecryptor.h"
#include "images/download/AbstractRemoteImageDownloaderRequestModifier.h"
#include "images/download/AbstractRemoteImageDownloaderResponseModifier.h"
#include "images/download/DecodeLanes.h"
#include "images/download/RemoteImageDownloaderOperation.h"

#include <QCoreApplication>
#include <QSysInfo>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace velmora::images {

namespace {

QString tableKey(const QUrl& url) {
    return url.toString(QUrl::FullyEncoded);
}

template <typename T>
std::shared_ptr<T> contextOr(const Field<std::shared_ptr<T>>& field, const std::shared_ptr<T>& fallback) {
    if (field.hasValue()) {
        return field.value();
    }
    return field.isNone() ? nullptr : fallback;
}

} // namespace

// Where downloads wait and run. A download waits in a bounded list until it may take one of the
// places; past the bound the oldest asked is answered "not drawn now". It is chosen by its
// priority, then a download never tried before one waiting out its delay after a failure, then the
// newest (under LIFO) or the oldest asked; a host holds at most `maxDownloadsPerHost` places while
// another host's download waits. A download that held its place for `placeYieldSeconds` while
// another waits gives the place up and goes on in a slow place; with none free, the slowest of
// those and it (fewest bytes a second) ends as not drawn now. A URL whose download ended in a
// failure that may pass waits out a delay, doubled with each further one, before it is downloaded
// again, whoever asks. A URL whose bytes came whole but were not drawn now (the decodes had no room
// for them) is downloaded again only once the decode lanes hold room for as many bytes: until then
// its bytes would only be answered not drawn now once more, and a flood asked again and again would
// be downloaded again each time. Its download holds that room until its bytes are handed in.
struct RemoteImageDownloader::State : std::enable_shared_from_this<RemoteImageDownloader::State> {
    using Clock = std::chrono::steady_clock;
    using OperationPtr = std::shared_ptr<AbstractRemoteImageDownloaderOperation>;

    mutable std::mutex headersLock;
    ImageRequest::Headers headers;

    mutable std::mutex modifiersLock;
    std::shared_ptr<AbstractRemoteImageDownloaderRequestModifier> requestModifier;
    std::shared_ptr<AbstractRemoteImageDownloaderResponseModifier> responseModifier;
    std::shared_ptr<AbstractRemoteImageDownloaderDecryptor> decryptor;

    std::mutex operationsLock;
    std::map<QString, std::shared_ptr<AbstractRemoteImageDownloaderOperation>> urlOperations;

    OperationQueue downloadQueue{QStringLiteral("velmora.images.RemoteImageDownloader.downloadQueue")};
    std::shared_ptr<ImageSession> session;

    struct Waiting {
        OperationPtr operation;
        QString host;
        quint64 asked = 0;
        // Waiting out the delay of a failure: it starts after every download never tried.
        bool retried = false;
        Clock::time_point due;
        // The bytes its last download brought that were not drawn now: it starts only with room
        // held for them in the decode lanes. 0: it needs none.
        qint64 needsRoom = 0;
        // The lanes had no room for it when last asked, in this round of choosing.
        bool noRoom = false;
    };
    struct Running {
        OperationPtr operation;
        QString host;
        Clock::time_point since;
        bool slow = false;
        // Its place is given back already (it was told to end).
        bool released = false;
        // The room held for its bytes in the decode lanes, while the operation has not handed it in.
        std::shared_ptr<DecodeLanes::Hold> hold;
    };
    struct Retry {
        int failures = 0;
        Clock::time_point due;
        Clock::time_point touched;
        // The bytes of the last download, when they came whole and were not drawn now.
        qint64 undrawnBytes = 0;
    };
    // URLs remembered for their delay at most; the least recently failed go first.
    static constexpr std::size_t maxRetries = 1024;

    std::mutex feedLock;
    std::condition_variable feedChanged;
    std::vector<Waiting> waiting;
    std::vector<Running> running;
    std::map<QString, Retry> retries;
    int places = 0;
    int slowPlaces = 0;
    quint64 nextAsked = 0;
    int maxConcurrent = 6;
    int maxPerHost = 2;
    int maxSlow = 6;
    int maxWaiting = 128;
    std::chrono::milliseconds yield{1000};
    std::chrono::milliseconds retryDelay{2000};
    std::chrono::milliseconds maxRetryDelay{120000};
    bool newestFirst = false;
    bool stopped = false;
    std::optional<Clock::time_point> nextWake;
    // The decode lanes told of room while a download waited for it.
    bool roomMade = false;
    std::thread watch;

    // Where this downloader's downloads decode: its own lanes, or the shared ones.
    std::shared_ptr<DecodeLanes> ownLanes;
    // Listening to the lanes for room, once a download waited for it.
    std::optional<int> roomListener;

    ~State() {
        stopWatching();
        if (watch.joinable()) {
            watch.detach(); // released by a block on the watching thread itself
        }
    }

    DecodeLanes& lanes() const { return ownLanes ? *ownLanes : DecodeLanes::shared(); }

    // Under the lock: hears from the lanes when room may have been made, from now on.
    void listenForRoom() {
        if (roomListener || stopped) {
            return;
        }
        roomListener = lanes().addRoomListener([weak = weak_from_this()] {
            if (const auto self = weak.lock()) {
                {
                    std::lock_guard lock(self->feedLock);
                    self->roomMade = true;
                }
                self->feedChanged.notify_all();
            }
        });
    }

    static QString hostOf(const OperationPtr& operation) { return operation->request().url.host().toLower(); }

    // The bytes a second a running download has received so far.
    static double rateOf(const Running& entry, Clock::time_point now) {
        const double seconds = std::chrono::duration<double>(now - entry.since).count();
        return double(std::max<qint64>(entry.operation->receivedBytes(), 0)) / std::max(seconds, 0.001);
    }

    int placesOf(const QString& host) const {
        return int(std::count_if(running.begin(), running.end(), [&](const Running& entry) {
            return !entry.slow && !entry.released && entry.host == host;
        }));
    }

    // Under the lock: the waiting download to start next, or none.
    std::vector<Waiting>::iterator chooseNext(Clock::time_point now) {
        const auto better = [&](const Waiting& a, const Waiting& b) {
            const auto pa = a.operation->queuePriority();
            const auto pb = b.operation->queuePriority();
            if (pa != pb) {
                return pa > pb;
            }
            if (a.retried != b.retried) {
                return !a.retried;
            }
            return newestFirst ? a.asked > b.asked : a.asked < b.asked;
        };
        auto chosen = waiting.end();
        auto chosenCapped = waiting.end();
        for (auto it = waiting.begin(); it != waiting.end(); ++it) {
            if (it->due > now || it->noRoom) {
                continue;
            }
            const bool capped = maxPerHost > 0 && placesOf(it->host) >= maxPerHost;
            auto& slot = capped ? chosenCapped : chosen;
            if (slot == waiting.end() || better(*it, *slot)) {
                slot = it;
            }
        }
        // A host at its share waits only while another host's download can take the place.
        return chosen != waiting.end() ? chosen : chosenCapped;
    }

    // Under the lock: the download that held its place longest past the yield, or none.
    std::vector<Running>::iterator overdueOne(Clock::time_point now) {
        auto overdue = running.end();
        if (yield.count() <= 0) {
            return overdue;
        }
        for (auto it = running.begin(); it != running.end(); ++it) {
            if (!it->slow && !it->released && it->since + yield <= now &&
                (overdue == running.end() || it->since < overdue->since)) {
                overdue = it;
            }
        }
        return overdue;
    }

    // Under the lock: frees a place by moving an overdue download to a slow place, or ending the
    // slowest; what is to end is added to `toEnd`. False when no download is overdue yet.
    bool yieldAPlace(Clock::time_point now, std::vector<OperationPtr>& toEnd) {
        const auto overdue = overdueOne(now);
        if (overdue == running.end()) {
            return false;
        }
        if (slowPlaces >= maxSlow) {
            // The slowest of the slow ones and the overdue one ends (the one that held longest
            // of equals): a trickle gives way to a transfer that moves.
            auto slowest = overdue;
            for (auto it = running.begin(); it != running.end(); ++it) {
                if (!it->slow || it->released) {
                    continue;
                }
                const double rate = rateOf(*it, now);
                const double best = rateOf(*slowest, now);
                if (rate < best || (rate == best && it->since < slowest->since)) {
                    slowest = it;
                }
            }
            slowest->released = true;
            toEnd.push_back(slowest->operation);
            if (slowest == overdue) {
                --places;
                return true;
            }
            --slowPlaces;
        }
        overdue->slow = true;
        --places;
        ++slowPlaces;
        return true;
    }

    void feed() {
        std::vector<std::pair<OperationPtr, std::shared_ptr<DecodeLanes::Hold>>> toQueue;
        std::vector<OperationPtr> toEnd;
        std::vector<OperationPtr> ended;
        {
            std::lock_guard lock(feedLock);
            const auto now = Clock::now();
            // A cancelled one was answered by its cancel and takes no place: its queue starts it
            // only for it to finish at once.
            std::erase_if(waiting, [&](Waiting& entry) {
                if (!entry.operation->isCancelled() && !entry.operation->isFinished()) {
                    return false;
                }
                ended.push_back(std::move(entry.operation));
                return true;
            });
            nextWake.reset();
            for (auto& entry : waiting) {
                entry.noRoom = false;
            }
            while (!stopped && !waiting.empty() && !downloadQueue.isSuspended()) {
                const auto next = chooseNext(now);
                if (next == waiting.end()) {
                    break;
                }
                const bool placeFree = maxConcurrent < 0 || places < maxConcurrent;
                if (!placeFree && overdueOne(now) == running.end()) {
                    break;
                }
                // Room for its bytes before a place: a place is yielded only for a download that
                // starts. (The hold is had under this lock and never let go under it.)
                std::shared_ptr<DecodeLanes::Hold> hold;
                if (next->needsRoom > 0) {
                    // Listening before asking: room made after the answer is heard.
                    listenForRoom();
                    hold = lanes().tryHold(next->needsRoom);
                    if (!hold) {
                        next->noRoom = true;
                        continue;
                    }
                }
                if (!placeFree) {
                    yieldAPlace(now, toEnd);
                }
                Waiting chosen = std::move(*next);
                waiting.erase(next);
                ++places;
                running.push_back({chosen.operation, chosen.host, now, false, false, hold});
                toQueue.emplace_back(std::move(chosen.operation), std::move(hold));
            }
            // When to look again: a delay that ends, or a place that falls overdue.
            for (const auto& entry : waiting) {
                if (entry.due > now && (!nextWake || entry.due < *nextWake)) {
                    nextWake = entry.due;
                }
            }
            if (!waiting.empty() && yield.count() > 0) {
                for (const auto& entry : running) {
                    const auto due = entry.since + yield;
                    if (!entry.slow && !entry.released && (!nextWake || due < *nextWake)) {
                        nextWake = std::max(due, now + std::chrono::milliseconds(1));
                    }
                }
            }
        }
        feedChanged.notify_all();
        for (const auto& [operation, hold] : toQueue) {
            if (hold) {
                // Its bytes hand the room in as they go to the lanes (another kind of operation
                // gives it back with its place).
                if (const auto own = std::dynamic_pointer_cast<RemoteImageDownloaderOperation>(operation)) {
                    own->setDecodeHold(hold);
                }
            }
            operation->addCompletionBlock([weak = weak_from_this(), operation = std::weak_ptr(operation)] {
                if (const auto self = weak.lock()) {
                    self->release(operation.lock());
                }
            });
            downloadQueue.addOperation(operation);
            if (operation->isFinished()) {
                release(operation); // finished before its block was in place
            }
        }
        for (const auto& operation : ended) {
            downloadQueue.addOperation(operation);
        }
        const ImageError notNow =
            notNowError(QStringLiteral("Download not made now: slower than the others"));
        for (const auto& operation : toEnd) {
            operation->endNotNow(notNow);
        }
    }

    // The place of a download that finished goes to the next.
    void release(const OperationPtr& operation) {
        if (!operation) {
            return;
        }
        // Let go after the lock: letting go of room tells the lanes' listeners, this one included.
        std::shared_ptr<DecodeLanes::Hold> hold;
        {
            std::lock_guard lock(feedLock);
            const auto it = std::find_if(running.begin(), running.end(),
                                         [&](const Running& entry) { return entry.operation == operation; });
            if (it == running.end()) {
                return;
            }
            if (!it->released) {
                --(it->slow ? slowPlaces : places);
            }
            hold = std::move(it->hold);
            running.erase(it);
        }
        feed();
    }

    static ImageError notNowError(const QString& message) {
        return ImageError(ImageErrorCode::Cancelled, message, {{QString(ImageError::notNowKey), true}});
    }

    // Adds a download to the waiting list; past its bound the oldest asked is answered "not drawn
    // now" (returned, to be told outside the lock).
    OperationPtr enqueue(const OperationPtr& operation, const QString& key) {
        std::lock_guard lock(feedLock);
        Waiting entry{operation, hostOf(operation), ++nextAsked, false, Clock::now()};
        if (const auto retry = retries.find(key); retry != retries.end()) {
            if (retry->second.due > entry.due) {
                entry.retried = true;
                entry.due = retry->second.due;
            }
            // Its bytes wait for room however long ago they failed to find it.
            if (retry->second.undrawnBytes > 0) {
                entry.retried = true;
                entry.needsRoom = retry->second.undrawnBytes;
            }
        }
        waiting.push_back(std::move(entry));
        if (maxWaiting <= 0 || int(waiting.size()) <= maxWaiting) {
            return nullptr;
        }
        const auto oldest =
            std::min_element(waiting.begin(), waiting.end(),
                             [](const Waiting& a, const Waiting& b) { return a.asked < b.asked; });
        OperationPtr dropped = std::move(oldest->operation);
        waiting.erase(oldest);
        return dropped;
    }

    // A download of the URL with `key` ended so, with `bytes` received: a failure that may pass
    // delays the URL's next download, longer each time, and bytes that came whole but were not
    // drawn make it wait for room for them too; an image clears both.
    void noteOutcome(const QString& key, const ImageError& error, qint64 bytes) {
        std::lock_guard lock(feedLock);
        const auto now = Clock::now();
        if (error.isNull()) {
            retries.erase(key);
            return;
        }
        if (!error.value(ImageError::notNowKey).toBool()) {
            return;
        }
        Retry& retry = retries[key];
        retry.failures = std::min(retry.failures + 1, 30);
        retry.due = now + RetryDelay::after(retry.failures, retryDelay, maxRetryDelay);
        retry.touched = now;
        retry.undrawnBytes =
            error.value(ImageError::decodeWithoutDrawingKey).toBool() ? std::max<qint64>(bytes, 1) : 0;
        if (retries.size() > maxRetries) {
            const auto stalest =
                std::min_element(retries.begin(), retries.end(), [](const auto& a, const auto& b) {
                    return a.second.touched < b.second.touched;
                });
            retries.erase(stalest);
        }
    }

    // Looks again when a delay ends, a place falls overdue or the decode lanes made room.
    void watchTheWaiting() {
        std::unique_lock lock(feedLock);
        while (!stopped) {
            if (roomMade) {
                roomMade = false;
                lock.unlock();
                feed();
                lock.lock();
            } else if (nextWake) {
                const auto wake = *nextWake;
                feedChanged.wait_until(lock, wake);
                if (!stopped && !roomMade && Clock::now() >= wake) {
                    lock.unlock();
                    feed();
                    lock.lock();
                }
            } else {
                feedChanged.wait(lock);
            }
        }
    }

    void stopWatching() {
        std::optional<int> listener;
        {
            std::lock_guard lock(feedLock);
            stopped = true;
            listener = std::exchange(roomListener, std::nullopt);
        }
        feedChanged.notify_all();
        if (listener) {
            lanes().removeRoomListener(*listener);
        }
        if (watch.joinable() && watch.get_id() != std::this_thread::get_id()) {
            watch.join();
        }
    }

    // Cancels the downloads waiting (each answers its callers), then the queue's.
    void cancelAll() {
        std::vector<Waiting> notHanded;
        {
            std::lock_guard lock(feedLock);
            notHanded = std::move(waiting);
            waiting.clear();
        }
        for (const auto& entry : notHanded) {
            entry.operation->cancel();
            downloadQueue.addOperation(entry.operation); // it finishes as soon as it starts
        }
        downloadQueue.cancelAllOperations();
        feed();
    }
};

RemoteImageDownloader::RemoteImageDownloader(const RemoteImageDownloaderConfig& config)
    : m_config(config), m_state(std::make_shared<State>()) {
    // The places are counted by the state, slow ones apart; the queue only starts what it is given.
    m_state->downloadQueue.setMaxConcurrentOperationCount(OperationQueue::DefaultMaxConcurrentOperationCount);
    m_state->maxConcurrent = m_config.maxConcurrentDownloads;
    m_state->maxPerHost = m_config.maxDownloadsPerHost;
    m_state->maxSlow = std::max(0, m_config.maxSlowDownloads);
    m_state->maxWaiting = m_config.maxWaitingDownloads;
    const auto ms = [](double seconds) {
        return std::chrono::milliseconds(std::llround(std::clamp(seconds, 0.0, 86400.0) * 1000));
    };
    m_state->yield = ms(m_config.placeYieldSeconds);
    m_state->retryDelay = ms(m_config.retryDelay);
    m_state->maxRetryDelay = std::max(m_state->retryDelay, ms(m_config.maxRetryDelay));
    m_state->newestFirst = m_config.executionOrder == RemoteImageDownloaderExecutionOrder::LIFO;
    m_state->ownLanes = m_config.decodeLanes;
    m_state->watch = std::thread([state = m_state.get()] { state->watchTheWaiting(); });
    const QByteArray userAgent = defaultUserAgent();
    if (!userAgent.isEmpty()) {
        m_state->headers.emplace_back("User-Agent", userAgent);
    }
    m_state->headers.emplace_back("Accept", "image/*,*/*;q=0.8");
    m_state->session = std::make_shared<ImageSession>(
        m_config.sessionConfiguration.value_or(ImageSession::Configuration()), this);
}

RemoteImageDownloader::~RemoteImageDownloader() {
    m_state->cancelAll();
    m_state->stopWatching();
    // The session stops telling this object here, so no session event reaches it later. The last
    // holder of a downloader may let go on the transport's thread (a caller's block that held the
    // downloader's owner goes with a download's answer); the session may end there too, since
    // the transport never waits for its own thread.
    //
    // Another holder (an operation still under way) may keep the session past this object: it
    // tells this object nothing more either way, and a call to it under way on the transport's
    // thread ends before this object goes.
    if (auto session = std::exchange(m_state->session, nullptr)) {
        session->invalidate(true);
    }
}

std::shared_ptr<RemoteImageDownloader> RemoteImageDownloader::sharedDownloader() {
    // Made once and kept for the life of the process.
    static auto* shared = [] {
        auto downloader =
            std::make_shared<RemoteImageDownloader>(RemoteImageDownloaderConfig::sharedDownloaderConfig());
        downloader->m_isShared = true;
        // Never destroyed, so its network thread would still deliver while the statics that
        // the deliveries reach are taken apart: the transfers end with the application.
        Teardown::add(Teardown::Stage::Network, [state = downloader->m_state] {
            state->cancelAll();
            state->stopWatching();
            state->session->stop();
        });
        return new std::shared_ptr<RemoteImageDownloader>(std::move(downloader));
    }();
    return *shared;
}

void RemoteImageDownloader::setMaxConcurrentDownloads(int count) {
    m_config.maxConcurrentDownloads = count;
    {
        std::lock_guard lock(m_state->feedLock);
        m_state->maxConcurrent = count;
    }
    m_state->feed();
}

std::shared_ptr<AbstractRemoteImageDownloaderRequestModifier> RemoteImageDownloader::requestModifier() const {
    std::lock_guard lock(m_state->modifiersLock);
    return m_state->requestModifier;
}

void RemoteImageDownloader::setRequestModifier(
    std::shared_ptr<AbstractRemoteImageDownloaderRequestModifier> modifier) {
    std::lock_guard lock(m_state->modifiersLock);
    m_state->requestModifier = std::move(modifier);
}

std::shared_ptr<AbstractRemoteImageDownloaderResponseModifier>
RemoteImageDownloader::responseModifier() const {
    std::lock_guard lock(m_state->modifiersLock);
    return m_state->responseModifier;
}

void RemoteImageDownloader::setResponseModifier(
    std::shared_ptr<AbstractRemoteImageDownloaderResponseModifier> modifier) {
    std::lock_guard lock(m_state->modifiersLock);
    m_state->responseModifier = std::move(modifier);
}

std::shared_ptr<AbstractRemoteImageDownloaderDecryptor> RemoteImageDownloader::decryptor() const {
    std::lock_guard lock(m_state->modifiersLock);
    return m_state->decryptor;
}

void RemoteImageDownloader::setDecryptor(std::shared_ptr<AbstractRemoteImageDownloaderDecryptor> decryptor) {
    std::lock_guard lock(m_state->modifiersLock);
    m_state->decryptor = std::move(decryptor);
}

void RemoteImageDownloader::setValueForHTTPHeaderField(const std::optional<QByteArray>& value,
                                                       const QByteArray& field) {
    if (field.isEmpty()) {
        return;
    }
    std::lock_guard lock(m_state->headersLock);
    std::erase_if(m_state->headers,
                  [&](const auto& header) { return header.first.compare(field, Qt::CaseInsensitive) == 0; });
    if (value) {
        m_state->headers.emplace_back(field, *value);
    }
}

std::optional<QByteArray> RemoteImageDownloader::valueForHTTPHeaderField(const QByteArray& field) const {
    if (field.isEmpty()) {
        return std::nullopt;
    }
    std::lock_guard lock(m_state->headersLock);
    for (const auto& [name, value] : m_state->headers) {
        if (name.compare(field, Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return std::nullopt;
}

// --- downloading ------------------------------------------------------------------------

std::shared_ptr<RemoteImageDownloadToken>
RemoteImageDownloader::downloadImage(const QUrl& url, RemoteImageDownloaderOptions options,
                                     const RemoteImageContext& context, ImageLoaderProgressBlock progress,
                                     ImageLoaderCompletedBlock completed) {
    if (url.isEmpty()) {
        if (completed) {
            completed(Image(), QByteArray(),
                      ImageError(ImageErrorCode::InvalidURL, QStringLiteral("Image url is nil")), true);
        }
        return nullptr;
    }
    if (!ImageSession::isFetchable(url)) {
        // An avatar URL from a tracker must not read a local file or carry its own bytes.
        if (completed) {
            completed(Image(), QByteArray(),
                      ImageError(ImageErrorCode::InvalidURL,
                                 QStringLiteral("Image url is not an http or https url")),
                      true);
        }
        return nullptr;
    }
    const DecodeOptions decodeOptions = imageLoaderDecodeOptions(
        &context, imageOptionsFromDownloaderOptions(options), imageLoaderCacheKey(url, &context));
    const QString key = tableKey(url);

    std::shared_ptr<AbstractRemoteImageDownloaderOperation> operation;
    std::shared_ptr<RemoteImageDownloaderOperationToken> handlers;
    auto joinLiveOperation = [&] {
        const auto it = m_state->urlOperations.find(key);
        // An operation that has its bytes may still be decoding them for its callers (out of its
        // queue by then): a caller joins it until it has answered its callers for the last time.
        if (it == m_state->urlOperations.end() || it->second->isCancelled()) {
            return false;
        }
        // Only the caller's blocks and decode options join; its options and context do not
        // change a transfer that is already on its way.
        handlers = it->second->addHandlers(progress, completed, decodeOptions);
        if (!handlers) {
            return false; // it has answered its callers for the last time
        }
        operation = it->second;
        return true;
    };
    bool joined = false;
    bool made = false;
    {
        std::lock_guard lock(m_state->operationsLock);
        joined = joinLiveOperation();
    }
    if (!joined) {
        // Made outside the table's lock: the request modifier is caller code.
        auto created = createDownloaderOperation(url, options, context);
        if (!created) {
            if (completed) {
                completed(Image(), QByteArray(),
                          ImageError(ImageErrorCode::InvalidDownloadOperation,
                                     QStringLiteral("Downloader operation is nil")),
                          true);
            }
            return nullptr;
        }
        std::lock_guard lock(m_state->operationsLock);
        if (!joinLiveOperation()) {
            made = true;
            operation = created;
            std::weak_ptr<State> weakState = m_state;
            std::weak_ptr<AbstractRemoteImageDownloaderOperation> weakOperation = created;
            created->setClosedBlock([weakState, weakOperation, key] {
                const auto state = weakState.lock();
                if (!state) {
                    return;
                }
                std::lock_guard lock(state->operationsLock);
                // A newer operation for the same URL may have taken the entry already.
                const auto it = state->urlOperations.find(key);
                if (it != state->urlOperations.end() && it->second == weakOperation.lock()) {
                    state->urlOperations.erase(it);
                }
            });
            created->setOutcomeBlock([weakState, weakOperation, key](const ImageError& error) {
                const auto state = weakState.lock();
                const auto operation = weakOperation.lock();
                if (state) {
                    state->noteOutcome(key, error, operation ? operation->receivedBytes() : 0);
                }
            });
            m_state->urlOperations[key] = created;
            // The first caller is in place before the operation can run, so it can't
            // finish without anyone to tell.
            handlers = created->addHandlers(progress, completed, decodeOptions);
        }
    }
    if (made) {
        if (const auto dropped = m_state->enqueue(operation, key)) {
            dropped->endNotNow(State::notNowError(QStringLiteral("Download not made now: newer ones wait")));
            m_state->downloadQueue.addOperation(dropped); // it finishes as soon as it starts
        }
        m_state->feed();
    }
    return std::make_shared<RemoteImageDownloadToken>(operation, url, operation->request(), handlers);
}

std::shared_ptr<AbstractRemoteImageDownloaderOperation>
RemoteImageDownloader::createDownloaderOperation(const QUrl& url, RemoteImageDownloaderOptions options,
                                                 const RemoteImageContext& context) {
    ImageRequest request;
    request.url = url;
    // 0 (or anything that is no positive number of seconds) is the default.
    request.timeoutSeconds = m_config.downloadTimeout > 0 ? m_config.downloadTimeout : 15.0;
    request.stallTimeoutSeconds = m_config.stallTimeout > 0 ? m_config.stallTimeout : 5.0;
    request.cachePolicy = (options & RemoteImageDownloaderUseURLCache)
                              ? ImageRequest::CachePolicy::UseProtocolCachePolicy
                              : ImageRequest::CachePolicy::ReloadIgnoringLocalCacheData;
    request.handlesCookies = (options & RemoteImageDownloaderHandleCookies) != 0;
    request.usesHttpPipelining = true;
    {
        std::lock_guard lock(m_state->headersLock);
        request.headers = m_state->headers;
    }

    std::shared_ptr<AbstractRemoteImageDownloaderRequestModifier> requestModifier;
    std::shared_ptr<AbstractRemoteImageDownloaderResponseModifier> responseModifier;
    std::shared_ptr<AbstractRemoteImageDownloaderDecryptor> decryptor;
    {
        std::lock_guard lock(m_state->modifiersLock);
        requestModifier = contextOr(context.downloadRequestModifier, m_state->requestModifier);
        responseModifier = contextOr(context.downloadResponseModifier, m_state->responseModifier);
        decryptor = contextOr(context.downloadDecryptor, m_state->decryptor);
    }
    if (requestModifier) {
        auto modified = requestModifier->modifiedRequest(request);
        if (!modified) {
            return nullptr;
        }
        request = std::move(*modified);
    }
    RemoteImageContext operationContext = context;
    if (responseModifier) {
        operationContext.downloadResponseModifier = responseModifier;
    }
    if (decryptor) {
        operationContext.downloadDecryptor = decryptor;
    }

    const auto factory =
        m_config.operationFactory ? m_config.operationFactory : RemoteImageDownloaderOperation::factory();
    auto operation = factory(request, m_state->session, options, operationContext);
    if (!operation) {
        return nullptr;
    }
    if (m_config.urlCredential) {
        operation->setCredential(m_config.urlCredential);
    } else if (!m_config.username.isEmpty() && !m_config.password.isEmpty()) {
        operation->setCredential(ImageCredential{m_config.username, m_config.password});
    }
    operation->setMinimumProgressInterval(std::clamp(m_config.minimumProgressInterval, 0.0, 1.0));
    operation->setAcceptableStatusCodes(m_config.acceptableStatusCodes);
    operation->setAcceptableContentTypes(m_config.acceptableContentTypes);
    operation->setMaximumDataSize(m_config.maximumDownloadSize);
    if (m_config.decodeLanes) {
        if (const auto own = std::dynamic_pointer_cast<RemoteImageDownloaderOperation>(operation)) {
            own->setDecodeLanes(m_config.decodeLanes);
        }
    }
    if (options & RemoteImageDownloaderHighPriority) {
        operation->setQueuePriority(Operation::QueuePriority::High);
    } else if (options & RemoteImageDownloaderLowPriority) {
        operation->setQueuePriority(Operation::QueuePriority::Low);
    }
    return operation;
}

void RemoteImageDownloader::cancelAllDownloads() {
    m_state->cancelAll();
}

bool RemoteImageDownloader::isSuspended() const {
    return m_state->downloadQueue.isSuspended();
}

void RemoteImageDownloader::setSuspended(bool suspended) {
    m_state->downloadQueue.setSuspended(suspended);
    m_state->feed();
}

int RemoteImageDownloader::currentDownloadCount() const {
    std::lock_guard lock(m_state->feedLock);
    return static_cast<int>(m_state->running.size() + m_state->waiting.size());
}

const ImageSession::Configuration& RemoteImageDownloader::sessionConfiguration() const {
    return m_state->session->configuration();
}

void RemoteImageDownloader::invalidateSessionAndCancel(bool cancel) {
    if (m_isShared) {
        return;
    }
    m_state->session->invalidate(cancel);
}

// --- option mapping and the loader contract -------------------------------------------------

RemoteImageOptions
RemoteImageDownloader::imageOptionsFromDownloaderOptions(RemoteImageDownloaderOptions options) {
    return images::imageOptionsFromDownloaderOptions(options);
}

RemoteImageDownloaderOptions
RemoteImageDownloader::downloaderOptionsFromImageOptions(RemoteImageOptions options,
                                                         const RemoteImageContext& context) {
    RemoteImageDownloaderOptions result = 0;
    if (options & RemoteImageLowPriority) {
        result |= RemoteImageDownloaderLowPriority;
    }
    if (options & RemoteImageProgressiveLoad) {
        result |= RemoteImageDownloaderProgressiveLoad;
    }
    if (options & RemoteImageRefreshCached) {
        result |= RemoteImageDownloaderUseURLCache;
    }
    result |= options & (RemoteImageContinueInBackground | RemoteImageHandleCookies |
                         RemoteImageAllowInvalidCertificates | RemoteImageHighPriority);
    if (options & RemoteImageScaleDownLargeImages) {
        result |= RemoteImageDownloaderScaleDownLargeImages;
    }
    result |= ((options >> 18) & 0xFull) << 9;
    if (context.loaderCachedImage.hasValue() && (options & RemoteImageRefreshCached)) {
        result &= ~RemoteImageDownloaderOptions(RemoteImageDownloaderProgressiveLoad);
        result |= RemoteImageDownloaderIgnoreCachedResponse;
    }
    return result;
}

bool RemoteImageDownloader::canRequestImage(const QUrl& url, RemoteImageOptions, const RemoteImageContext&) {
    return ImageSession::isFetchable(url);
}

std::shared_ptr<RemoteImageOperation>
RemoteImageDownloader::requestImage(const QUrl& url, RemoteImageOptions options,
                                    const RemoteImageContext& context, ImageLoaderProgressBlock progress,
                                    ImageLoaderCompletedBlock completed) {
    return downloadImage(url, downloaderOptionsFromImageOptions(options, context), context,
                         std::move(progress), std::move(completed));
}

bool RemoteImageDownloader::shouldBlockFailedURL(const QUrl&, const ImageError& error, RemoteImageOptions,
                                                 const RemoteImageContext&) {
    // Refused for the run: only what the image is (a picture too large or too costly to draw, a
    // URL no transfer takes), never what befell its transfer or what a network answered in its
    // place (a portal's page, an error text, a redirect refused), which is tried again after a
    // growing delay.
    if (error.errorDomain() == QString(ImageError::domain)) {
        if (error.is(ImageErrorCode::InvalidDownloadResponse) &&
            error.userInfo().contains(QString(ImageError::downloadLimitKey))) {
            return true;
        }
        if (error.is(ImageErrorCode::BadImageData)) {
            const QVariantMap info = error.userInfo();
            return !info.value(QString(ImageError::decodeWithoutDrawingKey)).toBool() &&
                   !info.value(QString(ImageError::drawingEndedKey)).toBool() &&
                   !info.value(QString(RemoteImageDownloaderOperation::notAPictureKey)).toBool();
        }
        return error.is(ImageErrorCode::InvalidURL);
    }
    if (error.errorDomain() == QString(ImageSession::urlErrorDomain)) {
        return error.code() == ImageSession::BadURL || error.code() == ImageSession::UnsupportedURL;
    }
    return false;
}

// --- session events --------------------------------------------------------------------------

std::shared_ptr<AbstractRemoteImageDownloaderOperation>
RemoteImageDownloader::operationWithTask(const ImageDataTask& task) const {
    for (const auto& queued : m_state->downloadQueue.operations()) {
        auto operation = std::dynamic_pointer_cast<AbstractRemoteImageDownloaderOperation>(queued);
        if (!operation) {
            continue;
        }
        const auto operationTask = operation->dataTask();
        if (operationTask && operationTask->taskIdentifier() == task.taskIdentifier()) {
            return operation;
        }
    }
    return nullptr;
}

void RemoteImageDownloader::didReceiveResponse(ImageDataTask& task, const ImageResponse& response,
                                               const std::function<void(bool allow)>& completion) {
    if (const auto operation = operationWithTask(task)) {
        operation->didReceiveResponse(task, response, completion);
    } else {
        completion(true);
    }
}

void RemoteImageDownloader::didReceiveData(ImageDataTask& task, const QByteArray& data) {
    if (const auto operation = operationWithTask(task)) {
        operation->didReceiveData(task, data);
    }
}

std::optional<ImageCredential> RemoteImageDownloader::credentialForChallenge(ImageDataTask& task,
                                                                             int previousFailureCount) {
    if (const auto operation = operationWithTask(task)) {
        return operation->credentialForChallenge(task, previousFailureCount);
    }
    return std::nullopt;
}

void RemoteImageDownloader::didFinishCollectingMetrics(ImageDataTask& task, const ImageTaskMetrics& metrics) {
    if (const auto operation = operationWithTask(task)) {
        operation->didFinishCollectingMetrics(task, metrics);
    }
}

void RemoteImageDownloader::didComplete(ImageDataTask& task, const ImageError& error) {
    if (const auto operation = operationWithTask(task)) {
        operation->didComplete(task, error);
    }
}

QByteArray RemoteImageDownloader::defaultUserAgent() {
    QString name = QCoreApplication::applicationName();
    if (name.isEmpty()) {
        name = QCoreApplication::organizationDomain();
    }
    if (name.isEmpty()) {
        return {};
    }
    const QString version = QCoreApplication::applicationVersion();
    const QString text =
        QStringLiteral("%1/%2 (%3)")
            .arg(name, version.isEmpty() ? QStringLiteral("1.0") : version, QSysInfo::prettyProductName());
    // Accented letters lose their accents; anything else outside ASCII is left out.
    QByteArray ascii;
    for (const QChar c : text.normalized(QString::NormalizationForm_KD)) {
        if (c.unicode() >= 0x20 && c.unicode() < 0x7f) {
            ascii.append(static_cast<char>(c.unicode()));
        }
    }
    return ascii;
}

} // namespace velmora::images
