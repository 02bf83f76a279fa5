#pragma once

#include <QByteArray>
#include <QUrl>

#include <optional>
#include <utility>
#include <vector>

namespace velmora::images {

// One image request as the downloader builds it and the request modifiers see it. A
// plain value: modifiers take one and hand back a changed copy.
struct ImageRequest {
    enum class CachePolicy {
        UseProtocolCachePolicy,       // the URL cache answers when HTTP allows it
        ReloadIgnoringLocalCacheData, // always ask the server
    };
    using Headers = std::vector<std::pair<QByteArray, QByteArray>>;

    QUrl url;
    QByteArray method = "GET";
    Headers headers;
    // Absent: no body at all.
    std::optional<QByteArray> body;
    // The whole transfer, from the request to its last byte.
    double timeoutSeconds = 60.0;
    // How long the transfer may receive nothing (no head, no byte) before it ends; 0: the
    // session's own bound.
    double stallTimeoutSeconds = 0;
    // The most bytes the body may have; a transfer past it ends as its bytes arrive. 0: no bound.
    qint64 maximumBodyBytes = 0;
    CachePolicy cachePolicy = CachePolicy::UseProtocolCachePolicy;
    bool handlesCookies = true;
    bool usesHttpPipelining = false;

    // Replaces a header of that name (compared without case), or adds it.
    void setHeader(const QByteArray& name, const QByteArray& value);
    void removeHeader(const QByteArray& name);
    // The value of that header (compared without case); absent when there is none.
    std::optional<QByteArray> header(const QByteArray& name) const;

    friend bool operator==(const ImageRequest&, const ImageRequest&) = default;
};

} // namespace velmora::images
