#pragma once

#include "platform/net/HttpHeaders.h"
#include <QByteArray>

#include <QList>
#include <QNetworkRequest>
#include <QPair>
#include <QSslCertificate>

#include <chrono>
#include <optional>

namespace velmora {

// The settings every request of one NetworkSession shares.
struct SessionConfiguration {
    // Sent with every request, before the request's own headers (which win on a clash).
    HttpHeaders headers;
    // A request fails when no byte moved for this long.
    std::chrono::milliseconds requestTimeout{std::chrono::seconds(60)};
    // A request fails when it has not finished after this long, however busy it is.
    std::chrono::milliseconds resourceTimeout{std::chrono::seconds(120)};
    // The largest answer body kept; a larger one fails the request (TooLarge) as soon
    // as it shows, so a broken or hostile server cannot fill memory. Tracker pages are
    // a few hundred kilobytes at most.
    qint64 maxBodySize = 16 * 1024 * 1024;
    // Always ask the server, letting it confirm what a cache may hold (no cache is kept).
    QNetworkRequest::CacheLoadControl cachePolicy = QNetworkRequest::PreferNetwork;
    // Certificate authorities trusted beside the system's (tests trust their own
    // authority this way). Server certificates are always verified.
    QList<QSslCertificate> extraCaCertificates;

    // The configuration new sessions start from: the values above plus the authorities
    // set below. Those of the environment's file (further below) are added by a session
    // as it sends, so that making a session reads and parses nothing: parsing a
    // certificate loads the TLS library, which the app's first window does not wait for.
    static SessionConfiguration standard();

    // Adds authorities to every configuration made by `standard()` from now on. Only
    // tests call this, to trust the certificate of their fake servers.
    static void setProcessExtraCaCertificates(const QList<QSslCertificate>& certificates);
    // Shortens both time-outs of every request sent from now on to at most `cap`
    // (none: as configured). Only tests call this, to see a time-out without waiting a
    // minute for it.
    static void setProcessTimeoutCap(std::optional<std::chrono::milliseconds> cap);
    static std::optional<std::chrono::milliseconds> processTimeoutCap();

    // The authorities set above, plus those of the PEM file that the environment
    // variable below names (read again whenever that file changed), each in DER.
    static QList<QByteArray> processExtraAuthorities();

    // Names a PEM file of extra authorities to trust, so the running app can be tried
    // against the fake trackers of the tests. Unset (the normal case) adds nothing; a
    // file that cannot be read or holds no certificate adds nothing either (and says so
    // in the log). Nothing is ever trusted without it. What was read is kept while the
    // file stays the same (path, device, inode, size and modification time), and read
    // again once any of them changed; servers are verified against it all the same.
    // Each certificate comes back in DER, read by the transport's own TLS library:
    // reading it through Qt would load Qt's TLS back ends, and set that library up a
    // second time, in an app whose connections never use them.
    static constexpr char extraCaFileVariable[] = "VELMORA_EXTRA_CA_FILE";
    // The most that file may hold (a system's whole bundle is some 200 KiB); it is read on the
    // transfer thread, never on a sender's, and only a regular file is.
    static constexpr qint64 authorityFileBound = 4 * 1024 * 1024;
    static QList<QByteArray> environmentAuthorities();
};

} // namespace velmora
