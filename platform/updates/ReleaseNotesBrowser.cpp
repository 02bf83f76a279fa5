#include "platform/updates/ReleaseNotesBrowser.h"

#include "platform/richtext/OutsideHtml.h"
#include "platform/richtext/OutsideTextDocument.h"

namespace velmora {

ReleaseNotesBrowser::ReleaseNotesBrowser(QWidget* parent) : QTextBrowser(parent) {
    setOpenLinks(false);
    setOpenExternalLinks(false);
    setSearchPaths({});
    // Its document answers every resource itself, so neither a process-wide resource
    // provider nor the file system is ever asked.
    setDocument(new OutsideTextDocument(this));
}

void ReleaseNotesBrowser::setNotes(const QString& html) {
    setHtml(boundOutsideHtml(html));
}

QVariant ReleaseNotesBrowser::loadResource(int type, const QUrl&) {
    return OutsideTextDocument::placeholder(type);
}

} // namespace velmora
