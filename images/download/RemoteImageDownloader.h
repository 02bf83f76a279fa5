#pragma once

#include "images/download/ImageLoader.h"
#include "images/download/ImageSession.h"
#include "images/download/RemoteImageDownloadToken.h"
#include "images/download/RemoteImageDownloaderConfig.h"
#include "images/download/RemoteImageDownloaderOptions.h"

#include <QByteArray>
#include <QUrl>

#include <memory>
#include <optional>

namespace velmora::images {

class AbstractRemoteImageDownloaderDecryptor;
class AbstractRemoteImageDownloaderRequestModifier;
class AbstractRemoteImageDownloaderResponseModifier;

// Turns image URLs into downloaded bytes and decoded images. Concurrent requests for one
// URL share one operation and one transfer; each caller gets a token with which it alone
// can cancel. Requests carry the default headers (User-Agent, Accept and any set here)
// and go through the request modifier; answers through the response modifier and the
// decryptor; the context's modifiers and decryptor win over the downloader's.
//
// Transfers run on a network thread of the downloader's own. Any thread may call it; no
// caller code runs while its locks are held (the one nested order is the table's lock,
// then an operation's own).
class RemoteImageDownloader : public ImageLoader, public ImageSessionDelegate {
public:
    explicit RemoteImageDownloader(const RemoteImageDownloaderConfig& config =
                                       RemoteImageDownloaderConfig::defaultDownloaderConfig());
    // Cancels every queued download and stops the network thread.
    ~RemoteImageDownloader() override;
    RemoteImageDownloader(const RemoteImageDownloader&) = delete;
    RemoteImageDownloader& operator=(const RemoteImageDownloader&) = delete;

    // The one shared downloader, made on first use with the default configuration.
    static std::shared_ptr<RemoteImageDownloader> sharedDownloader();

    const RemoteImageDownloaderConfig& config() const { return m_config; }
    // Also applies to the downloads already queued.
    void setMaxConcurrentDownloads(int count);

    std::shared_ptr<AbstractRemoteImageDownloaderRequestModifier> requestModifier() const;
    void setRequestModifier(std::shared_ptr<AbstractRemoteImageDownloaderRequestModifier> modifier);
    std::shared_ptr<AbstractRemoteImageDownloaderResponseModifier> responseModifier() const;
    void setResponseModifier(std::shared_ptr<AbstractRemoteImageDownloaderResponseModifier> modifier);
    std::shared_ptr<AbstractRemoteImageDownloaderDecryptor> decryptor() const;
    void setDecryptor(std::shared_ptr<AbstractRemoteImageDownloaderDecryptor> decryptor);

    // None removes the header.
    void setValueForHTTPHeaderField(const std::optional<QByteArray>& value, const QByteArray& field);
    std::optional<QByteArray> valueForHTTPHeaderField(const QByteArray& field) const;

    // None when nothing was started; the completion has then been called at once.
    std::shared_ptr<RemoteImageDownloadToken> downloadImage(const QUrl& url, RemoteImageDownloaderOptions options,
                                                            const RemoteImageContext& context,
                                                            ImageLoaderProgressBlock progress,
                                                            ImageLoaderCompletedBlock completed);
    std::shared_ptr<RemoteImageDownloadToken> downloadImage(const QUrl& url, ImageLoaderCompletedBlock completed) {
        return downloadImage(url, 0, {}, nullptr, std::move(completed));
    }

    void cancelAllDownloads();
    bool isSuspended() const;
    void setSuspended(bool suspended);
    int currentDownloadCount() const;
    const ImageSession::Configuration& sessionConfiguration() const;
    // Ends the session (not the shared downloader's); with `cancel` running transfers stop.
    void invalidateSessionAndCancel(bool cancel);

    // The request and the operation for a URL; none when the request modifier refused.
    std::shared_ptr<AbstractRemoteImageDownloaderOperation> createDownloaderOperation(
        const QUrl& url, RemoteImageDownloaderOptions options, const RemoteImageContext& context);

    static RemoteImageOptions imageOptionsFromDownloaderOptions(RemoteImageDownloaderOptions options);
    // The download bits of load options.
    static RemoteImageDownloaderOptions downloaderOptionsFromImageOptions(RemoteImageOptions options,
                                                                          const RemoteImageContext& context);

    // Image loader.
    bool canRequestImage(const QUrl& url, RemoteImageOptions options, const RemoteImageContext& context) override;
    std::shared_ptr<RemoteImageOperation> requestImage(const QUrl& url, RemoteImageOptions options,
                                                       const RemoteImageContext& context,
                                                       ImageLoaderProgressBlock progress,
                                                       ImageLoaderCompletedBlock completed) override;
    bool shouldBlockFailedURL(const QUrl& url, const ImageError& error, RemoteImageOptions options,
                              const RemoteImageContext& context) override;
    using ImageLoader::canRequestImage;
    using ImageLoader::shouldBlockFailedURL;

    // Session events, passed on to the operation of the task.
    void didReceiveResponse(ImageDataTask& task, const ImageResponse& response,
                            const std::function<void(bool allow)>& completion) override;
    void didReceiveData(ImageDataTask& task, const QByteArray& data) override;
    std::optional<ImageCredential> credentialForChallenge(ImageDataTask& task, int previousFailureCount) override;
    void didFinishCollectingMetrics(ImageDataTask& task, const ImageTaskMetrics& metrics) override;
    void didComplete(ImageDataTask& task, const ImageError& error) override;

    std::shared_ptr<AbstractRemoteImageDownloaderOperation> operationWithTask(const ImageDataTask& task) const;

    // "<name>/<version> (<system>)", in ASCII.
    static QByteArray defaultUserAgent();

private:
    struct State;
    RemoteImageDownloaderConfig m_config;
    std::shared_ptr<State> m_state;
    bool m_isShared = false;
};

} // namespace velmora::images
