#pragma once

#include "platform/net/HttpHeaders.h"
#include <QByteArray>

#include <QList>
#include <QPair>
#include <QUrl>

#include <optional>

namespace velmora {

// The answer of a server: an HTTP status, whatever it is, with its headers and body.
// Transport failures never become an HttpResponse (see TransportError).
struct HttpResponse {
    int statusCode = 0; // 0: not an HTTP response
    HttpHeaders headers;
    QByteArray body;
    QUrl url;

    bool isHttp() const { return statusCode > 0; }
    // The first header of that name, compared without case as HTTP names are (HTTP/2
    // sends them in lower case); absent when there is none.
    std::optional<QByteArray> header(const QByteArray& name) const;
};

} // namespace velmora
