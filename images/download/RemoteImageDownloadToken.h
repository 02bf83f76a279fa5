#pragma once

#include "images/core/RemoteImageOperation.h"
#include "images/download/AbstractRemoteImageDownloaderOperation.h"

#include <QUrl>

#include <memory>
#include <optional>

namespace velmora::images {

// One caller's handle on a download: cancelling it cancels that caller alone (and the
// transfer when it was the last caller). It follows its operation's notifications to
// know the answer's head and, once the transfer stopped, its metrics.
class RemoteImageDownloadToken : public RemoteImageOperation {
public:
    RemoteImageDownloadToken(const std::shared_ptr<AbstractRemoteImageDownloaderOperation>& operation, QUrl url,
                             ImageRequest request,
                             std::shared_ptr<RemoteImageDownloaderOperationToken> downloadOperationCancelToken);
    ~RemoteImageDownloadToken() override;

    void cancel() override;
    bool isCancelled() const;

    QUrl url() const;
    ImageRequest request() const;
    std::optional<ImageResponse> response() const;
    std::optional<ImageTaskMetrics> metrics() const;
    std::shared_ptr<AbstractRemoteImageDownloaderOperation> downloadOperation() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
};

} // namespace velmora::images
