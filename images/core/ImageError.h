#pragma once

#include <QString>
#include <QVariantMap>

namespace velmora::images {

// The codes of the library's own error domain.
enum class ImageErrorCode : int {
    InvalidURL = 1000,
    BadImageData = 1001,
    CacheNotModified = 1002,
    BlockedURL = 1003,
    InvalidDownloadOperation = 2000,
    InvalidDownloadStatusCode = 2001,
    Cancelled = 2002,
    InvalidDownloadResponse = 2003,
    InvalidDownloadContentType = 2004,
};

// An error of the image library: a domain, a code in it, the message a person may read and
// further values. Errors of other domains (the network's, the system's) keep their own domain
// and code so callers can tell them apart.
class ImageError {
public:
    static constexpr QLatin1String domain{"VIRemoteImageErrorDomain"};
    static constexpr QLatin1String downloadResponseKey{"VIRemoteImageErrorDownloadResponseKey"};
    static constexpr QLatin1String downloadStatusCodeKey{"VIRemoteImageErrorDownloadStatusCodeKey"};
    static constexpr QLatin1String downloadContentTypeKey{"VIRemoteImageErrorDownloadContentTypeKey"};
    // The most bytes the download could have, on an answer refused for being larger.
    static constexpr QLatin1String downloadLimitKey{"VIRemoteImageErrorDownloadLimitKey"};
    // Set (true) on a decode failure that says nothing about the document: no drawing could be
    // made for it now. Such a URL is tried again when asked again.
    static constexpr QLatin1String decodeWithoutDrawingKey{"VIRemoteImageErrorDecodeWithoutDrawingKey"};
    // Set (true) on a failure that says nothing of the image and may pass: it was not drawn now
    // (its download or decode did not get its turn, the download timed out or lost its
    // connection). Asked again, it is tried again, no sooner than the downloader lets it.
    static constexpr QLatin1String notNowKey{"VIRemoteImageErrorNotNowKey"};
    // Set (true), with notNowKey, on a decode failure whose drawing ended its drawing process (it
    // ran to its deadline or its CPU limit, crashed, or answered what was refused): the document's
    // doing, or a machine out of memory. It is not drawn again before a growing delay is over
    // (see RetryDelay), which the image cache keeps with its bytes, across starts too.
    static constexpr QLatin1String drawingEndedKey{"VIRemoteImageErrorDrawingEndedKey"};
    // System call failures carry errno as their code in this domain.
    static constexpr QLatin1String posixDomain{"POSIXErrorDomain"};

    ImageError() = default;
    ImageError(ImageErrorCode code, QString message, QVariantMap userInfo = {});
    ImageError(QString domain, int code, QString message, QVariantMap userInfo = {});

    // True for a default-constructed value, which stands for "no error".
    bool isNull() const { return m_domain.isEmpty(); }

    const QString& errorDomain() const { return m_domain; }
    int code() const { return m_code; }
    const QString& message() const { return m_message; }
    const QVariantMap& userInfo() const { return m_userInfo; }
    QVariant value(QLatin1String key) const { return m_userInfo.value(QString(key)); }
    QVariant value(const QString& key) const { return m_userInfo.value(key); }

    // True when the error is of the library's domain with this code.
    bool is(ImageErrorCode code) const;

    bool operator==(const ImageError& other) const = default;

private:
    QString m_domain;
    int m_code = 0;
    QString m_message;
    QVariantMap m_userInfo;
};

} // namespace velmora::images
