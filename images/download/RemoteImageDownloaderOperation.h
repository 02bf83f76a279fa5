#pragma once

#include "images/core/Image.h"
#include "images/core/OperationQueue.h"
#include "images/download/AbstractRemoteImageDownloaderOperation.h"
#include "images/download/DecodeLanes.h"

#include <QByteArray>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace velmora::images {

class AbstractRemoteImageDownloaderDecryptor;
class AbstractRemoteImageDownloaderResponseModifier;

// One download of one request for any number of callers: it checks the answer (status,
// MIME type, not-modified), collects the bytes, reports throttled progress, decodes
// partial images when asked and, at the end, decrypts the bytes and decodes them once
// per distinct set of decode options in the shared decode lanes (DecodeLanes), out of the
// downloader's queue by then: a slow decode holds no download's place. Completions
// run on each caller's callback queue; no caller code runs under the operation's lock.
class RemoteImageDownloaderOperation : public AbstractRemoteImageDownloaderOperation {
public:
    // The most the receive buffer reserves up front, whatever the answer announces.
    static constexpr qint64 maximumReserve = 1024 * 1024;
    // Marks a decode failure of bytes that are no picture at all (an HTML page, an error text,
    // nothing): what a sign-in portal or a failing server answers, which passes.
    static constexpr QLatin1String notAPictureKey{"VelmoraRemoteImageErrorNotAPictureKey"};

    RemoteImageDownloaderOperation(ImageRequest request, std::weak_ptr<ImageSession> session,
                                   RemoteImageDownloaderOptions options, RemoteImageContext context = {});
    ~RemoteImageDownloaderOperation() override;

    static RemoteImageDownloaderOperationFactory factory();

    bool isAsynchronous() const override { return true; }
    bool shouldContinueWhenAppEntersBackground() const;
    void start() override;
    void cancel() override;

    std::shared_ptr<RemoteImageDownloaderOperationToken>
    addHandlers(ImageLoaderProgressBlock progress, ImageLoaderCompletedBlock completed,
                std::optional<DecodeOptions> decodeOptions = std::nullopt) override;
    bool cancel(const std::shared_ptr<RemoteImageDownloaderOperationToken>& token) override;

    ImageRequest request() const override { return m_request; }
    std::optional<ImageResponse> response() const override;
    std::shared_ptr<ImageDataTask> dataTask() const override;
    std::optional<ImageTaskMetrics> metrics() const override;
    RemoteImageDownloaderOptions options() const { return m_options; }
    const RemoteImageContext& context() const { return m_context; }
    bool isDownloadCompleted() const;
    // The bytes the receive buffer has room for now.
    qint64 receiveBufferCapacity() const;

    std::optional<ImageCredential> credential() const;
    void setCredential(std::optional<ImageCredential> credential) override;
    double minimumProgressInterval() const;
    void setMinimumProgressInterval(double interval) override;
    std::optional<QSet<int>> acceptableStatusCodes() const;
    void setAcceptableStatusCodes(std::optional<QSet<int>> codes) override;
    std::optional<QSet<QByteArray>> acceptableContentTypes() const;
    void setAcceptableContentTypes(std::optional<QSet<QByteArray>> types) override;
    // A body larger than this ends the download with an error; 0 means no limit.
    qint64 maximumDataSize() const;
    void setMaximumDataSize(qint64 bytes) override;
    void setClosedBlock(std::function<void()> block) override;
    // Where the bytes decode; none: the shared lanes.
    void setDecodeLanes(std::shared_ptr<DecodeLanes> lanes);
    // Room held in those lanes for the bytes, handed in with them (let go if they never come).
    void setDecodeHold(std::shared_ptr<DecodeLanes::Hold> hold);
    void setOutcomeBlock(std::function<void(const ImageError& error)> block) override;
    void endNotNow(const ImageError& error) override;
    qint64 receivedBytes() const override;

