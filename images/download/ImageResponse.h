#pragma once

#include <QByteArray>
#include <QUrl>

#include <optional>
#include <utility>
#include <vector>

namespace velmora::images {

// The head of an answer to an image request: what the response modifiers see and
// rewrite. A status code of 0 marks an answer that did not come over HTTP (a file
// URL); such an answer has no status, MIME type or headers to check.
struct ImageResponse {
    using Headers = std::vector<std::pair<QByteArray, QByteArray>>;

    QUrl url;
    int statusCode = 0;
    QByteArray httpVersion = "HTTP/1.1";
    Headers headers;

    bool isHttp() const { return statusCode > 0; }
    std::optional<QByteArray> header(const QByteArray& name) const;
    // Adds the header or replaces one of that name (compared without case).
    void setHeader(const QByteArray& name, const QByteArray& value);
    // The MIME type of Content-Type without its parameters, in lower case; empty when
    // there is none or the answer is not HTTP.
    QByteArray mimeType() const;
    // The Content-Length when it is a whole number that fits; -1 when unknown.
    qint64 expectedContentLength() const;

    friend bool operator==(const ImageResponse&, const ImageResponse&) = default;
};

} // namespace velmora::images
