#pragma once

#include <QDateTime>
#include <QString>
#include <QUrl>

namespace velmora {

// One release in the update feed.
struct AppcastItem {
    QString title;
    QString version;            // compared with the running build's version
    QString shortVersionString; // shown to the user; the version when the feed names none
    QDateTime publicationDate;  // invalid when the feed gives none or an unreadable one
    QString releaseNotes;       // HTML
    QUrl releaseNotesLink;      // where the notes are when the item carries none itself
    QUrl downloadLink;          // the page that offers the download

    QString displayVersion() const { return shortVersionString.isEmpty() ? version : shortVersionString; }
};

} // namespace velmora
