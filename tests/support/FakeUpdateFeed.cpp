#include "tests/support/FakeUpdateFeed.h"

namespace velmora::test {

FakeUpdateFeed::FakeUpdateFeed() {
    serve(std::vector<Release>{});
}

QByteArray FakeUpdateFeed::appcast(const std::vector<Release>& releases) {
    QString xml =
        QStringLiteral("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                       "<rss version=\"2.0\" xmlns:updates=\"https://velmora.app/xml-namespaces/updates\">\n"
                       "<channel>\n<title>Velmora</title>\n");
    for (const Release& release : releases) {
        xml +=
            QStringLiteral("<item>\n<title>Version %1</title>\n").arg(release.shortVersion.toHtmlEscaped());
        if (!release.version.isEmpty())
            xml += QStringLiteral("<updates:version>%1</updates:version>\n")
                       .arg(release.version.toHtmlEscaped());
        if (!release.shortVersion.isEmpty())
            xml += QStringLiteral("<updates:shortVersionString>%1</updates:shortVersionString>\n")
                       .arg(release.shortVersion.toHtmlEscaped());
        if (!release.notesLink.isEmpty())
            xml += QStringLiteral("<updates:releaseNotesLink>%1</updates:releaseNotesLink>\n")
                       .arg(release.notesLink.toHtmlEscaped());
        xml += QStringLiteral("<pubDate>%1</pubDate>\n<description><![CDATA[%2]]></description>\n"
                              "<link>%3</link>\n</item>\n")
                   .arg(release.pubDate, release.notes, release.link.toHtmlEscaped());
    }
    xml += QStringLiteral("</channel>\n</rss>\n");
    return xml.toUtf8();
}

void FakeUpdateFeed::serve(const std::vector<Release>& releases) {
    FakeResponse response;
    response.body = appcast(releases);
    response.headers.emplaceBack("Content-Type", "application/rss+xml; charset=utf-8");
    serve(std::move(response));
}

void FakeUpdateFeed::serve(FakeResponse response) {
    m_server.on("GET", path, std::move(response));
}

QString FakeUpdateFeed::feedUrl(const QString& appVersion) const {
    return m_server.url(QString::fromLatin1(path)).toString() + QStringLiteral("?appVersion=") + appVersion;
}

} // namespace velmora::test
