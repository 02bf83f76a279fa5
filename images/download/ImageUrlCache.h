#pragma once

#include "images/download/ImageResponse.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <memory>
#include <mutex>
#include <optional>

class QIODevice;
class QNetworkDiskCache;

namespace velmora::images {

// The answers an image session keeps on disk by URL, as HTTP lets it keep them: a fresh one
// answers at once, a stale one with a validator is asked about. From any thread.
class ImageUrlCache {
public:
    ImageUrlCache(QString folder, qint64 maximumSize);
    ~ImageUrlCache();
    ImageUrlCache(const ImageUrlCache&) = delete;
    ImageUrlCache& operator=(const ImageUrlCache&) = delete;

    struct Entry {
        ImageResponse response;
        QByteArray data;
        // Whether it may answer without asking the server.
        bool fresh = false;
    };
    std::optional<Entry> entry(const QUrl& url) const;
    // A 304 keeps the entry under the expiry the server just gave.
    void refresh(const QUrl& url, const ImageResponse& notModified);

    // An answer being written: kept only once `finish(true)`; a cut or refused one never is.
    class Writing {
    public:
        ~Writing();
        Writing(const Writing&) = delete;
        Writing& operator=(const Writing&) = delete;
        // False once the device refused a write: nothing is kept then.
        bool write(const QByteArray& chunk);
        void finish(bool whole);

    private:
        friend class ImageUrlCache;
        Writing(const ImageUrlCache* cache, QUrl url, QIODevice* device)
            : m_cache(cache), m_url(std::move(url)), m_device(device) {}
        const ImageUrlCache* m_cache;
        QUrl m_url;
        QIODevice* m_device;
    };
    // A 200 that HTTP lets this side keep opens its place; none: not kept.
    std::unique_ptr<Writing> prepare(const ImageResponse& response) const;

private:
    mutable std::mutex m_mutex;
    std::unique_ptr<QNetworkDiskCache> m_cache;
};

} // namespace velmora::images
