#include "images/download/RemoteImageDownloadToken.h"

#include "images/download/RemoteImageDownloadNotifications.h"
#include "platform/notifications/NotificationCenter.h"

namespace velmora::images {

struct RemoteImageDownloadToken::State {
    mutable std::mutex mutex;
    bool cancelled = false;
    QUrl url;
    ImageRequest request;
    std::optional<ImageResponse> response;
    std::optional<ImageTaskMetrics> metrics;
    std::weak_ptr<RemoteImageDownloaderOperationToken> cancelToken;
    std::weak_ptr<AbstractRemoteImageDownloaderOperation> operation;
    Cancellable responseObserver;
    Cancellable stopObserver;
};

namespace {
using OperationPointer = std::shared_ptr<AbstractRemoteImageDownloaderOperation>;
}

RemoteImageDownloadToken::RemoteImageDownloadToken(
    const std::shared_ptr<AbstractRemoteImageDownloaderOperation>& operation, QUrl url, ImageRequest request,
    std::shared_ptr<RemoteImageDownloaderOperationToken> downloadOperationCancelToken)
    : m_state(std::make_shared<State>()) {
    m_state->url = std::move(url);
    m_state->request = std::move(request);
    m_state->cancelToken = downloadOperationCancelToken;
    m_state->operation = operation;
    std::weak_ptr<State> weakState = m_state;
    // Copies, under the state's lock, what `take` wants from this token's own operation when it
    // posts `name`.
    const auto observe = [&weakState](QLatin1String name, auto take) {
        return NotificationCenter::defaultCenter().addObserver(
            QString(name), [weakState, take](const Notification& notification) {
                const auto state = weakState.lock();
                const auto* object = notification.objectAs<OperationPointer>();
                if (!state || !object) {
                    return;
                }
                std::lock_guard lock(state->mutex);
                if (state->operation.lock() == *object) {
                    take(*state, **object);
                }
            });
    };
    m_state->responseObserver = observe(RemoteImageDownloadNotifications::receiveResponse,
                                        [](State& state, AbstractRemoteImageDownloaderOperation& operation) {
                                            state.response = operation.response();
                                        });
    m_state->stopObserver = observe(RemoteImageDownloadNotifications::stop,
                                    [](State& state, AbstractRemoteImageDownloaderOperation& operation) {
                                        state.metrics = operation.metrics();
                                    });
}

RemoteImageDownloadToken::~RemoteImageDownloadToken() {
    // Only the constructor and this destructor touch the observers.
    m_state->responseObserver.cancel();
    m_state->stopObserver.cancel();
}

void RemoteImageDownloadToken::cancel() {
    std::shared_ptr<AbstractRemoteImageDownloaderOperation> operation;
    std::shared_ptr<RemoteImageDownloaderOperationToken> token;
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->cancelled) {
            return;
        }
        m_state->cancelled = true;
        operation = m_state->operation.lock();
        token = m_state->cancelToken.lock();
        m_state->cancelToken.reset();
    }
    if (operation) {
        operation->cancel(token);
    }
}

bool RemoteImageDownloadToken::isCancelled() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->cancelled;
}

QUrl RemoteImageDownloadToken::url() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->url;
}

ImageRequest RemoteImageDownloadToken::request() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->request;
}

std::optional<ImageResponse> RemoteImageDownloadToken::response() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->response;
}

std::optional<ImageTaskMetrics> RemoteImageDownloadToken::metrics() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->metrics;
}

std::shared_ptr<AbstractRemoteImageDownloaderOperation> RemoteImageDownloadToken::downloadOperation() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->operation.lock();
}

} // namespace velmora::images
