#include "images/download/RemoteImageDownloaderOperation.h"

#include "images/cache/ImageCacheDecoding.h"
#include "images/core/CallbackQueue.h"
#include "images/core/DecodeAttempt.h"
#include "images/core/DispatchQueue.h"
#include "images/core/ImageFormat.h"
#include "images/download/AbstractRemoteImageDownloaderDecryptor.h"
#include "images/download/AbstractRemoteImageDownloaderResponseModifier.h"
#include "images/download/DecodeLanes.h"
#include "images/download/ImageLoader.h"
#include "images/download/RemoteImageDownloadNotifications.h"
#include "platform/notifications/NotificationCenter.h"

#include <QThreadPool>

#include <algorithm>

namespace velmora::images {

namespace {

ImageError cancelledError(const char* message) {
    return ImageError(ImageErrorCode::Cancelled, QString::fromLatin1(message));
}

// Two callers want the same decoded image when their options agree; the context each
// brought along for the coders is not part of that question.
bool sameDecodeOptions(DecodeOptions a, DecodeOptions b) {
    a.remoteImageContext.reset();
    b.remoteImageContext.reset();
    return a == b;
}

// Bytes that are no picture (a portal's page, a server's error text, nothing at all) fail to
// decode for what the network answered, not for what the image is: tried again after a delay.
ImageError notAPictureError(const QString& message) {
    return ImageError(ImageErrorCode::BadImageData, message,
                      {{QString(RemoteImageDownloaderOperation::notAPictureKey), true},
                       {QString(ImageError::notNowKey), true}});
}

// Why a decode gave no image: the document's fault (refused for the run, or for a growing delay
// when its drawing ended its drawing process), unless no drawing could be made for it now or the
// bytes are no picture at all.
ImageError decodeFailure(const DecodeAttempt& attempt, const QByteArray& data) {
    if (attempt.ranOutOfBudget()) {
        return ImageError(ImageErrorCode::BadImageData,
                          QStringLiteral("Downloaded image decode failed: drawing it ran out of its budget"));
    }
    if (attempt.drawingEnded()) {
        return ImageError(
            ImageErrorCode::BadImageData,
            QStringLiteral("Downloaded image decode failed: drawing it ended its drawing process"),
            {{QString(ImageError::drawingEndedKey), true}, {QString(ImageError::notNowKey), true}});
    }
    if (attempt.hadNoDrawing()) {
        return ImageError(
            ImageErrorCode::BadImageData,
            QStringLiteral("Downloaded image decode failed: no drawing could be made for it now"),
            {{QString(ImageError::decodeWithoutDrawingKey), true}, {QString(ImageError::notNowKey), true}});
    }
    if (imageFormatForImageData(data) == ImageFormat::Undefined) {
        return notAPictureError(QStringLiteral("Downloaded image decode failed"));
    }
    return ImageError(ImageErrorCode::BadImageData, QStringLiteral("Downloaded image decode failed"));
}

// The decode never ran: newer decodes needed its room, or the image library is being torn down.
// Nothing is said of the document, which is downloaded and decoded again when asked again.
ImageError notDecodedError() {
    return ImageError(
        ImageErrorCode::BadImageData, QStringLiteral("Downloaded image not decoded now"),
        {{QString(ImageError::decodeWithoutDrawingKey), true}, {QString(ImageError::notNowKey), true}});
}

bool holds(const std::vector<std::shared_ptr<RemoteImageDownloaderOperationToken>>& tokens,
           const std::shared_ptr<RemoteImageDownloaderOperationToken>& token) {
    return std::find(tokens.begin(), tokens.end(), token) != tokens.end();
}

} // namespace

RemoteImageDownloaderOperation::RemoteImageDownloaderOperation(ImageRequest request,
                                                               std::weak_ptr<ImageSession> session,
                                                               RemoteImageDownloaderOptions options,
                                                               RemoteImageContext context)
    : m_request(std::move(request)), m_options(options), m_context(std::move(context)),
      m_responseModifier(m_context.downloadResponseModifier.hasValue()
                             ? m_context.downloadResponseModifier.value()
                             : nullptr),
      m_decryptor(m_context.downloadDecryptor.hasValue() ? m_context.downloadDecryptor.value() : nullptr),
      m_unownedSession(std::move(session)),
      m_coderQueue(QStringLiteral("velmora.images.RemoteImageDownloaderOperation.coderQueue"), 1),
      m_asked(DecodeLanes::askedNow()) {}

RemoteImageDownloaderOperation::~RemoteImageDownloaderOperation() = default;

RemoteImageDownloaderOperationFactory RemoteImageDownloaderOperation::factory() {
    return [](const ImageRequest& request, const std::shared_ptr<ImageSession>& session,
              RemoteImageDownloaderOptions options, const RemoteImageContext& context) {
        return std::make_shared<RemoteImageDownloaderOperation>(request, session, options, context);
    };
}

bool RemoteImageDownloaderOperation::shouldContinueWhenAppEntersBackground() const {
    return (m_options & RemoteImageDownloaderContinueInBackground) != 0;
}

// --- callers ------------------------------------------------------------------------

std::shared_ptr<RemoteImageDownloaderOperationToken>
RemoteImageDownloaderOperation::addHandlers(ImageLoaderProgressBlock progress,
                                            ImageLoaderCompletedBlock completed,
                                            std::optional<DecodeOptions> decodeOptions) {
    if (!progress && !completed && !decodeOptions) {
        return nullptr;
    }
    auto token = std::make_shared<RemoteImageDownloaderOperationToken>();
    token->progressBlock = std::move(progress);
    token->completedBlock = std::move(completed);
    token->decodeOptions = std::move(decodeOptions);
    std::lock_guard lock(m_lock);
    // The callers have been answered for the last time: a late one needs an operation of
    // its own.
    if (m_closed) {
        return nullptr;
    }
    m_callbackTokens.push_back(token);
    return token;
}

bool RemoteImageDownloaderOperation::cancel(
    const std::shared_ptr<RemoteImageDownloaderOperationToken>& token) {
    if (!token) {
        return false;
    }
    bool whole = false;
    bool removed = false;
    {
        std::lock_guard lock(m_lock);
        if (m_callbackTokens.size() == 1 && m_callbackTokens.front() == token) {
            whole = true;
        } else {
            removed = std::erase(m_callbackTokens, token) > 0;
        }
    }
    if (whole) {
        cancel();
        return true;
    }
    // A token that is no longer listed has had (or is having) its completion already.
    if (removed) {
        callCompletionBlock(token, Image(), QByteArray(),
                            cancelledError("Operation cancelled by user during sending the request"), true);
    }
    return false;
}

RemoteImageDownloaderOperation::TokenList RemoteImageDownloaderOperation::snapshotTokens() const {
    std::lock_guard lock(m_lock);
    return m_callbackTokens;
}

void RemoteImageDownloaderOperation::callCompletionBlocks(const TokenList& tokens, const Image& image,
                                                          const QByteArray& data, const ImageError& error,
                                                          bool finished) const {
    for (const auto& token : tokens) {
        callCompletionBlock(token, image, data, error, finished);
    }
}

void RemoteImageDownloaderOperation::callCompletionBlock(
    const std::shared_ptr<RemoteImageDownloaderOperationToken>& token, const Image& image,
    const QByteArray& data, const ImageError& error, bool finished) const {
    if (!token || !token->completedBlock) {
        return;
    }
    if (finished && token->finishDelivered.exchange(true)) {
        return;
    }
    const auto queue = m_context.callbackQueue.hasValue() && m_context.callbackQueue.value()
                           ? m_context.callbackQueue.value()
                           : CallbackQueue::mainQueue();
    queue->async([block = token->completedBlock, image, data, error, finished] {
        block(image, data, error, finished);
    });
}

void RemoteImageDownloaderOperation::callProgressBlocks(const TokenList& tokens, qint64 received,
                                                        qint64 expected) const {
    for (const auto& token : tokens) {
        if (token->progressBlock) {
            token->progressBlock(received, expected, m_request.url);
        }
    }
}

void RemoteImageDownloaderOperation::postOnMain(QLatin1String name) {
    std::shared_ptr<AbstractRemoteImageDownloaderOperation> self =
        std::static_pointer_cast<AbstractRemoteImageDownloaderOperation>(
            std::static_pointer_cast<RemoteImageDownloaderOperation>(shared_from_this()));
    DispatchQueue::main().async(
        [name, self] { NotificationCenter::defaultCenter().post(QString(name), std::any(self)); });
}

// --- start and cancel --------------------------------------------------------------------

void RemoteImageDownloaderOperation::start() {
    // The URL cache is asked before the lock is taken: the session answers on its network
    // thread, which may be waiting for this lock to deliver an event.
    std::shared_ptr<ImageSession> session = m_unownedSession.lock();
    if (!session && !isCancelled()) {
        // Without the downloader's session the operation makes one of its own, with itself
        // as the receiver of its events.
        ImageSession::Configuration configuration;
        configuration.requestTimeoutSeconds = 15.0;
        session = std::make_shared<ImageSession>(configuration, this);
        std::lock_guard lock(m_lock);
        m_ownedSession = session;
    }
    std::optional<ImageSession::CachedResponse> cached;
    if (session && !isCancelled() && (m_options & RemoteImageDownloaderIgnoreCachedResponse)) {
        cached = session->cachedResponse(m_request.url);
    }

    TokenList tokens;
    ImageError failure;
    std::shared_ptr<ImageDataTask> task;
    {
        std::lock_guard lock(m_lock);
        if (isCancelled()) {
            failure = cancelledError("Operation cancelled by user before sending the request");
        } else if (!session || !session->delegate()) {
            failure = ImageError(ImageErrorCode::InvalidDownloadOperation,
                                 QStringLiteral("Session delegate is nil and invalid"));
        } else {
            if (cached) {
                m_cachedData = cached->data;
                m_response = cached->response;
            }
            // The session ends the transfer where the bytes pass the bound, before they are handed on.
            ImageRequest request = m_request;
            request.maximumBodyBytes = m_maximumDataSize;
            task = session->dataTask(request, (m_options & RemoteImageDownloaderUseURLCache) != 0);
            if (!task) {
                failure = ImageError(ImageErrorCode::InvalidDownloadOperation,
                                     QStringLiteral("Task can't be initialized"));
            } else {
                m_dataTask = task;
                setExecuting(true);
            }
        }
        tokens = m_callbackTokens;
        m_closed = !failure.isNull();
    }
    if (!failure.isNull()) {
        markFinished();
        callCompletionBlocks(tokens, Image(), QByteArray(), failure, true);
        reset();
        return;
    }
    if (m_options & RemoteImageDownloaderHighPriority) {
        task->setPriority(ImageDataTask::Priority::High);
    } else if (m_options & RemoteImageDownloaderLowPriority) {
        task->setPriority(ImageDataTask::Priority::Low);
    }
    // Told before the transfer runs: a fast answer's events (response, stop) come after it, and
    // so does the start of the next download of a limited queue.
    callProgressBlocks(tokens, 0, -1);
    postOnMain(RemoteImageDownloadNotifications::start);
    task->resume();
}

void RemoteImageDownloaderOperation::cancel() {
    endEarly(cancelledError("Operation cancelled by user during sending the request"), false);
}

void RemoteImageDownloaderOperation::endNotNow(const ImageError& error) {
    {
        std::lock_guard lock(m_lock);
        // Its bytes are in: it holds no place any more and decodes for its callers.
        if (m_downloadCompleted) {
            return;
        }
    }
    endEarly(error, true);
}

void RemoteImageDownloaderOperation::endEarly(const ImageError& error, bool outcome) {
    TokenList tokens;
    std::shared_ptr<ImageDataTask> task;
    bool wasExecuting = false;
    {
        std::lock_guard lock(m_lock);
        // Out of its queue while it decodes, the operation still answers a cancel.
        if (m_answered || m_cancelHandled) {
            return;
        }
        m_cancelHandled = true;
        m_closed = true;
        tokens = m_callbackTokens;
        task = std::exchange(m_dataTask, nullptr);
        wasExecuting = isExecuting();
    }
    markCancelled();
    postOnMain(RemoteImageDownloadNotifications::stop);
    if (task) {
        task->cancel();
    }
    // An operation that has not started stays unfinished: its queue starts it later and
    // it finishes at once.
    if (wasExecuting) {
        markFinished();
    }
    if (outcome) {
        reportOutcome(error);
    }
    callCompletionBlocks(tokens, Image(), QByteArray(), error, true);
    reset();
}

void RemoteImageDownloaderOperation::reportOutcome(const ImageError& error) {
    std::function<void(const ImageError&)> block;
    {
        std::lock_guard lock(m_lock);
        block = m_outcomeBlock;
    }
    if (block && !m_outcomeReported.exchange(true)) {
        block(error);
    }
}

void RemoteImageDownloaderOperation::done() {
    markFinished();
    reset();
}

void RemoteImageDownloaderOperation::reset() {
    std::shared_ptr<ImageSession> owned;
    std::function<void()> closed;
    // Room its bytes never took is let go outside the lock: the lanes tell their listeners.
    std::shared_ptr<DecodeLanes::Hold> hold;
    {
        std::lock_guard lock(m_lock);
        m_answered = true;
        m_callbackTokens.clear();
        m_dataTask.reset();
        owned = std::exchange(m_ownedSession, nullptr);
        closed = std::exchange(m_closedBlock, nullptr);
        hold = std::exchange(m_hold, nullptr);
    }
    if (closed) {
        closed();
    }
    if (owned) {
        owned->invalidate(true);
        // A session stops its network thread when it goes, which it can't do from that very
        // thread (where the last event of a download arrives): it goes on a worker instead.
        QThreadPool::globalInstance()->start([owned = std::move(owned)]() mutable { owned.reset(); });
    }
}

// --- session events ------------------------------------------------------------------------

void RemoteImageDownloaderOperation::didReceiveResponse(ImageDataTask& task, const ImageResponse& incoming,
                                                        const std::function<void(bool allow)>& completion) {
    Q_UNUSED(task);
    bool valid = true;
    ImageError error;
    std::optional<ImageResponse> response = incoming;
    if (m_responseModifier) {
        response = m_responseModifier->modifiedResponse(incoming);
        if (!response) {
            error = ImageError(ImageErrorCode::InvalidDownloadResponse,
                               QStringLiteral("Download marked as failed because response is nil"));
            valid = false;
        }
    }
    const qint64 announced = response ? response->expectedContentLength() : -1;
    const qint64 expected = std::max<qint64>(announced, 0);

    std::optional<QSet<int>> statusCodes;
    std::optional<QSet<QByteArray>> contentTypes;
    qint64 ceiling = 0;
    bool haveCachedData = false;
    {
        std::lock_guard lock(m_lock);
        statusCodes = m_acceptableStatusCodes;
        contentTypes = m_acceptableContentTypes;
        ceiling = m_maximumDataSize;
        haveCachedData = m_cachedData.has_value();
    }
    const QVariant responseValue = response ? QVariant::fromValue(*response) : QVariant();
    const int status = response && response->isHttp() ? response->statusCode : 0;
    if (valid && status > 0 && statusCodes && !statusCodes->contains(status)) {
        error =
            ImageError(ImageErrorCode::InvalidDownloadStatusCode,
                       QStringLiteral("Download marked as failed because of invalid response status code %1")
                           .arg(status),
                       {{QString(ImageError::downloadStatusCodeKey), status},
                        {QString(ImageError::downloadResponseKey), responseValue}});
        valid = false;
    }
    const QByteArray mimeType = response ? response->mimeType() : QByteArray();
    if (valid && !mimeType.isEmpty() && contentTypes && !contentTypes->contains(mimeType)) {
        error =
            ImageError(ImageErrorCode::InvalidDownloadContentType,
                       QStringLiteral("Download marked as failed because of invalid response content type %1")
                           .arg(QString::fromLatin1(mimeType)),
                       {{QString(ImageError::downloadContentTypeKey), QString::fromLatin1(mimeType)},
                        {QString(ImageError::downloadResponseKey), responseValue}});
        valid = false;
    }
    if (valid && status == 304 && !haveCachedData) {
        error = ImageError(ImageErrorCode::CacheNotModified,
                           QStringLiteral("Download response status code is 304 not modified and ignored"),
                           {{QString(ImageError::downloadResponseKey), responseValue}});
        valid = false;
    }
    // An answer that announces more than the ceiling is refused before any byte is kept.
    if (valid && ceiling > 0 && announced > ceiling) {
        error = ImageError(
            ImageErrorCode::InvalidDownloadResponse,
            QStringLiteral("Download marked as failed because the response is larger than %1 bytes")
                .arg(ceiling),
            {{QString(ImageError::downloadResponseKey), responseValue},
             {QString(ImageError::downloadLimitKey), ceiling}});
        valid = false;
    }
    TokenList tokens;
    {
        std::lock_guard lock(m_lock);
        m_expectedSize = expected;
        m_response = response;
        if (!error.isNull()) {
            m_responseError = error;
        }
        tokens = m_callbackTokens;
    }
    if (valid) {
        callProgressBlocks(tokens, 0, expected);
    }
    postOnMain(RemoteImageDownloadNotifications::receiveResponse);
    completion(valid);
}

void RemoteImageDownloaderOperation::didReceiveData(ImageDataTask& task, const QByteArray& data) {
    TokenList tokens;
    qint64 received = 0;
    qint64 expected = 0;
    bool overCeiling = false;
    bool report = true;
    bool finished = false;
    QByteArray snapshot;
    bool progressive = false;
    {
        std::lock_guard lock(m_lock);
        if (m_imageData.isEmpty() && m_imageData.capacity() == 0) {
            // A server's Content-Length is a claim, not a fact: never reserve more than a
            // bounded amount on its word.
            m_imageData.reserve(std::min(m_expectedSize, maximumReserve));
        }
        if (m_overCeiling) {
            return; // ended already; the rest is dropped where it arrives
        }
        if (m_maximumDataSize > 0 && m_imageData.size() + data.size() > m_maximumDataSize) {
            m_overCeiling = true;
            overCeiling = true;
            m_responseError = ImageError(
                ImageErrorCode::InvalidDownloadResponse,
                QStringLiteral("Download marked as failed because the response is larger than %1 bytes")
                    .arg(m_maximumDataSize),
                {{QString(ImageError::downloadLimitKey), m_maximumDataSize}});
            m_imageData.clear();
            m_imageData.squeeze();
        } else {
            m_imageData.append(data);
            m_receivedSize = m_imageData.size();
        }
        received = m_receivedSize;
        expected = m_expectedSize;
        tokens = m_callbackTokens;
        if (!overCeiling && expected > 0) {
            finished = received >= expected;
            const double fraction = static_cast<double>(received) / static_cast<double>(expected);
            if (!finished && fraction - m_previousProgress < m_minimumProgressInterval) {
                report = false;
            } else {
                m_previousProgress = fraction;
            }
        }
        progressive = report && expected > 0 && !finished &&
                      (m_options & RemoteImageDownloaderProgressiveLoad) && !m_decryptor &&
                      m_coderQueue.operationCount() == 0;
        if (progressive) {
            snapshot = m_imageData;
        }
    }
    if (overCeiling) {
        task.cancel();
        return;
    }
    if (expected == 0) {
        callProgressBlocks(tokens, received, 0);
        return;
    }
    if (!report) {
        return;
    }
    if (progressive) {
        std::weak_ptr<RemoteImageDownloaderOperation> weakSelf =
            std::static_pointer_cast<RemoteImageDownloaderOperation>(shared_from_this());
        m_coderQueue.addOperation([weakSelf, snapshot] {
            const auto self = weakSelf.lock();
            if (!self) {
                return;
            }
            {
                std::lock_guard lock(self->m_lock);
                if (self->isCancelled() || self->m_downloadCompleted) {
                    return;
                }
            }
            const Image image = imageLoaderDecodeProgressiveImageData(
                snapshot, self->m_request.url, false, *self,
                imageOptionsFromDownloaderOptions(self->m_options), &self->m_context);
            if (image) {
                self->callCompletionBlocks(self->snapshotTokens(), image, QByteArray(), ImageError(), false);
            }
        });
    }
    callProgressBlocks(tokens, received, expected);
}

std::optional<ImageCredential>
RemoteImageDownloaderOperation::credentialForChallenge(ImageDataTask& task, int previousFailureCount) {
    Q_UNUSED(task);
    if (previousFailureCount != 0) {
        return std::nullopt;
    }
    return credential();
}

void RemoteImageDownloaderOperation::didFinishCollectingMetrics(ImageDataTask& task,
                                                                const ImageTaskMetrics& metrics) {
    Q_UNUSED(task);
    std::lock_guard lock(m_lock);
    m_metrics = metrics;
}

ImageError RemoteImageDownloaderOperation::responseErrorOr(const ImageError& error) const {
    std::lock_guard lock(m_lock);
    return m_responseError.isNull() ? error : m_responseError;
}

ImageError RemoteImageDownloaderOperation::failureOf(const ImageError& transferError) const {
    const ImageError error = responseErrorOr(transferError);
    if (error.errorDomain() != QString(ImageSession::urlErrorDomain)) {
        return error;
    }
    if (error.code() == ImageSession::DataLengthExceedsMaximum) {
        // Too large is what the answer is: the same refusal as an announced length past the bound.
        const qint64 ceiling = maximumDataSize();
        return ImageError(
            ImageErrorCode::InvalidDownloadResponse,
            QStringLiteral("Download marked as failed because the response is larger than %1 bytes")
                .arg(ceiling),
            {{QString(ImageError::downloadLimitKey), ceiling}});
    }
    // A transfer that failed (timed out, broke off, found no resources, no host, an address or a
    // redirect refused, a head past its bounds) says nothing of the image: not drawn now, and tried
    // again after a delay, since a network that answered wrongly may answer rightly later. Only a
    // URL no transfer can take stays as it is.
    const bool passing = error.code() != ImageSession::Cancelled && error.code() != ImageSession::BadURL &&
                         error.code() != ImageSession::UnsupportedURL;
    if (passing) {
        QVariantMap userInfo = error.userInfo();
        userInfo.insert(QString(ImageError::notNowKey), true);
        return ImageError(error.errorDomain(), error.code(), error.message(), userInfo);
    }
    return error;
}

void RemoteImageDownloaderOperation::didComplete(ImageDataTask& task, const ImageError& error) {
    Q_UNUSED(task);
    if (isFinished()) {
        return;
    }
    TokenList tokens;
    QByteArray data;
    std::optional<ImageResponse> response;
    std::optional<QByteArray> cachedData;
    {
        std::lock_guard lock(m_lock);
        if (m_cancelHandled) {
            return;
        }
        m_downloadCompleted = true;
        m_dataTask.reset();
        // From here the bytes are held once, by whatever decodes them, and go with it.
        data = std::exchange(m_imageData, QByteArray());
        response = m_response;
        cachedData = m_cachedData;
        if (!error.isNull()) {
            m_closed = true;
            tokens = m_callbackTokens;
        }
    }
    // The callers as they are now, with nobody joining any more.
    auto closeAndTakeTokens = [this] {
        std::lock_guard lock(m_lock);
        m_closed = true;
        return m_callbackTokens;
    };
    postOnMain(RemoteImageDownloadNotifications::stop);
    if (error.isNull()) {
        postOnMain(RemoteImageDownloadNotifications::finish);
    }
    if (!error.isNull()) {
        const ImageError failure = failureOf(error);
        reportOutcome(failure);
        callCompletionBlocks(tokens, Image(), QByteArray(), failure, true);
        done();
        return;
    }
    if (m_decryptor) {
        data = m_decryptor->decryptedData(data, response).value_or(QByteArray());
    }
    if (data.isEmpty()) {
        tokens = closeAndTakeTokens();
        const ImageError failure = notAPictureError(QStringLiteral("Image data is nil"));
        reportOutcome(failure);
        callCompletionBlocks(tokens, Image(), QByteArray(), failure, true);
        done();
        return;
    }
    if ((m_options & RemoteImageDownloaderIgnoreCachedResponse) && cachedData && *cachedData == data) {
        const ImageError notModified(ImageErrorCode::CacheNotModified,
                                     QStringLiteral("Downloaded image is not modified and ignored"),
                                     {{QString(ImageError::downloadResponseKey),
                                       response ? QVariant::fromValue(*response) : QVariant()}});
        {
            std::lock_guard lock(m_lock);
            m_responseError = notModified;
        }
        tokens = closeAndTakeTokens();
        callCompletionBlocks(tokens, Image(), QByteArray(), notModified, true);
        done();
        return;
    }
    {
        std::lock_guard lock(m_lock);
        tokens = m_callbackTokens;
        m_closed = tokens.empty();
    }
    if (tokens.empty()) {
        done();
        return;
    }
    // A partial decode still waiting would only show less than the final image.
    m_coderQueue.cancelAllOperations();
    // The bytes are in: the download's place goes to the next download, whatever decoding them
    // costs. Callers may still join until they are all answered.
    markFinished();
    startCoderOperation(data, tokens, {});
}

// --- decoding ------------------------------------------------------------------------------

Image RemoteImageDownloaderOperation::decodedImage(const QByteArray& data,
                                                   const std::optional<DecodeOptions>& decodeOptions) {
    if (decodeOptions) {
        std::lock_guard lock(m_imageMapMutex);
        for (const auto& [options, image] : m_imageMap) {
            if (sameDecodeOptions(options, *decodeOptions)) {
                return image;
            }
        }
    }
    RemoteImageOptions imageOptions = imageOptionsFromDownloaderOptions(m_options);
    RemoteImageContext context = m_context;
    if (decodeOptions) {
        contextFromDecodeOptions(context, imageOptions, *decodeOptions);
    }
    Image image =
        progressiveCoder()
            ? imageLoaderDecodeProgressiveImageData(data, m_request.url, true, *this, imageOptions, &context)
            : imageLoaderDecodeImageData(data, m_request.url, imageOptions, &context);
    if (image && decodeOptions) {
        std::lock_guard lock(m_imageMapMutex);
        m_imageMap.emplace_back(*decodeOptions, image);
    }
    return image;
}

void RemoteImageDownloaderOperation::startCoderOperation(const QByteArray& data, const TokenList& pending,
                                                         const TokenList& finished) {
    std::weak_ptr<RemoteImageDownloaderOperation> weakSelf =
        std::static_pointer_cast<RemoteImageDownloaderOperation>(shared_from_this());
    TokenList all = finished;
    all.insert(all.end(), pending.begin(), pending.end());
    std::shared_ptr<DecodeLanes> lanes;
    std::shared_ptr<DecodeLanes::Hold> hold;
    {
        std::lock_guard lock(m_lock);
        lanes = m_lanes;
        hold = std::exchange(m_hold, nullptr);
    }
    (lanes ? *lanes : DecodeLanes::shared())
        .submit(
            [weakSelf, data, pending, all](DecodeLanes::Lane lane) {
                const auto self = weakSelf.lock();
                if (!self) {
                    return true;
                }
                const bool quick = lane == DecodeLanes::Lane::Quick;
                for (const auto& token : pending) {
                    // Answered already: by a cancel, or by the quick try before this one.
                    if (token->finishDelivered.load()) {
                        continue;
                    }
                    if (lane == DecodeLanes::Lane::None) {
                        // The bytes go with the answer: whoever keeps them need not download them again.
                        self->reportOutcome(notDecodedError());
                        self->callCompletionBlock(token, Image(), data, notDecodedError(), true);
                        continue;
                    }
                    const DecodeAttempt attempt;
                    const Image image = self->decodedImage(data, token->decodeOptions);
                    if (!image && quick && attempt.gaveUpAtQuickLimit()) {
                        return false; // costly: the rest is decoded in the costly pool
                    }
                    if (!image) {
                        const ImageError failure = decodeFailure(attempt, data);
                        self->reportOutcome(failure);
                        // A document whose drawing ended its process goes with its bytes: the
                        // cache keeps them with the refusal, and they are not downloaded again.
                        const bool ended = failure.value(ImageError::drawingEndedKey).toBool();
                        self->callCompletionBlock(token, Image(), ended ? data : QByteArray(), failure, true);
                    } else if (image.size().width() <= 0 || image.size().height() <= 0) {
                        self->callCompletionBlock(token, Image(), QByteArray(),
                                                  ImageError(ImageErrorCode::BadImageData,
                                                             QStringLiteral("Downloaded image has 0 pixels")),
                                                  true);
                    } else {
                        self->reportOutcome(ImageError());
                        self->callCompletionBlock(token, image, data, ImageError(), true);
                    }
                }
                self->checkDone(data, all);
                return true;
            },
            data.size(), m_asked, hold);
}

void RemoteImageDownloaderOperation::checkDone(const QByteArray& data, const TokenList& finished) {
    TokenList pending;
    {
        std::lock_guard lock(m_lock);
        for (const auto& token : m_callbackTokens) {
            if (!holds(finished, token)) {
                pending.push_back(token);
            }
        }
        m_closed = pending.empty();
    }
    if (!pending.empty()) {
        // Callers that joined while the bytes were being decoded.
        startCoderOperation(data, pending, finished);
    } else {
        done();
    }
}

// --- settings --------------------------------------------------------------------------------

std::optional<ImageResponse> RemoteImageDownloaderOperation::response() const {
    std::lock_guard lock(m_lock);
    return m_response;
}

std::shared_ptr<ImageDataTask> RemoteImageDownloaderOperation::dataTask() const {
    std::lock_guard lock(m_lock);
    return m_dataTask;
}

std::optional<ImageTaskMetrics> RemoteImageDownloaderOperation::metrics() const {
    std::lock_guard lock(m_lock);
    return m_metrics;
}

bool RemoteImageDownloaderOperation::isDownloadCompleted() const {
    std::lock_guard lock(m_lock);
    return m_downloadCompleted;
}

qint64 RemoteImageDownloaderOperation::receiveBufferCapacity() const {
    std::lock_guard lock(m_lock);
    return m_imageData.capacity();
}

std::optional<ImageCredential> RemoteImageDownloaderOperation::credential() const {
    std::lock_guard lock(m_lock);
    return m_credential;
}

void RemoteImageDownloaderOperation::setCredential(std::optional<ImageCredential> credential) {
    std::lock_guard lock(m_lock);
    m_credential = std::move(credential);
}

double RemoteImageDownloaderOperation::minimumProgressInterval() const {
    std::lock_guard lock(m_lock);
    return m_minimumProgressInterval;
}

void RemoteImageDownloaderOperation::setMinimumProgressInterval(double interval) {
    std::lock_guard lock(m_lock);
    m_minimumProgressInterval = std::clamp(interval, 0.0, 1.0);
}

std::optional<QSet<int>> RemoteImageDownloaderOperation::acceptableStatusCodes() const {
    std::lock_guard lock(m_lock);
    return m_acceptableStatusCodes;
}

void RemoteImageDownloaderOperation::setAcceptableStatusCodes(std::optional<QSet<int>> codes) {
    std::lock_guard lock(m_lock);
    m_acceptableStatusCodes = std::move(codes);
}

std::optional<QSet<QByteArray>> RemoteImageDownloaderOperation::acceptableContentTypes() const {
    std::lock_guard lock(m_lock);
    return m_acceptableContentTypes;
}

void RemoteImageDownloaderOperation::setAcceptableContentTypes(std::optional<QSet<QByteArray>> types) {
    std::lock_guard lock(m_lock);
    m_acceptableContentTypes = std::move(types);
}

qint64 RemoteImageDownloaderOperation::maximumDataSize() const {
    std::lock_guard lock(m_lock);
    return m_maximumDataSize;
}

void RemoteImageDownloaderOperation::setMaximumDataSize(qint64 bytes) {
    std::lock_guard lock(m_lock);
    m_maximumDataSize = std::max<qint64>(bytes, 0);
}

void RemoteImageDownloaderOperation::setDecodeLanes(std::shared_ptr<DecodeLanes> lanes) {
    std::lock_guard lock(m_lock);
    m_lanes = std::move(lanes);
}

void RemoteImageDownloaderOperation::setDecodeHold(std::shared_ptr<DecodeLanes::Hold> hold) {
    // Let go after the lock (see reset); an operation answered already hands no bytes in.
    std::shared_ptr<DecodeLanes::Hold> previous;
    std::lock_guard lock(m_lock);
    previous = std::exchange(m_hold, m_answered ? nullptr : std::move(hold));
}

void RemoteImageDownloaderOperation::setOutcomeBlock(std::function<void(const ImageError&)> block) {
    std::lock_guard lock(m_lock);
    m_outcomeBlock = std::move(block);
}

qint64 RemoteImageDownloaderOperation::receivedBytes() const {
    std::lock_guard lock(m_lock);
    return m_receivedSize;
}

void RemoteImageDownloaderOperation::setClosedBlock(std::function<void()> block) {
    {
        std::lock_guard lock(m_lock);
        if (!m_answered) {
            m_closedBlock = std::move(block);
            return;
        }
    }
    if (block) {
        block();
    }
}

} // namespace velmora::images
