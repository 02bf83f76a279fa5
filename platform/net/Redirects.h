#pragma once

#include <QLatin1String>
#include <QUrl>

namespace velmora {

// The statuses whose answer sends the request on to its Location.
inline bool isRedirectStatus(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Whether two URLs lead to the same scheme, host and port (the scheme's own port where none is
// written): what a request carries for one server (its credentials) goes to no other.
inline bool isSameOrigin(const QUrl& a, const QUrl& b) {
    const auto portOf = [](const QUrl& url) {
        return url.port(url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80);
    };
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0 &&
           a.host().compare(b.host(), Qt::CaseInsensitive) == 0 && portOf(a) == portOf(b);
}

} // namespace velmora
