#include "images/download/RemoteImageDownloader.h"

#include "images/core/OperationQueue.h"
#include "images/core/Teardown.h"
#include "images/download/AbstractRemoteImageDownloaderDecryptor.h"
#include "images/download/AbstractRemoteImageDownloaderRequestModifier.h"
#include "images/download/AbstractRemoteImageDownloaderResponseModifier.h"
#include "images/download/RemoteImageDownloaderOperation.h"

#include <QCoreApplication>
#include <QSysInfo>

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>

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

struct RemoteImageDownloader::State : std::enable_shared_from_this<RemoteImageDownloader::State> {
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

    // Downloads are handed to the queue only as it can start them: until then they wait here,
    // where the next one is chosen when a place frees (the newest first under LIFO, so an avatar
    // just asked for never waits behind a flood asked before it, and six still run at once).
    std::mutex feedLock;
    std::deque<std::shared_ptr<AbstractRemoteImageDownloaderOperation>> waiting;
    int handedToQueue = 0;
    int maxConcurrent = 6;
    bool newestFirst = false;

    void feed() {
        std::vector<std::shared_ptr<AbstractRemoteImageDownloaderOperation>> toQueue;
        {
            std::lock_guard lock(feedLock);
            // A cancelled one finishes as soon as the queue starts it, and holds no place.
            for (auto it = waiting.begin(); it != waiting.end();) {
                if ((*it)->isCancelled()) {
                    toQueue.push_back(std::move(*it));
                    it = waiting.erase(it);
                } else {
                    ++it;
                }
            }
            while (!waiting.empty() && !downloadQueue.isSuspended() &&
                   (maxConcurrent < 0 || handedToQueue < maxConcurrent)) {
                auto chosen = waiting.begin();
                for (auto it = waiting.begin(); it != waiting.end(); ++it) {
                    const auto priority = (*it)->queuePriority();
                    if (priority > (*chosen)->queuePriority() ||
                        (newestFirst && priority == (*chosen)->queuePriority())) {
                        chosen = it;
                    }
                }
                auto operation = std::move(*chosen);
                waiting.erase(chosen);
                if (!operation->isFinished()) {
                    ++handedToQueue;
                    operation->addCompletionBlock([weak = weak_from_this()] {
                        if (const auto self = weak.lock()) {
                            {
                                std::lock_guard lock(self->feedLock);
                                --self->handedToQueue;
                            }
                            self->feed();
                        }
                    });
                }
                toQueue.push_back(std::move(operation));
            }
        }
        for (const auto& operation : toQueue) {
            downloadQueue.addOperation(operation);
        }
    }

    // Cancels the downloads not yet handed to the queue (each answers its callers), then the
    // queue's.
    void cancelAll() {
        std::deque<std::shared_ptr<AbstractRemoteImageDownloaderOperation>> notHanded;
        {
            std::lock_guard lock(feedLock);
            notHanded = waiting;
        }
        for (const auto& operation : notHanded) {
            operation->cancel();
        }
        downloadQueue.cancelAllOperations();
        feed();
    }
};

RemoteImageDownloader::RemoteImageDownloader(const RemoteImageDownloaderConfig& config)
    : m_config(config), m_state(std::make_shared<State>()) {
    m_state->downloadQueue.setMaxConcurrentOperationCount(m_config.maxConcurrentDownloads);
    m_state->maxConcurrent = m_config.maxConcurrentDownloads;
    m_state->newestFirst = m_config.executionOrder == RemoteImageDownloaderExecutionOrder::LIFO;
    const QByteArray userAgent = defaultUserAgent();
    if (!userAgent.isEmpty()) {
        m_state->headers.emplace_back("User-Agent", userAgent);
    }
    m_state->headers.emplace_back("Accept", "image/*,*/*;q=0.8");
    m_state->session =
        std::make_shared<ImageSession>(m_config.sessionConfiguration.value_or(ImageSession::Configuration()), this);
}

RemoteImageDownloader::~RemoteImageDownloader() {
    m_state->cancelAll();
    // The session's thread stops here, so no session event reaches this object later.
    m_state->session.reset();
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
            state->session->stop();
        });
        return new std::shared_ptr<RemoteImageDownloader>(std::move(downloader));
    }();
    return *shared;
}

