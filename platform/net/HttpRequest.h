#pragma once

#include "platform/net/HttpHeaders.h"
#include <QByteArray>

#include <QList>
#include <QNetworkRequest>
#include <QPair>
#include <QUrl>

#include <chrono>
#include <optional>

namespace velmora {

// One request as a NetworkSession sends it.
struct HttpRequest {
    QUrl url;
    QByteArray method = "GET";
    HttpHeaders headers;
    // Absent: no body at all (and no Content-Length); present but empty: an empty body.
    std::optional<QByteArray> body;
    // The stall time-out of this request; the session's own applies too (the shorter wins).
    std::optional<std::chrono::milliseconds> timeout;
    // The largest answer body kept for this request; absent: the session's.
    std::optional<qint64> maxBodySize;
    // Absent: the session's cache policy. No cache is kept: every request asks the server.
    std::optional<QNetworkRequest::CacheLoadControl> cachePolicy;

    // Replaces a header of that name (compared without case), or adds it.
    void setHeader(const QByteArray& name, const QByteArray& value);
    // The first header of that name (compared without case); empty when absent.
    QByteArray header(const QByteArray& name) const;
    bool hasHeader(const QByteArray& name) const;
};

} // namespace velmora
