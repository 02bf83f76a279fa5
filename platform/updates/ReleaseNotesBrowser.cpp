#include "platform/updates/ReleaseNotesBrowser.h"

#include "platform/richtext/TrackerHtml.h"
#include "platform/richtext/TrackerTextDocument.h"

namespace velmora {

ReleaseNotesBrowser::ReleaseNotesBrowser(QWidget* parent) : QTextBrowser(parent) {
    setOpenLinks(false);
    setOpenExternalLinks(false);
    setSearchPaths({});
    // Its document answers every resource itself, so neither a process-wide resource
    // provider nor the file system is ever asked.
    setDocument(new TrackerTextDocument(this));
}

void ReleaseNotesBrowser::setNotes(const QString& html) {
    setHtml(boundTrackerHtml(html));
}

QVariant ReleaseNotesBrowser::loadResource(int type, const QUrl&) {
    return TrackerTextDocument::placeholder(type);
}

} // namespace velmora