    // Session events.
    void didReceiveResponse(ImageDataTask& task, const ImageResponse& response,
                            const std::function<void(bool allow)>& completion) override;
    void didReceiveData(ImageDataTask& task, const QByteArray& data) override;
    std::optional<ImageCredential> credentialForChallenge(ImageDataTask& task,
                                                          int previousFailureCount) override;
    void didFinishCollectingMetrics(ImageDataTask& task, const ImageTaskMetrics& metrics) override;
    void didComplete(ImageDataTask& task, const ImageError& error) override;

private:
    using TokenList = std::vector<std::shared_ptr<RemoteImageDownloaderOperationToken>>;

    void callCompletionBlocks(const TokenList& tokens, const Image& image, const QByteArray& data,
                              const ImageError& error, bool finished) const;
    void callCompletionBlock(const std::shared_ptr<RemoteImageDownloaderOperationToken>& token,
                             const Image& image, const QByteArray& data, const ImageError& error,
                             bool finished) const;
    void callProgressBlocks(const TokenList& tokens, qint64 received, qint64 expected) const;
    void startCoderOperation(const QByteArray& data, const TokenList& pending, const TokenList& finished);
    void checkDone(const QByteArray& data, const TokenList& finished);
    Image decodedImage(const QByteArray& data, const std::optional<DecodeOptions>& decodeOptions);
    TokenList snapshotTokens() const;
    void done();
    void reset();
    // Ends the operation before its bytes are in, answering every caller with `error`.
    void endEarly(const ImageError& error, bool outcome);
    // Tells the outcome block, once.
    void reportOutcome(const ImageError& error);
    void postOnMain(QLatin1String name);
    ImageError responseErrorOr(const ImageError& error) const;
    // What the callers hear of a transfer that failed: the answer's own refusal first, the bound
    // passed as that refusal, and a time-out, a broken-off transfer or a lack of resources marked
    // as not drawn now.
    ImageError failureOf(const ImageError& transferError) const;

    const ImageRequest m_request;
    const RemoteImageDownloaderOptions m_options;
    const RemoteImageContext m_context;
    const std::shared_ptr<AbstractRemoteImageDownloaderResponseModifier> m_responseModifier;
    const std::shared_ptr<AbstractRemoteImageDownloaderDecryptor> m_decryptor;
    const std::weak_ptr<ImageSession> m_unownedSession;

    mutable std::recursive_mutex m_lock;
    TokenList m_callbackTokens;
    std::shared_ptr<ImageDataTask> m_dataTask;
    // A session of the operation's own, made when the downloader's is gone.
    std::shared_ptr<ImageSession> m_ownedSession;
    std::optional<ImageResponse> m_response;
    std::optional<ImageTaskMetrics> m_metrics;
    std::optional<ImageCredential> m_credential;
    double m_minimumProgressInterval = 0;
    std::optional<QSet<int>> m_acceptableStatusCodes;
    std::optional<QSet<QByteArray>> m_acceptableContentTypes;
    qint64 m_maximumDataSize = 0;
    bool m_downloadCompleted = false;
    bool m_overCeiling = false;
    bool m_cancelHandled = false;
    // Set with the last look at the callers: nobody can join after it.
    bool m_closed = false;
    // Every caller has been answered for the last time.
    bool m_answered = false;
    std::function<void()> m_closedBlock;
    std::function<void(const ImageError&)> m_outcomeBlock;
    std::atomic<bool> m_outcomeReported{false};
    QByteArray m_imageData;
    std::optional<QByteArray> m_cachedData;
    qint64 m_expectedSize = 0;
    qint64 m_receivedSize = 0;
    ImageError m_responseError;
    double m_previousProgress = 0;

    OperationQueue m_coderQueue;
    std::shared_ptr<DecodeLanes> m_lanes;
    std::shared_ptr<DecodeLanes::Hold> m_hold;
    // When the download was asked for: its decode waits in that order, not in the order the
    // downloads ended.
    const quint64 m_asked;
    std::mutex m_imageMapMutex;
    std::vector<std::pair<DecodeOptions, Image>> m_imageMap;
};

} // namespace velmora::images
