#pragma once

#include <QUrl>

namespace velmora::images {

class RemoteImagePrefetcher;

// Hears of every URL a prefetcher finished and of the end of its last running list.
class RemoteImagePrefetcherDelegate {
public:
    virtual ~RemoteImagePrefetcherDelegate() = default;

    // Counts summed over every list that is running.
    virtual void didPrefetchURL(RemoteImagePrefetcher& prefetcher, const QUrl& url, quint64 finishedCount,
                                quint64 totalCount) {
        Q_UNUSED(prefetcher);
        Q_UNUSED(url);
        Q_UNUSED(finishedCount);
        Q_UNUSED(totalCount);
    }
    // Called only when the list that ended was the only one running.
    virtual void didFinish(RemoteImagePrefetcher& prefetcher, quint64 totalCount, quint64 skippedCount) {
        Q_UNUSED(prefetcher);
        Q_UNUSED(totalCount);
        Q_UNUSED(skippedCount);
    }
};

} // namespace velmora::images
