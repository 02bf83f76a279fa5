#include "platform/updates/Appcast.h"

#include <QXmlStreamReader>

namespace velmora {

namespace {

using Items = std::vector<AppcastItem>;

Result<AppcastItem, QString> readItem(QXmlStreamReader& xml) {
    AppcastItem item;
    bool hasVersion = false;
    while (xml.readNextStartElement()) {
        const QStringView name = xml.name();
        if (name == u"title") {
            item.title = xml.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
        } else if (name == u"version") {
            item.version = xml.readElementText().trimmed();
            hasVersion = !item.version.isEmpty();
        } else if (name == u"shortVersionString") {
            item.shortVersionString = xml.readElementText().trimmed();
        } else if (name == u"pubDate") {
            item.publicationDate = QDateTime::fromString(xml.readElementText().trimmed(), Qt::RFC2822Date);
        } else if (name == u"description") {
            item.releaseNotes = xml.readElementText(QXmlStreamReader::IncludeChildElements);
        } else if (name == u"releaseNotesLink") {
            item.releaseNotesLink = QUrl(xml.readElementText().trimmed(), QUrl::StrictMode);
        } else if (name == u"link") {
            item.downloadLink = QUrl(xml.readElementText().trimmed(), QUrl::StrictMode);
        } else {
            xml.skipCurrentElement();
        }
    }
    if (xml.hasError())
        return Result<AppcastItem, QString>::failure(xml.errorString());
    if (!hasVersion)
        return Result<AppcastItem, QString>::failure(QStringLiteral("an item has no version"));
    return Result<AppcastItem, QString>::success(std::move(item));
}

} // namespace

Result<Items, QString> Appcast::parse(const QByteArray& document) {
    QXmlStreamReader xml(document);
    if (!xml.readNextStartElement() || xml.name() != u"rss")
        return Result<Items, QString>::failure(
            xml.hasError() ? xml.errorString() : QStringLiteral("the document is not an RSS feed"));
    Items items;
    bool sawChannel = false;
    while (xml.readNextStartElement()) {
        if (xml.name() != u"channel") {
            xml.skipCurrentElement();
            continue;
        }
        sawChannel = true;
        while (xml.readNextStartElement()) {
            if (xml.name() != u"item") {
                xml.skipCurrentElement();
                continue;
            }
            auto item = readItem(xml);
            if (!item.ok())
                return Result<Items, QString>::failure(item.error());
            items.push_back(std::move(item).value());
        }
    }
    // Reading on to the end finds what a truncated or doubled document hides after the channel.
    while (!xml.atEnd())
        xml.readNext();
    if (xml.hasError())
        return Result<Items, QString>::failure(xml.errorString());
    if (!sawChannel)
        return Result<Items, QString>::failure(QStringLiteral("the feed has no channel"));
    return Result<Items, QString>::success(std::move(items));
}

} // namespace velmora
