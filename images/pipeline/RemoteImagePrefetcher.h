#pragma once

#include "images/pipeline/RemoteImagePrefetchToken.h"

#include <QList>
#include <QUrl>

#include <memory>
#include <mutex>
#include <vector>

namespace velmora::images {

class CallbackQueue;
class DispatchQueue;
class OperationQueue;
class RemoteImageManager;
class RemoteImagePrefetcherDelegate;

// Loads lists of URLs into the cache ahead of need, a few at a time (3 by default), through an image
// manager, and reports each finished URL and the end of each list. Make it with std::make_shared.
class RemoteImagePrefetcher : public std::enable_shared_from_this<RemoteImagePrefetcher> {
public:
    // Over a manager of its own (its own failed list and running set) on the default cache and loader.
    RemoteImagePrefetcher();
    explicit RemoteImagePrefetcher(std::shared_ptr<RemoteImageManager> manager);
    ~RemoteImagePrefetcher();

    static std::shared_ptr<RemoteImagePrefetcher> sharedImagePrefetcher();

    std::shared_ptr<RemoteImageManager> manager() const { return m_manager; }
    // Used by the forms without options and context; low priority by default.
    RemoteImageOptions options;
    RemoteImageContext context;
    std::weak_ptr<RemoteImagePrefetcherDelegate> delegate;

    int maxConcurrentPrefetchCount() const;
    void setMaxConcurrentPrefetchCount(int count);
    // Where the reports go when the list's context names no callback queue; always dispatched.
    void setDelegateQueue(const DispatchQueue& queue);
    DispatchQueue delegateQueue() const;

    // Null for an empty list, whose completion is then called at once with (0, 0).
    std::shared_ptr<RemoteImagePrefetchToken> prefetchURLs(const QList<QUrl>& urls);
    std::shared_ptr<RemoteImagePrefetchToken> prefetchURLs(const QList<QUrl>& urls,
                                                           RemoteImagePrefetcherProgressBlock progress,
                                                           RemoteImagePrefetcherCompletionBlock completed);
    std::shared_ptr<RemoteImagePrefetchToken>
    prefetchURLs(const QList<QUrl>& urls, RemoteImageOptions options, const RemoteImageContext& context,
                 RemoteImagePrefetcherProgressBlock progress, RemoteImagePrefetcherCompletionBlock completed);
    void cancelPrefetching();

private:
    friend class RemoteImagePrefetchToken;

    void removeRunningToken(const RemoteImagePrefetchToken* token);
    void loadFinished(const std::shared_ptr<RemoteImagePrefetchToken>& token, const QUrl& url, bool failed);
    std::shared_ptr<CallbackQueue> reportQueue(const RemoteImagePrefetchToken& token) const;

    std::shared_ptr<RemoteImageManager> m_manager;
    std::unique_ptr<OperationQueue> m_prefetchQueue;
    mutable std::mutex m_queueMutex;
    std::shared_ptr<CallbackQueue> m_callbackQueue;
    mutable std::recursive_mutex m_runningMutex;
    std::vector<std::shared_ptr<RemoteImagePrefetchToken>> m_runningTokens;
};

} // namespace velmora::images
