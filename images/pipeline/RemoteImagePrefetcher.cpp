#include "images/pipeline/RemoteImagePrefetcher.h"

#include "images/core/AsyncBlockOperation.h"
#include "images/core/CallbackQueue.h"
#include "images/core/DispatchQueue.h"
#include "images/core/OperationQueue.h"
#include "images/pipeline/RemoteImageManager.h"
#include "images/pipeline/RemoteImagePrefetcherDelegate.h"

#include <algorithm>

namespace velmora::images {

// Token.

void RemoteImagePrefetchToken::cancel() {
    // Set first: a load that starts while the lists below are emptied sees it and cancels itself.
    m_cancelled = true;
    std::vector<std::weak_ptr<AsyncBlockOperation>> prefetchOperations;
    {
        std::lock_guard lock(m_prefetchOperationsMutex);
        prefetchOperations.swap(m_prefetchOperations);
    }
    for (const auto& weak : prefetchOperations) {
        if (const auto operation = weak.lock()) {
            operation->cancel();
        }
    }
    std::vector<std::weak_ptr<RemoteImageOperation>> loadOperations;
    {
        std::lock_guard lock(m_loadOperationsMutex);
        loadOperations.swap(m_loadOperations);
    }
    for (const auto& weak : loadOperations) {
        if (const auto operation = weak.lock()) {
            operation->cancel();
        }
    }
    {
        std::lock_guard lock(m_blocksMutex);
        m_progressBlock = nullptr;
        m_completionBlock = nullptr;
    }
    if (const auto prefetcher = m_prefetcher.lock()) {
        prefetcher->removeRunningToken(this);
    }
}

RemoteImagePrefetcherProgressBlock RemoteImagePrefetchToken::progressBlock() const {
    std::lock_guard lock(m_blocksMutex);
    return m_progressBlock;
}

RemoteImagePrefetcherCompletionBlock RemoteImagePrefetchToken::takeCompletionBlock() {
    std::lock_guard lock(m_blocksMutex);
    auto block = std::move(m_completionBlock);
    m_completionBlock = nullptr;
    return block;
}

// Prefetcher.

RemoteImagePrefetcher::RemoteImagePrefetcher()
    : RemoteImagePrefetcher(std::make_shared<RemoteImageManager>()) {}

RemoteImagePrefetcher::RemoteImagePrefetcher(std::shared_ptr<RemoteImageManager> manager)
    : options(RemoteImageLowPriority), m_manager(std::move(manager)),
      m_prefetchQueue(
          std::make_unique<OperationQueue>(QStringLiteral("RemoteImagePrefetcher.prefetchQueue"), 3)) {}

RemoteImagePrefetcher::~RemoteImagePrefetcher() = default;

std::shared_ptr<RemoteImagePrefetcher> RemoteImagePrefetcher::sharedImagePrefetcher() {
    static const auto prefetcher = std::make_shared<RemoteImagePrefetcher>();
    return prefetcher;
}

int RemoteImagePrefetcher::maxConcurrentPrefetchCount() const {
    return m_prefetchQueue->maxConcurrentOperationCount();
}

void RemoteImagePrefetcher::setMaxConcurrentPrefetchCount(int count) {
    m_prefetchQueue->setMaxConcurrentOperationCount(count);
}

void RemoteImagePrefetcher::setDelegateQueue(const DispatchQueue& queue) {
    auto callbackQueue = std::make_shared<CallbackQueue>(queue);
    callbackQueue->setPolicy(CallbackPolicy::Dispatch);
    std::lock_guard lock(m_queueMutex);
    m_callbackQueue = std::move(callbackQueue);
}

DispatchQueue RemoteImagePrefetcher::delegateQueue() const {
    std::lock_guard lock(m_queueMutex);
    return m_callbackQueue ? m_callbackQueue->queue() : DispatchQueue::main();
}

std::shared_ptr<RemoteImagePrefetchToken> RemoteImagePrefetcher::prefetchURLs(const QList<QUrl>& urls) {
    return prefetchURLs(urls, nullptr, nullptr);
}

std::shared_ptr<RemoteImagePrefetchToken>
RemoteImagePrefetcher::prefetchURLs(const QList<QUrl>& urls, RemoteImagePrefetcherProgressBlock progress,
                                    RemoteImagePrefetcherCompletionBlock completed) {
    return prefetchURLs(urls, options, context, std::move(progress), std::move(completed));
}

std::shared_ptr<RemoteImagePrefetchToken> RemoteImagePrefetcher::prefetchURLs(
    const QList<QUrl>& urls, RemoteImageOptions loadOptions, const RemoteImageContext& loadContext,
    RemoteImagePrefetcherProgressBlock progress, RemoteImagePrefetcherCompletionBlock completed) {
    if (urls.isEmpty()) {
        if (completed) {
            completed(0, 0);
        }
        return nullptr;
    }
    std::shared_ptr<RemoteImagePrefetchToken> token(new RemoteImagePrefetchToken());
    token->m_prefetcher = weak_from_this();
    token->m_urls = urls;
    token->m_options = loadOptions;
    token->m_context = loadContext;
    token->m_totalCount = quint64(urls.size());
    token->m_progressBlock = std::move(progress);
    token->m_completionBlock = std::move(completed);
    {
        std::lock_guard lock(m_runningMutex);
        m_runningTokens.push_back(token);
    }
    for (const auto& url : urls) {
        // The operation runs until its load has finished, so the queue's limit bounds running loads.
        auto operation = AsyncBlockOperation::blockOperationWithBlock(
            [weakSelf = weak_from_this(), token, url](const std::shared_ptr<AsyncBlockOperation>& operation) {
                // A cancelled list has cancelled every operation it queued (none is queued once
                // it is cancelled), and the cancel of a running operation finishes it: its place
                // in the queue is given back there. Without the prefetcher there is no queue.
                const auto self = weakSelf.lock();
                if (operation->isCancelled() || !self || token->m_cancelled) {
                    return;
                }
                const auto load = self->m_manager->loadImage(
                    url, token->m_options, token->m_context, nullptr,
                    [weakSelf, token, weakOperation = std::weak_ptr<AsyncBlockOperation>(operation)](
                        const Image&, const QByteArray&, const ImageError& error, ImageCacheType,
                        bool finished, const QUrl& imageURL) {
                        if (!finished) {
                            return; // partial images count for nothing
                        }
                        if (const auto prefetcher = weakSelf.lock()) {
                            prefetcher->loadFinished(token, imageURL, !error.isNull());
                        }
                        if (const auto finishedOperation = weakOperation.lock()) {
                            finishedOperation->complete();
                        }
                    });
                {
                    std::lock_guard lock(token->m_loadOperationsMutex);
                    if (!token->m_cancelled) {
                        token->m_loadOperations.push_back(load);
                        return;
                    }
                }
                // The token was cancelled while this load started: the load is cancelled here (the
                // cancel did not find it); the cancel has finished this operation already.
                load->cancel();
            });
        {
            // A cancel from another thread may come while the list is being queued: what it
            // found is cancelled, and what is left is not queued at all.
            std::lock_guard lock(token->m_prefetchOperationsMutex);
            if (token->m_cancelled) {
                break;
            }
            token->m_prefetchOperations.push_back(operation);
        }
        m_prefetchQueue->addOperation(operation);
    }
    return token;
}

void RemoteImagePrefetcher::loadFinished(const std::shared_ptr<RemoteImagePrefetchToken>& token,
                                         const QUrl& url, bool failed) {
    if (token->m_cancelled) {
        return; // a cancelled list reports nothing more
    }
    const auto finished = ++token->m_finishedCount;
    if (failed) {
        ++token->m_skippedCount;
    }

    quint64 allFinished = 0;
    quint64 allTotal = 0;
    {
        std::lock_guard lock(m_runningMutex);
        for (const auto& running : m_runningTokens) {
            allFinished += running->finishedCount();
            allTotal += running->totalCount();
        }
    }
    const auto queue = reportQueue(*token);
    const auto tokenTotal = token->totalCount();
    queue->async([self = shared_from_this(), token, url, allFinished, allTotal, finished, tokenTotal] {
        if (const auto owner = self->delegate.lock()) {
            owner->didPrefetchURL(*self, url, allFinished, allTotal);
        }
        if (const auto progress = token->progressBlock()) {
            progress(finished, tokenTotal);
        }
    });

    if (finished != token->totalCount() || token->m_allFinished.exchange(true)) {
        return;
    }
    // The end of the list: reported once, and never after a cancel (which clears the block).
    quint64 sumTotal = 0;
    quint64 sumSkipped = 0;
    bool onlyRunning = false;
    {
        std::lock_guard lock(m_runningMutex);
        onlyRunning = m_runningTokens.size() == 1;
        for (const auto& running : m_runningTokens) {
            sumTotal += running->totalCount();
            sumSkipped += running->skippedCount();
        }
    }
    const auto skipped = token->skippedCount();
    auto completion = token->takeCompletionBlock();
    queue->async([self = shared_from_this(), onlyRunning, sumTotal, sumSkipped, finished, skipped,
                  completion = std::move(completion)] {
        if (onlyRunning) {
            if (const auto owner = self->delegate.lock()) {
                owner->didFinish(*self, sumTotal, sumSkipped);
            }
        }
        if (completion) {
            completion(finished, skipped);
        }
    });
    removeRunningToken(token.get());
}

std::shared_ptr<CallbackQueue>
RemoteImagePrefetcher::reportQueue(const RemoteImagePrefetchToken& token) const {
    if (const auto queue = token.m_context.callbackQueue.valueOr(nullptr)) {
        return queue;
    }
    std::lock_guard lock(m_queueMutex);
    return m_callbackQueue ? m_callbackQueue : CallbackQueue::mainQueue();
}

void RemoteImagePrefetcher::cancelPrefetching() {
    std::vector<std::shared_ptr<RemoteImagePrefetchToken>> tokens;
    {
        std::lock_guard lock(m_runningMutex);
        tokens.swap(m_runningTokens);
    }
    for (const auto& token : tokens) {
        token->cancel();
    }
}

void RemoteImagePrefetcher::removeRunningToken(const RemoteImagePrefetchToken* token) {
    std::shared_ptr<RemoteImagePrefetchToken> removed;
    std::lock_guard lock(m_runningMutex);
    const auto found = std::find_if(m_runningTokens.begin(), m_runningTokens.end(),
                                    [token](const auto& running) { return running.get() == token; });
    if (found != m_runningTokens.end()) {
        removed = std::move(*found);
        m_runningTokens.erase(found);
    }
}

} // namespace velmora::images
