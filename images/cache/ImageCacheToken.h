#pragma once

#include "images/cache/AbstractImageCache.h"
#include "images/core/RemoteImageOperation.h"

#include <QString>

#include <memory>
#include <mutex>

namespace velmora::images {

class CallbackQueue;

// The handle of one pending cache query. Its completion runs exactly once: with the result, or,
// when the query is cancelled first, with nothing found. A cancel after the answer does nothing.
class ImageCacheToken : public RemoteImageOperation {
public:
    ImageCacheToken(QString key, ImageCacheQueryCompletion done,
                    std::shared_ptr<CallbackQueue> callbackQueue);

    void cancel() override;
    bool isCancelled() const;
    QString key() const { return m_key; }

    // The completion, taken away so nothing else can call it; empty once taken or cancelled.
    ImageCacheQueryCompletion takeDone();

private:
    const QString m_key;
    const std::shared_ptr<CallbackQueue> m_callbackQueue;
    mutable std::mutex m_mutex;
    bool m_cancelled = false;
    ImageCacheQueryCompletion m_done;
};

} // namespace velmora::images
