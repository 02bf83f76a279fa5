#pragma once

#include "images/core/RemoteImageOperation.h"

#include <memory>
#include <mutex>

namespace velmora::images {

class RemoteImageManager;

// The handle of one load: cancelling it cancels the cache query or the download it is waiting for,
// and nothing of the load is delivered afterwards.
class RemoteImageCombinedOperation : public RemoteImageOperation,
                                     public std::enable_shared_from_this<RemoteImageCombinedOperation> {
public:
    explicit RemoteImageCombinedOperation(std::weak_ptr<RemoteImageManager> manager);

    void cancel() override;
    bool isCancelled() const;

    std::shared_ptr<RemoteImageOperation> cacheOperation() const;
    void setCacheOperation(std::shared_ptr<RemoteImageOperation> operation);
    std::shared_ptr<RemoteImageOperation> loaderOperation() const;
    // A download handed over after the cancel is cancelled at once.
    void setLoaderOperation(std::shared_ptr<RemoteImageOperation> operation);

private:
    const std::weak_ptr<RemoteImageManager> m_manager;
    mutable std::recursive_mutex m_monitor;
    bool m_cancelled = false;
    std::shared_ptr<RemoteImageOperation> m_cacheOperation;
    std::shared_ptr<RemoteImageOperation> m_loaderOperation;
};

} // namespace velmora::images