void RemoteImageDownloader::setMaxConcurrentDownloads(int count) {
    m_config.maxConcurrentDownloads = count;
    m_state->downloadQueue.setMaxConcurrentOperationCount(count);
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

void RemoteImageDownloader::setRequestModifier(std::shared_ptr<AbstractRemoteImageDownloaderRequestModifier> modifier) {
    std::lock_guard lock(m_state->modifiersLock);
    m_state->requestModifier = std::move(modifier);
}

std::shared_ptr<AbstractRemoteImageDownloaderResponseModifier> RemoteImageDownloader::responseModifier() const {
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

std::shared_ptr<RemoteImageDownloadToken> RemoteImageDownloader::downloadImage(const QUrl& url,
                                                                               RemoteImageDownloaderOptions options,
                                                                               const RemoteImageContext& context,
                                                                               ImageLoaderProgressBlock progress,
                                                                               ImageLoaderCompletedBlock completed) {
    if (url.isEmpty()) {
        if (completed) {
            completed(Image(), QByteArray(), ImageError(ImageErrorCode::InvalidURL, QStringLiteral("Image url is nil")),
                      true);
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
    const DecodeOptions decodeOptions = imageLoaderDecodeOptions(&context, imageOptionsFromDownloaderOptions(options),
                                                                 imageLoaderCacheKey(url, &context));
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
            m_state->urlOperations[key] = created;
            // The first caller is in place before the operation can run, so it can't
            // finish without anyone to tell.
            handlers = created->addHandlers(progress, completed, decodeOptions);
            std::lock_guard feedLock(m_state->feedLock);
            m_state->waiting.push_back(created);
        }
    }
    if (!joined) {
        m_state->feed();
    }
    return std::make_shared<RemoteImageDownloadToken>(operation, url, operation->request(), handlers);
}

std::shared_ptr<AbstractRemoteImageDownloaderOperation> RemoteImageDownloader::createDownloaderOperation(
    const QUrl& url, RemoteImageDownloaderOptions options, const RemoteImageContext& context) {
    ImageRequest request;
    request.url = url;
    // 0 (or anything that is no positive number of seconds) is the default.
    request.timeoutSeconds = m_config.downloadTimeout > 0 ? m_config.downloadTimeout : 15.0;
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
    return m_state->downloadQueue.operationCount() + static_cast<int>(m_state->waiting.size());
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

RemoteImageOptions RemoteImageDownloader::imageOptionsFromDownloaderOptions(RemoteImageDownloaderOptions options) {
    return images::imageOptionsFromDownloaderOptions(options);
}

RemoteImageDownloaderOptions RemoteImageDownloader::downloaderOptionsFromImageOptions(
    RemoteImageOptions options, const RemoteImageContext& context) {
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

std::shared_ptr<RemoteImageOperation> RemoteImageDownloader::requestImage(const QUrl& url, RemoteImageOptions options,
                                                                          const RemoteImageContext& context,
                                                                          ImageLoaderProgressBlock progress,
                                                                          ImageLoaderCompletedBlock completed) {
    return downloadImage(url, downloaderOptionsFromImageOptions(options, context), context, std::move(progress),
                         std::move(completed));
}

bool RemoteImageDownloader::shouldBlockFailedURL(const QUrl&, const ImageError& error, RemoteImageOptions,
                                                 const RemoteImageContext&) {
    if (error.errorDomain() == QString(ImageError::domain)) {
        // Too large is what the answer is, not what befell it.
        if (error.is(ImageErrorCode::InvalidDownloadResponse) &&
            error.userInfo().contains(QString(ImageError::downloadLimitKey))) {
            return true;
        }
        if (error.is(ImageErrorCode::BadImageData)) {
            // A document is refused for what it is, never for the load it met.
            return !error.userInfo().value(QString(ImageError::decodeWithoutDrawingKey)).toBool();
        }
        return error.is(ImageErrorCode::InvalidURL);
    }
    if (error.errorDomain() == QString(ImageSession::urlErrorDomain)) {
        // Failures that may pass by themselves are tried again.
        static constexpr int transient[] = {-1009, -999, -1001, -1018, -1020, -1003, -1004, -1005};
        return std::find(std::begin(transient), std::end(transient), error.code()) == std::end(transient);
    }
    return false;
}

// --- session events --------------------------------------------------------------------------

std::shared_ptr<AbstractRemoteImageDownloaderOperation> RemoteImageDownloader::operationWithTask(
    const ImageDataTask& task) const {
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
        QStringLiteral("%1/%2 (%3)").arg(name, version.isEmpty() ? QStringLiteral("1.0") : version,
                                         QSysInfo::prettyProductName());
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
