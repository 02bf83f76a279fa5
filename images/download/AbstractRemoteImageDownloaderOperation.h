#pragma once

#include "images/core/DecodeOptions.h"
#include "images/core/ImageError.h"
#include "images/core/Operation.h"
#include "images/core/RemoteImageContext.h"
#include "images/core/RemoteImageOperation.h"
#include "images/download/ImageLoaderBlocks.h"
#include "images/download/ImageRequest.h"
#include "images/download/ImageResponse.h"
#include "images/download/ImageSession.h"
#include "images/download/RemoteImageDownloaderOperationToken.h"
#include "images/download/RemoteImageDownloaderOptions.h"

#include <QByteArray>
#include <QSet>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace velmora::images {

class ProgressiveImageCoder;

// What the downloader needs of a download operation: a queued operation that receives
// its transfer's events and serves any number of callers. The setters at the end have
// empty defaults, so a custom operation takes only the settings it understands.
class AbstractRemoteImageDownloaderOperation : public Operation,
                                               public RemoteImageOperation,
                                               public ImageSessionDelegate {
public:
    // Cancels the whole operation for every caller.
    void cancel() override = 0;

    // Adds a caller; none when all three are empty.
    virtual std::shared_ptr<RemoteImageDownloaderOperationToken>
    addHandlers(ImageLoaderProgressBlock progress, ImageLoaderCompletedBlock completed,
                std::optional<DecodeOptions> decodeOptions = std::nullopt) = 0;
    // Cancels one caller. True when that cancelled the whole operation (it was the only
    // caller); false when the transfer goes on for the others, or the token is unknown.
    virtual bool cancel(const std::shared_ptr<RemoteImageDownloaderOperationToken>& token) = 0;

    virtual ImageRequest request() const = 0;
    virtual std::optional<ImageResponse> response() const = 0;

    virtual std::shared_ptr<ImageDataTask> dataTask() const { return nullptr; }
    virtual std::optional<ImageTaskMetrics> metrics() const { return std::nullopt; }
    virtual void setCredential(std::optional<ImageCredential> credential) { Q_UNUSED(credential); }
    virtual void setMinimumProgressInterval(double interval) { Q_UNUSED(interval); }
    virtual void setAcceptableStatusCodes(std::optional<QSet<int>> codes) { Q_UNUSED(codes); }
    virtual void setAcceptableContentTypes(std::optional<QSet<QByteArray>> types) { Q_UNUSED(types); }
    virtual void setMaximumDataSize(qint64 bytes) { Q_UNUSED(bytes); }
    // Runs once when no caller can join any more. An operation that leaves its queue once its
    // bytes are in, and decodes them after, runs it when its last caller was answered; by
    // default it is the completion block.
    virtual void setClosedBlock(std::function<void()> block) { setCompletionBlock(std::move(block)); }
    // Runs with what became of the download, for the downloader's delays: an error marked "not
    // drawn now" (ImageError::notNowKey) when it may pass, null when an image was made. By
    // default nothing is told.
    virtual void setOutcomeBlock(std::function<void(const ImageError& error)> block) { Q_UNUSED(block); }
    // Ends the whole operation for every caller with `error` (a "not drawn now" one): it was not
    // cancelled by anyone, it gave its turn up. By default a cancel.
    virtual void endNotNow(const ImageError& error) {
        Q_UNUSED(error);
        cancel();
    }
    // The body bytes received so far, by which the downloader tells a slow transfer.
    virtual qint64 receivedBytes() const { return 0; }

    // The incremental coder of this download's progressive decodes, chosen on the first
    // partial decode and kept for the later ones.
    std::shared_ptr<ProgressiveImageCoder> progressiveCoder() const {
        std::lock_guard lock(m_coderMutex);
        return m_progressiveCoder;
    }
    void setProgressiveCoder(std::shared_ptr<ProgressiveImageCoder> coder) {
        std::lock_guard lock(m_coderMutex);
        m_progressiveCoder = std::move(coder);
    }

private:
    mutable std::mutex m_coderMutex;
    std::shared_ptr<ProgressiveImageCoder> m_progressiveCoder;
};

// Makes the operations of a downloader: the request, the downloader's session (held
// weakly by the operation), the options and the context.
using RemoteImageDownloaderOperationFactory =
    std::function<std::shared_ptr<AbstractRemoteImageDownloaderOperation>(
        const ImageRequest&, const std::shared_ptr<ImageSession>&, RemoteImageDownloaderOptions,
        const RemoteImageContext&)>;

} // namespace velmora::images
