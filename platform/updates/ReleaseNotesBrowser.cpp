#include "platform/updates/ReleaseNotesBrowser.h"

#include "platform/richtext/OutsideHtml.h"
#include "platform/richtext/OutsideTextDocument.h"

namespace velmora {

ReleaseNotesBrowser::ReleaseNotesBrowser(QWidget* parent) : OutsideTextBrowser(parent) {
    setOpenLinks(false);
    setOpenExternalLinks(false);
    setSearchPaths({});
}

void ReleaseNotesBrowser::setNotes(const QString& html) {
    qint64 loaded = 0;
    const QString bounded = boundOutsideHtml(html, {}, nullptr, &loaded);
    setBoundedHtml(bounded, {}, loaded);
}

QVariant ReleaseNotesBrowser::loadResource(int type, const QUrl&) {
    return OutsideTextDocument::placeholder(type);
}

} // namespace velmora
