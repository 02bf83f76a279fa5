#pragma once

#include "images/core/RemoteImageContext.h"
#include "images/core/RemoteImageOperation.h"
#include "images/core/RemoteImageOptions.h"

#include <QList>
#include <QUrl>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace velmora::images {

class AsyncBlockOperation;
class RemoteImagePrefetcher;

using RemoteImagePrefetcherProgressBlock = std::function<void(quint64 finishedCount, quint64 totalCount)>;
using RemoteImagePrefetcherCompletionBlock = std::function<void(quint64 finishedCount, quint64 skippedCount)>;

// One list being prefetched: it counts the list's results and cancels what is left of it. After a
// cancel its blocks are never called.
class RemoteImagePrefetchToken : public RemoteImageOperation {
public:
    void cancel() override;

    quint64 totalCount() const { return m_totalCount; }
    quint64 finishedCount() const { return m_finishedCount.load(); }
    quint64 skippedCount() const { return m_skippedCount.load(); }

private:
    friend class RemoteImagePrefetcher;

    RemoteImagePrefetchToken() = default;
    RemoteImagePrefetcherProgressBlock progressBlock() const;
    // Taken away, so the list's end is reported once.
    RemoteImagePrefetcherCompletionBlock takeCompletionBlock();

    QList<QUrl> m_urls;
    RemoteImageOptions m_options = 0;
    RemoteImageContext m_context;
    quint64 m_totalCount = 0;
    std::atomic<quint64> m_finishedCount{0};
    std::atomic<quint64> m_skippedCount{0};
    std::atomic<bool> m_allFinished{false};
    std::atomic<bool> m_cancelled{false};
    std::weak_ptr<RemoteImagePrefetcher> m_prefetcher;

    mutable std::mutex m_blocksMutex;
    RemoteImagePrefetcherProgressBlock m_progressBlock;
    RemoteImagePrefetcherCompletionBlock m_completionBlock;
    std::mutex m_prefetchOperationsMutex;
    std::vector<std::weak_ptr<AsyncBlockOperation>> m_prefetchOperations;
    std::mutex m_loadOperationsMutex;
    std::vector<std::weak_ptr<RemoteImageOperation>> m_loadOperations;
};

} // namespace velmora::images
