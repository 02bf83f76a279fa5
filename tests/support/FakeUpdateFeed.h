#pragma once

#include "tests/support/FakeHttpsServer.h"

#include <QString>

#include <vector>

namespace velmora::test {

// The maker's update endpoint: serves an appcast of scripted releases (or any other answer)
// at "/api/v1/app/updates" over HTTPS on 127.0.0.1, and records what the updater sent.
class FakeUpdateFeed {
public:
    struct Release {
        QString version;
        QString shortVersion;
        QString link = QStringLiteral("https://downloads.example.test/velmora.tar.gz");
        QString notes = QStringLiteral("<p>Fixes and improvements.</p>");
        QString pubDate = QStringLiteral("Mon, 07 Dec 2026 10:00:00 +0000");
        // A page of release notes; no element when empty.
        QString notesLink = QString();
    };

    static constexpr char path[] = "/api/v1/app/updates";

    FakeUpdateFeed();

    // An RSS 2.0 appcast listing the releases in order (an item with an empty version has
    // no version element at all).
    static QByteArray appcast(const std::vector<Release>& releases);

    void serve(const std::vector<Release>& releases);
    void serve(FakeResponse response);

    // "https://127.0.0.1:<port>/api/v1/app/updates?appVersion=<version>", as the app builds it.
    QString feedUrl(const QString& appVersion = QStringLiteral("1.0.0")) const;

    FakeHttpsServer& server() { return m_server; }
    QList<FakeRequest> requests() const { return m_server.requestsTo(QString::fromLatin1(path)); }

private:
    FakeHttpsServer m_server;
};

} // namespace velmora::test
