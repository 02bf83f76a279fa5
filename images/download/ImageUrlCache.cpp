#include "images/download/ImageUrlCache.h"

#include <QDateTime>
#include <QIODevice>
#include <QLocale>
#include <QNetworkCacheMetaData>
#include <QNetworkDiskCache>
#include <QNetworkRequest>
#include <QTimeZone>

namespace velmora::images {

namespace {

QDateTime httpDate(const QByteArray& value) {
    // "Sun, 06 Nov 1994 08:49:37 GMT"
    QDateTime date = QLocale::c().toDateTime(QString::fromLatin1(value.trimmed()),
                                             QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
    date.setTimeSpec(Qt::UTC);
    return date;
}

QNetworkCacheMetaData metaDataOf(const ImageResponse& response) {
    QNetworkCacheMetaData metaData;
    metaData.setUrl(response.url);
    QNetworkCacheMetaData::RawHeaderList headers;
    for (const auto& [name, value] : response.headers) {
        headers.append({name, value});
    }
    metaData.setRawHeaders(headers);
    QNetworkCacheMetaData::AttributesMap attributes;
    attributes.insert(QNetworkRequest::HttpStatusCodeAttribute, response.statusCode);
    metaData.setAttributes(attributes);
    const QByteArray control = response.header("Cache-Control").value_or(QByteArray()).toLower();
    const qsizetype maxAge = control.indexOf("max-age=");
    if (maxAge >= 0) {
        bool ok = false;
        const qint64 seconds = control.mid(maxAge + 8).split(',').value(0).trimmed().toLongLong(&ok);
        if (ok && seconds > 0 && seconds < 10ll * 365 * 24 * 3600) {
            metaData.setExpirationDate(QDateTime::currentDateTimeUtc().addSecs(seconds));
        }
    } else if (const auto expires = response.header("Expires")) {
        metaData.setExpirationDate(httpDate(*expires));
    }
    if (const auto modified = response.header("Last-Modified")) {
        metaData.setLastModified(httpDate(*modified));
    }
    metaData.setSaveToDisk(!control.contains("no-store"));
    return metaData;
}

} // namespace

ImageUrlCache::ImageUrlCache(QString folder, qint64 maximumSize) : m_cache(std::make_unique<QNetworkDiskCache>()) {
    m_cache->setCacheDirectory(folder);
    m_cache->setMaximumCacheSize(maximumSize);
}

ImageUrlCache::~ImageUrlCache() = default;

std::optional<ImageUrlCache::Entry> ImageUrlCache::entry(const QUrl& url) const {
    std::lock_guard lock(m_mutex);
    const QNetworkCacheMetaData metaData = m_cache->metaData(url);
    if (!metaData.isValid()) {
        return std::nullopt;
    }
    std::unique_ptr<QIODevice> device(m_cache->data(url));
    if (!device) {
        return std::nullopt;
    }
    Entry entry;
    entry.data = device->readAll();
    entry.response.url = url;
    entry.response.statusCode = metaData.attributes().value(QNetworkRequest::HttpStatusCodeAttribute, 200).toInt();
    for (const auto& [name, value] : metaData.rawHeaders()) {
        entry.response.headers.emplace_back(name, value);
    }
    const QDateTime expires = metaData.expirationDate();
    entry.fresh = expires.isValid() && expires > QDateTime::currentDateTimeUtc();
    return entry;
}

void ImageUrlCache::refresh(const QUrl& url, const ImageResponse& notModified) {
    std::lock_guard lock(m_mutex);
    QNetworkCacheMetaData metaData = m_cache->metaData(url);
    if (!metaData.isValid()) {
        return;
    }
    const QNetworkCacheMetaData fresh = metaDataOf(notModified);
    if (fresh.expirationDate().isValid()) {
        metaData.setExpirationDate(fresh.expirationDate());
        m_cache->updateMetaData(metaData);
    }
}

std::unique_ptr<ImageUrlCache::Writing> ImageUrlCache::prepare(const ImageResponse& response) const {
    const QNetworkCacheMetaData metaData = metaDataOf(response);
    if (!metaData.saveToDisk()) {
        return nullptr;
    }
    std::lock_guard lock(m_mutex);
    QIODevice* device = m_cache->prepare(metaData);
    if (!device) {
        return nullptr;
    }
    return std::unique_ptr<Writing>(new Writing(this, response.url, device));
}

ImageUrlCache::Writing::~Writing() {
    finish(false);
}

bool ImageUrlCache::Writing::write(const QByteArray& chunk) {
    if (!m_device) {
        return false;
    }
    if (m_device->write(chunk) == chunk.size()) {
        return true;
    }
    std::lock_guard lock(m_cache->m_mutex);
    m_cache->m_cache->remove(m_url);
    m_device = nullptr;
    return false;
}

void ImageUrlCache::Writing::finish(bool whole) {
    QIODevice* device = std::exchange(m_device, nullptr);
    if (!device) {
        return;
    }
    std::lock_guard lock(m_cache->m_mutex);
    if (whole) {
        m_cache->m_cache->insert(device);
    } else {
        // A cut or refused answer is never kept.
        m_cache->m_cache->remove(m_url);
    }
}

} // namespace velmora::images
